#include "crivane/parallel.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace crivane::parallel {
namespace {

Result<std::uint64_t> square(std::size_t i) { return std::uint64_t{i} * i; }

bool squares_ok(std::size_t n) {
  auto r = parallel_map<std::uint64_t>(n, square);
  if (!r || r->size() != n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if ((*r)[i] != std::uint64_t{i} * i) return false;
  }
  return true;
}

TEST(ParallelMapTest, ResultsInInputOrder) {
  for (std::size_t n : {0, 1, 2, 3, 17, 1000, 100000}) EXPECT_TRUE(squares_ok(n)) << n;
}

// The result slots are written from many threads at once; these types take
// the other path through the result storage.
struct NoDefault {
  explicit NoDefault(std::size_t v) : v(v) {}
  std::size_t v;
};

TEST(ParallelMapTest, ResultTypesWithoutPlainSlots) {
  const std::size_t n = 5000;
  auto flags = parallel_map<bool>(n, [](std::size_t i) -> Result<bool> { return i % 3 == 0; });
  ASSERT_TRUE(flags.has_value());
  for (std::size_t i = 0; i < n; ++i) ASSERT_EQ((*flags)[i], i % 3 == 0) << i;

  auto boxed = parallel_map<NoDefault>(
      n, [](std::size_t i) -> Result<NoDefault> { return NoDefault(i + 1); });
  ASSERT_TRUE(boxed.has_value());
  for (std::size_t i = 0; i < n; ++i) ASSERT_EQ((*boxed)[i].v, i + 1);

  auto owned = parallel_map<std::unique_ptr<std::string>>(
      n, [](std::size_t i) -> Result<std::unique_ptr<std::string>> {
        return std::make_unique<std::string>(std::to_string(i));
      });
  ASSERT_TRUE(owned.has_value());
  for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(*(*owned)[i], std::to_string(i));
}

TEST(ParallelForTest, RunsEveryItemOnce) {
  const std::size_t n = 20000;
  std::vector<std::atomic<int>> hits(n);
  auto r = parallel_for(n, [&](std::size_t i) -> Result<void> {
    hits[i].fetch_add(1, std::memory_order_relaxed);
    return {};
  });
  ASSERT_TRUE(r.has_value());
  for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << i;
  EXPECT_TRUE(parallel_for(0, [](std::size_t) -> Result<void> { return {}; }).has_value());
}

TEST(ParallelMapTest, TheOneErrorIsReturned) {
  auto r = parallel_map<std::uint64_t>(1000, [](std::size_t i) -> Result<std::uint64_t> {
    if (i == 777) return unexpected(Error::invalid_data("item 777"));
    return i;
  });
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), Error::invalid_data("item 777"));

  auto v = parallel_for(1000, [](std::size_t i) -> Result<void> {
    if (i == 3) return unexpected(Error::io("item 3"));
    return {};
  });
  ASSERT_FALSE(v.has_value());
  EXPECT_EQ(v.error(), Error::io("item 3"));
}

TEST(ParallelMapTest, AnErrorStopsHandingOutItems) {
  // Every item fails, so each participating thread stops after its first.
  const std::size_t n = 100000;
  std::atomic<std::size_t> calls{0};
  auto r = parallel_map<int>(n, [&](std::size_t i) -> Result<int> {
    calls.fetch_add(1);
    return unexpected(Error::invalid_data(fmt::format("item {}", i)));
  });
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message().rfind("item ", 0), 0u);
  EXPECT_LT(calls.load(), n / 10);
}

TEST(ParallelMapAllTest, EveryResultInOrder) {
  const std::size_t n = 3000;
  auto all = parallel_map_all<std::size_t>(n, [](std::size_t i) -> Result<std::size_t> {
    if (i % 2) return unexpected(Error::invalid_data(fmt::format("odd {}", i)));
    return i / 2;
  });
  ASSERT_EQ(all.size(), n);
  for (std::size_t i = 0; i < n; ++i) {
    if (i % 2) {
      ASSERT_FALSE(all[i].has_value());
      EXPECT_EQ(all[i].error().message(), fmt::format("odd {}", i));
    } else {
      ASSERT_TRUE(all[i].has_value());
      EXPECT_EQ(*all[i], i / 2);
    }
  }
  EXPECT_TRUE(parallel_map_all<int>(0, [](std::size_t) -> Result<int> { return 0; }).empty());
}

TEST(ParallelMapTest, ItemsRunConcurrently) {
  // Each of the two items waits until the other has started: this finishes
  // only if two threads take part.
  std::mutex mu;
  std::condition_variable cv;
  int started = 0;
  auto r = parallel_for(2, [&](std::size_t) -> Result<void> {
    std::unique_lock<std::mutex> lock(mu);
    ++started;
    cv.notify_all();
    cv.wait(lock, [&] { return started == 2; });
    return {};
  });
  EXPECT_TRUE(r.has_value());
}

TEST(ParallelMapTest, SeveralCallersAtOnce) {
  std::atomic<int> failures{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 8; ++t) {
    callers.emplace_back([&, t] {
      for (int round = 0; round < 40; ++round) {
        if (!squares_ok(500 + 37 * t + round)) failures.fetch_add(1);
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(ParallelMapTest, NestedLoops) {
  auto r = parallel_map<std::uint64_t>(64, [](std::size_t i) -> Result<std::uint64_t> {
    auto inner = parallel_map<std::uint64_t>(
        200, [i](std::size_t j) -> Result<std::uint64_t> { return i * j; });
    if (!inner) return unexpected(inner.error());
    std::uint64_t sum = 0;
    for (auto v : *inner) sum += v;
    return sum;
  });
  ASSERT_TRUE(r.has_value());
  for (std::size_t i = 0; i < 64; ++i) EXPECT_EQ((*r)[i], i * (199 * 200 / 2));
}

TEST(ParallelMapTest, ForkedChildMakesItsOwnPool) {
  ASSERT_TRUE(squares_ok(1000));  // the pool exists and its threads are idle
  // Keep the pool busy from another thread while forking, so its lock may
  // well be held at the moment of the fork. Not under ASan: GCC 12's ASan
  // allocator is not fork-safe, so a child forked while that thread is in
  // malloc can wait forever on the allocator's own lock.
  std::atomic<bool> done{false};
  std::thread busy([&] {
#if !defined(__SANITIZE_ADDRESS__)
    while (!done.load()) squares_ok(20000);
#endif
  });
  for (int round = 0; round < 5; ++round) {
    const pid_t pid = ::fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
      ::alarm(120);  // a deadlocked child dies instead of hanging the test
      const bool ok = squares_ok(50000) && squares_ok(2);
      ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    if (WIFEXITED(status)) {
      EXPECT_EQ(WEXITSTATUS(status), 0);
    }
  }
  done.store(true);
  busy.join();
  EXPECT_TRUE(squares_ok(1000));  // the parent's pool is untouched
}

}  // namespace
}  // namespace crivane::parallel
