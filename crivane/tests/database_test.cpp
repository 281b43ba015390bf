// Database lifecycle: create, open, commit and the uncommitted tail.
#include "crivane/storage/database.hpp"

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/db_files.hpp"
#include "support/expect.hpp"
#include "support/le_bytes.hpp"
#include "support/temp_dir.hpp"

namespace crivane::storage {
namespace {

using compression::CompressionType;
using crivane::testing::fails_with;
using crivane::testing::length_of_file;
using crivane::testing::overwrite;
using crivane::testing::read_file;
using crivane::testing::read_slot;
using crivane::testing::record_of;
using crivane::testing::seeded_molecule;
using crivane::testing::succeeds;
using crivane::testing::TempDir;
using crivane::testing::write_file;
using crivane::testing::write_slot;
using header::HeaderSlot;
using header::kDataStart;
using header::kSlotSize;

AtomDatabase create(const std::filesystem::path& path,
                    CompressionType c = CompressionType::None()) {
  auto db = AtomDatabase::create_with_format(path, c);
  if (!db) ADD_FAILURE() << db.error().to_string();
  return std::move(db).value();
}

AtomDatabase open(const std::filesystem::path& path, bool mmap) {
  auto db = AtomDatabase::open_with_options(path, mmap, false);
  if (!db) ADD_FAILURE() << db.error().to_string();
  return std::move(db).value();
}

// A committed database of `n` records.
void make_committed(const std::filesystem::path& path, std::size_t n) {
  AtomDatabase db = create(path);
  for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(i, 3))));
  ASSERT_TRUE(succeeds(db.flush()));
}

TEST(DatabaseCreateTest, ReplacesAFileWithTwoIdenticalEmptySlots) {
  const CompressionType codecs[] = {CompressionType::None(), CompressionType::Lz4(),
                                    CompressionType::Zstd(7), CompressionType::Zstd(-3)};
  for (const CompressionType c : codecs) {
    SCOPED_TRACE(static_cast<int>(c.codec_code()) * 100 + c.level);
    TempDir dir;
    const auto path = dir.file("db");
    write_file(path, std::vector<std::uint8_t>(1 << 20, 0xAB));

    AtomDatabase db = create(path, c);
    const std::vector<std::uint8_t> bytes = read_file(path);
    ASSERT_EQ(bytes.size(), kDataStart);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + kSlotSize, bytes.begin() + kSlotSize));
    const auto slot = read_slot(path, 0);
    ASSERT_TRUE(slot.has_value());
    HeaderSlot expected;
    expected.compression = c;
    EXPECT_EQ(*slot, expected);
    EXPECT_EQ(db.compression(), c);
    EXPECT_EQ(db.len(), 0u);
    EXPECT_EQ(db.record_format(), 2u);
    EXPECT_FALSE(db.has_schema_lock());
    EXPECT_EQ(db.path(), path);
  }
}

TEST(DatabaseCreateTest, ALevelWithoutZstdIsDropped) {
  TempDir dir;
  AtomDatabase db = create(dir.file("db"), CompressionType{CompressionType::Codec::Lz4, 9});
  EXPECT_EQ(db.compression(), CompressionType::Lz4());
  EXPECT_EQ(read_slot(dir.file("db"), 0)->compression, CompressionType::Lz4());
}

TEST(DatabaseCreateTest, FailsOnAMissingDirectory) {
  TempDir dir;
  auto db = AtomDatabase::create_with_format(dir.file("no/such/db"), CompressionType::None());
  ASSERT_FALSE(db.has_value());
  EXPECT_EQ(db.error().to_string(), "IO error: No such file or directory (os error 2)");
}

TEST(DatabaseOpenTest, NewDatabaseInBothModes) {
  for (const bool mmap : {false, true}) {
    SCOPED_TRACE(mmap);
    TempDir dir;
    create(dir.file("db"), CompressionType::Zstd(2));
    AtomDatabase db = open(dir.file("db"), mmap);
    EXPECT_EQ(db.len(), 0u);
    EXPECT_EQ(db.compression(), CompressionType::Zstd(2));
    EXPECT_EQ(db.record_format(), 2u);
    EXPECT_FALSE(db.has_schema_lock());
    EXPECT_FALSE(db.positions_type().has_value());
    // Without a committed index even a mapped open keeps an index in memory.
    EXPECT_FALSE(db.index_is_mapped());
    // Opening writes nothing; flushing commits generation 1 into slot 1.
    EXPECT_EQ(length_of_file(dir.file("db")), kDataStart);
    ASSERT_TRUE(succeeds(db.flush()));
    EXPECT_EQ(read_slot(dir.file("db"), 1)->generation, 1u);
    EXPECT_EQ(read_slot(dir.file("db"), 1)->index_offset, kDataStart);
  }
}

