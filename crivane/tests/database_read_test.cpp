// Reading records: by index, in parallel, through the mapping or the file.
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crivane/record/view.hpp"
#include "crivane/storage/database.hpp"
#include "support/db_files.hpp"
#include "support/expect.hpp"
#include "support/le_bytes.hpp"
#include "support/temp_dir.hpp"

namespace crivane::storage {
namespace {

using atom::Molecule;
using compression::CompressionType;
using crivane::testing::fails_with;
using crivane::testing::overwrite;
using crivane::testing::read_slot;
using crivane::testing::record_of;
using crivane::testing::seeded_molecule;
using crivane::testing::succeeds;
using crivane::testing::TempDir;
using crivane::testing::to_vec;
using header::kDataStart;
using Records = std::vector<std::vector<std::uint8_t>>;
using Indices = std::vector<std::size_t>;
using crivane::testing::open_db;

const CompressionType kCodecs[] = {CompressionType::None(), CompressionType::Lz4(),
                                   CompressionType::Zstd(5)};

std::vector<Molecule> five_molecules() {
  std::vector<Molecule> ms;
  for (std::size_t i = 0; i < 5; ++i) ms.push_back(seeded_molecule(10 + i, 2 * i + 1));
  return ms;
}

// A committed file of five_molecules() under codec `c`.
void make_committed(const std::filesystem::path& path, CompressionType c) {
  auto db = AtomDatabase::create_with_format(path, c);
  ASSERT_TRUE(succeeds(db));
  ASSERT_TRUE(succeeds(db->add_molecules(five_molecules())));
  ASSERT_TRUE(succeeds(db->flush()));
}

Records records(const Result<std::vector<Bytes>>& r) {
  Records out;
  if (!r) {
    ADD_FAILURE() << r.error().to_string();
    return out;
  }
  for (const Bytes& b : *r) out.push_back(to_vec(b));
  return out;
}

TEST(ReadTest, RecordsByIndexInRequestOrder) {
  const auto ms = five_molecules();
  for (const CompressionType c : kCodecs) {
    TempDir dir;
    make_committed(dir.file("db"), c);
    for (const bool mmap : {false, true}) {
      SCOPED_TRACE(std::to_string(c.codec_code()) + (mmap ? " mapped" : " file"));
      AtomDatabase db = open_db(dir.file("db"), mmap);
      EXPECT_EQ(records(db.get_raw_bytes(Indices{2, 0, 2})),
                (Records{record_of(ms[2], 2), record_of(ms[0], 2), record_of(ms[2], 2)}));
      auto both = db.read_decompress_parallel(Indices{4, 1});
      ASSERT_TRUE(succeeds(both));
      EXPECT_EQ(to_vec(both->records[0]), record_of(ms[4], 2));
      EXPECT_EQ(to_vec(both->records[1]), record_of(ms[1], 2));
      EXPECT_EQ(both->n_atoms, (std::vector<std::uint32_t>{9, 3}));
      EXPECT_TRUE(records(db.get_raw_bytes(Indices{})).empty());

      EXPECT_EQ(db.num_atoms(3), 7u);
      EXPECT_EQ(db.uncompressed_size(3), record_of(ms[3], 2).size());
      EXPECT_FALSE(db.num_atoms(5).has_value());
      EXPECT_FALSE(db.uncompressed_size(5).has_value());
      const auto entry = db.index_entry(3);
      ASSERT_TRUE(entry.has_value());
      EXPECT_EQ(std::uint32_t{entry->n_atoms}, 7u);
      EXPECT_EQ(std::uint32_t{entry->uncompressed_len}, record_of(ms[3], 2).size());
      EXPECT_FALSE(db.index_entry(5).has_value());
    }
  }
}

TEST(ReadTest, AnIndexPastTheEndFailsTheWholeCall) {
  TempDir dir;
  make_committed(dir.file("db"), CompressionType::Lz4());
  for (const bool mmap : {false, true}) {
    AtomDatabase db = open_db(dir.file("db"), mmap);
    EXPECT_TRUE(fails_with(db.get_raw_bytes(Indices{0, 99}), "Index 99 out of bounds"));
    EXPECT_TRUE(fails_with(db.get_raw_bytes(Indices{99, 100}), "Index 99 out of bounds"));
    EXPECT_TRUE(fails_with(db.read_decompress_parallel(Indices{1, 5}), "Index 5 out of bounds"));
  }
}

TEST(ReadTest, AppendedRecordsReadBeforeAnyFlush) {
  for (const CompressionType c : kCodecs) {
    SCOPED_TRACE(static_cast<int>(c.codec_code()));
    TempDir dir;
    auto db = AtomDatabase::create_with_format(dir.file("db"), c);
    ASSERT_TRUE(succeeds(db));
    const Molecule m = seeded_molecule(3, 6);
    ASSERT_TRUE(succeeds(db->add_molecule(m)));
    EXPECT_EQ(records(db->get_raw_bytes(Indices{0})), Records{record_of(m, 2)});
  }
}

TEST(ReadTest, SharedBytesSpanTheStoredRecordAndOutliveTheDatabase) {
  const auto ms = five_molecules();
  TempDir dir;
  make_committed(dir.file("db"), CompressionType::None());
  std::vector<SharedMmapBytes> shares;
  {
    AtomDatabase db = open_db(dir.file("db"), true);
    std::uint64_t offset = kDataStart;
    for (std::size_t i = 0; i < ms.size(); ++i) {
      const auto share = db.get_shared_mmap_bytes(i);
      ASSERT_TRUE(share.has_value());
      const std::size_t len = record_of(ms[i], 2).size();
      EXPECT_EQ(share->start(), offset);
      EXPECT_EQ(share->end(), offset + len);
      const auto slice = db.get_compressed_slice(i);
      ASSERT_TRUE(slice.has_value());
      EXPECT_EQ(slice->data(), share->as_slice().data());
      EXPECT_EQ(slice->size(), len);
      offset += len;
      shares.push_back(*share);
    }
    EXPECT_FALSE(db.get_shared_mmap_bytes(ms.size()).has_value());
    EXPECT_FALSE(db.get_compressed_slice(ms.size()).has_value());
  }
  for (std::size_t i = 0; i < ms.size(); ++i) {
    EXPECT_EQ(to_vec(shares[i].as_slice()), record_of(ms[i], 2));
  }
}

TEST(ReadTest, SlicesOfACompressedDatabaseHoldTheStoredBytes) {
  TempDir dir;
  make_committed(dir.file("db"), CompressionType::Zstd(5));
  AtomDatabase db = open_db(dir.file("db"), true);
  const auto slice = db.get_compressed_slice(4);
  ASSERT_TRUE(slice.has_value());
  auto record = compression::decompress(*slice, db.compression(), db.uncompressed_size(4));
  ASSERT_TRUE(succeeds(record));
  EXPECT_EQ(to_vec(*record), record_of(five_molecules()[4], 2));
}

TEST(ReadTest, NoSlicesWithoutAMapping) {
  TempDir dir;
  make_committed(dir.file("db"), CompressionType::None());
  AtomDatabase db = open_db(dir.file("db"), false);
  for (std::size_t i = 0; i <= db.len(); ++i) {
    EXPECT_FALSE(db.get_compressed_slice(i).has_value());
    EXPECT_FALSE(db.get_shared_mmap_bytes(i).has_value());
  }
}

// Record bytes through the data mapping: in place without a codec, in a
// buffer of their own with one, and never through the file.
TEST(ReadTest, RecordBytesThroughTheMapping) {
  enum class Gives { InPlace, Decompressed, Missing, CodecError };
  struct Case {
    const char* name;
    CompressionType codec;
    bool mmap;
    std::size_t index;
    Gives gives;
    const char* missing = "";
  };
  const Case cases[] = {
      {"none, mapped", CompressionType::None(), true, 3, Gives::InPlace},
      {"lz4, mapped", CompressionType::Lz4(), true, 3, Gives::Decompressed},
      {"zstd, mapped", CompressionType::Zstd(5), true, 3, Gives::Decompressed},
      {"none, file", CompressionType::None(), false, 3, Gives::Missing,
       "Missing mmap bytes for molecule 3"},
      {"lz4, file", CompressionType::Lz4(), false, 3, Gives::Missing,
       "Missing compressed bytes for molecule 3"},
      {"none, past the end", CompressionType::None(), true, 5, Gives::Missing,
       "Missing mmap bytes for molecule 5"},
      {"zstd, past the end", CompressionType::Zstd(5), true, 5, Gives::Missing,
       "Missing compressed bytes for molecule 5"},
      {"lz4, damaged", CompressionType::Lz4(), true, 3, Gives::CodecError},
      {"zstd, damaged", CompressionType::Zstd(5), true, 3, Gives::CodecError},
  };
  const auto expected = record_of(five_molecules()[3], 2);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto path = dir.file("db");
    make_committed(path, c.codec);
    if (c.gives == Gives::CodecError) {
      const std::uint64_t offset = open_db(path, false).index_entry(3)->offset;
      overwrite(path, offset, std::vector<std::uint8_t>(8, 0xFF));
    }
    std::optional<SharedRecordBytes> kept;
    {
      AtomDatabase db = open_db(path, c.mmap);
      EXPECT_EQ(db.reads_through_mapping(), c.mmap);
      auto record = db.record_bytes(c.index);
      auto shared = db.shared_record_bytes(c.index);
      switch (c.gives) {
        case Gives::InPlace:
        case Gives::Decompressed: {
          ASSERT_TRUE(succeeds(record));
          ASSERT_TRUE(succeeds(shared));
          EXPECT_EQ(to_vec(record->span()), expected);
          EXPECT_EQ(to_vec(shared->span()), expected);
          const bool in_place = c.gives == Gives::InPlace;
          EXPECT_EQ(record->is_borrowed(), in_place);
          EXPECT_EQ(shared->is_shared(), in_place);
          if (in_place) {
            const ByteSpan stored = *db.get_compressed_slice(c.index);
            EXPECT_EQ(record->span().data(), stored.data());
            EXPECT_EQ(shared->span().data(), stored.data());
          }
          kept.emplace(std::move(shared).value());
          break;
        }
        case Gives::Missing:
          EXPECT_TRUE(fails_with(record, c.missing));
          EXPECT_TRUE(fails_with(shared, c.missing));
          break;
        case Gives::CodecError: {
          // The error the parallel reader gives for the same bytes.
          const auto raw = db.get_raw_bytes(Indices{c.index});
          ASSERT_FALSE(raw.has_value());
          EXPECT_EQ(raw.error().kind(), Error::Kind::Compression);
          ASSERT_FALSE(record.has_value());
          ASSERT_FALSE(shared.has_value());
          EXPECT_EQ(record.error(), raw.error());
          EXPECT_EQ(shared.error(), raw.error());
          break;
        }
      }
    }
    // The database is gone; a share of its mapping still reads.
    if (kept) {
      EXPECT_EQ(to_vec(kept->span()), expected);
    }
  }
}

// Records appended after a mapped open of a file without a committed index
// lie outside the mapping: readers take the file.
TEST(ReadTest, RecordsAppendedAfterAMappedOpenAreNotReadThroughTheMapping) {
  TempDir dir;
  const auto path = dir.file("db");
  (void)crivane::testing::create_db(path);
  AtomDatabase db = open_db(path, true);
  const Molecule m = seeded_molecule(2, 5);
  ASSERT_TRUE(succeeds(db.add_molecule(m)));
  EXPECT_FALSE(db.reads_through_mapping());
  EXPECT_TRUE(fails_with(db.record_bytes(0), "Missing mmap bytes for molecule 0"));
  EXPECT_TRUE(fails_with(db.shared_record_bytes(0), "Missing mmap bytes for molecule 0"));
  EXPECT_EQ(records(db.get_raw_bytes(Indices{0})), Records{record_of(m, 2)});
}

TEST(ReadTest, SchemaInfo) {
  TempDir dir;
  auto db = AtomDatabase::create_with_format(dir.file("db"), CompressionType::None());
  ASSERT_TRUE(succeeds(db));
  EXPECT_FALSE(db->schema_info().has_value());

  Molecule m = seeded_molecule(1, 2);
  m.atom_properties["q"] = types::PropertyValue(std::vector<double>{0.5, -0.5});
  m.properties["a"] = types::PropertyValue(std::string("text"));
  ASSERT_TRUE(succeeds(db->add_molecule(m)));
  const DatabaseSchema expected{{{"energy", 8, 8, false, 0, 0},
                                 {"forces", 12, 12, true, 0, 4},
                                 {"q", 8, 8, true, 1, 3},
                                 {"a", 0, 0, false, 2, 2},
                                 {"seed", 8, 8, false, 2, 1}},
                                4};
  EXPECT_EQ(db->schema_info(), expected);
}

// Entries that point where the file has no bytes (a damaged index): read
// through the file they fail as short reads, and they are never read from
// beyond the mapping.
TEST(ReadTest, EntriesPastTheFileEnd) {
  struct Case {
    const char* name;
    std::uint64_t offset;
    std::uint32_t compressed_len;
  };
  const Case cases[] = {
      {"length past the end", kDataStart, 0xFFFFFF00},
      {"offset past the end", 1ull << 40, 10},
      {"range past 2^64", std::numeric_limits<std::uint64_t>::max() - 4, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto path = dir.file("db");
    make_committed(path, CompressionType::None());
    // Entry 1 of the committed index blob: offset, then compressed_len.
    const std::uint64_t entry1 = read_slot(path, 1)->index_offset + 8 + 20;
    overwrite(path, entry1,
              crivane::testing::LeBytes().i64(c.offset).u32(c.compressed_len).bytes());
    for (const bool mmap : {false, true}) {
      SCOPED_TRACE(mmap);
      AtomDatabase db = open_db(path, mmap);
      auto r = db.get_raw_bytes(Indices{0, 1});
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error(), Error::io("failed to fill whole buffer"));
      EXPECT_FALSE(db.get_shared_mmap_bytes(1).has_value());
      EXPECT_FALSE(db.get_compressed_slice(1).has_value());
      EXPECT_TRUE(fails_with(db.record_bytes(1), "Missing mmap bytes for molecule 1"));
      EXPECT_TRUE(fails_with(db.shared_record_bytes(1), "Missing mmap bytes for molecule 1"));
      EXPECT_EQ(records(db.get_raw_bytes(Indices{2})), Records{record_of(five_molecules()[2], 2)});
    }
  }
}

// A view of a record is checked against the atom count of its index entry,
// which readers take on trust.
TEST(ReadTest, ViewsAgreeWithTheirIndexEntrysAtomCount) {
  TempDir dir;
  const auto path = dir.file("db");
  make_committed(path, CompressionType::None());
  // Entry 1 (3 atoms) claims 4: its atom count is 16 bytes into it.
  overwrite(path, read_slot(path, 1)->index_offset + 8 + 20 + 16,
            crivane::testing::LeBytes().u32(4).bytes());
  const AtomDatabase db = open_db(path, false);
  const soa::SoaContext context = soa::SoaContext::from_database(db).value();
  auto view = [&](std::size_t i) {
    auto raw = db.get_raw_bytes(Indices{i});
    return soa::SoaMoleculeView::from_bytes(std::move(raw.value().front()), context).value();
  };

  EXPECT_TRUE(fails_with(
      view(1).check_index_atoms(db, 1),
      "Record 1 holds 3 atoms, but its index entry says 4; the database's index is damaged"));
  EXPECT_TRUE(succeeds(view(2).check_index_atoms(db, 2)));
  EXPECT_TRUE(fails_with(
      view(2).check_index_atoms(db, 1),
      "Record 1 holds 5 atoms, but its index entry says 4; the database's index is damaged"));
  EXPECT_TRUE(fails_with(view(2).check_index_atoms(db, 5), "Index 5 out of bounds"));
}

}  // namespace
}  // namespace crivane::storage
