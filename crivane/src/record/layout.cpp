#include "crivane/record/layout.hpp"

#include <fmt/format.h>

namespace crivane::storage::soa {

namespace tag = dtypes::tag;

Result<void> check_atom_count(std::uint64_t n_atoms) {
  if (n_atoms > kMaxRecordAtoms) {
    return unexpected(Error::invalid_data(
        fmt::format("Molecule has {} atoms; a record holds at most {}", n_atoms, kMaxRecordAtoms)));
  }
  return {};
}

Result<void> check_section_limits(std::string_view key, std::uint64_t payload_len) {
  if (key.size() > kMaxKeyBytes) {
    return unexpected(Error::invalid_data(fmt::format("Section key '{}' is too long", key)));
  }
  if (payload_len > kMaxPayloadBytes) {
    return unexpected(Error::invalid_data(fmt::format("Section '{}' payload is too large", key)));
  }
  return {};
}

Result<std::uint8_t> resolve_positions_type(std::uint32_t record_format,
                                            std::optional<std::uint8_t> positions_type) {
  switch (record_format) {
    case kRecordFormatFixedDtypes:
      if (positions_type == tag::kVec3F64) {
        return unexpected(
            Error::invalid_data("record format 2 does not support float64 positions"));
      }
      return tag::kVec3F32;
    case kRecordFormatMixedDtypes:
      if (!positions_type) {
        return unexpected(Error::invalid_data("Missing positions dtype for record format 3"));
      }
      return *positions_type;
    default:
      return unexpected(
          Error::invalid_data(fmt::format("Unsupported record format {}", record_format)));
  }
}

}  // namespace crivane::storage::soa
