// One writer per database file: the exclusive lock a handle takes at its
// first write, and the check of the committed state that guards every cut
// and commit, also where the file system keeps no locks. This binary is
// linked with --wrap=flock,fsync (crivane/CMakeLists.txt), so a test can
// refuse every lock or fail a sync.
#include <sys/file.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crivane/storage/database.hpp"
#include "support/db_files.hpp"
#include "support/expect.hpp"
#include "support/temp_dir.hpp"

namespace {

bool refuse_locks = false;
int fsyncs_to_fail = 0;

}  // namespace

extern "C" {
int __real_flock(int fd, int op);
int __real_fsync(int fd);

int __wrap_flock(int fd, int op) {
  if (refuse_locks) {
    errno = ENOLCK;
    return -1;
  }
  return __real_flock(fd, op);
}
int __wrap_fsync(int fd) {
  if (fsyncs_to_fail > 0 && --fsyncs_to_fail == 0) {
    errno = EIO;
    return -1;
  }
  return __real_fsync(fd);
}
}

namespace crivane::storage {
namespace {

using crivane::testing::create_db;
using crivane::testing::length_of_file;
using crivane::testing::open_db;
using crivane::testing::record_of;
using crivane::testing::seeded_molecule;
using crivane::testing::succeeds;
using crivane::testing::TempDir;

constexpr std::string_view kAnotherWriter = "Another handle is writing the database";
constexpr std::string_view kCommittedElsewhere = "was committed by another handle";
constexpr std::string_view kReplaced = "was removed or replaced since this handle opened it";

// Success when `r` failed with an IO error whose text holds `part`.
template <class R>
::testing::AssertionResult refused_with(const R& r, std::string_view part) {
  if (r.has_value()) return ::testing::AssertionFailure() << "succeeded";
  if (r.error().kind() != Error::Kind::Io || r.error().message().find(part) == std::string::npos) {
    return ::testing::AssertionFailure() << "failed with " << r.error().debug();
  }
  return ::testing::AssertionSuccess();
}

// Record `i` of the database at `path`, as the engine reads it back.
std::vector<std::uint8_t> record_at(const std::filesystem::path& path, std::size_t i) {
  const std::size_t at[] = {i};
  auto read = open_db(path, false).get_raw_bytes(at);
  if (!read) return {};
  return std::vector<std::uint8_t>(read->front().begin(), read->front().end());
}

std::vector<char> bytes_of(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

// Every way a handle writes, each on a molecule of its own.
struct Write {
  const char* name;
  std::function<Result<void>(AtomDatabase&)> run;
};

std::vector<Write> every_write() {
  static const std::vector<std::uint8_t> record = record_of(seeded_molecule(70, 2), 2);
  static const DatabaseSchema schema{{}, 4};
  return {
      {"flush", [](AtomDatabase& db) { return db.flush(); }},
      {"tail cut", [](AtomDatabase& db) { return db.truncate_uncommitted_tail_if_needed(); }},
      {"add_molecule", [](AtomDatabase& db) { return db.add_molecule(seeded_molecule(71, 2)); }},
      {"add_raw_soa_records_with_positions_type",
       [](AtomDatabase& db) {
         const RecordWithPositionsType one[] = {{record, 2, 4}};
         return db.add_raw_soa_records_with_positions_type(one);
       }},
      {"add_owned_soa_records_with_schema",
       [](AtomDatabase& db) {
         std::vector<OwnedRecord> one;
         one.push_back({Bytes(record.begin(), record.end()), 2});
         return db.add_owned_soa_records_with_schema(std::move(one), schema);
       }},
  };
}

// Every write of `db` is refused with an IO error holding `part`, and leaves
// the database's length and the file's bytes as they were.
void expect_every_write_refused(AtomDatabase& db, const std::filesystem::path& path,
                                std::string_view part) {
  const std::size_t len = db.len();
  const std::vector<char> before = bytes_of(path);
  for (const Write& w : every_write()) {
    SCOPED_TRACE(w.name);
    EXPECT_TRUE(refused_with(w.run(db), part));
    EXPECT_EQ(db.len(), len);
    EXPECT_EQ(bytes_of(path), before);
  }
}

// A database whose commit holds `n` molecules.
void committed(const std::filesystem::path& path, std::uint64_t n) {
  AtomDatabase db = create_db(path);
  for (std::uint64_t i = 0; i < n; ++i)
    ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(i, 3))));
  ASSERT_TRUE(succeeds(db.flush()));
}

class WriterTest : public ::testing::Test {
 protected:
  void TearDown() override {
    refuse_locks = false;
    fsyncs_to_fail = 0;
  }
  TempDir dir_;
  std::filesystem::path path_ = dir_.file("db");
};

