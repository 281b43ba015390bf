#include "crivane/record/writer.hpp"

#include <fmt/format.h>

#include <cassert>
#include <cstring>

#include "crivane/record/encoder.hpp"
#include "crivane/record/layout.hpp"
#include "crivane/storage/dtypes.hpp"

namespace crivane::storage::soa {
namespace {

namespace tag = dtypes::tag;

Unexpected<Error> invalid(std::string message) {
  return unexpected(Error::invalid_data(std::move(message)));
}

struct Section {
  std::uint8_t kind;
  std::string_view key;
  std::uint8_t type_tag;
  ByteSpan payload;
};

Result<void> check_section(std::string_view key, std::uint64_t payload_len) {
  if (key.size() > MAX_KEY_BYTES) {
    return invalid(fmt::format("Section key '{}' is too long", key));
  }
  if (payload_len > MAX_PAYLOAD_BYTES) {
    return invalid(fmt::format("Section '{}' payload is too large", key));
  }
  return {};
}

// The builtins present, in the order the engine's encoder writes them.
std::size_t builtin_sections(const SoaBuiltinPayloads& b,
                             std::array<Section, BUILTIN_KEYS.size()>& out) {
  std::size_t n = 0;
  auto add = [&](BuiltinKey key, std::uint8_t type_tag, ByteSpan payload) {
    out[n++] = {SectionKind::Builtin, key_of(key), type_tag, payload};
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

Result<void> write_soa_section_raw(Bytes& record, std::uint8_t kind, std::string_view key,
                                   std::uint8_t type_tag, ByteSpan payload) {
  if (auto ok = check_section(key, payload.size()); !ok) return ok;
  write_section(record, kind, key, type_tag, payload);
  return {};
}

Result<Bytes> build_soa_record_unchecked(std::uint8_t positions_tag, ByteSpan positions,
                                         ByteSpan atomic_numbers,
                                         const SoaBuiltinPayloads& builtins,
                                         std::span<const SoaCustomSection> custom) {
  const std::size_t row = positions_row_bytes(positions_tag);
  if (row == 0) {
    return invalid(fmt::format("Unsupported positions type tag {}", unsigned{positions_tag}));
  }
  if (positions.size() % row != 0) {
    return invalid(fmt::format("positions payload length ({}) is not a multiple of {}",
                               positions.size(), row));
  }
  const std::size_t n = positions.size() / row;
  if (atomic_numbers.size() != n) {
    return invalid(fmt::format("Atomic numbers length ({}) doesn't match atom count ({})",
                               atomic_numbers.size(), n));
  }
  // The head's u32 would silently wrap.
  if (n > MAX_ATOMS) {
    return invalid(fmt::format("Molecule has {} atoms; a record holds at most {}", n, MAX_ATOMS));
  }
  std::array<Section, BUILTIN_KEYS.size()> fixed;
  const std::size_t n_builtins = builtin_sections(builtins, fixed);
  const std::size_t n_sections = n_builtins + custom.size();
  if (!custom.empty() && n_sections > MAX_SECTIONS) {
    return invalid("Too many SOA sections");
  }

  // Section limits are checked in write order before the one allocation, so
  // an oversized payload is refused without reserving room for it.
  std::uint64_t total = RECORD_HEAD_BYTES + positions.size() + n;
  for (std::size_t i = 0; i < n_builtins; ++i) {
    if (auto ok = check_section(fixed[i].key, fixed[i].payload.size()); !ok) {
      return unexpected(std::move(ok).error());
    }
    total += SECTION_HEADER_BYTES + fixed[i].key.size() + fixed[i].payload.size();
  }
  for (const SoaCustomSection& s : custom) {
    if (auto ok = check_section(s.key, s.payload.size()); !ok) {
      return unexpected(std::move(ok).error());
    }
    total += SECTION_HEADER_BYTES + s.key.size() + s.payload.size();
  }

  Bytes record;
  record.reserve(total);
  bytes::put(record, static_cast<std::uint32_t>(n));
  bytes::put_bytes(record, positions.data(), positions.size());
  bytes::put_bytes(record, atomic_numbers.data(), atomic_numbers.size());
  bytes::put(record, static_cast<std::uint16_t>(n_sections));
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

}  // namespace crivane::storage::soa
