// Record bytes from disk through the lazy view and every reader built on it:
// the payload decoders, the array getters' checks and copies, and the
// property reader of get_property. The first input byte picks the positions
// row size and tag, including pairs that disagree and tags no database uses.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "crivane/record/decode.hpp"
#include "crivane/record/view.hpp"

namespace {

using namespace crivane::storage;
using soa::BuiltinSlot;
using soa::PayloadValues;
using soa::SoaBytes;
using soa::SoaMoleculeView;

void check(bool ok) {
  if (!ok) std::abort();
}

// Copies accepted values out as an array getter would, into memory of
// exactly their size; `count` is how many values the getter's shape holds.
void copy_out(const crivane::Result<PayloadValues>& values, std::size_t count) {
  if (!values) return;
  check(values->count() == count);
  check(values->count() * soa::element_bytes(values->type) == values->bytes.size());
  std::vector<std::uint8_t> out(values->bytes.size());
  if (!out.empty()) std::memcpy(out.data(), values->bytes.data(), out.size());
}

void decode_slot(const SoaMoleculeView& view, const std::optional<BuiltinSlot>& slot) {
  if (!slot) return;
  auto payload = view.builtin_payload(*slot);
  check(payload.has_value() && payload->size() == slot->payload_len);
  (void)soa::py_decode_vec3_data(*payload, slot->type_tag, "field");
  (void)soa::py_decode_mat3_data(*payload, slot->type_tag, "field");
  const std::size_t n = view.n_atoms();
  copy_out(soa::builtin_vec3_values(view, *slot, "field"), 3 * n);
  copy_out(soa::builtin_mat3_values(view, *slot, "field"), 9);
  copy_out(soa::builtin_float_array_values(view, *slot, "field"), n);
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
  // The positions getter does not measure the block; only whole values pass.
  auto positions =
      soa::vec3_payload_values(view.positions_bytes(), view.positions_type(), "positions");
  if (positions) copy_out(positions, positions->count());
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
    (void)soa::decode_property_value(section.type_tag, *payload);
    auto property = soa::property_section_payload(section.type_tag, *payload);
    if (property && (property->kind == soa::PropertyPayload::Kind::Array ||
                     property->kind == soa::PropertyPayload::Kind::Vec3Rows)) {
      check(property->kind != soa::PropertyPayload::Kind::Vec3Rows ||
            property->values.count() % 3 == 0);
      copy_out(property->values, property->values.count());
    }
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
