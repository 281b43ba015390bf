#include "crivane/storage/file.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_dir.hpp"

namespace crivane::storage {
namespace {

using crivane::testing::read_file;
using crivane::testing::TempDir;
using crivane::testing::write_file;

std::vector<std::uint8_t> iota_bytes(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return v;
}

// Both ends of a pipe as File objects.
struct Pipe {
  Pipe() {
    int fds[2];
    if (::pipe(fds) != 0) std::abort();
    read_end = File(fds[0]);
    write_end = File(fds[1]);
  }
  File read_end;
  File write_end;
};

void expect_io_error(const Error& e, const std::string& message) {
  EXPECT_EQ(e.kind(), Error::Kind::Io);
  EXPECT_EQ(e.message(), message);
}

TEST(FileTest, OpenModes) {
  TempDir dir;
  const auto path = dir.file("f");

  // create: new file, then truncates an existing one.
  write_file(path, iota_bytes(100));
  {
    auto f = File::create(path);
    ASSERT_TRUE(f.has_value()) << f.error().to_string();
    ASSERT_TRUE(write_all(*f, std::vector<std::uint8_t>{1, 2, 3}).has_value());
  }
  EXPECT_EQ(read_file(path), (std::vector<std::uint8_t>{1, 2, 3}));

  // open_write: no truncation, writes at the file position.
  {
    auto f = File::open_write(path);
    ASSERT_TRUE(f.has_value());
    ASSERT_EQ(*seek(*f, 1), 1u);
    ASSERT_TRUE(write_all(*f, std::vector<std::uint8_t>{9}).has_value());
  }
  EXPECT_EQ(read_file(path), (std::vector<std::uint8_t>{1, 9, 3}));

  // open_append: writes land at the end whatever the position.
  {
    auto f = File::open_append(path);
    ASSERT_TRUE(f.has_value());
    ASSERT_TRUE(seek(*f, 0).has_value());
    ASSERT_TRUE(write_all(*f, std::vector<std::uint8_t>{4}).has_value());
  }
  EXPECT_EQ(read_file(path), (std::vector<std::uint8_t>{1, 9, 3, 4}));

  // open_read refuses writes.
  {
    auto f = File::open_read(path);
    ASSERT_TRUE(f.has_value());
    auto w = write_all(*f, std::vector<std::uint8_t>{0});
    ASSERT_FALSE(w.has_value());
    expect_io_error(w.error(), "Bad file descriptor (os error 9)");
  }
}

TEST(FileTest, OpenWithoutCreateFailsOnMissingFile) {
  TempDir dir;
  const auto missing = dir.file("missing");
  for (auto open : {&File::open_read, &File::open_write, &File::open_append}) {
    auto f = open(missing);
    ASSERT_FALSE(f.has_value());
    expect_io_error(f.error(), "No such file or directory (os error 2)");
  }
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST(FileTest, PathWithNulIsRefusedInsteadOfCut) {
  TempDir dir;
  // "db" NUL "x" would otherwise name "db" to the kernel.
  const std::string name = dir.file("db").native() + std::string("\0x", 2);
  for (auto open : {&File::create, &File::open_read, &File::open_write, &File::open_append}) {
    auto f = open(name);
    ASSERT_FALSE(f.has_value());
    expect_io_error(f.error(), "file name contained an unexpected NUL byte");
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("db")));
}

TEST(FileTest, CreateUsesMode0666UnderTheUmask) {
  TempDir dir;
  const mode_t old = ::umask(022);
  auto f = File::create(dir.file("f"));
  ::umask(old);
  ASSERT_TRUE(f.has_value());
  struct stat st;
  ASSERT_EQ(::fstat(f->fd(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(FileTest, OwnershipClosesExactlyOnce) {
  TempDir dir;
  write_file(dir.file("f"), iota_bytes(4));
  int fd;
  {
    auto f = File::open_read(dir.file("f"));
    ASSERT_TRUE(f.has_value());
    File moved = std::move(*f);
    EXPECT_FALSE(f->is_open());
    fd = moved.fd();
    ASSERT_NE(::fcntl(fd, F_GETFD), -1);
    File assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.fd(), fd);
    EXPECT_NE(::fcntl(fd, F_GETFD), -1);
  }
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST(FileTest, ReadExactFailsOnEarlyEof) {
  TempDir dir;
  const auto data = iota_bytes(10);
  write_file(dir.file("f"), data);
  auto f = File::open_read(dir.file("f"));
  ASSERT_TRUE(f.has_value());

  std::vector<std::uint8_t> buf(6);
  ASSERT_TRUE(read_exact(*f, buf).has_value());
  EXPECT_EQ(buf, std::vector<std::uint8_t>(data.begin(), data.begin() + 6));
  auto r = read_exact(*f, buf);  // only 4 bytes left
  ASSERT_FALSE(r.has_value());
  expect_io_error(r.error(), "failed to fill whole buffer");

  // An empty buffer needs no bytes, even at EOF.
  EXPECT_TRUE(read_exact(*f, std::span<std::uint8_t>()).has_value());
}

TEST(FileTest, ReadExactAndWriteAllLoopOverShortCounts) {
  // More than a pipe holds: the writer blocks part way, so the reader gets
  // the bytes in many partial reads.
  const auto data = iota_bytes(1 << 20);
  Pipe pipe;
  Result<void> written;
  std::thread writer([&] {
    written = write_all(pipe.write_end, data);
    pipe.write_end.close();
  });
  std::vector<std::uint8_t> got(data.size());
  auto r = read_exact(pipe.read_end, got);
  writer.join();
  ASSERT_TRUE(r.has_value()) << r.error().to_string();
  ASSERT_TRUE(written.has_value()) << written.error().to_string();
  EXPECT_EQ(got, data);

  // The writer closed its end: one more byte is an early EOF.
  std::uint8_t one;
  auto eof = read_exact(pipe.read_end, std::span<std::uint8_t>(&one, 1));
  ASSERT_FALSE(eof.has_value());
  expect_io_error(eof.error(), "failed to fill whole buffer");
}

TEST(FileTest, WriteErrorsCarryTheSystemText) {
  auto full = File::open_write("/dev/full");
  ASSERT_TRUE(full.has_value());
  auto r = write_all(*full, iota_bytes(10));
  ASSERT_FALSE(r.has_value());
  expect_io_error(r.error(), "No space left on device (os error 28)");
  // Nothing to write never touches the file.
  EXPECT_TRUE(write_all(*full, ByteSpan()).has_value());
}

// Buffers of varied sizes, empty ones among them, and more of them than one
// writev call takes.
std::vector<std::vector<std::uint8_t>> buffer_list(std::size_t n, std::size_t scale) {
  std::vector<std::vector<std::uint8_t>> out;
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<std::uint8_t> b((i % 17) * scale);
    for (std::size_t k = 0; k < b.size(); ++k) b[k] = static_cast<std::uint8_t>(i * 31 + k);
    out.push_back(std::move(b));
  }
  return out;
}

std::vector<std::uint8_t> concatenated(const std::vector<std::vector<std::uint8_t>>& buffers) {
  std::vector<std::uint8_t> all;
  for (const auto& b : buffers) all.insert(all.end(), b.begin(), b.end());
  return all;
}

std::vector<ByteSpan> spans(const std::vector<std::vector<std::uint8_t>>& buffers) {
  return std::vector<ByteSpan>(buffers.begin(), buffers.end());
}

TEST(FileTest, WriteAllVectoredWritesEveryBufferInOrder) {
  TempDir dir;
  write_file(dir.file("f"), iota_bytes(5));
  auto f = File::open_append(dir.file("f"));
  ASSERT_TRUE(f.has_value());
  const auto buffers = buffer_list(3000, 1);
  ASSERT_TRUE(write_all_vectored(*f, spans(buffers)).has_value());
  ASSERT_TRUE(write_all_vectored(*f, {}).has_value());
  std::vector<std::uint8_t> expected = iota_bytes(5);
  const auto all = concatenated(buffers);
  expected.insert(expected.end(), all.begin(), all.end());
  EXPECT_EQ(read_file(dir.file("f")), expected);

  auto full = File::open_write("/dev/full");
  ASSERT_TRUE(full.has_value());
  auto r = write_all_vectored(*full, spans(buffers));
  ASSERT_FALSE(r.has_value());
  expect_io_error(r.error(), "No space left on device (os error 28)");
}

// Signals without SA_RESTART cut writes into a pipe short or interrupt them;
// the writer must resume exactly where each call stopped.
TEST(FileTest, WriteAllVectoredResumesAfterSignals) {
  struct sigaction action = {}, old = {};
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &old), 0);

  const auto buffers = buffer_list(2000, 150);
  const auto all = concatenated(buffers);
  Pipe pipe;
  std::atomic<bool> done{false};
  Result<void> written;
  std::thread writer([&] {
    written = write_all_vectored(pipe.write_end, spans(buffers));
    done = true;
    pipe.write_end.close();
  });
  const pthread_t target = writer.native_handle();
  std::thread pester([&] {
    while (!done) {
      ::pthread_kill(target, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });
  std::vector<std::uint8_t> got(all.size());
  for (std::size_t at = 0; at < got.size();) {
    const std::size_t n = std::min<std::size_t>(4096, got.size() - at);
    ASSERT_TRUE(read_exact(pipe.read_end, std::span(got.data() + at, n)).has_value());
    at += n;
  }
  pester.join();  // first: it signals the writer until the writer is done
  writer.join();
  ::sigaction(SIGUSR1, &old, nullptr);
  ASSERT_TRUE(written.has_value()) << written.error().to_string();
  EXPECT_EQ(got, all);
}

TEST(FileTest, SeekLengthAndTruncate) {
  TempDir dir;
  auto f = File::create(dir.file("f"));
  ASSERT_TRUE(f.has_value());
  ASSERT_TRUE(write_all(*f, iota_bytes(10)).has_value());
  EXPECT_EQ(*file_length(*f), 10u);
  EXPECT_EQ(*seek_end(*f), 10u);
  EXPECT_EQ(*seek(*f, 3), 3u);

  ASSERT_TRUE(truncate(*f, 4).has_value());
  EXPECT_EQ(*file_length(*f), 4u);
  EXPECT_EQ(*seek_end(*f), 4u);
  ASSERT_TRUE(fdatasync(*f).has_value());
  ASSERT_TRUE(fsync(*f).has_value());
  const auto all = iota_bytes(10);
  EXPECT_EQ(read_file(dir.file("f")), std::vector<std::uint8_t>(all.begin(), all.begin() + 4));

  // Offsets the kernel cannot be given are errors, not wrapped positions.
  const std::uint64_t too_far = std::uint64_t{1} << 63;
  auto s = seek(*f, too_far);
  ASSERT_FALSE(s.has_value());
  expect_io_error(s.error(), "Invalid argument (os error 22)");
  auto t = truncate(*f, too_far);
  ASSERT_FALSE(t.has_value());
  expect_io_error(t.error(), "Invalid argument (os error 22)");
}

TEST(FileTest, SyncOfAPipeIsAnError) {
  Pipe pipe;
  for (auto sync : {&fsync, &fdatasync}) {
    auto r = sync(pipe.write_end);
    ASSERT_FALSE(r.has_value());
    expect_io_error(r.error(), "Invalid argument (os error 22)");
  }
}

TEST(FileTest, PreadExactLeavesThePositionAlone) {
  TempDir dir;
  const auto data = iota_bytes(100);
  write_file(dir.file("f"), data);
  auto f = File::open_read(dir.file("f"));
  ASSERT_TRUE(f.has_value());
  ASSERT_TRUE(seek(*f, 50).has_value());

  std::vector<std::uint8_t> buf(10);
  ASSERT_TRUE(pread_exact(*f, buf, 90).has_value());
  EXPECT_EQ(buf, std::vector<std::uint8_t>(data.begin() + 90, data.end()));
  EXPECT_EQ(*seek(*f, 50), 50u);
  std::uint8_t next;
  ASSERT_TRUE(read_exact(*f, std::span<std::uint8_t>(&next, 1)).has_value());
  EXPECT_EQ(next, data[50]);

  for (std::uint64_t offset : {std::uint64_t{91}, std::uint64_t{100}, std::uint64_t{1} << 40}) {
    auto r = pread_exact(*f, buf, offset);
    ASSERT_FALSE(r.has_value());
    expect_io_error(r.error(), "failed to fill whole buffer");
  }
  auto r = pread_exact(*f, buf, std::numeric_limits<std::uint64_t>::max());
  ASSERT_FALSE(r.has_value());
  expect_io_error(r.error(), "Invalid argument (os error 22)");
}

TEST(FileTest, ErrorsOnAClosedFile) {
  File closed;
  std::uint8_t b = 0;
  EXPECT_EQ(read_exact(closed, std::span<std::uint8_t>(&b, 1)).error().message(),
            "Bad file descriptor (os error 9)");
  EXPECT_EQ(file_length(closed).error().message(), "Bad file descriptor (os error 9)");
  EXPECT_EQ(seek_end(closed).error().message(), "Bad file descriptor (os error 9)");
}

}  // namespace
}  // namespace crivane::storage