TEST(DatabaseOpenTest, PopulateOnlyAdvises) {
  TempDir dir;
  make_committed(dir.file("db"), 2);
  auto db = AtomDatabase::open_with_options(dir.file("db"), true, true);
  ASSERT_TRUE(succeeds(db));
  EXPECT_EQ(db->len(), 2u);
  EXPECT_TRUE(db->index_is_mapped());
}

// Damage done to a committed file of one record (slot 1, generation 1) and
// what opening it then reports.
TEST(DatabaseOpenTest, DamagedFiles) {
  struct Case {
    const char* name;
    std::function<void(const std::filesystem::path&)> damage;
    bool mmap;
    Error expected;
  };
  auto slot1 = [](const std::filesystem::path& p) { return *read_slot(p, 1); };
  auto put_u32 = [](const std::filesystem::path& p, std::uint64_t at, std::uint32_t v) {
    overwrite(p, at, crivane::testing::LeBytes().u32(v).bytes());
  };
  const Case cases[] = {
      {"magic damaged, slot 1 intact",
       [](auto& p) { overwrite(p, 0, std::vector<std::uint8_t>{'X'}); }, false,
       Error::invalid_data("Invalid file format")},
      {"version of slot 0", [&](auto& p) { put_u32(p, 4, 3); }, true,
       Error::invalid_data("Unsupported file format version 3 (expected 2)")},
      {"both slots fail their checksums",
       [](auto& p) {
         overwrite(p, 100, std::vector<std::uint8_t>{1});
         overwrite(p, kSlotSize + 100, std::vector<std::uint8_t>{1});
       },
       false, Error::invalid_data("Invalid or corrupted header (no valid header slots)")},
      {"newest slot has record format 7",
       [&](auto& p) {
         HeaderSlot s = slot1(p);
         s.record_format = 7;
         write_slot(p, 1, s);
       },
       true, Error::invalid_data("Unsupported record format 7.")},
      {"index blob count disagrees with the slot",
       [&](auto& p) {
         const HeaderSlot s = slot1(p);
         overwrite(p, s.index_offset, crivane::testing::LeBytes().u32(2).bytes());
       },
       false, Error::invalid_data("Index length mismatch (expected 48, got 28)")},
      {"schema blob version", [&](auto& p) { put_u32(p, slot1(p).schema_offset, 9); }, true,
       Error::invalid_data("Unsupported schema blob version 9")},
      {"file shorter than the magic and version",
       [](auto& p) { std::filesystem::resize_file(p, 5); }, false,
       Error::io("failed to fill whole buffer")},
      {"file shorter than both slots",
       [](auto& p) { std::filesystem::resize_file(p, kSlotSize + 10); }, false,
       Error::io("failed to fill whole buffer")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    make_committed(dir.file("db"), 1);
    c.damage(dir.file("db"));
    auto db = AtomDatabase::open_with_options(dir.file("db"), c.mmap, false);
    ASSERT_FALSE(db.has_value());
    EXPECT_EQ(db.error(), c.expected);
  }
}

TEST(DatabaseOpenTest, MappedOpenNeverReadsTheIndexCount) {
  // The mapped index takes its length from the slot alone.
  TempDir dir;
  make_committed(dir.file("db"), 1);
  overwrite(dir.file("db"), read_slot(dir.file("db"), 1)->index_offset,
            crivane::testing::LeBytes().u32(2).bytes());
  AtomDatabase db = open(dir.file("db"), true);
  EXPECT_EQ(db.len(), 1u);
  ASSERT_TRUE(succeeds(db.get_raw_bytes(std::vector<std::size_t>{0})));
}

TEST(DatabaseOpenTest, SlotZeroDamagedOpensFromSlotOne) {
  TempDir dir;
  const auto path = dir.file("db");
  {
    AtomDatabase db = create(path);
    ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(0, 2))));
    ASSERT_TRUE(succeeds(db.flush()));  // generation 1, slot 1
    ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(1, 2))));
    ASSERT_TRUE(succeeds(db.flush()));  // generation 2, slot 0
  }
  ASSERT_EQ(read_slot(path, 0)->generation, 2u);
  overwrite(path, 700, std::vector<std::uint8_t>{0x5A});  // a reserved byte of slot 0
  ASSERT_FALSE(read_slot(path, 0).has_value());
  for (const bool mmap : {false, true}) {
    AtomDatabase db = open(path, mmap);
    EXPECT_EQ(db.len(), 1u);
  }
}

