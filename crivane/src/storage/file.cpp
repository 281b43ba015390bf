#include "crivane/storage/file.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include <fmt/format.h>

namespace crivane::storage {
namespace {

Result<File> open_path(const std::filesystem::path& path, int flags) {
  CRIVANE_TRY(check_path(path));
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return unexpected(Error::io_errno(errno));
  return File(fd);
}

// Refuses anything but a regular file, then clears the O_NONBLOCK the file
// was opened with (it only kept the open itself from waiting).
Result<File> regular_only(File file) {
  struct stat st;
  if (::fstat(file.fd(), &st) != 0) return unexpected(Error::io_errno(errno));
  CRIVANE_TRY(check_regular(st.st_mode));
  const int flags = ::fcntl(file.fd(), F_GETFL);
  if (flags < 0 || ::fcntl(file.fd(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return unexpected(Error::io_errno(errno));
  }
  return file;
}

// Offsets past the largest off_t cannot be named to the kernel.
constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

// One read or write never asks for more than Linux moves in a call anyway.
constexpr std::size_t kMaxChunk = 0x7ffff000;

Result<std::uint64_t> lseek_checked(File& file, off_t offset, int whence) {
  const off_t pos = ::lseek(file.fd(), offset, whence);
  if (pos < 0) return unexpected(Error::io_errno(errno));
  return static_cast<std::uint64_t>(pos);
}

// Six letters or digits, fresh at every call.
std::string random_suffix() {
  static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::uint64_t v;
  if (::getrandom(&v, sizeof v, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof v)) {
    // No entropy yet (early boot): the clock and the process id still keep
    // racing callers apart most of the time, and a clash is only a retry.
    timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    v = (static_cast<std::uint64_t>(ts.tv_sec) << 30 ^ static_cast<std::uint64_t>(ts.tv_nsec)) *
            0x9E3779B97F4A7C15ull ^
        static_cast<std::uint64_t>(::getpid());
  }
  std::string suffix(6, '0');
  for (char& c : suffix) {
    c = kChars[v % 62];
    v /= 62;
  }
  return suffix;
}

// Calls `attempt` with fresh names "<dir>/.<stem>.XXXXXX" until one succeeds
// or fails for another reason than the name being taken, as mkostemp does;
// `name` receives the name that succeeded.
template <class Attempt>
Result<void> with_unique_name(const std::filesystem::path& dir, const std::string& stem,
                              std::filesystem::path& name, Attempt attempt) {
  const std::string prefix = (dir / ("." + stem + ".")).native();
  CRIVANE_TRY(check_path(prefix));
  for (int tries = 0; tries < TMP_MAX; ++tries) {
    // Made whole before the attempt, so that handing it out cannot fail
    // once the name exists.
    std::filesystem::path candidate = prefix + random_suffix();
    if (attempt(candidate.c_str())) {
      name = std::move(candidate);
      return {};
    }
    if (errno != EEXIST) return unexpected(Error::io_errno(errno));
  }
  return unexpected(Error::io_errno(EEXIST));
}

// "/proc/self/fd/N", the name of the file open as descriptor N, built
// without allocating: a fork child's handler makes it too.
class ProcFdPath {
 public:
  explicit ProcFdPath(int fd) {
    static constexpr char kPrefix[] = "/proc/self/fd/";
    std::memcpy(path_, kPrefix, sizeof kPrefix - 1);
    std::size_t at = sizeof kPrefix - 1;
    char digits[16];
    std::size_t n = 0;
    for (unsigned v = static_cast<unsigned>(fd); n == 0 || v != 0; v /= 10) {
      digits[n++] = static_cast<char>('0' + v % 10);
    }
    while (n > 0) path_[at++] = digits[--n];
    path_[at] = '\0';
  }
  const char* c_str() const { return path_; }

 private:
  char path_[32];
};

// Gives the file open as `fd` the name `name`. Through /proc, which works
// for any process; naming the descriptor itself (AT_EMPTY_PATH) needs
// CAP_DAC_READ_SEARCH, so that is only the way where /proc is not mounted.
int link_descriptor(int fd, const char* name) {
  const ProcFdPath self(fd);
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0) return 0;
  const int err = errno;
  if (err == ENOENT && ::access("/proc/self/fd", F_OK) != 0) {
    return ::linkat(fd, "", AT_FDCWD, name, AT_EMPTY_PATH);
  }
  errno = err;
  return -1;
}

template <class Call>
Result<void> retry_eintr(Call call) {
  while (call() != 0) {
    if (errno != EINTR) return unexpected(Error::io_errno(errno));
  }
  return {};
}

// The descriptors of this process that hold the exclusive lock. In a fork
// child each gets a fresh description of its file in place, so that the
// child never keeps its parent's lock alive; the child handler does only
// what is safe between fork and exec (open, fcntl, dup3, close) and never
// allocates.
class LockedDescriptors {
 public:
  static LockedDescriptors& get() {
    // Never destroyed: a fork or a close may come after static destructors.
    static LockedDescriptors* const instance = new LockedDescriptors();
    return *instance;
  }

  void add(int fd) {
    std::lock_guard<std::mutex> hold(mu_);
    fds_.push_back(fd);
  }
  void remove(int fd) {
    std::lock_guard<std::mutex> hold(mu_);
    const auto at = std::find(fds_.begin(), fds_.end(), fd);
    if (at != fds_.end()) fds_.erase(at);
  }

 private:
  LockedDescriptors() {
    fds_.reserve(16);
    ::pthread_atfork([] { get().mu_.lock(); }, [] { get().mu_.unlock(); },
                     [] {
                       LockedDescriptors& self = get();
                       for (const int fd : self.fds_) detach(fd);
                       self.fds_.clear();
                       self.mu_.unlock();
                     });
  }

  // Puts a new description of the file open as `fd` in its place. Where
  // that cannot be done (no /proc), the child keeps the shared one; its
  // handle still takes a lock of its own before it writes.
  static void detach(int fd) {
    const int mode = ::fcntl(fd, F_GETFL);
    if (mode < 0) return;
    const int fresh = ::open(ProcFdPath(fd).c_str(), (mode & O_ACCMODE) | O_CLOEXEC | O_NOCTTY);
    if (fresh < 0) return;
    ::dup3(fresh, fd, O_CLOEXEC);
    ::close(fresh);
  }

  std::mutex mu_;
  std::vector<int> fds_;
};

}  // namespace

Result<void> check_path(const std::filesystem::path& path) {
  if (path.native().find('\0') != std::string::npos) {
    return unexpected(Error::io("file name contained an unexpected NUL byte"));
  }
  return {};
}

Result<void> check_regular(std::uint32_t mode) {
  if (S_ISREG(mode)) return {};
  if (S_ISDIR(mode)) return unexpected(Error::io_errno(EISDIR));
  const char* kind = S_ISFIFO(mode)   ? "a FIFO"
                     : S_ISSOCK(mode) ? "a socket"
                     : S_ISCHR(mode)  ? "a character device"
                     : S_ISBLK(mode)  ? "a block device"
                                      : "of an unknown kind";
  return unexpected(Error::io(fmt::format("not a regular file: {}", kind)));
}

Result<File> File::open_read(const std::filesystem::path& path) {
  return open_path(path, O_RDONLY);
}

Result<File> File::open_write(const std::filesystem::path& path) {
  return open_path(path, O_WRONLY);
}

Result<File> File::open_append(const std::filesystem::path& path) {
  return open_path(path, O_WRONLY | O_APPEND);
}

Result<File> File::open_regular(const std::filesystem::path& path, bool write) {
  // O_NOCTTY: a terminal named by mistake must not become ours.
  auto file = open_path(path, (write ? O_WRONLY : O_RDONLY) | O_NONBLOCK | O_NOCTTY);
  if (!file) {
    // A socket (or a FIFO without a reader, for writing) fails the open
    // itself with ENXIO; say what is there instead.
    struct stat st;
    if (file.error() == Error::io_errno(ENXIO) && ::stat(path.c_str(), &st) == 0) {
      CRIVANE_TRY(check_regular(st.st_mode));
    }
    return unexpected(std::move(file).error());
  }
  return regular_only(std::move(file).value());
}

Result<File> File::create(const std::filesystem::path& path) {
  CRIVANE_ASSIGN_OR_RETURN(File file,
                           open_path(path, O_RDWR | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY));
  return regular_only(std::move(file));
}

Result<File> File::create_unique(const std::filesystem::path& dir, const std::string& stem,
                                 std::filesystem::path& name, mode_t mode) {
  File made;
  CRIVANE_TRY(with_unique_name(dir, stem, name, [&](const char* candidate) {
    int fd;
    do {
      fd = ::open(candidate, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) made = File(fd);
    return fd >= 0;
  }));
  return made;
}

Result<std::optional<File>> File::create_unnamed(const std::filesystem::path& dir, mode_t mode) {
  CRIVANE_TRY(check_path(dir));
  int fd;
  do {
    fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) return std::optional<File>(File(fd));
  // EISDIR: a kernel that predates O_TMPFILE saw only its O_DIRECTORY part.
  if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) return std::optional<File>();
  return unexpected(Error::io_errno(errno));
}

Result<void> File::link_unnamed(const std::filesystem::path& name) const {
  CRIVANE_TRY(check_path(name));
  if (link_descriptor(fd_, name.c_str()) != 0) return unexpected(Error::io_errno(errno));
  return {};
}

Result<void> File::link_unnamed_unique(const std::filesystem::path& dir, const std::string& stem,
                                       std::filesystem::path& name) const {
  return with_unique_name(
      dir, stem, name, [&](const char* candidate) { return link_descriptor(fd_, candidate) == 0; });
}

Result<File> File::reopen_read_write() const {
  if (fd_ < 0) return unexpected(Error::io_errno(EBADF));
  const ProcFdPath self(fd_);
  int fd;
  do {
    fd = ::open(self.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return unexpected(Error::io_errno(errno));
  return File(fd);
}

Result<LockOutcome> File::try_lock_exclusive() {
  if (fd_ < 0) return unexpected(Error::io_errno(EBADF));
  if (locked_) return LockOutcome::Locked;
  // Known to the fork handler before the lock exists, so no fork in between
  // can leave a child holding it.
  LockedDescriptors::get().add(fd_);
  while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EINTR) continue;
    LockedDescriptors::get().remove(fd_);
    if (err == EWOULDBLOCK) return LockOutcome::Busy;
    if (err == ENOLCK || err == EOPNOTSUPP || err == ENOSYS) return LockOutcome::Unsupported;
    return unexpected(Error::io_errno(err));
  }
  locked_ = true;
  return LockOutcome::Locked;
}

File::~File() { close(); }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    locked_ = other.locked_;
    other.fd_ = -1;
    other.locked_ = false;
  }
  return *this;
}

