// The one record writer: the record's head and its sections, written into
// a buffer allocated once at the record's exact size. The molecule encoder
// (record/encoder.hpp) and the batch builder below both write through it, so
// their records differ only in what they hold, never in layout.
//
// The builder here is the stacked-array batch's: one record from the slices
// of one molecule, without a Molecule in between. It writes the builtins in
// the encoder's order, so a molecule without custom properties gives the
// encoder's bytes; custom sections keep the order they are given in. The
// batch builds records on the worker pool, and the fuzz target drives the
// builder alone.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "crivane/error.hpp"
#include "crivane/record/layout.hpp"
#include "crivane/storage/bytes.hpp"

namespace crivane::storage::soa {

// A builtin section to write: its key, the tag of its dtype and its raw
// little-endian payload, borrowed.
struct BuiltinSection {
  std::string_view key;
  std::uint8_t type_tag;
  const std::uint8_t* data;
  std::uint64_t size;
};

// The builtins present, in record order.
struct BuiltinSections {
  std::array<BuiltinSection, kBuiltinKeys.size()> items;
  std::size_t count = 0;
  void add(BuiltinKey key, std::uint8_t type_tag, const std::uint8_t* data, std::uint64_t size) {
    items[count++] = BuiltinSection{key_of(key), type_tag, data, size};
  }
  const BuiltinSection* begin() const { return items.data(); }
  const BuiltinSection* end() const { return items.data() + count; }
  std::size_t size() const { return count; }
};

// The bytes a section takes in its record.
constexpr std::uint64_t section_size(std::string_view key, std::uint64_t payload_len) {
  return kSectionHeaderBytes + key.size() + payload_len;
}

// Refuses more sections than a record's u16 count holds: "Too many SOA
// sections".
Result<void> check_section_count(std::size_t n_sections);

// Writes one record front to back. Every limit (atom count, section count,
// key and payload lengths) is the caller's to check first.
class RecordWriter {
 public:
  // Allocates the record at `size` bytes, its exact final size.
  explicit RecordWriter(std::uint64_t size);

  void head(std::uint32_t n_atoms, ByteSpan positions, ByteSpan atomic_numbers,
            std::uint16_t n_sections);
  void section(std::uint8_t kind, std::string_view key, std::uint8_t type_tag, ByteSpan payload);
  // Writes a section up to its payload and returns where the payload's
  // `payload_len` bytes go, for payloads encoded in place.
  std::uint8_t* section_header(std::uint8_t kind, std::string_view key, std::uint8_t type_tag,
                               std::uint64_t payload_len);
  void builtins(const BuiltinSections& sections);

  // The record. Precondition: every byte has been written.
  Bytes finish() &&;

 private:
  Bytes out_;
  std::uint8_t* p_;
};

// One builtin section's payload and the type tag it is written with.
struct RawPayload {
  ByteSpan bytes;
  std::uint8_t type_tag;
};

// The builtin sections of one record; absent ones are not written.
struct SoaBuiltinPayloads {
  std::optional<RawPayload> energy;
  std::optional<RawPayload> forces;
  std::optional<RawPayload> charges;
  std::optional<RawPayload> velocities;
  std::optional<RawPayload> cell;
  std::optional<RawPayload> stress;
  std::optional<ByteSpan> name;                    // UTF-8, tag kString
  std::optional<std::array<std::uint8_t, 3>> pbc;  // 0 or 1 each, tag kBool3
};

// One custom section, borrowed from its column.
struct SoaCustomSection {
  std::string_view key;
  ByteSpan payload;
  std::uint8_t kind;
  std::uint8_t type_tag;
};

// One record: the positions (kVec3F32: 12 bytes per atom, kVec3F64: 24), the atomic
// numbers (one byte per atom), the builtins present in record order, then the
// custom sections in the order given. Every input is checked before the
// record's one exact-size allocation; the first failure is invalid data:
// "Unsupported positions type tag {}", "positions payload length ({}) is not
// a multiple of {}", "Atomic numbers length ({}) doesn't match atom count
// ({})", "Too many SOA sections", then per section in write order "Section
// key '{}' is too long" and "Section '{}' payload is too large".
Result<Bytes> build_soa_record_unchecked(std::uint8_t positions_tag, ByteSpan positions,
                                         ByteSpan atomic_numbers,
                                         const SoaBuiltinPayloads& builtins,
                                         std::span<const SoaCustomSection> custom);

// Appends one section to a growing record buffer. Precondition:
// check_section_limits accepts the key and payload.
void write_section(Bytes& buffer, std::uint8_t kind, std::string_view key, std::uint8_t type_tag,
                   ByteSpan payload);

// Appends one section (kind, key length, key, tag, payload length, payload) to
// a record buffer, or refuses a key of 256 bytes or more or a payload of 2^32
// bytes or more with the section texts above, leaving the buffer unchanged.
Result<void> write_soa_section_raw(Bytes& record, std::uint8_t kind, std::string_view key,
                                   std::uint8_t type_tag, ByteSpan payload);

}  // namespace crivane::storage::soa
