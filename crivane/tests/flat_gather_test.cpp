// The flat export's gather over a database, without Python.
#include "crivane/record/flat_gather.hpp"

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "support/db_files.hpp"
#include "support/fork.hpp"
#include "support/temp_dir.hpp"

namespace crivane::storage::soa {
namespace {

using crivane::testing::create_db;
using crivane::testing::open_db;
using crivane::testing::run_with_spare_address_space;
using crivane::testing::seeded_molecule;
using crivane::testing::TempDir;

std::vector<float> floats(const ColumnBytes& column) {
  std::vector<float> out(column.size() / sizeof(float));
  std::memcpy(out.data(), column.data(), column.size());
  return out;
}

// Repeated and reordered indices give rows in selection order, read through
// the mapping or from the file alike.
TEST(FlatGather, RowsFollowTheSelection) {
  TempDir dir;
  {
    AtomDatabase db = create_db(dir.file("db"), compression::CompressionType::Lz4());
    ASSERT_TRUE(db.add_molecules(std::vector{seeded_molecule(1, 1), seeded_molecule(2, 2)}));
    ASSERT_TRUE(db.flush());
  }
  for (bool mmap : {true, false}) {
    SCOPED_TRACE(mmap);
    const AtomDatabase db = open_db(dir.file("db"), mmap);
    const std::vector<std::size_t> selection = {1, 0, 1};
    auto g = gather(db, selection);
    ASSERT_TRUE(g.has_value()) << g.error().to_string();
    EXPECT_EQ(g->n_atoms, (std::vector<std::uint32_t>{2, 1, 2}));
    EXPECT_EQ(g->total_atoms, 5u);
    // Positions of seed s, atom i: (131 s + i, + 0.25, - 0.5).
    EXPECT_EQ(floats(g->positions.bytes),
              (std::vector<float>{262, 262.25f, 261.5f, 263, 263.25f, 262.5f, 131, 131.25f, 130.5f,
                                  262, 262.25f, 261.5f, 263, 263.25f, 262.5f}));
    std::vector<std::string> keys;
    for (const SectionSchema& c : g->reference) keys.push_back(c.key);
    EXPECT_EQ(keys, (std::vector<std::string>{"energy", "forces", "seed"}));
    double energy[3];
    ASSERT_EQ(g->columns[0].numeric.size(), sizeof energy);
    std::memcpy(energy, g->columns[0].numeric.data(), sizeof energy);
    EXPECT_EQ(std::vector<double>(energy, energy + 3), (std::vector<double>{-3, -1.5, -3}));
  }
}

// Columns too large for the memory left fail the call with an error value;
// the next gather works.
TEST(FlatGather, RunningOutOfMemoryIsAnError) {
  if (!crivane::testing::kAddressSpaceLimitWorks) GTEST_SKIP() << "sanitizers reserve the space";
  TempDir dir;
  {
    AtomDatabase db = create_db(dir.file("db"));
    ASSERT_TRUE(db.add_molecules(std::vector{seeded_molecule(1, 100'000), seeded_molecule(2, 1)}));
    ASSERT_TRUE(db.flush());
  }
  for (bool mmap : {true, false}) {
    SCOPED_TRACE(mmap);
    run_with_spare_address_space(std::uint64_t{256} << 20, [&] {
      const AtomDatabase db = open_db(dir.file("db"), mmap);
      // 400 copies of 100000 atoms: a positions column of 480 MB.
      const std::vector<std::size_t> many(400, 0);
      auto g = gather(db, many);
      ASSERT_FALSE(g.has_value());
      EXPECT_TRUE(g.error().is_out_of_memory()) << g.error().debug();
      const std::vector<std::size_t> one = {1};
      EXPECT_TRUE(gather(db, one).has_value());
    });
  }
}

}  // namespace
}  // namespace crivane::storage::soa