int File::release() {
  // Forgotten before it is handed on: the number may be closed and reused.
  if (locked_) LockedDescriptors::get().remove(fd_);
  locked_ = false;
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void File::close() {
  // Not retried on EINTR: Linux frees the descriptor even then, and a retry
  // could close one another thread has just been given.
  if (fd_ >= 0) ::close(release());
}

Result<void> read_exact(File& file, std::span<std::uint8_t> buf) {
  std::size_t done = 0;
  while (done < buf.size()) {
    const ssize_t n = ::read(file.fd(), buf.data() + done, std::min(buf.size() - done, kMaxChunk));
    if (n < 0) {
      if (errno == EINTR) continue;
      return unexpected(Error::io_errno(errno));
    }
    if (n == 0) return unexpected(Error::io("failed to fill whole buffer"));
    done += static_cast<std::size_t>(n);
  }
  return {};
}

Result<void> pread_exact(const File& file, std::span<std::uint8_t> buf, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < buf.size()) {
    if (offset > kMaxOffset - done) return unexpected(Error::io_errno(EINVAL));
    const ssize_t n = ::pread(file.fd(), buf.data() + done, std::min(buf.size() - done, kMaxChunk),
                              static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return unexpected(Error::io_errno(errno));
    }
    if (n == 0) return unexpected(Error::io("failed to fill whole buffer"));
    done += static_cast<std::size_t>(n);
  }
  return {};
}