TEST(DatabaseCommitTest, TwoFlushesInARow) {
  TempDir dir;
  const auto path = dir.file("db");
  AtomDatabase db = create(path);
  const std::vector<std::uint8_t> created = read_file(path);

  ASSERT_TRUE(succeeds(db.flush()));
  EXPECT_EQ(length_of_file(path), kDataStart + 8);
  HeaderSlot first;
  first.generation = 1;
  first.index_offset = kDataStart;
  first.index_len = 8;
  EXPECT_EQ(read_slot(path, 1), first);
  // Slot 0 still holds the creation's generation 0.
  EXPECT_TRUE(std::equal(created.begin(), created.begin() + kSlotSize, read_file(path).begin()));

  ASSERT_TRUE(succeeds(db.flush()));
  EXPECT_EQ(length_of_file(path), kDataStart + 16);
  HeaderSlot second = first;
  second.generation = 2;
  second.index_offset = kDataStart + 8;
  EXPECT_EQ(read_slot(path, 0), second);
  EXPECT_EQ(read_slot(path, 1), first);

  // Once a schema lock exists, each commit also appends a schema blob.
  const atom::Molecule m = seeded_molecule(4, 3);
  ASSERT_TRUE(succeeds(db.add_molecule(m)));
  ASSERT_TRUE(succeeds(db.flush()));
  const HeaderSlot third = *read_slot(path, 1);
  EXPECT_EQ(third.generation, 3u);
  EXPECT_EQ(third.record_count, 1u);
  EXPECT_EQ(third.schema_offset, kDataStart + 16 + record_of(m, 2).size());
  EXPECT_EQ(third.index_offset, third.schema_offset + third.schema_len);
  EXPECT_EQ(third.index_len, 28u);
  const std::uint64_t before = length_of_file(path);
  ASSERT_TRUE(succeeds(db.flush()));
  EXPECT_EQ(length_of_file(path), before + third.schema_len + 28);
  const HeaderSlot fourth = *read_slot(path, 0);
  EXPECT_EQ(fourth.generation, 4u);
  EXPECT_EQ(fourth.schema_offset, before);
  EXPECT_EQ(fourth.schema_len, third.schema_len);
  EXPECT_EQ(fourth.index_offset, before + third.schema_len);

  // Both commits' blobs describe the same state.
  AtomDatabase reopened = open(path, false);
  EXPECT_EQ(reopened.len(), 1u);
  EXPECT_EQ(reopened.schema_info(), db.schema_info());
}

TEST(DatabaseCommitTest, CommitsTheRecordFormatAndCodec) {
  TempDir dir;
  const auto path = dir.file("db");
  atom::Molecule m = seeded_molecule(1, 2);
  m.energy = types::FloatScalarData(1.5f);  // float32 energy needs format 3
  {
    AtomDatabase db = create(path, CompressionType::Zstd(4));
    ASSERT_TRUE(succeeds(db.add_molecule(m)));
    ASSERT_TRUE(succeeds(db.flush()));
  }
  const HeaderSlot slot = *read_slot(path, 1);
  EXPECT_EQ(slot.record_format, 3u);
  EXPECT_EQ(slot.compression, CompressionType::Zstd(4));
  AtomDatabase db = open(path, false);
  EXPECT_EQ(db.record_format(), 3u);
  EXPECT_EQ(db.positions_type(), std::optional<std::uint8_t>(4));
}

TEST(DatabaseCommitTest, GenerationSaturatesInSlotOne) {
  TempDir dir;
  const auto path = dir.file("db");
  create(path);
  HeaderSlot top;
  top.generation = std::numeric_limits<std::uint64_t>::max();
  write_slot(path, 0, top);
  const auto slot0 = read_file(path);

  AtomDatabase db = open(path, false);
  ASSERT_TRUE(succeeds(db.flush()));
  EXPECT_EQ(read_slot(path, 1)->generation, top.generation);
  ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(2, 2))));
  ASSERT_TRUE(succeeds(db.flush()));
  EXPECT_EQ(read_slot(path, 1)->generation, top.generation);
  EXPECT_EQ(read_slot(path, 1)->record_count, 1u);
  EXPECT_TRUE(std::equal(slot0.begin(), slot0.begin() + kSlotSize, read_file(path).begin()));
  // Equal generations: slot 0 wins, which still names no records.
  EXPECT_EQ(open(path, false).len(), 0u);
}

