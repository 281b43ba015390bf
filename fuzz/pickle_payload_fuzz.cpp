// Pickle payloads from anywhere through the payload reader. A payload that
// decodes must encode back to bytes that decode to the same bytes again, and
// the molecule must go through the record encoder without harm: a record
// that the engine accepts (encoder and schema derivation) must pass the
// record validator and come back unchanged through the lazy view.
#include <cstdint>
#include <cstdlib>

#include "crivane/record/encoder.hpp"
#include "crivane/record/pickle.hpp"
#include "crivane/record/schema.hpp"
#include "crivane/record/view.hpp"

namespace {

using namespace crivane::storage;
using crivane::Bytes;
using crivane::atom::Molecule;

void check(bool ok) {
  if (!ok) std::abort();
}

void through_a_record(const Molecule& m) {
  auto record = soa::serialize_molecule_soa(m, soa::kRecordFormatMixedDtypes);
  auto schema = crivane::storage::schema::schema_from_molecule(m);
  if (!record || !schema) return;
  const std::uint8_t positions_type = soa::positions_type_tag(m);
  check(crivane::storage::schema::record_schema(*record, soa::kRecordFormatMixedDtypes,
                                                positions_type)
            .has_value());
  auto view = soa::SoaMoleculeView::from_storage(
      soa::SoaBytes(Bytes(*record)), soa::positions_row_bytes(positions_type), positions_type);
  check(view.has_value());
  auto back = view->materialize();
  check(back.has_value());
  auto again = soa::serialize_molecule_soa(*back, soa::kRecordFormatMixedDtypes);
  check(again.has_value() && *again == *record);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact-size copy, so that the sanitizers see any read past the end.
  const Bytes payload(data, data + size);
  auto molecule = soa::decode_pickle_payload(payload);
  if (!molecule) {
    check(!molecule.error().message().empty());
    return 0;
  }
  const Bytes once = soa::encode_pickle_payload(*molecule);
  check(once.size() == soa::pickle_payload_size(*molecule));
  check(once.size() <= payload.size());  // duplicate keys only ever shrink it
  auto decoded = soa::decode_pickle_payload(once);
  check(decoded.has_value());
  check(soa::encode_pickle_payload(*decoded) == once);
  through_a_record(*molecule);
  return 0;
}
