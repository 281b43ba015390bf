#include "crivane/storage/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <limits>
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

template <class Call>
Result<void> retry_eintr(Call call) {
  while (call() != 0) {
    if (errno != EINTR) return unexpected(Error::io_errno(errno));
  }
  return {};
}

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
                                 std::filesystem::path& name) {
  std::string pattern = (dir / ("." + stem + ".XXXXXX")).native();
  CRIVANE_TRY(check_path(pattern));
  int fd;
  do {
    fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return unexpected(Error::io_errno(errno));
  name = pattern;
  return File(fd);
}

Result<File> File::reopen_read_write() const {
  if (fd_ < 0) return unexpected(Error::io_errno(EBADF));
  const std::string self = fmt::format("/proc/self/fd/{}", fd_);
  int fd;
  do {
    fd = ::open(self.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return unexpected(Error::io_errno(errno));
  return File(fd);
}

File::~File() { close(); }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.release();
  }
  return *this;
}

int File::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void File::close() {
  // Not retried on EINTR: Linux frees the descriptor even then, and a retry
  // could close one another thread has just been given.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
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

}  // namespace crivane::storage