TEST_F(WriterTest, ASecondHandleIsRefusedAtItsFirstWriteWhileTheWriterLives) {
  committed(path_, 1);
  AtomDatabase writer = open_db(path_, false);
  ASSERT_TRUE(succeeds(writer.add_molecule(seeded_molecule(1, 3))));
  AtomDatabase second = open_db(path_, false);  // sees the writer's records as a tail
  expect_every_write_refused(second, path_, kAnotherWriter);
  EXPECT_EQ(second.len(), 1u);
  // The writer is not disturbed: its commit is exactly what it wrote.
  ASSERT_TRUE(succeeds(writer.add_molecule(seeded_molecule(2, 3))));
  ASSERT_TRUE(succeeds(writer.flush()));
  ASSERT_EQ(open_db(path_, false).len(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(record_at(path_, i), record_of(seeded_molecule(i, 3), 2));
  }
}

TEST_F(WriterTest, AStaleHandleNeverCutsOrHidesACommit) {
  committed(path_, 1);
  AtomDatabase stale = open_db(path_, false);
  AtomDatabase mapped_reader = open_db(path_, true);
  {
    AtomDatabase writer = open_db(path_, false);
    for (std::uint64_t i = 1; i < 11; ++i) {
      ASSERT_TRUE(succeeds(writer.add_molecule(seeded_molecule(i, 3))));
    }
    ASSERT_TRUE(succeeds(writer.flush()));
  }
  expect_every_write_refused(stale, path_, kCommittedElsewhere);
  EXPECT_EQ(stale.len(), 1u);
  EXPECT_EQ(open_db(path_, true).len(), 11u);
  // The mapped reader's records are still in the file under its mapping.
  const std::size_t first[] = {0};
  EXPECT_TRUE(succeeds(mapped_reader.get_raw_bytes(first)));
  // A handle opened now writes.
  AtomDatabase fresh = open_db(path_, false);
  ASSERT_TRUE(succeeds(fresh.add_molecule(seeded_molecule(11, 3))));
  ASSERT_TRUE(succeeds(fresh.flush()));
  EXPECT_EQ(open_db(path_, true).len(), 12u);
}

TEST_F(WriterTest, TheNextWriterCutsWhatAGoneWriterNeverCommitted) {
  committed(path_, 1);
  const std::uint64_t committed_len = length_of_file(path_);
  AtomDatabase next = open_db(path_, false);  // opened before the tail exists
  {
    AtomDatabase gone = open_db(path_, false);
    ASSERT_TRUE(succeeds(gone.add_molecule(seeded_molecule(5, 3))));
    // A waiting writer is refused while this one lives, and may retry later.
    EXPECT_TRUE(refused_with(next.add_molecule(seeded_molecule(1, 3)), kAnotherWriter));
  }
  ASSERT_TRUE(succeeds(next.add_molecule(seeded_molecule(1, 3))));
  EXPECT_EQ(std::uint64_t{next.index_entry(1)->offset}, committed_len);
  ASSERT_TRUE(succeeds(next.flush()));
  ASSERT_EQ(open_db(path_, false).len(), 2u);
  EXPECT_EQ(record_at(path_, 1), record_of(seeded_molecule(1, 3), 2));
}

TEST_F(WriterTest, WithoutLocksTheCommittedStateStillGuardsCutsAndCommits) {
  committed(path_, 1);
  refuse_locks = true;
  AtomDatabase early = open_db(path_, false);
  AtomDatabase late = open_db(path_, false);
  // Both write: the file system gives no lock to refuse either.
  ASSERT_TRUE(succeeds(early.add_molecule(seeded_molecule(1, 3))));
  ASSERT_TRUE(succeeds(late.add_molecule(seeded_molecule(2, 3))));
  ASSERT_TRUE(succeeds(late.flush()));
  // `early` checked the committed state at its first write; the commit made
  // since is caught before its header would hide it. (Its record, which
  // `late` took for a gone writer's tail, was never committed.)
  EXPECT_TRUE(refused_with(early.flush(), kCommittedElsewhere));
  ASSERT_EQ(open_db(path_, false).len(), 2u);
  EXPECT_EQ(record_at(path_, 1), record_of(seeded_molecule(2, 3), 2));
  // A handle that never wrote is refused at its first write, before any cut.
  AtomDatabase stale = open_db(path_, false);
  ASSERT_TRUE(succeeds(late.add_molecule(seeded_molecule(3, 3))));
  ASSERT_TRUE(succeeds(late.flush()));
  const std::uint64_t len = length_of_file(path_);
  EXPECT_TRUE(refused_with(stale.truncate_uncommitted_tail_if_needed(), kCommittedElsewhere));
  EXPECT_EQ(length_of_file(path_), len);
}

TEST_F(WriterTest, AHeaderWriteThatReportedFailureIsStillThisHandlesOwnCommit) {
  AtomDatabase db = create_db(path_);
  ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(0, 3))));
  fsyncs_to_fail = 1;  // the sync after the slot is written
  EXPECT_FALSE(db.flush().has_value());
  // The slot reached the file: it is this handle's commit, not another's.
  ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(1, 3))));
  ASSERT_TRUE(succeeds(db.flush()));
  AtomDatabase reopened = open_db(path_, false);
  EXPECT_EQ(reopened.len(), 2u);
  const auto slot0 = crivane::testing::read_slot(path_, 0);
  ASSERT_TRUE(slot0.has_value());
  EXPECT_EQ(slot0->generation, 2u);
}

TEST_F(WriterTest, ReplacingADatabaseWaitsForItsWriterAndStopsOldHandles) {
  committed(path_, 2);
  {
    AtomDatabase writer = open_db(path_, false);
    ASSERT_TRUE(succeeds(writer.add_molecule(seeded_molecule(2, 3))));
    auto replaced = AtomDatabase::create_with_format(path_, compression::CompressionType::None(),
                                                     AtomDatabase::Existing::Replace);
    EXPECT_TRUE(refused_with(replaced, kAnotherWriter));
    ASSERT_TRUE(succeeds(writer.flush()));
    EXPECT_EQ(open_db(path_, false).len(), 3u);
  }
  AtomDatabase old_handle = open_db(path_, false);
  ASSERT_TRUE(succeeds(AtomDatabase::create_with_format(path_, compression::CompressionType::None(),
                                                        AtomDatabase::Existing::Replace)));
  // What it wrote would go to a file no name leads to.
  EXPECT_TRUE(refused_with(old_handle.add_molecule(seeded_molecule(9, 3)), kReplaced));
  EXPECT_EQ(open_db(path_, false).len(), 0u);
}

}  // namespace
}  // namespace crivane::storage