TEST(DatabaseCommitTest, MappedCommittedDatabaseRefusesFlush) {
  TempDir dir;
  make_committed(dir.file("db"), 2);
  const auto before = read_file(dir.file("db"));
  AtomDatabase db = open(dir.file("db"), true);
  EXPECT_TRUE(db.index_is_mapped());
  EXPECT_TRUE(fails_with(db.flush(),
                         "Cannot flush a database opened with a memory-mapped index (read-only); "
                         "reopen without mmap to write."));
  EXPECT_EQ(read_file(dir.file("db")), before);
}

// Three records appended and never committed are gone after a reopen; the
// first write of a non-mapped open cuts them off before it writes.
TEST(DatabaseTailTest, UncommittedRecordsAreCutByTheFirstWrite) {
  struct Case {
    const char* name;
    std::function<Result<void>(AtomDatabase&)> first_write;
  };
  const atom::Molecule next = seeded_molecule(9, 4);
  const Case cases[] = {
      {"append", [&](AtomDatabase& db) { return db.add_molecule(next); }},
      {"flush", [](AtomDatabase& db) { return db.flush(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto path = dir.file("db");
    {
      AtomDatabase db = create(path);
      for (int i = 0; i < 3; ++i) ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(i, 5))));
      EXPECT_EQ(db.len(), 3u);
    }
    const std::uint64_t with_tail = length_of_file(path);
    ASSERT_GT(with_tail, kDataStart);

    {
      // A mapped open sees no records and cuts nothing.
      AtomDatabase mapped = open(path, true);
      EXPECT_EQ(mapped.len(), 0u);
    }
    EXPECT_EQ(length_of_file(path), with_tail);

    AtomDatabase db = open(path, false);
    EXPECT_EQ(db.len(), 0u);
    EXPECT_FALSE(db.has_schema_lock());
    EXPECT_EQ(length_of_file(path), with_tail);  // opening writes nothing
    ASSERT_TRUE(succeeds(c.first_write(db)));
    if (std::string(c.name) == "append") {
      EXPECT_EQ(length_of_file(path), kDataStart + record_of(next, 2).size());
      ASSERT_TRUE(succeeds(db.flush()));
      AtomDatabase mapped = open(path, true);
      ASSERT_EQ(mapped.len(), 1u);
      EXPECT_EQ(mapped.get_shared_mmap_bytes(0)->start(), kDataStart);
    } else {
      EXPECT_EQ(read_slot(path, 1)->index_offset, kDataStart);
      EXPECT_EQ(length_of_file(path), kDataStart + 8);
    }
  }
}

TEST(DatabaseTailTest, AFailedCutIsRetried) {
  TempDir dir;
  const auto path = dir.file("db");
  {
    AtomDatabase db = create(path);
    ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(1, 1))));
  }
  AtomDatabase db = open(path, false);
  // The file is gone: the cut cannot open it, and the flag stays set.
  const auto moved = dir.file("elsewhere");
  std::filesystem::rename(path, moved);
  auto r = db.flush();
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().to_string(), "IO error: No such file or directory (os error 2)");
  std::filesystem::rename(moved, path);
  ASSERT_TRUE(succeeds(db.truncate_uncommitted_tail_if_needed()));
  EXPECT_EQ(length_of_file(path), kDataStart);
}

// A slot that names a schema blob but no index (no commit of ours writes one)
// ends its committed state after that blob: a cut must not remove it, or a
// crash before the next commit would leave no valid slot.
TEST(DatabaseTailTest, ACutKeepsEveryBlobTheSlotNames) {
  TempDir dir;
  const auto path = dir.file("db");
  make_committed(path, 1);
  HeaderSlot schema_only = *read_slot(path, 1);
  schema_only.generation = 2;
  schema_only.index_offset = schema_only.index_len = schema_only.record_count = 0;
  write_slot(path, 0, schema_only);

  AtomDatabase db = open(path, false);
  EXPECT_EQ(db.len(), 0u);
  EXPECT_TRUE(db.has_schema_lock());
  ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(5, 3))));
  EXPECT_EQ(length_of_file(path), schema_only.schema_offset + schema_only.schema_len +
                                      record_of(seeded_molecule(5, 3), 2).size());
  EXPECT_EQ(read_slot(path, 0), schema_only);
  AtomDatabase reopened = open(path, false);
  EXPECT_EQ(reopened.len(), 0u);
  EXPECT_EQ(reopened.schema_info(), db.schema_info());
}

}  // namespace
}  // namespace crivane::storage
