// Creating a database when a write fails, the process dies, the name is
// taken meanwhile, the file system lacks unnamed files, hard links or a
// rename that never replaces, or memory runs out. This binary is linked with
// --wrap for the calls below (crivane/CMakeLists.txt), so that a test can
// refuse what such a file system refuses or strike at one step of a
// creation.
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crivane/storage/database.hpp"
#include "support/db_files.hpp"
#include "support/expect.hpp"
#include "support/fork.hpp"
#include "support/temp_dir.hpp"

namespace {

// Where a fault strikes: the write of the second header slot, or the sync
// of a regular file.
enum class Step { None, SecondSlot, FileSync };
Step strike_at = Step::None;
int strike_errno = 0;  // the error the call fails with; 0 kills the process instead

// What the file system of a test lacks, each kind lacking what the one
// before it lacks as well: vfat and exFAT have neither unnamed files nor
// hard links, and older kernels refuse RENAME_NOREPLACE there.
enum class FileSystem { Full, NoUnnamed, NoLinks, NoRenameNoReplace };
FileSystem file_system = FileSystem::Full;
bool lacks(FileSystem kind) { return file_system >= kind; }

const char* name_of(FileSystem kind) {
  switch (kind) {
    case FileSystem::Full:
      return "Unnamed";
    case FileSystem::NoUnnamed:
      return "NamedTemporary";
    case FileSystem::NoLinks:
      return "NoHardLinks";
    case FileSystem::NoRenameNoReplace:
      return "NoRenameNoReplace";
  }
  return "?";
}
void PrintTo(FileSystem kind, std::ostream* out) { *out << name_of(kind); }

// A fault that strikes only the file open at this path, when set.
std::string strike_path;

// Set, a successful call that gives a file a name makes the next allocation
// fail.
bool fail_allocation_after_naming = false;
bool allocation_fails = false;

void named(int result) {
  if (result >= 0 && fail_allocation_after_naming) allocation_fails = true;
}

bool strikes_file(int fd) {
  if (strike_path.empty()) return true;
  char at[4096];
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(self.c_str(), at, sizeof at);
  return n >= 0 && std::string(at, static_cast<std::size_t>(n)) == strike_path;
}

bool strikes(Step step, int fd) {
  if (strike_at != step || !strikes_file(fd)) return false;
  if (strike_errno == 0) ::kill(::getpid(), SIGKILL);
  errno = strike_errno;
  return true;
}

bool asks_for_unnamed(int flags) { return (flags & O_TMPFILE) == O_TMPFILE; }

mode_t mode_argument(int flags, va_list ap) {
  return (flags & O_CREAT) != 0 || asks_for_unnamed(flags) ? va_arg(ap, mode_t) : 0;
}

using OpenCall = int (*)(const char*, int, ...);

// A file system without unnamed files refuses them so.
int open_or_refuse(OpenCall real, const char* path, int flags, mode_t mode) {
  if (lacks(FileSystem::NoUnnamed) && asks_for_unnamed(flags)) {
    errno = EOPNOTSUPP;
    return -1;
  }
  const int fd = real(path, flags, mode);
  if (!asks_for_unnamed(flags) && (flags & O_CREAT) != 0) named(fd);
  return fd;
}

}  // namespace

extern "C" {
int __real_open(const char* path, int flags, ...);
int __real_open64(const char* path, int flags, ...);
ssize_t __real_write(int fd, const void* buf, size_t n);
int __real_fsync(int fd);
int __real_link(const char* from, const char* to);
int __real_linkat(int from_dir, const char* from, int to_dir, const char* to, int flags);
int __real_rename(const char* from, const char* to);
int __real_renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags);

int __wrap_open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = mode_argument(flags, ap);
  va_end(ap);
  return open_or_refuse(&__real_open, path, flags, mode);
}
int __wrap_open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = mode_argument(flags, ap);
  va_end(ap);
  return open_or_refuse(&__real_open64, path, flags, mode);
}
ssize_t __wrap_write(int fd, const void* buf, size_t n) {
  if (::lseek(fd, 0, SEEK_CUR) == crivane::storage::header::kSlotSize &&
      strikes(Step::SecondSlot, fd)) {
    return -1;
  }
  return __real_write(fd, buf, n);
}
int __wrap_fsync(int fd) {
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && strikes(Step::FileSync, fd)) return -1;
  return __real_fsync(fd);
}
int __wrap_link(const char* from, const char* to) {
  if (lacks(FileSystem::NoLinks)) {
    errno = EPERM;
    return -1;
  }
  const int result = __real_link(from, to);
  named(result);
  return result;
}
int __wrap_linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
  const int result = __real_linkat(from_dir, from, to_dir, to, flags);
  named(result);
  return result;
}
int __wrap_rename(const char* from, const char* to) {
  const int result = __real_rename(from, to);
  named(result);
  return result;
}
int __wrap_renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags) {
  if (lacks(FileSystem::NoRenameNoReplace)) {
    errno = EINVAL;
    return -1;
  }
  const int result = __real_renameat2(from_dir, from, to_dir, to, flags);
  named(result);
  return result;
}
}

