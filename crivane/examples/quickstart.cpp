// A first look at the engine: build a molecule and encode it into a record.
#include <cstdio>

#include "crivane/atom.hpp"
#include "crivane/storage/soa.hpp"

int main() {
  using namespace crivane;
  auto water = atom::Molecule::create(
      {{0.0f, 0.0f, 0.119f}, {0.0f, 0.763f, -0.477f}, {0.0f, -0.763f, -0.477f}}, {8, 1, 1});
  if (!water) {
    std::fprintf(stderr, "%s\n", water.error().c_str());
    return 1;
  }
  water->energy = types::FloatScalarData(-76.4);
  water->forces = types::Vec3Data(
      std::vector<types::Vec3F32>{{0.0f, 0.0f, 0.1f}, {0.0f, 0.2f, -0.05f}, {0.0f, -0.2f, -0.05f}});
  water->properties["method"] = types::PropertyValue(std::string("B3LYP"));

  const std::uint32_t format = storage::soa::minimum_record_format_for_molecule(*water);
  auto record = storage::soa::serialize_molecule_soa(*water, format);
  if (!record) {
    std::fprintf(stderr, "%s\n", record.error().to_string().c_str());
    return 1;
  }
  std::printf("encoded a molecule of %zu atoms into a %zu-byte record (format %u)\n",
              water->n_atoms(), record->size(), format);
  return 0;
}
