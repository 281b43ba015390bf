// The batch record writer on arbitrary inputs: a record it accepts must hold
// exactly the given positions, atomic numbers and sections in the record
// layout, builtins in record order, custom sections in the order given.
//
// Input: u8 flags (bit 0: float64 rows, bit 1: an unsupported positions
// tag), u16 positions length, positions, u16 atomic numbers length, atomic
// numbers, u8 builtin mask (energy, forces, charges, velocities, cell, stress,
// name, pbc), per builtin present u8 tag and u16 length and payload (pbc:
// three bytes), u8 custom count, per custom section u8 kind, u8 tag, u16 key
// length, key, u16 payload length, payload.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "crivane/record/layout.hpp"
#include "crivane/record/schema.hpp"
#include "crivane/record/writer.hpp"
#include "crivane/storage/bytes.hpp"
#include "crivane/storage/dtypes.hpp"

namespace {

using crivane::ByteReader;
using crivane::ByteSpan;
using crivane::storage::soa::BuiltinKey;
using crivane::storage::soa::key_of;
using crivane::storage::soa::RawPayload;
using crivane::storage::soa::SoaBuiltinPayloads;
using crivane::storage::soa::SoaCustomSection;
namespace tag = crivane::storage::dtypes::tag;
constexpr std::uint8_t kBuiltin = crivane::storage::soa::SectionKind::Builtin;

void check(bool ok) {
  if (!ok) std::abort();
}

struct Expected {
  std::uint8_t kind;
  std::string_view key;
  std::uint8_t type_tag;
  ByteSpan payload;
};

std::optional<ByteSpan> sized(ByteReader& in) {
  auto n = in.read<std::uint16_t>();
  if (!n) return std::nullopt;
  return in.take(*n);
}

std::string_view text(ByteSpan s) {
  return std::string_view(reinterpret_cast<const char*>(s.data()), s.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteReader in(ByteSpan(data, size));
  const auto flags = in.read<std::uint8_t>();
  const auto positions = sized(in);
  const auto numbers = positions ? sized(in) : std::nullopt;
  const auto mask = numbers ? in.read<std::uint8_t>() : std::nullopt;
  if (!mask) return 0;
  const std::uint8_t positions_tag = (*flags & 2)   ? tag::kBool3
                                     : (*flags & 1) ? tag::kVec3F64
                                                    : tag::kVec3F32;

  SoaBuiltinPayloads builtins;
  std::optional<RawPayload>* fixed[] = {&builtins.energy,     &builtins.forces, &builtins.charges,
                                        &builtins.velocities, &builtins.cell,   &builtins.stress};
  for (int bit = 0; bit < 6; ++bit) {
    if (!(*mask & (1 << bit))) continue;
    const auto tag = in.read<std::uint8_t>();
    const auto payload = tag ? sized(in) : std::nullopt;
    if (!payload) return 0;
    *fixed[bit] = RawPayload{*payload, *tag};
  }
  if (*mask & (1 << 6)) {
    const auto name = sized(in);
    if (!name) return 0;
    builtins.name = *name;
  }
  if (*mask & (1 << 7)) {
    const auto pbc = in.take(3);
    if (!pbc) return 0;
    builtins.pbc = {{(*pbc)[0], (*pbc)[1], (*pbc)[2]}};
  }
  const auto count = in.read<std::uint8_t>();
  if (!count) return 0;
  std::vector<SoaCustomSection> custom;
  for (std::uint8_t i = 0; i < *count; ++i) {
    const auto kind = in.read<std::uint8_t>();
    const auto tag = kind ? in.read<std::uint8_t>() : std::nullopt;
    const auto key = tag ? sized(in) : std::nullopt;
    const auto payload = key ? sized(in) : std::nullopt;
    if (!payload) return 0;
    custom.push_back({text(*key), *payload, *kind, *tag});
  }

  auto record = crivane::storage::soa::build_soa_record_unchecked(positions_tag, *positions,
                                                                  *numbers, builtins, custom);
  if (!record) return 0;

  // Builtins in record order, then the custom sections as given.
  std::vector<Expected> sections;
  auto add = [&](BuiltinKey key, const std::optional<RawPayload>& p) {
    if (p) sections.push_back({kBuiltin, key_of(key), p->type_tag, p->bytes});
  };
  add(BuiltinKey::Charges, builtins.charges);
  add(BuiltinKey::Cell, builtins.cell);
  add(BuiltinKey::Energy, builtins.energy);
  add(BuiltinKey::Forces, builtins.forces);
  if (builtins.name) {
    sections.push_back({kBuiltin, key_of(BuiltinKey::Name), tag::kString, *builtins.name});
  }
  if (builtins.pbc) {
    sections.push_back({kBuiltin, key_of(BuiltinKey::Pbc), tag::kBool3, ByteSpan(*builtins.pbc)});
  }
  add(BuiltinKey::Stress, builtins.stress);
  add(BuiltinKey::Velocities, builtins.velocities);
  for (const SoaCustomSection& s : custom)
    sections.push_back({s.kind, s.key, s.type_tag, s.payload});

  auto same = [](std::optional<ByteSpan> got, ByteSpan want) {
    return got && got->size() == want.size() &&
           (want.empty() || std::equal(want.begin(), want.end(), got->begin()));
  };
  ByteReader out(crivane::as_span(*record));
  check(out.read<std::uint32_t>() == numbers->size());
  check(same(out.take(positions->size()), *positions));
  check(same(out.take(numbers->size()), *numbers));
  check(out.read<std::uint16_t>() == sections.size());
  for (const Expected& s : sections) {
    check(out.read<std::uint8_t>() == s.kind);
    const auto key_len = out.read<std::uint8_t>();
    check(key_len == s.key.size());
    const auto key = out.take(*key_len);
    check(key && text(*key) == s.key);
    check(out.read<std::uint8_t>() == s.type_tag);
    check(out.read<std::uint32_t>() == s.payload.size());
    check(same(out.take(s.payload.size()), s.payload));
  }
  check(out.empty());
  (void)crivane::storage::schema::record_schema(
      crivane::as_span(*record), crivane::storage::soa::kRecordFormatMixedDtypes, positions_tag);
  return 0;
}