// Every allocation of the test binary, so that one can be made to fail.
void* operator new(std::size_t n) {
  if (allocation_fails) {
    allocation_fails = false;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return ::operator new(n, std::nothrow);
}
// Not inlined, so that the compiler does not take a free() of what operator
// new returned for a mismatch.
[[gnu::noinline]] void release_allocation(void* p) noexcept { std::free(p); }
void operator delete(void* p) noexcept { release_allocation(p); }
void operator delete[](void* p) noexcept { release_allocation(p); }
void operator delete(void* p, std::size_t) noexcept { release_allocation(p); }
void operator delete[](void* p, std::size_t) noexcept { release_allocation(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release_allocation(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release_allocation(p); }

namespace crivane::storage {
namespace {

using compression::CompressionType;
using crivane::testing::read_file;
using crivane::testing::seeded_molecule;
using crivane::testing::settle_threads_before_fork;
using crivane::testing::succeeds;
using crivane::testing::TempDir;
using crivane::testing::write_file;
using Existing = AtomDatabase::Existing;

// Every name in `dir` with the bytes of the file it leads to (none for a
// directory).
std::map<std::string, std::vector<std::uint8_t>> contents_of(const std::filesystem::path& dir) {
  std::map<std::string, std::vector<std::uint8_t>> contents;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    contents[entry.path().filename().native()] =
        entry.is_regular_file() ? read_file(entry.path()) : std::vector<std::uint8_t>{};
  }
  return contents;
}

// A committed database of two records at `path`.
void make_committed(const std::filesystem::path& path) {
  auto db = AtomDatabase::create_with_format(path, CompressionType::Lz4());
  ASSERT_TRUE(succeeds(db));
  ASSERT_TRUE(succeeds(db->add_molecule(seeded_molecule(1, 3))));
  ASSERT_TRUE(succeeds(db->add_molecule(seeded_molecule(2, 5))));
  ASSERT_TRUE(succeeds(db->flush()));
}

// Every way a new file is written and named: unnamed and linked; under a
// temporary name and linked; renamed without replacing where there are no
// hard links; and written at its name where that rename is refused too.
class CreateTest : public ::testing::TestWithParam<FileSystem> {
 protected:
  void SetUp() override { file_system = GetParam(); }
  void TearDown() override {
    file_system = FileSystem::Full;
    strike_at = Step::None;
    strike_path.clear();
  }
};

INSTANTIATE_TEST_SUITE_P(Files, CreateTest,
                         ::testing::Values(FileSystem::Full, FileSystem::NoUnnamed,
                                           FileSystem::NoLinks, FileSystem::NoRenameNoReplace),
                         [](const auto& info) { return name_of(info.param); });

// The creations that succeed: what is at the name before, how the caller
// treats it, and the new file's permission bits (under umask 022).
struct Creation {
  const char* name;
  bool old_database;
  Existing existing;
  mode_t mode;
};
const Creation kCreations[] = {
    {"nothing there", false, Existing::Replace, 0644},
    {"nothing there, refusing to replace", false, Existing::Refuse, 0644},
    {"over a database", true, Existing::Replace, 0640},
};

TEST_P(CreateTest, TheNewFileHasOnlyItsNameAndItsMode) {
  const mode_t saved_umask = ::umask(022);
  for (const Creation& c : kCreations) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto path = dir.file("db");
    if (c.old_database) {
      make_committed(path);
      ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    }
    auto db = AtomDatabase::create_with_format(path, CompressionType::Zstd(4), c.existing);
    ASSERT_TRUE(succeeds(db));
    const auto contents = contents_of(dir.path());
    ASSERT_EQ(contents.size(), 1u);
    EXPECT_EQ(contents.begin()->first, "db");
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.mode);
    EXPECT_EQ(st.st_size, header::kDataStart);
    // The database writes to the file it made, which is the one at `path`.
    ASSERT_TRUE(succeeds(db->add_molecule(seeded_molecule(3, 4))));
    ASSERT_TRUE(succeeds(db->flush()));
    auto reopened = AtomDatabase::open_with_options(path, false, false);
    ASSERT_TRUE(succeeds(reopened));
    EXPECT_EQ(reopened->len(), 1u);
    EXPECT_EQ(reopened->compression(), CompressionType::Zstd(4));
  }
  ::umask(saved_umask);
}

// What another process put at the name between a caller's look and the
// creation stays as it is; the caller learns the name is taken.
TEST_P(CreateTest, ATakenNameIsNeverReplaced) {
  struct Case {
    const char* name;
    void (*make)(const std::filesystem::path& dir);
  };
  const Case cases[] = {
      {"a file",
       [](auto& dir) {
         write_file(dir / "db", std::vector<std::uint8_t>{'x', 'y'});
       }},
      {"a database", [](auto& dir) { make_committed(dir / "db"); }},
      {"a directory", [](auto& dir) { std::filesystem::create_directory(dir / "db"); }},
      {"a link to a file",
       [](auto& dir) {
         write_file(dir / "target", std::vector<std::uint8_t>{'z'});
         std::filesystem::create_symlink("target", dir / "db");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    c.make(dir.path());
    const auto before = contents_of(dir.path());

    auto db =
        AtomDatabase::create_with_format(dir.file("db"), CompressionType::None(), Existing::Refuse);
    ASSERT_FALSE(db.has_value());
    EXPECT_EQ(db.error(), Error::io_errno(EEXIST));
    EXPECT_EQ(contents_of(dir.path()), before);
  }
}

// Where a creation fails or dies, and whether an old database was there.
struct Fault {
  const char* name;
  bool old_database;
  Step step;
};
const Fault kFaults[] = {
    {"new, second slot", false, Step::SecondSlot},
    {"new, sync", false, Step::FileSync},
    {"over a database, second slot", true, Step::SecondSlot},
    {"over a database, sync", true, Step::FileSync},
};

TEST_P(CreateTest, AFailedCreationLeavesNothingBehind) {
  // Where a new file is written at its name, a fault there as well.
  const bool at_name_too = GetParam() == FileSystem::NoRenameNoReplace;
  for (const Fault& f : kFaults) {
    for (const bool at_name : {false, true}) {
      if (at_name && (!at_name_too || f.old_database)) continue;
      for (const int err : {ENOSPC, EFBIG, EIO}) {
        SCOPED_TRACE(::testing::Message()
                     << f.name << (at_name ? ", at the name" : "") << ", errno " << err);
        TempDir dir;
        const auto path = dir.file("db");
        if (f.old_database) make_committed(path);
        const auto before = contents_of(dir.path());

        if (at_name) strike_path = std::filesystem::weakly_canonical(path).native();
        strike_at = f.step;
        strike_errno = err;
        auto db = AtomDatabase::create_with_format(path, CompressionType::Lz4());
        strike_at = Step::None;
        strike_path.clear();
        ASSERT_FALSE(db.has_value());
        EXPECT_EQ(db.error(), Error::io_errno(err));
        EXPECT_EQ(contents_of(dir.path()), before);
      }
    }
  }
}

// A name once given cannot be taken back, so memory that runs out after it
// must not fail the creation: it fails with everything as it was, or it
// succeeds with the whole new file at its name and nothing else.
TEST_P(CreateTest, RunningOutOfMemoryNeverFailsACreationThatTookPlace) {
  for (const Creation& c : kCreations) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto path = dir.file("db");
    if (c.old_database) make_committed(path);
    const auto before = contents_of(dir.path());

    fail_allocation_after_naming = true;
    auto db = AtomDatabase::create_with_format(path, CompressionType::Zstd(4), c.existing);
    fail_allocation_after_naming = false;
    allocation_fails = false;
    if (!db.has_value()) {
      EXPECT_EQ(db.error(), Error::out_of_memory());
      EXPECT_EQ(contents_of(dir.path()), before);
      continue;
    }
    const auto contents = contents_of(dir.path());
    ASSERT_EQ(contents.size(), 1u);
    EXPECT_EQ(contents.begin()->first, "db");
    auto reopened = AtomDatabase::open_with_options(path, false, false);
    ASSERT_TRUE(succeeds(reopened));
    EXPECT_EQ(reopened->len(), 0u);
    EXPECT_EQ(reopened->compression(), CompressionType::Zstd(4));
  }
}

// A process killed while writing the new file leaves no file of its own
// behind, named or hidden, and an old database as it was. (Without unnamed
// files, a kill leaves the temporary behind: nothing could remove it.)
TEST(CreateKillTest, AKilledCreationLeavesNothingBehind) {
  for (const Fault& f : kFaults) {
    SCOPED_TRACE(f.name);
    TempDir dir;
    const auto path = dir.file("db");
    if (f.old_database) make_committed(path);
    const auto before = contents_of(dir.path());

    settle_threads_before_fork();
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::alarm(60);  // a child that is not killed dies instead of hanging
      strike_at = f.step;
      strike_errno = 0;
      (void)AtomDatabase::create_with_format(path, CompressionType::Lz4());
      std::_Exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the child ended with wait status " << status;
    EXPECT_EQ(contents_of(dir.path()), before);
  }
}

}  // namespace
}  // namespace crivane::storage
