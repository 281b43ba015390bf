#include "crivane/atom.hpp"

#include <cmath>

#include <gtest/gtest.h>

#include "crivane/error.hpp"

namespace crivane {
namespace {

using atom::Atom;
using atom::Molecule;

TEST(ErrorTest, DisplayAndDebugForms) {
  struct Case {
    Error error;
    const char* display;
    const char* debug;
  };
  const Case cases[] = {
      {Error::io("failed to fill whole buffer"), "IO error: failed to fill whole buffer",
       "Io(\"failed to fill whole buffer\")"},
      {Error::compression("Zstd compression failed: x"),
       "Compression error: Zstd compression failed: x",
       "Compression(\"Zstd compression failed: x\")"},
      {Error::invalid_data("Section 'a\"b' is too long"),
       "Invalid data: Section 'a\"b' is too long", "InvalidData(\"Section 'a\\\"b' is too long\")"},
      {Error::io_errno(2), "IO error: No such file or directory (os error 2)",
       "Io(\"No such file or directory (os error 2)\")"},
      {Error::out_of_memory(), "Out of memory", "OutOfMemory(\"\")"},
      {Error::decode("Invalid pbc payload length"), "Invalid pbc payload length",
       "Decode(\"Invalid pbc payload length\")"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.to_string(), c.display);
    EXPECT_EQ(c.error.debug(), c.debug);
  }
}

TEST(MoleculeTest, ZeroAtomsIsValid) {
  auto m = Molecule::create({}, {});
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->n_atoms(), 0u);
  EXPECT_TRUE(m->to_atoms().empty());
  EXPECT_FALSE(m->atom(0).has_value());
}

TEST(MoleculeTest, CountMismatchIsABareMessage) {
  auto m = Molecule::create({{0, 0, 0}, {1, 1, 1}, {2, 2, 2}}, {1, 2});
  ASSERT_FALSE(m.has_value());
  EXPECT_EQ(m.error(), "Atomic numbers length (2) doesn't match atom count (3)");
  auto m64 = Molecule::create_f64({{0, 0, 0}}, {1, 2});
  ASSERT_FALSE(m64.has_value());
  EXPECT_EQ(m64.error(), "Atomic numbers length (2) doesn't match atom count (1)");
}

TEST(MoleculeTest, NewMoleculeHasOnlyPositionsAndNumbers) {
  auto m = Molecule::create({{1, 2, 3}}, {8});
  ASSERT_TRUE(m.has_value());
  EXPECT_FALSE(m->name || m->forces || m->energy || m->charges || m->velocities || m->cell ||
               m->pbc || m->stress);
  EXPECT_TRUE(m->atom_properties.empty());
  EXPECT_TRUE(m->properties.empty());
  m->forces =
      types::Vec3Data(std::in_place_index<0>, std::vector<types::Vec3F32>{{1, 1, 1}, {2, 2, 2}});
  EXPECT_EQ(m->n_atoms(), 1u);
}

TEST(MoleculeTest, Float64AtomsAreRoundedToNearestFloat32) {
  const double x = 0.1, y = 1e300, z = -2.5;
  auto m = Molecule::create_f64({{x, y, z}, {1, 2, 3}}, {6, 7});
  ASSERT_TRUE(m.has_value());
  auto a = m->atom(0);
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->position[0], static_cast<float>(x));
  EXPECT_TRUE(std::isinf(a->position[1]));
  EXPECT_EQ(a->position[2], -2.5f);
  EXPECT_EQ(a->atomic_number, 6);
  EXPECT_FALSE(m->atom(2).has_value());
  EXPECT_EQ(m->to_atoms(), (std::vector<Atom>{*a, Atom{{1, 2, 3}, 7}}));
}

TEST(MoleculeTest, ToAtomsSkipsAtomsWithoutAPosition) {
  // A molecule that breaks the invariant (edited in place) yields only whole atoms.
  auto m = Molecule::create({{1, 1, 1}}, {1});
  ASSERT_TRUE(m.has_value());
  m->atomic_numbers.push_back(2);
  EXPECT_EQ(m->to_atoms().size(), 1u);
}

}  // namespace
}  // namespace crivane
