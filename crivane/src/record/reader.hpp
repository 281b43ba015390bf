// The one reader of a record's head and sections. It walks the bytes with the
// engine's ByteReader and makes every check the layout needs; a read that
// fails says which field was short or malformed and how, and each caller
// (schema derivation, the lazy view, the flat export's parser) turns that
// into its own message. Inline: it runs for every record read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "crivane/record/layout.hpp"
#include "crivane/storage/bytes.hpp"
#include "crivane/storage/utf8.hpp"

namespace crivane::storage::soa {

// The fields of a record, in the order they are read.
enum class RecordField : std::uint8_t {
  AtomCount,
  Positions,
  AtomicNumbers,
  SectionCount,
  // Of one section:
  Kind,
  KeyLength,
  Key,
  TypeTag,
  PayloadLength,
  Payload,
};

enum class RecordProblem : std::uint8_t {
  Missing,       // the record ends before the field does
  SizeOverflow,  // the field's size (count x row) does not fit a size_t
  EndOverflow,   // the offset of the field's end does not fit a size_t
  InvalidUtf8,   // a key that is not UTF-8 (only when keys are checked)
};

// Why a read stopped.
struct RecordFailure {
  RecordField field;
  RecordProblem problem;
  // Bytes from the start of the failing section to the end of the record
  // (0 for the head): some callers want a section's whole fixed part there
  // before they look at its key.
  std::size_t section_bytes;

  bool in_section() const { return field >= RecordField::Kind; }
  friend bool operator==(const RecordFailure&, const RecordFailure&) = default;
};

// The head of a record, borrowed from its bytes.
struct RecordHead {
  std::uint32_t n_atoms = 0;
  ByteSpan positions;       // n_atoms rows of the positions row size, at offset 4
  ByteSpan atomic_numbers;  // n_atoms bytes
  std::uint16_t section_count = 0;
};

// One section, borrowed from the record bytes.
struct RecordSection {
  std::uint8_t kind = 0;
  std::uint8_t type_tag = 0;
  ByteSpan key;
  ByteSpan payload;
};

class RecordReader {
 public:
  enum class Keys : bool { Unchecked, Utf8 };

  // With Keys::Utf8 a section whose key is not UTF-8 fails at its key.
  explicit RecordReader(ByteSpan record, Keys keys = Keys::Unchecked)
      : record_(record), in_(record), check_keys_(keys == Keys::Utf8) {}

  // Reads the head, positions rows being `positions_row_bytes` wide (a
  // caller's row size may be any value). False, with failure() set, when a
  // field of it is missing or its size overflows.
  bool read_head(std::size_t positions_row_bytes, RecordHead& out) {
    const auto n = in_.read<std::uint32_t>();
    if (!n) return fail(RecordField::AtomCount, RecordProblem::Missing);
    std::size_t positions_len = 0;
    std::size_t end = 0;
    if (__builtin_mul_overflow(std::size_t{*n}, positions_row_bytes, &positions_len)) {
      return fail(RecordField::Positions, RecordProblem::SizeOverflow);
    }
    if (__builtin_add_overflow(in_.offset(), positions_len, &end)) {
      return fail(RecordField::Positions, RecordProblem::EndOverflow);
    }
    const auto positions = in_.take(positions_len);
    if (!positions) return fail(RecordField::Positions, RecordProblem::Missing);
    if (__builtin_add_overflow(in_.offset(), std::size_t{*n}, &end)) {
      return fail(RecordField::AtomicNumbers, RecordProblem::EndOverflow);
    }
    const auto numbers = in_.take(*n);
    if (!numbers) return fail(RecordField::AtomicNumbers, RecordProblem::Missing);
    const auto count = in_.read<std::uint16_t>();
    if (!count) return fail(RecordField::SectionCount, RecordProblem::Missing);
    out.n_atoms = *n;
    out.positions = *positions;
    out.atomic_numbers = *numbers;
    out.section_count = *count;
    return true;
  }

  // Reads the next section. False, with failure() set, when a field of it is
  // missing, its end overflows, or its key is not UTF-8 (when checked).
  bool read_section(RecordSection& out) {
    section_bytes_ = in_.left();
    const auto head = in_.read_fields<std::uint8_t, std::uint8_t>();
    if (!head) {
      return fail(in_.empty() ? RecordField::Kind : RecordField::KeyLength, RecordProblem::Missing);
    }
    const auto [kind, key_len] = *head;
    const auto key = in_.take(key_len);
    if (!key) return fail(RecordField::Key, RecordProblem::Missing);
    if (check_keys_ &&
        !utf8::is_valid(std::string_view(reinterpret_cast<const char*>(key->data()), key_len))) {
      return fail(RecordField::Key, RecordProblem::InvalidUtf8);
    }
    const auto tail = in_.read_fields<std::uint8_t, std::uint32_t>();
    if (!tail) {
      return fail(in_.empty() ? RecordField::TypeTag : RecordField::PayloadLength,
                  RecordProblem::Missing);
    }
    const auto [type_tag, payload_len] = *tail;
    std::size_t end = 0;
    if (__builtin_add_overflow(in_.offset(), std::size_t{payload_len}, &end)) {
      return fail(RecordField::Payload, RecordProblem::EndOverflow);
    }
    const auto payload = in_.take(payload_len);
    if (!payload) return fail(RecordField::Payload, RecordProblem::Missing);
    out.kind = kind;
    out.type_tag = type_tag;
    out.key = *key;
    out.payload = *payload;
    return true;
  }

  // Why the last read failed. Precondition: a read returned false.
  const RecordFailure& failure() const { return failure_; }

  // Where a part of the record starts, from the record's first byte.
  std::size_t offset_of(ByteSpan part) const {
    return static_cast<std::size_t>(part.data() - record_.data());
  }
  // Bytes not read yet.
  std::size_t left() const { return in_.left(); }

 private:
  bool fail(RecordField field, RecordProblem problem) {
    failure_ = RecordFailure{field, problem, field >= RecordField::Kind ? section_bytes_ : 0};
    return false;
  }

  ByteSpan record_;
  ByteReader in_;
  bool check_keys_;
  std::size_t section_bytes_ = 0;
  RecordFailure failure_{};
};

}  // namespace crivane::storage::soa
