// Database lifecycle: create, open, commit and the uncommitted tail.
#include "crivane/storage/database.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/db_files.hpp"
#include "support/expect.hpp"
#include "support/fork.hpp"
#include "support/le_bytes.hpp"
#include "support/temp_dir.hpp"

namespace crivane::storage {
namespace {

using compression::CompressionType;
using crivane::testing::create_db;
using crivane::testing::fails_with;
using crivane::testing::length_of_file;
using crivane::testing::open_db;
using crivane::testing::overwrite;
using crivane::testing::read_file;
using crivane::testing::read_slot;
using crivane::testing::record_of;
using crivane::testing::run_unprivileged;
using crivane::testing::seeded_molecule;
using crivane::testing::succeeds;
using crivane::testing::TempDir;
using crivane::testing::to_vec;
using crivane::testing::write_file;
using crivane::testing::write_slot;
using header::HeaderSlot;
using header::kDataStart;
using header::kSlotSize;

// A committed database of `n` records, seeded from `first` on.
void make_committed(const std::filesystem::path& path, std::size_t n, std::uint64_t first = 0) {
  AtomDatabase db = create_db(path);
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(first + i, 3))));
  }
  ASSERT_TRUE(succeeds(db.flush()));
}

// Every record of `db`, read back.
std::vector<std::vector<std::uint8_t>> records_of(const AtomDatabase& db) {
  std::vector<std::size_t> all(db.len());
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
  std::vector<std::vector<std::uint8_t>> out;
  auto got = db.get_raw_bytes(all);
  if (!got) ADD_FAILURE() << got.error().to_string();
  if (got) {
    for (const Bytes& b : *got) out.push_back(to_vec(b));
  }
  return out;
}

// Restores the working directory at scope end.
class CurrentDirectory {
 public:
  CurrentDirectory() : saved_(std::filesystem::current_path()) {}
  ~CurrentDirectory() { std::filesystem::current_path(saved_); }

 private:
  std::filesystem::path saved_;
};

TEST(DatabaseCreateTest, ReplacesAFileWithTwoIdenticalEmptySlots) {
  const CompressionType codecs[] = {CompressionType::None(), CompressionType::Lz4(),
                                    CompressionType::Zstd(7), CompressionType::Zstd(-3)};
  for (const CompressionType c : codecs) {
    SCOPED_TRACE(static_cast<int>(c.codec_code()) * 100 + c.level);
    TempDir dir;
    const auto path = dir.file("db");
    write_file(path, std::vector<std::uint8_t>(1 << 20, 0xAB));

    AtomDatabase db = create_db(path, c);
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
  AtomDatabase db = create_db(dir.file("db"), CompressionType{CompressionType::Codec::Lz4, 9});
  EXPECT_EQ(db.compression(), CompressionType::Lz4());
  EXPECT_EQ(read_slot(dir.file("db"), 0)->compression, CompressionType::Lz4());
}

TEST(DatabaseCreateTest, FailsOnAMissingDirectory) {
  TempDir dir;
  auto db = AtomDatabase::create_with_format(dir.file("no/such/db"), CompressionType::None());
  ASSERT_FALSE(db.has_value());
  EXPECT_EQ(db.error().to_string(), "IO error: No such file or directory (os error 2)");
}

// Replacing a database leaves whoever holds the old file on its bytes: views
// of the mapping, a mapped reader and a reader through the file, even once
// the new file has grown past every old record. The new file keeps the old
// one's permission bits, and a symbolic link stays a link to it.
TEST(DatabaseCreateTest, ReplacingLeavesReadersOnTheOldFile) {
  for (const bool through_link : {false, true}) {
    SCOPED_TRACE(through_link ? "through a link" : "direct");
    TempDir dir;
    const auto target = dir.file("db");
    const auto path = through_link ? dir.file("link") : target;
    if (through_link) std::filesystem::create_symlink("db", path);
    make_committed(target, 4);
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);

    AtomDatabase mapped = open_db(path, true);
    AtomDatabase unmapped = open_db(path, false);
    const auto old_records = records_of(unmapped);
    std::vector<SharedMmapBytes> views;
    for (std::size_t i = 0; i < mapped.len(); ++i)
      views.push_back(*mapped.get_shared_mmap_bytes(i));
    {
      AtomDatabase fresh = create_db(path);
      EXPECT_EQ(length_of_file(path), kDataStart);
      for (std::uint64_t i = 0; i < 8; ++i) {
        ASSERT_TRUE(succeeds(fresh.add_molecule(seeded_molecule(100 + i, 7))));
      }
      ASSERT_TRUE(succeeds(fresh.flush()));
    }
    ASSERT_GT(length_of_file(path), views.back().end());

    for (std::size_t i = 0; i < views.size(); ++i) {
      EXPECT_EQ(to_vec(views[i].as_slice()), old_records[i]) << i;
    }
    EXPECT_EQ(records_of(mapped), old_records);
    EXPECT_EQ(records_of(unmapped), old_records);
    EXPECT_EQ(open_db(path, false).len(), 8u);

    struct stat st;
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(std::filesystem::is_symlink(path), through_link);
    // No file made on the way is left behind.
    const auto entries = std::distance(std::filesystem::directory_iterator(dir.path()), {});
    EXPECT_EQ(entries, through_link ? 2 : 1);
  }
}

