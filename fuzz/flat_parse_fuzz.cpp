// Record bytes from disk through the flat export's reader and the column rule
// of every section it finds. The first input byte picks the positions row
// size, including sizes no database uses.
#include <cstdint>
#include <cstdlib>

#include "crivane/record/flat.hpp"
#include "crivane/record/layout.hpp"
#include "crivane/storage/dtypes.hpp"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool inside(crivane::ByteSpan part, const crivane::Bytes& whole) {
  return part.empty() ||
         (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  namespace tag = crivane::storage::dtypes::tag;
  static const std::size_t kRows[] = {crivane::storage::soa::positions_row_bytes(tag::kVec3F32),
                                      crivane::storage::soa::positions_row_bytes(tag::kVec3F64), 0,
                                      1, SIZE_MAX};
  const std::size_t row = kRows[data[0] % 5];
  // An exact-size copy, so that the sanitizers see any read past the record.
  const crivane::Bytes record(data + 1, data + size);

  auto parsed = crivane::storage::soa::parse_mol_fast_soa(record, row);
  // The reusable form agrees, also over a list left from another record.
  crivane::storage::soa::FlatRecord reused;
  reused.sections.resize(3);
  auto again = crivane::storage::soa::parse_mol_fast_soa(record, row, reused);
  check(parsed.has_value() == again.has_value());
  if (!parsed) {
    check(parsed.error() == again.error());
    return 0;
  }
  check(reused.sections.size() == parsed->sections.size());

  check(parsed->positions.size() == parsed->n_atoms * row);
  check(parsed->atomic_numbers.size() == parsed->n_atoms);
  check(inside(parsed->positions, record) && inside(parsed->atomic_numbers, record));
  for (const auto& section : parsed->sections) {
    check(inside(section.payload, record));
    auto column = crivane::storage::soa::section_schema_from_ref(section, parsed->n_atoms);
    if (!column) continue;
    check(column->key == section.key && column->kind == section.kind &&
          column->type_tag == section.type_tag);
    // A per-atom numeric column's rows are the payload's exact share of it.
    if (column->per_atom && column->slot_bytes != 0) {
      check(column->elem_bytes * parsed->n_atoms == section.payload.size() ||
            (column->elem_bytes == section.payload.size()));
    }
    if (crivane::storage::dtypes::is_tensor_tag(section.type_tag)) check(column->slot_bytes == 0);
  }
  return 0;
}
