// The order of writes and syncs that makes a commit durable. This binary is
// linked with --wrap for the calls below (crivane/CMakeLists.txt), so every
// call the engine makes passes through a recorder first.
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crivane/storage/database.hpp"
#include "support/db_files.hpp"
#include "support/expect.hpp"
#include "support/temp_dir.hpp"

namespace {

// One call, as a letter: 'h' a write that starts inside the header slots,
// 'w' any other write, 'd' fdatasync, 's' fsync, 't' ftruncate, 'r' rename,
// 'l' link or linkat.
// Runs of 'w' count as one (a write may take several calls).
bool recording = false;
std::string calls;

void record(char c) {
  if (!recording) return;
  if (c == 'w' && !calls.empty() && calls.back() == 'w') return;
  calls += c;
}

void record_write_at(off_t at) {
  record(at >= 0 && static_cast<std::uint64_t>(at) < crivane::storage::header::kDataStart ? 'h'
                                                                                          : 'w');
}

}  // namespace

extern "C" {
ssize_t __real_write(int fd, const void* buf, size_t n);
ssize_t __real_writev(int fd, const iovec* iov, int count);
ssize_t __real_pwrite(int fd, const void* buf, size_t n, off_t at);
ssize_t __real_pwrite64(int fd, const void* buf, size_t n, off_t at);
int __real_fsync(int fd);
int __real_fdatasync(int fd);
int __real_ftruncate(int fd, off_t length);
int __real_rename(const char* from, const char* to);
int __real_link(const char* from, const char* to);
int __real_linkat(int from_dir, const char* from, int to_dir, const char* to, int flags);

ssize_t __wrap_write(int fd, const void* buf, size_t n) {
  record_write_at(::lseek(fd, 0, SEEK_CUR));
  return __real_write(fd, buf, n);
}
ssize_t __wrap_writev(int fd, const iovec* iov, int count) {
  record_write_at(::lseek(fd, 0, SEEK_CUR));
  return __real_writev(fd, iov, count);
}
ssize_t __wrap_pwrite(int fd, const void* buf, size_t n, off_t at) {
  record_write_at(at);
  return __real_pwrite(fd, buf, n, at);
}
ssize_t __wrap_pwrite64(int fd, const void* buf, size_t n, off_t at) {
  record_write_at(at);
  return __real_pwrite64(fd, buf, n, at);
}
int __wrap_fsync(int fd) {
  record('s');
  return __real_fsync(fd);
}
int __wrap_fdatasync(int fd) {
  record('d');
  return __real_fdatasync(fd);
}
int __wrap_ftruncate(int fd, off_t length) {
  record('t');
  return __real_ftruncate(fd, length);
}
int __wrap_rename(const char* from, const char* to) {
  record('r');
  return __real_rename(from, to);
}
int __wrap_link(const char* from, const char* to) {
  record('l');
  return __real_link(from, to);
}
int __wrap_linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
  record('l');
  return __real_linkat(from_dir, from, to_dir, to, flags);
}
}

namespace crivane::storage {
namespace {

using compression::CompressionType;
using crivane::testing::seeded_molecule;
using crivane::testing::succeeds;
using crivane::testing::TempDir;

Result<AtomDatabase> create(const std::filesystem::path& path) {
  return AtomDatabase::create_with_format(path, CompressionType::Lz4());
}

Result<AtomDatabase> open(const std::filesystem::path& path) {
  return AtomDatabase::open_with_options(path, false, false);
}

// A committed database with one record and a record past the commit.
void committed_with_tail(const std::filesystem::path& path) {
  auto db = create(path);
  ASSERT_TRUE(succeeds(db));
  ASSERT_TRUE(succeeds(db->add_molecule(seeded_molecule(0, 3))));
  ASSERT_TRUE(succeeds(db->flush()));
  ASSERT_TRUE(succeeds(db->add_molecule(seeded_molecule(1, 3))));
}

// Commit: blobs, then fdatasync so that they and every record are on disk
// before a slot names them, then the slot, then fsync. A pending tail is
// cut and synced first. Creating syncs both slots before the new file gets
// a name (and a file replaced is renamed over only then), and then syncs the
// directory. Appends sync nothing.
TEST(SyncOrderTest, CallsOfEachWrite) {
  // `act` turns recording on before the step whose calls are expected.
  struct Case {
    const char* name;
    std::function<void(const std::filesystem::path&)> setup;
    std::function<Result<void>(const std::filesystem::path&, std::optional<AtomDatabase>&)> act;
    const char* calls;
  };
  auto open_it = [](const std::filesystem::path& p, std::optional<AtomDatabase>& db) {
    auto opened = open(p);
    if (opened) db.emplace(std::move(opened).value());
    return opened ? Result<void>{} : unexpected(opened.error());
  };
  auto nothing = [](const std::filesystem::path&) {};
  const Case cases[] = {
      {"create", nothing,
       [](auto& p, auto& db) -> Result<void> {
         recording = true;
         CRIVANE_ASSIGN_OR_RETURN(db, create(p));
         return {};
       },
       "hhsls"},
      {"create over a database", committed_with_tail,
       [](auto& p, auto& db) -> Result<void> {
         recording = true;
         CRIVANE_ASSIGN_OR_RETURN(db, create(p));
         return {};
       },
       "hhslrs"},
      {"flush of a new database", nothing,
       [](auto& p, auto& db) -> Result<void> {
         CRIVANE_ASSIGN_OR_RETURN(db, create(p));
         recording = true;
         return db->flush();
       },
       "wdhs"},
      {"append", committed_with_tail,
       [&](auto& p, auto& db) -> Result<void> {
         CRIVANE_TRY(open_it(p, db));
         CRIVANE_TRY(db->truncate_uncommitted_tail_if_needed());
         recording = true;
         return db->add_molecule(seeded_molecule(2, 3));
       },
       "w"},
      {"flush after an append", committed_with_tail,
       [&](auto& p, auto& db) -> Result<void> {
         CRIVANE_TRY(open_it(p, db));
         CRIVANE_TRY(db->add_molecule(seeded_molecule(2, 3)));
         recording = true;
         return db->flush();
       },
       "wdhs"},
      {"flush with a pending tail", committed_with_tail,
       [&](auto& p, auto& db) -> Result<void> {
         CRIVANE_TRY(open_it(p, db));
         recording = true;
         return db->flush();
       },
       "tswdhs"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto path = dir.file("db");
    c.setup(path);
    std::optional<AtomDatabase> db;
    calls.clear();
    const Result<void> done = c.act(path, db);
    recording = false;
    ASSERT_TRUE(succeeds(done));
    EXPECT_EQ(calls, c.calls);
  }
}

}  // namespace
}  // namespace crivane::storage
