// Record bytes from disk through the lazy view and every reader built on it.
// The first input byte picks the positions row size and tag, including pairs
// that disagree and tags no database uses.
#include <cstdint>
#include <cstdlib>

#include "crivane/record/decode.hpp"
#include "crivane/record/view.hpp"

namespace {

using crivane::storage::soa::BuiltinSlot;
using crivane::storage::soa::SoaBytes;
using crivane::storage::soa::SoaMoleculeView;

void check(bool ok) {
  if (!ok) std::abort();
}

void decode_slot(const SoaMoleculeView& view, const std::optional<BuiltinSlot>& slot) {
  if (!slot) return;
  auto payload = view.builtin_payload(*slot);
  check(payload.has_value() && payload->size() == slot->payload_len);
  (void)crivane::storage::soa::py_decode_vec3_data(*payload, slot->type_tag, "field");
  (void)crivane::storage::soa::py_decode_mat3_data(*payload, slot->type_tag, "field");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const struct {
    std::size_t stride;
    std::uint8_t positions_type;
  } kContexts[] = {{12, 4}, {24, 7}, {12, 7}, {24, 4}, {12, 0}, {24, 9}};
  const auto& context = kContexts[data[0] % 6];
  // An exact-size copy, so that the sanitizers see any read past the record.
  crivane::Bytes record(data + 1, data + size);
  auto parsed = SoaMoleculeView::from_storage(SoaBytes(std::move(record)), context.stride,
                                              context.positions_type);
  if (!parsed) return 0;
  const SoaMoleculeView& view = *parsed;

  check(view.positions_bytes().size() == view.positions_len());
  check(view.atomic_numbers_bytes().size() == view.n_atoms());
  for (const auto* slot :
       {&view.forces_slot(), &view.energy_slot(), &view.cell_slot(), &view.stress_slot(),
        &view.charges_slot(), &view.velocities_slot(), &view.pbc_slot(), &view.name_slot()}) {
    decode_slot(view, *slot);
  }
  (void)view.pbc();
  (void)view.energy();
  (void)view.atom_at(0);
  if (view.n_atoms() > 0) (void)view.atom_at(view.n_atoms() - 1);
  check(view.atom_at(view.n_atoms()).has_value() && !view.atom_at(view.n_atoms())->has_value());

  bool keys_ok = true;
  for (const auto& section : view.custom()) {
    auto payload = view.custom_payload(section);
    check(payload.has_value());
    (void)crivane::storage::soa::decode_property_value(section.type_tag, *payload);
    auto key = view.lazy_section_key(section);
    if (!key) {
      keys_ok = false;
      continue;
    }
    auto found = view.find_custom_section(section.kind, *key);
    // An earlier key of the same kind may be undecodable.
    if (found.has_value()) check(found->has_value());
  }
  (void)view.find_custom_section(2, "energy");

  auto schema = view.database_schema();
  if (schema) check(schema->positions_type == view.positions_type());
  auto same = view.same_schema_as(view);
  if (keys_ok) check(same.has_value() && *same);

  auto molecule = view.materialize();
  if (molecule) check(molecule->n_atoms() == view.n_atoms());
  return 0;
}