Result<void> write_all(File& file, ByteSpan data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n =
        ::write(file.fd(), data.data() + done, std::min(data.size() - done, kMaxChunk));
    if (n < 0) {
      if (errno == EINTR) continue;
      return unexpected(Error::io_errno(errno));
    }
    if (n == 0) return unexpected(Error::io("failed to write whole buffer"));
    done += static_cast<std::size_t>(n);
  }
  return {};
}

Result<void> write_all_vectored(File& file, std::span<const ByteSpan> buffers) {
  constexpr std::size_t kMaxIov = IOV_MAX;
  std::vector<iovec> iov;
  iov.reserve(std::min(buffers.size(), kMaxIov));
  std::size_t first = 0;  // the first buffer not yet written whole
  std::size_t done = 0;   // bytes of buffers[first] already written
  for (;;) {
    while (first < buffers.size() && done == buffers[first].size()) {
      ++first;
      done = 0;
    }
    if (first == buffers.size()) return {};

    // One call takes at most kMaxChunk bytes, so the byte count of a call
    // never overflows, whatever the buffers add up to.
    iov.clear();
    std::size_t total = 0;
    for (std::size_t i = first; i < buffers.size() && iov.size() < kMaxIov && total < kMaxChunk;
         ++i) {
      const std::size_t skip = i == first ? done : 0;
      const std::size_t len = std::min(buffers[i].size() - skip, kMaxChunk - total);
      if (len == 0) continue;
      iov.push_back({const_cast<std::uint8_t*>(buffers[i].data() + skip), len});
      total += len;
    }
    const ssize_t n = ::writev(file.fd(), iov.data(), static_cast<int>(iov.size()));
    if (n < 0) {
      if (errno == EINTR) continue;
      return unexpected(Error::io_errno(errno));
    }
    if (n == 0) return unexpected(Error::io("failed to write whole buffer"));
    for (auto left = static_cast<std::size_t>(n); left > 0;) {
      const std::size_t rest = buffers[first].size() - done;
      if (left < rest) {
        done += left;
        break;
      }
      left -= rest;
      ++first;
      done = 0;
    }
  }
}

