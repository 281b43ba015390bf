#include "crivane/record/writer.hpp"

#include <fmt/format.h>

#include <cassert>
#include <cstring>

#include "crivane/record/layout.hpp"
#include "crivane/storage/dtypes.hpp"

namespace crivane::storage::soa {
namespace {

namespace tag = dtypes::tag;

Unexpected<Error> invalid(std::string message) {
  return unexpected(Error::invalid_data(std::move(message)));
}

// The builtins given, in the order the engine's encoder writes them.
BuiltinSections builtin_sections(const SoaBuiltinPayloads& b) {
  BuiltinSections out;
  auto fixed = [&](BuiltinKey key, const std::optional<RawPayload>& p) {
    if (p) out.add(key, p->type_tag, p->bytes.data(), p->bytes.size());
  };
  fixed(BuiltinKey::Charges, b.charges);
  fixed(BuiltinKey::Cell, b.cell);
  fixed(BuiltinKey::Energy, b.energy);
  fixed(BuiltinKey::Forces, b.forces);
  if (b.name) out.add(BuiltinKey::Name, tag::kString, b.name->data(), b.name->size());
  if (b.pbc) out.add(BuiltinKey::Pbc, tag::kBool3, b.pbc->data(), b.pbc->size());
  fixed(BuiltinKey::Stress, b.stress);
  fixed(BuiltinKey::Velocities, b.velocities);
  return out;
}

// Kind, key length, key, tag and payload length; returns where the payload
// goes.
std::uint8_t* put_section_header(std::uint8_t* p, std::uint8_t kind, std::string_view key,
                                 std::uint8_t type_tag, std::uint64_t payload_len) {
  *p++ = kind;
  *p++ = static_cast<std::uint8_t>(key.size());
  if (!key.empty()) std::memcpy(p, key.data(), key.size());
  p += key.size();
  *p++ = type_tag;
  bytes::store<std::uint32_t>(p, static_cast<std::uint32_t>(payload_len));
  return p + 4;
}

std::uint8_t* put_bytes(std::uint8_t* p, const std::uint8_t* data, std::size_t n) {
  if (n != 0) std::memcpy(p, data, n);
  return p + n;
}

}  // namespace

Result<void> check_section_count(std::size_t n_sections) {
  if (n_sections > kMaxSections) return invalid("Too many SOA sections");
  return {};
}

RecordWriter::RecordWriter(std::uint64_t size) {
  out_.resize(size);
  p_ = out_.data();
}

void RecordWriter::head(std::uint32_t n_atoms, ByteSpan positions, ByteSpan atomic_numbers,
                        std::uint16_t n_sections) {
  bytes::store<std::uint32_t>(p_, n_atoms);
  p_ = put_bytes(p_ + 4, positions.data(), positions.size());
  p_ = put_bytes(p_, atomic_numbers.data(), atomic_numbers.size());
  bytes::store<std::uint16_t>(p_, n_sections);
  p_ += 2;
}

std::uint8_t* RecordWriter::section_header(std::uint8_t kind, std::string_view key,
                                           std::uint8_t type_tag, std::uint64_t payload_len) {
  std::uint8_t* payload = put_section_header(p_, kind, key, type_tag, payload_len);
  p_ = payload + payload_len;
  return payload;
}

void RecordWriter::section(std::uint8_t kind, std::string_view key, std::uint8_t type_tag,
                           ByteSpan payload) {
  put_bytes(section_header(kind, key, type_tag, payload.size()), payload.data(), payload.size());
}

void RecordWriter::builtins(const BuiltinSections& sections) {
  for (const BuiltinSection& s : sections) {
    put_bytes(section_header(SectionKind::Builtin, s.key, s.type_tag, s.size), s.data, s.size);
  }
}

Bytes RecordWriter::finish() && {
  assert(p_ == out_.data() + out_.size());
  return std::move(out_);
}

void write_section(Bytes& buffer, std::uint8_t kind, std::string_view key, std::uint8_t type_tag,
                   ByteSpan payload) {
  assert(key.size() <= kMaxKeyBytes && payload.size() <= kMaxPayloadBytes);
  const std::size_t old = buffer.size();
  buffer.resize(old + section_size(key, payload.size()));
  put_bytes(put_section_header(buffer.data() + old, kind, key, type_tag, payload.size()),
            payload.data(), payload.size());
}

Result<void> write_soa_section_raw(Bytes& record, std::uint8_t kind, std::string_view key,
                                   std::uint8_t type_tag, ByteSpan payload) {
  CRIVANE_TRY(check_section_limits(key, payload.size()));
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
  CRIVANE_TRY(check_atom_count(n));
  const BuiltinSections fixed = builtin_sections(builtins);
  const std::size_t n_sections = fixed.size() + custom.size();
  CRIVANE_TRY(check_section_count(n_sections));

  // Section limits are checked in write order before the one allocation, so
  // an oversized payload is refused without reserving room for it.
  std::uint64_t total = kRecordHeadBytes + positions.size() + n;
  for (const BuiltinSection& s : fixed) {
    CRIVANE_TRY(check_section_limits(s.key, s.size));
    total += section_size(s.key, s.size);
  }
  for (const SoaCustomSection& s : custom) {
    CRIVANE_TRY(check_section_limits(s.key, s.payload.size()));
    total += section_size(s.key, s.payload.size());
  }

  RecordWriter w(total);
  w.head(static_cast<std::uint32_t>(n), positions, atomic_numbers,
         static_cast<std::uint16_t>(n_sections));
  w.builtins(fixed);
  for (const SoaCustomSection& s : custom) w.section(s.kind, s.key, s.type_tag, s.payload);
  return std::move(w).finish();
}

}  // namespace crivane::storage::soa
