// record_schema on arbitrary bytes. The first byte picks the record format
// (bits 0-1: 2, 3, 3, 4) and the positions type (bits 2-3: unknown, 4, 7, or
// the high nibble as a raw tag); the rest is the record. The same format and
// positions type also go through the readers' positions rule
// (SoaContext::from_parts), and a record the validator accepts must parse
// in the lazy view and the flat parser under that rule's context.
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "crivane/record/flat.hpp"
#include "crivane/record/schema.hpp"
#include "crivane/record/view.hpp"

using namespace crivane;
using namespace crivane::storage;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// The readers' rule agrees with the writers' resolve_positions_type.
void positions_rule(std::uint32_t format, std::optional<std::uint8_t> positions) {
  for (bool has_lock : {false, true}) {
    auto context = soa::SoaContext::from_parts(format, positions, has_lock);
    if (context) check(context->stride == soa::positions_row_bytes(context->positions_type));
    auto resolved = soa::resolve_positions_type(format, has_lock ? positions : std::nullopt);
    if (format == soa::kRecordFormatFixedDtypes) {
      // Format 2 does not consult the lock.
      check(context && context->positions_type == storage::dtypes::tag::kVec3F32);
    } else if (format == soa::kRecordFormatMixedDtypes) {
      check(context.has_value() ==
            (resolved.has_value() && soa::positions_row_bytes(*resolved) != 0));
      if (context) check(context->positions_type == *resolved);
    } else {
      check(!context && !resolved && context.error() == resolved.error());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static constexpr std::uint32_t formats[] = {soa::kRecordFormatFixedDtypes,
                                              soa::kRecordFormatMixedDtypes,
                                              soa::kRecordFormatMixedDtypes, 4};
  const std::uint8_t pick = data[0];
  const std::uint32_t format = formats[pick & 3];
  std::optional<std::uint8_t> positions;
  switch ((pick >> 2) & 3) {
    case 1:
      positions = 4;
      break;
    case 2:
      positions = 7;
      break;
    case 3:
      positions = static_cast<std::uint8_t>(pick >> 4);
      break;
    default:
      break;
  }
  positions_rule(format, positions);
  const ByteSpan record(data + 1, size - 1);
  auto lock = storage::schema::record_schema(record, format, positions);
  if (!lock) return 0;
  // Whatever a record may hold, its schema can be committed and read back.
  auto blob = storage::schema::encode_schema_lock(*lock);
  if (!blob) std::abort();
  auto again = storage::schema::decode_schema_lock(as_span(*blob));
  if (!again || !(*again == *lock)) std::abort();

  // The readers accept what the validator accepts, and find the same head.
  auto context = soa::SoaContext::from_parts(format, lock->positions_type, true);
  check(context.has_value());
  auto flat = soa::parse_mol_fast_soa(record, context->stride);
  check(flat.has_value());
  auto view = soa::SoaMoleculeView::from_storage(soa::SoaBytes(Bytes(record.begin(), record.end())),
                                                 context->stride, context->positions_type);
  check(view.has_value() && view->n_atoms() == flat->n_atoms &&
        view->positions_len() == flat->positions.size());
  return 0;
}
