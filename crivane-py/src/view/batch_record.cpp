#include "view/batch_record.hpp"

#include <fmt/format.h>

#include <cassert>
#include <cstring>

#include "crivane/record/encoder.hpp"
#include "crivane/storage/dtypes.hpp"

namespace crivane_rs::molecule::helpers {
namespace {

namespace soa_format = crivane::storage::soa;
namespace tag = crivane::storage::dtypes::tag;
using crivane::unexpected;

struct Section {
  std::uint8_t kind;
  std::string_view key;
  std::uint8_t type_tag;
  ByteSpan payload;
};

soa::PyResult<void> check_section(std::string_view key, std::uint64_t payload_len) {
  if (key.size() > soa_format::MAX_KEY_BYTES) {
    return unexpected(fmt::format("Section key '{}' is too long", key));
  }
  if (payload_len > soa_format::MAX_PAYLOAD_BYTES) {
    return unexpected(fmt::format("Section '{}' payload is too large", key));
  }
  return {};
}

// The builtins present, in the order the engine's encoder writes them.
std::size_t builtin_sections(const SoaBuiltinPayloads& b,
                             std::array<Section, soa_format::BUILTIN_KEYS.size()>& out) {
  using soa_format::BuiltinKey;
  std::size_t n = 0;
  auto add = [&](BuiltinKey key, std::uint8_t type_tag, ByteSpan payload) {
    out[n++] = {soa_format::SectionKind::Builtin, soa_format::key_of(key), type_tag, payload};
  };
  auto fixed = [&](BuiltinKey key, const std::optional<RawPayload>& p) {
    if (p) add(key, p->type_tag, p->bytes);
  };
  fixed(BuiltinKey::Charges, b.charges);
  fixed(BuiltinKey::Cell, b.cell);
  fixed(BuiltinKey::Energy, b.energy);
  fixed(BuiltinKey::Forces, b.forces);
  if (b.name) add(BuiltinKey::Name, tag::STRING, *b.name);
  if (b.pbc) add(BuiltinKey::Pbc, tag::BOOL3, ByteSpan(*b.pbc));
  fixed(BuiltinKey::Stress, b.stress);
  fixed(BuiltinKey::Velocities, b.velocities);
  return n;
}

}  // namespace

soa::PyResult<void> write_soa_section_raw(Bytes& record, std::uint8_t kind, std::string_view key,
                                          std::uint8_t type_tag, ByteSpan payload) {
  if (auto ok = check_section(key, payload.size()); !ok) return ok;
  soa_format::write_section(record, kind, key, type_tag, payload);
  return {};
}

soa::PyResult<Bytes> build_soa_record_unchecked(std::uint8_t positions_tag, ByteSpan positions,
                                                ByteSpan atomic_numbers,
                                                const SoaBuiltinPayloads& builtins,
                                                std::span<const SoaCustomSection> custom) {
  const std::size_t row = soa_format::positions_row_bytes(positions_tag);
  if (row == 0) {
    return unexpected(fmt::format("Unsupported positions type tag {}", unsigned{positions_tag}));
  }
  if (positions.size() % row != 0) {
    return unexpected(fmt::format("positions payload length ({}) is not a multiple of {}",
                                  positions.size(), row));
  }
  const std::size_t n = positions.size() / row;
  if (atomic_numbers.size() != n) {
    return unexpected(fmt::format("Atomic numbers length ({}) doesn't match atom count ({})",
                                  atomic_numbers.size(), n));
  }
  // The head's u32 would silently wrap.
  if (n > soa_format::MAX_ATOMS) {
    return unexpected(
        fmt::format("Molecule has {} atoms; a record holds at most {}", n, soa_format::MAX_ATOMS));
  }
  std::array<Section, soa_format::BUILTIN_KEYS.size()> fixed;
  const std::size_t n_builtins = builtin_sections(builtins, fixed);
  const std::size_t n_sections = n_builtins + custom.size();
  if (!custom.empty() && n_sections > soa_format::MAX_SECTIONS) {
    return unexpected(std::string("Too many SOA sections"));
  }

  // Section limits are checked in write order before the one allocation, so
  // an oversized payload is refused without reserving room for it.
  std::uint64_t total = soa_format::RECORD_HEAD_BYTES + positions.size() + n;
  for (std::size_t i = 0; i < n_builtins; ++i) {
    if (auto ok = check_section(fixed[i].key, fixed[i].payload.size()); !ok) {
      return unexpected(std::move(ok).error());
    }
    total += soa_format::SECTION_HEADER_BYTES + fixed[i].key.size() + fixed[i].payload.size();
  }
  for (const SoaCustomSection& s : custom) {
    if (auto ok = check_section(s.key, s.payload.size()); !ok) {
      return unexpected(std::move(ok).error());
    }
    total += soa_format::SECTION_HEADER_BYTES + s.key.size() + s.payload.size();
  }

  Bytes record;
  record.reserve(total);
  crivane::bytes::put(record, static_cast<std::uint32_t>(n));
  crivane::bytes::put_bytes(record, positions.data(), positions.size());
  crivane::bytes::put_bytes(record, atomic_numbers.data(), atomic_numbers.size());
  crivane::bytes::put(record, static_cast<std::uint16_t>(n_sections));
  for (std::size_t i = 0; i < n_builtins; ++i) {
    const Section& s = fixed[i];
    if (auto ok = write_soa_section_raw(record, s.kind, s.key, s.type_tag, s.payload); !ok) {
      return unexpected(std::move(ok).error());
    }
  }
  for (const SoaCustomSection& s : custom) {
    if (auto ok = write_soa_section_raw(record, s.kind, s.key, s.type_tag, s.payload); !ok) {
      return unexpected(std::move(ok).error());
    }
  }
  assert(record.size() == total);
  return record;
}

}  // namespace crivane_rs::molecule::helpers