TEST(DatabaseOpenTest, NewDatabaseInBothModes) {
  for (const bool mmap : {false, true}) {
    SCOPED_TRACE(mmap);
    TempDir dir;
    create_db(dir.file("db"), CompressionType::Zstd(2));
    AtomDatabase db = open_db(dir.file("db"), mmap);
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

// An open without a mapping reads the committed index into memory. One
// larger than the memory left (here a sparse 2 GB one) fails the open with
// an error value.
TEST(DatabaseOpenTest, AnIndexLargerThanTheMemoryLeftIsAnErrorValue) {
  if (!crivane::testing::kAddressSpaceLimitWorks) GTEST_SKIP() << "sanitizers reserve the space";
  TempDir dir;
  const auto path = dir.file("db");
  make_committed(path, 1);
  HeaderSlot slot = *read_slot(path, 1);
  slot.record_count = 100'000'000;
  slot.index_offset = length_of_file(path);
  slot.index_len = 8 + 20 * slot.record_count;
  std::filesystem::resize_file(path, slot.index_offset + slot.index_len);
  write_slot(path, 1, slot);
  crivane::testing::run_with_spare_address_space(std::uint64_t{256} << 20, [&] {
    auto db = AtomDatabase::open_with_options(path, /*mmap=*/false, false);
    ASSERT_FALSE(db.has_value());
    EXPECT_TRUE(db.error().is_out_of_memory()) << db.error().debug();
  });
}

TEST(DatabaseOpenTest, MappedOpenNeverReadsTheIndexCount) {
  // The mapped index takes its length from the slot alone.
  TempDir dir;
  make_committed(dir.file("db"), 1);
  overwrite(dir.file("db"), read_slot(dir.file("db"), 1)->index_offset,
            crivane::testing::LeBytes().u32(2).bytes());
  AtomDatabase db = open_db(dir.file("db"), true);
  EXPECT_EQ(db.len(), 1u);
  ASSERT_TRUE(succeeds(db.get_raw_bytes(std::vector<std::size_t>{0})));
}

TEST(DatabaseOpenTest, SlotZeroDamagedOpensFromSlotOne) {
  TempDir dir;
  const auto path = dir.file("db");
  {
    AtomDatabase db = create_db(path);
    ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(0, 2))));
    ASSERT_TRUE(succeeds(db.flush()));  // generation 1, slot 1
    ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(1, 2))));
    ASSERT_TRUE(succeeds(db.flush()));  // generation 2, slot 0
  }
  ASSERT_EQ(read_slot(path, 0)->generation, 2u);
  overwrite(path, 700, std::vector<std::uint8_t>{0x5A});  // a reserved byte of slot 0
  ASSERT_FALSE(read_slot(path, 0).has_value());
  for (const bool mmap : {false, true}) {
    AtomDatabase db = open_db(path, mmap);
    EXPECT_EQ(db.len(), 1u);
  }
}

TEST(DatabaseCommitTest, TwoFlushesInARow) {
  TempDir dir;
  const auto path = dir.file("db");
  AtomDatabase db = create_db(path);
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
  AtomDatabase reopened = open_db(path, false);
  EXPECT_EQ(reopened.len(), 1u);
  EXPECT_EQ(reopened.schema_info(), db.schema_info());
}

