// Reliability: writers killed at random moments, torn header slots, readers
// on several threads, and parallel reads in a forked child.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "crivane/parallel.hpp"
#include "crivane/storage/database.hpp"
#include "support/db_files.hpp"
#include "support/expect.hpp"
#include "support/fork.hpp"
#include "support/le_bytes.hpp"
#include "support/temp_dir.hpp"

namespace crivane::storage {
namespace {

using atom::Molecule;
using compression::CompressionType;
using crivane::testing::kAllocatorForkSafe;
using crivane::testing::length_of_file;
using crivane::testing::overwrite;
using crivane::testing::read_slot;
using crivane::testing::record_of;
using crivane::testing::seeded_molecule;
using crivane::testing::settle_threads_before_fork;
using crivane::testing::succeeds;
using crivane::testing::TempDir;
using crivane::testing::to_vec;
using header::HeaderSlot;
using header::kSlotSize;

// The writer's content follows from the batch number alone, so a reader
// can tell what every committed record must hold.
std::size_t batch_size(std::uint64_t b) { return 1 + b % 5; }

Molecule batch_molecule(std::uint64_t b, std::size_t j) {
  return seeded_molecule(b * 8 + j, 1 + (b + j) % 9);
}

std::vector<Molecule> batch(std::uint64_t b) {
  std::vector<Molecule> ms;
  for (std::size_t j = 0; j < batch_size(b); ++j) ms.push_back(batch_molecule(b, j));
  return ms;
}

// The batch that starts at record `count`, when a batch starts there.
std::optional<std::uint64_t> batch_starting_at(std::uint64_t count) {
  std::uint64_t b = 0, at = 0;
  while (at < count) at += batch_size(b++);
  if (at != count) return std::nullopt;
  return b;
}

// The molecule record `i` holds.
Molecule expected_molecule(std::uint64_t i) {
  std::uint64_t b = 0;
  while (i >= batch_size(b)) i -= batch_size(b++);
  return batch_molecule(b, i);
}

// The record bytes of record `i`, made once per index.
const std::vector<std::uint8_t>& expected_record(std::uint64_t i) {
  static std::vector<std::vector<std::uint8_t>> cache;
  while (cache.size() <= i) cache.push_back(record_of(expected_molecule(cache.size()), 2));
  return cache[i];
}

std::vector<std::size_t> all_indices(std::size_t n) {
  std::vector<std::size_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = i;
  return v;
}

// The writer process: appends batch after batch to the committed state and
// flushes each, reporting the record count of every completed commit. Never
// returns; exit codes above 0 name the step that failed.
[[noreturn]] void run_writer(const std::filesystem::path& path, int report_fd) {
  ::alarm(60);  // a writer that hangs dies instead of blocking the test
  auto db = AtomDatabase::open_with_options(path, false, false);
  if (!db) ::_exit(2);
  std::optional<std::uint64_t> b = batch_starting_at(db->len());
  if (!b) ::_exit(3);
  for (;;) {
    if (!db->add_molecules(batch(*b))) ::_exit(4);
    if (!db->flush()) ::_exit(5);
    const std::uint64_t count = db->len();
    ++*b;
    if (::write(report_fd, &count, sizeof count) != sizeof count) ::_exit(6);
  }
}

// Reads one report; nothing at EOF (the writer is gone).
std::optional<std::uint64_t> read_report(int fd) {
  std::uint64_t v;
  std::size_t got = 0;
  while (got < sizeof v) {
    const ssize_t n = ::read(fd, reinterpret_cast<char*>(&v) + got, sizeof v - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    got += static_cast<std::size_t>(n);
  }
  return v;
}

HeaderSlot best_slot(const std::filesystem::path& path) {
  const auto s0 = read_slot(path, 0), s1 = read_slot(path, 1);
  if (s0 && s1) return s1->generation > s0->generation ? *s1 : *s0;
  return s0 ? *s0 : *s1;
}

// Every record of the file reads back as written, in both modes; returns
// the committed record count.
std::uint64_t verify_committed(const std::filesystem::path& path, std::uint64_t reported) {
  std::uint64_t count = 0;
  for (const bool mmap : {false, true}) {
    SCOPED_TRACE(mmap ? "mapped" : "file");
    auto db = AtomDatabase::open_with_options(path, mmap, false);
    EXPECT_TRUE(succeeds(db));
    if (!db) return reported;
    count = db->len();
    // The last reported commit, or the one whose report the kill cut off.
    const auto next = batch_starting_at(reported);
    EXPECT_TRUE(next.has_value());
    EXPECT_TRUE(count == reported || count == reported + batch_size(*next))
        << count << " records after a report of " << reported;
    auto got = db->get_raw_bytes(all_indices(count));
    EXPECT_TRUE(succeeds(got));
    if (!got) return count;
    for (std::size_t i = 0; i < count; ++i) {
      EXPECT_EQ(to_vec((*got)[i]), expected_record(i)) << "record " << i;
      if (::testing::Test::HasFailure()) return count;
    }
  }
  return count;
}

TEST(CrashTest, KilledWritersLeaveTheLastCommitReadable) {
  TempDir dir;
  const auto path = dir.file("db");
  ASSERT_TRUE(succeeds(AtomDatabase::create_with_format(path, CompressionType::Lz4())));

  std::mt19937 rng(20240611);
  std::uint64_t committed = 0;
  for (int round = 0; round < 64 && !HasFailure(); ++round) {
    SCOPED_TRACE(round);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    if (round == 1) settle_threads_before_fork();  // verifying round 0 started the pool
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(fds[0]);
      run_writer(path, fds[1]);
    }
    ::close(fds[1]);

    // Let a few commits complete, then kill at a random point of a cycle.
    const int commits = std::uniform_int_distribution<int>(0, 16)(rng);
    for (int i = 0; i < commits; ++i) {
      const auto count = read_report(fds[0]);
      if (!count) break;  // the writer died; its status tells why
      committed = *count;
    }
    std::this_thread::sleep_for(
        std::chrono::microseconds(std::uniform_int_distribution<int>(0, 3000)(rng)));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "writer ended with wait status " << status << " (exit codes name the failed step)";
    while (const auto count = read_report(fds[0])) committed = *count;
    ::close(fds[0]);

    committed = verify_committed(path, committed);

    // A killed append or commit leaves bytes past the committed end; the
    // next non-mapped append cuts them before it writes.
    const HeaderSlot slot = best_slot(path);
    const std::uint64_t end = slot.index_offset + slot.index_len;
    ASSERT_GE(length_of_file(path), end);
    if (length_of_file(path) > end) {
      auto db = AtomDatabase::open_with_options(path, false, false);
      ASSERT_TRUE(succeeds(db));
      const Molecule extra = seeded_molecule(1000 + round, 2);
      ASSERT_TRUE(succeeds(db->add_molecule(extra)));
      const auto stored = compression::compress(record_of(extra, 2), CompressionType::Lz4());
      EXPECT_EQ(length_of_file(path), end + stored->size());
      // Left uncommitted: the next writer cuts it again.
    }
  }
}

// A slot write torn by a crash fails its checksum; the other slot, holding
// the previous commit, is chosen, and the next commit goes where the torn
// one was.
TEST(CrashTest, TornHeaderFallsBackToTheOtherSlot) {
  struct Case {
    const char* name;
    int commits;  // the newest commit's slot is commits % 2
    bool garbage;
  };
  const Case cases[] = {
      {"garbage over slot 0", 2, true},
      {"garbage over slot 1", 3, true},
      {"half-written slot 0", 2, false},
      {"half-written slot 1", 3, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto path = dir.file("db");
    {
      auto db = AtomDatabase::create_with_format(path, CompressionType::None());
      ASSERT_TRUE(succeeds(db));
      for (int i = 0; i < c.commits; ++i) {
        ASSERT_TRUE(succeeds(db->add_molecule(seeded_molecule(i, 3))));
        ASSERT_TRUE(succeeds(db->flush()));
      }
    }
    const int newest = c.commits % 2;
    std::vector<std::uint8_t> damage(kSlotSize);
    if (c.garbage) {
      // Past the magic and version, which opening checks before any slot.
      const auto file = crivane::testing::read_file(path);
      std::copy(file.begin() + newest * kSlotSize, file.begin() + newest * kSlotSize + 8,
                damage.begin());
      std::mt19937 rng(c.commits);
      for (std::size_t i = 8; i < damage.size(); ++i) damage[i] = static_cast<std::uint8_t>(rng());
    } else {
      // The first half of a newer slot over the rest of the current one.
      HeaderSlot newer = *read_slot(path, newest);
      newer.generation += 2;
      newer.record_count = 0;
      newer.index_offset = newer.index_len = 0;
      const auto bytes = header::encode_header_slot(newer);
      const auto file = crivane::testing::read_file(path);
      std::copy(bytes.begin(), bytes.begin() + kSlotSize / 2, damage.begin());
      std::copy(file.begin() + newest * kSlotSize + kSlotSize / 2,
                file.begin() + (newest + 1) * kSlotSize, damage.begin() + kSlotSize / 2);
    }
    overwrite(path, newest * kSlotSize, damage);

    for (const bool mmap : {false, true}) {
      auto db = AtomDatabase::open_with_options(path, mmap, false);
      ASSERT_TRUE(succeeds(db));
      EXPECT_EQ(db->len(), static_cast<std::size_t>(c.commits - 1));
    }
    auto db = AtomDatabase::open_with_options(path, false, false);
    ASSERT_TRUE(succeeds(db));
    ASSERT_TRUE(succeeds(db->add_molecule(seeded_molecule(50, 2))));
    ASSERT_TRUE(succeeds(db->flush()));
    ASSERT_TRUE(read_slot(path, newest).has_value());
    auto reopened = AtomDatabase::open_with_options(path, false, false);
    ASSERT_TRUE(succeeds(reopened));
    ASSERT_EQ(reopened->len(), static_cast<std::size_t>(c.commits));
    auto last = reopened->get_raw_bytes(std::vector<std::size_t>{reopened->len() - 1});
    ASSERT_TRUE(succeeds(last));
    EXPECT_EQ(to_vec((*last)[0]), record_of(seeded_molecule(50, 2), 2));
  }
}

// A committed database of `n` records for the reader tests.
void make_committed(const std::filesystem::path& path, CompressionType c, std::size_t n) {
  auto db = AtomDatabase::create_with_format(path, c);
  ASSERT_TRUE(succeeds(db));
  std::vector<Molecule> ms;
  for (std::size_t i = 0; i < n; ++i) ms.push_back(expected_molecule(i));
  ASSERT_TRUE(succeeds(db->add_molecules(ms)));
  ASSERT_TRUE(succeeds(db->flush()));
}

TEST(ConcurrencyTest, ReadersOnSeveralThreadsGetTheSameBytes) {
  constexpr std::size_t kRecords = 300;
  std::vector<std::vector<std::uint8_t>> expected;
  for (std::size_t i = 0; i < kRecords; ++i) expected.push_back(record_of(expected_molecule(i), 2));

  for (const auto& setup :
       {std::pair{CompressionType::None(), true}, std::pair{CompressionType::Lz4(), false},
        std::pair{CompressionType::Zstd(3), true}}) {
    const CompressionType codec = setup.first;
    const bool mmap = setup.second;
    SCOPED_TRACE(static_cast<int>(codec.codec_code()));
    TempDir dir;
    make_committed(dir.file("db"), codec, kRecords);
    auto db = AtomDatabase::open_with_options(dir.file("db"), mmap, false);
    ASSERT_TRUE(succeeds(db));

    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&, t] {
        for (int iter = 0; iter < 10; ++iter) {
          // Every thread its own order, duplicates included.
          std::vector<std::size_t> order;
          for (std::size_t k = 0; k < kRecords; ++k)
            order.push_back((k * (2 * t + 1) + iter) % kRecords);
          auto got = db->get_raw_bytes(order);
          if (!got) {
            ++mismatches;
            return;
          }
          for (std::size_t k = 0; k < order.size(); ++k) {
            if (to_vec((*got)[k]) != expected[order[k]]) ++mismatches;
          }
          if (codec.codec == CompressionType::Codec::None) {
            const std::size_t i = (t * 37 + iter) % kRecords;
            const auto share = db->get_shared_mmap_bytes(i);
            if (!share || to_vec(share->as_slice()) != expected[i]) ++mismatches;
          }
        }
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
  }
}

// The child of a fork (a data-loader worker, say) reads in parallel after
// the parent has used its pool, and while the parent's pool is busy on
// another thread at the moment of the fork.
TEST(ConcurrencyTest, ParallelReadsInAForkedChild) {
  constexpr std::size_t kRecords = 2000;
  TempDir dir;
  const auto path = dir.file("db");
  make_committed(path, CompressionType::Zstd(1), kRecords);
  auto db = AtomDatabase::open_with_options(path, false, false);
  ASSERT_TRUE(succeeds(db));

  ASSERT_TRUE(succeeds(db->get_raw_bytes(all_indices(kRecords))));  // the pool exists now
  settle_threads_before_fork();
  std::atomic<bool> stop{false};
  std::optional<std::thread> busy;
  if (kAllocatorForkSafe) {
    busy.emplace([&] {
      while (!stop.load()) (void)db->get_raw_bytes(all_indices(kRecords));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(60);  // a child stuck on a lock the fork copied dies instead of hanging
    auto child_db = AtomDatabase::open_with_options(path, true, false);
    if (!child_db) ::_exit(2);
    auto got = child_db->read_decompress_parallel(all_indices(kRecords));
    if (!got) ::_exit(3);
    for (std::size_t i = 0; i < kRecords; ++i) {
      const Molecule m = expected_molecule(i);
      if (to_vec(got->records[i]) != record_of(m, 2) || got->n_atoms[i] != m.n_atoms()) ::_exit(4);
    }
    // And the database the parent opened, through the file.
    auto inherited = db->get_raw_bytes(all_indices(kRecords));
    ::_exit(inherited && to_vec((*inherited)[kRecords - 1]) ==
                             record_of(expected_molecule(kRecords - 1), 2)
                ? 0
                : 5);
  }
  stop.store(true);
  if (busy) busy->join();
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "the forked reader died of signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace crivane::storage
