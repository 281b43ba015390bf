// A first look at the engine: write a few molecules to a database, commit,
// reopen it memory-mapped and read one back.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "crivane/atom.hpp"
#include "crivane/storage/database.hpp"

namespace {

int fail(const crivane::Error& e) {
  std::fprintf(stderr, "%s\n", e.to_string().c_str());
  return 1;
}

}  // namespace

int main() {
  using namespace crivane;
  std::string dir = (std::filesystem::temp_directory_path() / "crivane-quickstart-XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) return 1;
  const std::filesystem::path path = std::filesystem::path(dir) / "water.crvn";

  std::vector<atom::Molecule> molecules;
  for (int i = 0; i < 3; ++i) {
    const float stretch = 0.01f * static_cast<float>(i);
    auto water = atom::Molecule::create(
        {{0.0f, 0.0f, 0.119f}, {0.0f, 0.763f + stretch, -0.477f}, {0.0f, -0.763f, -0.477f}},
        {8, 1, 1});
    if (!water) return std::fprintf(stderr, "%s\n", water.error().c_str()), 1;
    water->energy = types::FloatScalarData(-76.4 + 0.1 * i);
    water->properties["method"] = types::PropertyValue(std::string("B3LYP"));
    molecules.push_back(std::move(*water));
  }

  {
    auto db = storage::AtomDatabase::create_with_format(path, compression::CompressionType::None());
    if (!db) return fail(db.error());
    if (auto r = db->add_molecules(molecules); !r) return fail(r.error());
    if (auto r = db->flush(); !r) return fail(r.error());
  }

  auto db = storage::AtomDatabase::open_with_options(path, /*mmap=*/true, /*populate=*/false);
  if (!db) return fail(db.error());
  // Uncompressed and mapped: the record's bytes are shared, not copied.
  const auto record = db->get_shared_mmap_bytes(1);
  if (!record) return 1;
  std::printf("%zu molecules in %s; molecule 1 is a %zu-byte record of %u atoms\n", db->len(),
              path.c_str(), record->size(), *db->num_atoms(1));

  std::filesystem::remove_all(dir);
  return 0;
}
