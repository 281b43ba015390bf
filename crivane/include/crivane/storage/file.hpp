// An owned file descriptor and the read, write, seek and sync helpers the
// database file is driven with. Every helper retries calls a signal
// interrupted, loops over short counts, and reports OS failures as
// Error::io_errno.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "crivane/error.hpp"
#include "crivane/storage/bytes.hpp"

namespace crivane::storage {

// Refuses a path holding a NUL byte: the kernel would stop at the NUL and
// name a different file. Every open by path goes through this one check.
Result<void> check_path(const std::filesystem::path& path);

// Refuses a file mode (st_mode) that is not a regular file's: a directory
// with EISDIR, as reading or writing it fails, and any other kind (FIFO,
// socket, device) with an IO error naming the kind.
Result<void> check_regular(std::uint32_t mode);

// What an attempt at the exclusive lock found.
enum class LockOutcome {
  Locked,
  // Another open file description holds it, in this process or another.
  Busy,
  // The file system keeps no such locks (ENOLCK, EOPNOTSUPP).
  Unsupported,
};

// Move-only owner of one open descriptor, closed on destruction.
class File {
 public:
  // Read-only.
  static Result<File> open_read(const std::filesystem::path& path);
  // Read-only (or write-only with `write`), for a file that must be a
  // regular one: the open never blocks (a FIFO would wait for a writer),
  // and anything else fails as check_regular says.
  static Result<File> open_regular(const std::filesystem::path& path, bool write = false);
  // Write-only, no create, no truncate; writes land at the file position.
  static Result<File> open_write(const std::filesystem::path& path);
  // Write-only, no create, no truncate; every write lands at the end.
  static Result<File> open_append(const std::filesystem::path& path);
  // Read-write; creates the file (mode 0666 before the umask) or truncates it.
  static Result<File> create(const std::filesystem::path& path);
  // Read-write; a new empty file with a unique name ".<stem>.XXXXXX" in
  // `dir`, `mode` before the umask. `name` receives its path.
  static Result<File> create_unique(const std::filesystem::path& dir, const std::string& stem,
                                    std::filesystem::path& name, mode_t mode = 0600);
  // Read-write; a new empty file in `dir` that has no name, `mode` before
  // the umask: it vanishes with its last descriptor unless link_unnamed gives
  // it one. Nothing (and no error) where the kernel or the file system has no
  // such files.
  static Result<std::optional<File>> create_unnamed(const std::filesystem::path& dir, mode_t mode);

  File() = default;
  explicit File(int fd) : fd_(fd) {}
  ~File();
  File(File&& other) noexcept : fd_(other.fd_), locked_(other.locked_) {
    other.fd_ = -1;
    other.locked_ = false;
  }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // The same open file once more, read-write, through /proc/self/fd: no path
  // is looked up, so a rename or replacement of the file's name since it was
  // opened changes nothing. Fails (EACCES) when the file may not be written.
  Result<File> reopen_read_write() const;

  // Gives a file made by create_unnamed the name `name`; EEXIST when
  // something has that name already (nothing is ever replaced).
  Result<void> link_unnamed(const std::filesystem::path& name) const;
  // The same under a new unique name ".<stem>.XXXXXX" in `dir`, which `name`
  // receives.
  Result<void> link_unnamed_unique(const std::filesystem::path& dir, const std::string& stem,
                                   std::filesystem::path& name) const;

  // Takes an exclusive advisory lock (flock) on this open file description
  // without waiting; it lasts until the description is closed. A fork child
  // shares its parent's descriptions, and with them their locks: so in a
  // child every locked descriptor is given a fresh, unlocked description of
  // the same file, and the lock stays the parent's alone (it would otherwise
  // outlive the parent's handle for as long as the child runs).
  Result<LockOutcome> try_lock_exclusive();

  int fd() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  // Gives up ownership of the descriptor without closing it (and leaves a
  // lock on it to whoever has it now).
  int release();
  // Closes now; a no-op when not open. Close errors are not reported: the
  // descriptor is gone either way and nothing written depends on them.
  void close();

 private:
  int fd_ = -1;
  // Whether this descriptor took the lock, and is known to the fork handler.
  bool locked_ = false;
};

// Fills `buf` from the file position; EOF first is "failed to fill whole buffer".
Result<void> read_exact(File& file, std::span<std::uint8_t> buf);
// Fills `buf` from `offset` without touching the file position, so several
// threads may read through one descriptor.
Result<void> pread_exact(const File& file, std::span<std::uint8_t> buf, std::uint64_t offset);
// Writes all of `data`; a write that accepts nothing is "failed to write whole buffer".
Result<void> write_all(File& file, ByteSpan data);
// Writes the buffers back to back with as few writev calls as the iovec
// limit allows, resuming after partial writes; no buffer is copied.
Result<void> write_all_vectored(File& file, std::span<const ByteSpan> buffers);
// Moves the file position to `offset` and returns it.
Result<std::uint64_t> seek(File& file, std::uint64_t offset);
// Moves the file position to the end and returns it.
Result<std::uint64_t> seek_end(File& file);
// The file's current length (fstat).
Result<std::uint64_t> file_length(const File& file);
// Sets the file length (ftruncate).
Result<void> truncate(File& file, std::uint64_t length);
Result<void> fsync(File& file);
Result<void> fdatasync(File& file);
// Makes the names in directory `dir` durable (fsync of the directory) as far
// as it can. It neither fails nor allocates, so it may run once a file has
// its name: the name is in place whatever the sync says.
void sync_directory(const std::filesystem::path& dir) noexcept;

}  // namespace crivane::storage
