// The flat export's own record reader and the column each section stands
// for. The export runs these on worker threads, and the fuzz targets drive
// them alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "crivane/error.hpp"
#include "crivane/storage/bytes.hpp"
#include "crivane/storage/schema.hpp"

namespace crivane::storage::soa {

// One section of a parsed record, borrowed from the record bytes.
struct SectionRef {
  std::string_view key;  // checked UTF-8
  ByteSpan payload;
  std::uint8_t kind = 0;
  std::uint8_t type_tag = 0;
};

// A record as the flat export reads it: everything borrowed from its bytes.
struct FlatRecord {
  std::uint32_t n_atoms = 0;
  ByteSpan positions;                // n_atoms rows of the positions row size
  ByteSpan atomic_numbers;           // n_atoms bytes
  std::vector<SectionRef> sections;  // record order
};

// One output column; the stored schema's sections serve as columns unchanged.
using SectionSchema = DatabaseSchemaSection;

// Parses a record whose positions rows are `positions_row_bytes` wide. Every
// failure is invalid data naming the field that is missing; bytes after the
// last section are not looked at.
Result<FlatRecord> parse_mol_fast_soa(ByteSpan record, std::size_t positions_row_bytes);
// The same into `out`, whose section list keeps its capacity from one record
// to the next (the scatter parses thousands of records per call).
Result<void> parse_mol_fast_soa(ByteSpan record, std::size_t positions_row_bytes, FlatRecord& out);

// The column a section of a record with `n_atoms` atoms stands for, with the
// payload checks that make the section fit it.
Result<SectionSchema> section_schema_from_ref(const SectionRef& section, std::uint32_t n_atoms);

}  // namespace crivane::storage::soa