Result<std::uint64_t> seek(File& file, std::uint64_t offset) {
  if (offset > kMaxOffset) return unexpected(Error::io_errno(EINVAL));
  return lseek_checked(file, static_cast<off_t>(offset), SEEK_SET);
}

Result<std::uint64_t> seek_end(File& file) { return lseek_checked(file, 0, SEEK_END); }

Result<std::uint64_t> file_length(const File& file) {
  struct stat st;
  if (::fstat(file.fd(), &st) != 0) return unexpected(Error::io_errno(errno));
  return static_cast<std::uint64_t>(st.st_size);
}

Result<void> truncate(File& file, std::uint64_t length) {
  if (length > kMaxOffset) return unexpected(Error::io_errno(EINVAL));
  return retry_eintr([&] { return ::ftruncate(file.fd(), static_cast<off_t>(length)); });
}

Result<void> fsync(File& file) {
  return retry_eintr([&] { return ::fsync(file.fd()); });
}

Result<void> fdatasync(File& file) {
  return retry_eintr([&] { return ::fdatasync(file.fd()); });
}

void sync_directory(const std::filesystem::path& dir) noexcept {
  int fd;
  do {
    fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return;
  while (::fsync(fd) != 0 && errno == EINTR) {
  }
  ::close(fd);
}

}  // namespace crivane::storage
