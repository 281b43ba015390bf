#include "crivane/record/flat.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <string>

#include "crivane/record/layout.hpp"
#include "crivane/storage/dtypes.hpp"
#include "crivane/storage/utf8.hpp"
#include "reader.hpp"
#include "text.hpp"

namespace crivane::storage::soa {

namespace tag = dtypes::tag;

namespace {

// The flat export's texts for a read that failed: each names the field.
Error flat_read_error(const RecordFailure& f) {
  auto truncated = [](std::string_view subject) {
    return Error::invalid_data(fmt::format("{} truncated", subject));
  };
  switch (f.field) {
    case RecordField::AtomCount:
      return truncated("SOA n_atoms");
    case RecordField::Positions:
      if (f.problem == RecordProblem::SizeOverflow) {
        return Error::invalid_data("SOA positions byte length overflow");
      }
      return truncated("SOA positions");
    case RecordField::AtomicNumbers:
      return truncated("SOA atomic_numbers");
    case RecordField::SectionCount:
      return truncated("SOA n_sections");
    case RecordField::Kind:
      return truncated("SOA section kind");
    case RecordField::KeyLength:
      return truncated("SOA section key length");
    case RecordField::Key:
      if (f.problem == RecordProblem::InvalidUtf8) {
        return Error::invalid_data("Invalid UTF-8 in SOA section key");
      }
      return truncated("SOA section key");
    case RecordField::TypeTag:
      return truncated("SOA section type tag");
    case RecordField::PayloadLength:
      return truncated("SOA section payload length");
    case RecordField::Payload:
      break;
  }
  return truncated("SOA section payload");
}

Unexpected<Error> invalid(std::string message) {
  return unexpected(Error::invalid_data(std::move(message)));
}

Unexpected<Error> length_mismatch(std::string_view key, std::size_t got, std::size_t expected) {
  return invalid(
      fmt::format("Section '{}' has invalid payload length {} (expected {})", key, got, expected));
}

}  // namespace

Result<void> parse_mol_fast_soa(ByteSpan record, std::size_t positions_row_bytes, FlatRecord& out) {
  out.sections.clear();
  RecordReader r(record, RecordReader::Keys::Utf8);
  RecordHead head;
  if (!r.read_head(positions_row_bytes, head)) return unexpected(flat_read_error(r.failure()));
  out.n_atoms = head.n_atoms;
  out.positions = head.positions;
  out.atomic_numbers = head.atomic_numbers;
  // The stored count reserves no more sections than the bytes can hold.
  out.sections.reserve(std::min<std::size_t>(head.section_count, r.left() / kSectionHeaderBytes));
  RecordSection s;
  for (std::size_t i = 0; i < head.section_count; ++i) {
    if (!r.read_section(s)) return unexpected(flat_read_error(r.failure()));
    out.sections.push_back(SectionRef{as_text(s.key), s.payload, s.kind, s.type_tag});
  }
  return {};
}

Result<FlatRecord> parse_mol_fast_soa(ByteSpan record, std::size_t positions_row_bytes) {
  FlatRecord out;
  CRIVANE_TRY(parse_mol_fast_soa(record, positions_row_bytes, out));
  return out;
}

Result<SectionSchema> section_schema_from_ref(const SectionRef& section, std::uint32_t n_atoms) {
  const std::string_view key = section.key;
  const std::uint8_t type_tag = section.type_tag;
  const std::size_t payload_len = section.payload.size();
  const bool per_atom = is_per_atom_section(section.kind, key);

  std::size_t elem_bytes = 0;
  std::size_t slot_bytes = 0;
  switch (type_tag) {
    // Fixed-size values of one element.
    case tag::kF64:
    case tag::kI64:
    case tag::kBool3:
    case tag::kMat3F64:
    case tag::kF32:
    case tag::kMat3F32:
      elem_bytes = dtypes::element_size(type_tag);
      if (per_atom && payload_len != elem_bytes) {
        return length_mismatch(key, payload_len, elem_bytes);
      }
      slot_bytes = per_atom ? elem_bytes : payload_len;
      break;
    case tag::kF64Array:
    case tag::kVec3F32:
    case tag::kI64Array:
    case tag::kF32Array:
    case tag::kVec3F64:
    case tag::kI32Array:
      if (per_atom) {
        elem_bytes = dtypes::element_size(type_tag);
        std::size_t expected = 0;
        if (__builtin_mul_overflow(std::size_t{n_atoms}, elem_bytes, &expected)) {
          return invalid(fmt::format("Section '{}' payload length overflow", key));
        }
        if (payload_len != expected) return length_mismatch(key, payload_len, expected);
        slot_bytes = elem_bytes;
      } else {
        // One column cell holds the molecule's whole array.
        elem_bytes = payload_len;
        slot_bytes = payload_len;
      }
      break;
    case tag::kString:
      if (!utf8::is_valid(as_text(section.payload))) {
        return invalid(fmt::format("Invalid UTF-8 in section '{}'", key));
      }
      if (per_atom) {
        return invalid(
            fmt::format("String section '{}' cannot be per-atom in flat extraction", key));
      }
      break;
    case tag::kNone:
      if (payload_len != 0) return length_mismatch(key, payload_len, 0);
      break;
    case tag::kTensorF32:
    case tag::kTensorF64:
    case tag::kTensorI32:
    case tag::kTensorI64: {
      CRIVANE_ASSIGN_OR_RETURN(const dtypes::TensorPayloadShape header,
                               dtypes::tensor_shape_from_payload(type_tag, section.payload));
      if (per_atom) {
        if (header.shape.empty()) {
          return invalid(
              fmt::format("Atom tensor property '{}' must have at least one dimension", key));
        }
        if (header.shape[0] != n_atoms) {
          return invalid(fmt::format(
              "Atom tensor property '{}' first dimension ({}) doesn't match atom count ({})", key,
              header.shape[0], n_atoms));
        }
      }
      elem_bytes = dtypes::element_size(type_tag);
      break;
    }
    default:
      if (per_atom) {
        return invalid(fmt::format("Unsupported per-atom section type tag {} for key '{}'",
                                   unsigned{type_tag}, key));
      }
      elem_bytes = payload_len;
      slot_bytes = payload_len;
      break;
  }
  return SectionSchema{std::string(key), elem_bytes, slot_bytes, per_atom, section.kind, type_tag};
}

}  // namespace crivane::storage::soa