TEST(DatabaseCommitTest, CommitsTheRecordFormatAndCodec) {
  TempDir dir;
  const auto path = dir.file("db");
  atom::Molecule m = seeded_molecule(1, 2);
  m.energy = types::FloatScalarData(1.5f);  // float32 energy needs format 3
  {
    AtomDatabase db = create_db(path, CompressionType::Zstd(4));
    ASSERT_TRUE(succeeds(db.add_molecule(m)));
    ASSERT_TRUE(succeeds(db.flush()));
  }
  const HeaderSlot slot = *read_slot(path, 1);
  EXPECT_EQ(slot.record_format, 3u);
  EXPECT_EQ(slot.compression, CompressionType::Zstd(4));
  AtomDatabase db = open_db(path, false);
  EXPECT_EQ(db.record_format(), 3u);
  EXPECT_EQ(db.positions_type(), std::optional<std::uint8_t>(4));
}

// A slot at the largest generation cannot be outranked: a commit after it
// would lose to it at the next open, so flush refuses before it writes
// anything (the pending tail is not cut either). Appends still work.
TEST(DatabaseCommitTest, AGenerationAtItsLimitRefusesTheCommit) {
  TempDir dir;
  const auto path = dir.file("db");
  make_committed(path, 1);
  HeaderSlot top = *read_slot(path, 1);
  top.generation = std::numeric_limits<std::uint64_t>::max();
  write_slot(path, 0, top);
  {
    AtomDatabase db = open_db(path, false);
    ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(1, 2))));
  }
  const std::string refusal =
      "Cannot flush: the commit generation is already 18446744073709551615, the largest a "
      "header slot holds";

  AtomDatabase db = open_db(path, false);
  const auto before = read_file(path);
  EXPECT_TRUE(fails_with(db.flush(), refusal));
  EXPECT_EQ(read_file(path), before);
  ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(2, 2))));
  EXPECT_EQ(db.len(), 2u);
  EXPECT_TRUE(fails_with(db.flush(), refusal));
  EXPECT_EQ(*read_slot(path, 0), top);
  EXPECT_EQ(open_db(path, false).len(), 1u);
}

TEST(DatabaseCommitTest, MappedCommittedDatabaseRefusesFlush) {
  TempDir dir;
  make_committed(dir.file("db"), 2);
  const auto before = read_file(dir.file("db"));
  AtomDatabase db = open_db(dir.file("db"), true);
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
      AtomDatabase db = create_db(path);
      for (int i = 0; i < 3; ++i) ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(i, 5))));
      EXPECT_EQ(db.len(), 3u);
    }
    const std::uint64_t with_tail = length_of_file(path);
    ASSERT_GT(with_tail, kDataStart);

    {
      // A mapped open sees no records and cuts nothing.
      AtomDatabase mapped = open_db(path, true);
      EXPECT_EQ(mapped.len(), 0u);
    }
    EXPECT_EQ(length_of_file(path), with_tail);

    AtomDatabase db = open_db(path, false);
    EXPECT_EQ(db.len(), 0u);
    EXPECT_FALSE(db.has_schema_lock());
    EXPECT_EQ(length_of_file(path), with_tail);  // opening writes nothing
    ASSERT_TRUE(succeeds(c.first_write(db)));
    if (std::string(c.name) == "append") {
      EXPECT_EQ(length_of_file(path), kDataStart + record_of(next, 2).size());
      ASSERT_TRUE(succeeds(db.flush()));
      AtomDatabase mapped = open_db(path, true);
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
  run_unprivileged(dir.path(), [&] {
    const auto path = dir.file("db");
    {
      AtomDatabase db = create_db(path);
      ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(1, 1))));
    }
    const std::uint64_t with_tail = length_of_file(path);
    // The file may not be written: the cut fails, and the flag stays set.
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    AtomDatabase db = open_db(path, false);
    auto r = db.flush();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().to_string(), "IO error: Permission denied (os error 13)");
    EXPECT_EQ(length_of_file(path), with_tail);
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    ASSERT_TRUE(succeeds(db.truncate_uncommitted_tail_if_needed()));
    EXPECT_EQ(length_of_file(path), kDataStart);
  });
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

  AtomDatabase db = open_db(path, false);
  EXPECT_EQ(db.len(), 0u);
  EXPECT_TRUE(db.has_schema_lock());
  ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(5, 3))));
  EXPECT_EQ(length_of_file(path), schema_only.schema_offset + schema_only.schema_len +
                                      record_of(seeded_molecule(5, 3), 2).size());
  EXPECT_EQ(read_slot(path, 0), schema_only);
  AtomDatabase reopened = open_db(path, false);
  EXPECT_EQ(reopened.len(), 0u);
  EXPECT_EQ(reopened.schema_info(), db.schema_info());
}

// The database works on the file it opened, for its whole life: renaming
// it away and putting another database under its name, or changing the
// directory a relative path was given in, sends no append, cut or commit to
// that other file.
TEST(DatabaseFileTest, StaysOnTheFileItOpened) {
  for (const bool created : {false, true}) {
    for (const bool relative : {false, true}) {
      SCOPED_TRACE(std::string(created ? "created" : "opened") +
                   (relative ? ", relative path, then chdir" : ", then renamed and replaced"));
      TempDir dir, elsewhere;
      make_committed(elsewhere.file("db"), 2, 100);
      const auto decoy = read_file(elsewhere.file("db"));
      CurrentDirectory cwd;
      std::filesystem::current_path(dir.path());
      const std::filesystem::path path = relative ? "db" : dir.file("db");

      std::size_t committed = 0;
      if (!created) {
        make_committed(path, 3);
        committed = 3;
        AtomDatabase db = open_db(path, false);
        ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(3, 3))));  // a tail to cut
      }
      AtomDatabase db = created ? create_db(path) : open_db(path, false);

      // Where the database's file is afterwards, and the decoy that its
      // name then leads to.
      std::filesystem::path own = dir.file("db"), decoy_at = elsewhere.file("db");
      if (relative) {
        std::filesystem::current_path(elsewhere.path());
      } else {
        own = dir.file("moved");
        decoy_at = dir.file("db");
        std::filesystem::rename(dir.file("db"), own);
        std::filesystem::copy_file(elsewhere.file("db"), decoy_at);
      }

      const atom::Molecule next = seeded_molecule(50, 4);
      ASSERT_TRUE(succeeds(db.add_molecule(next)));
      ASSERT_TRUE(succeeds(db.flush()));
      const auto records = records_of(db);
      ASSERT_EQ(records.size(), committed + 1);
      EXPECT_EQ(records.back(), record_of(next, 2));
      EXPECT_EQ(read_file(decoy_at), decoy);
      AtomDatabase reopened = open_db(own, false);
      EXPECT_EQ(records_of(reopened), records);
    }
  }
}

// A file this process may not write opens and reads in both modes; write
// access is asked for only when a write needs it, and refused then. A
// directory that may not be written holds a database that is read and
// written as usual: nothing is made beside the file.
TEST(DatabaseFileTest, ReadOnlyFilesAndDirectories) {
  TempDir dir;
  run_unprivileged(dir.path(), [&] {
    const auto path = dir.file("db");
    make_committed(path, 3);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    const auto before = read_file(path);
    for (const bool mmap : {false, true}) {
      SCOPED_TRACE(mmap);
      AtomDatabase db = open_db(path, mmap);
      ASSERT_EQ(db.len(), 3u);
      EXPECT_EQ(records_of(db).back(), record_of(seeded_molecule(2, 3), 2));
    }
    AtomDatabase db = open_db(path, false);
    for (auto write :
         {std::function<Result<void>()>([&] { return db.flush(); }),
          std::function<Result<void>()>([&] { return db.add_molecule(seeded_molecule(3, 3)); })}) {
      auto r = write();
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().to_string(), "IO error: Permission denied (os error 13)");
    }
    EXPECT_EQ(read_file(path), before);

    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
    AtomDatabase writable = open_db(path, false);
    ASSERT_TRUE(succeeds(writable.add_molecule(seeded_molecule(3, 3))));
    ASSERT_TRUE(succeeds(writable.flush()));
    EXPECT_EQ(open_db(path, true).len(), 4u);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  });
}

}  // namespace
}  // namespace crivane::storage
