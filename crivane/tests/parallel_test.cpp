#include "crivane/parallel.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
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

// Items that make a loop run on the calling thread and on a pool worker at
// once: every item waits until both have started one. Then the first item on
// the thrower's side throws, and every other item waits until it has, so that
// the throw lands while the loop still has items in flight.
enum class Side { Caller, Worker };
enum class Loop { For, Map, MapAll };

// Enough items that the workers cannot take them all before the caller gets
// some, whatever the chunk size.
constexpr std::size_t kGatedItems = std::size_t{1} << 16;

class Gate {
 public:
  Gate(Side thrower) : thrower_(thrower) {}

  template <class E>
  std::size_t item(std::size_t i, const E& exc) {
    started.fetch_add(1);
    const bool on_caller = std::this_thread::get_id() == caller_;
    std::unique_lock<std::mutex> lock(mu_);
    (on_caller ? caller_in_ : worker_in_) = true;
    cv_.notify_all();
    cv_.wait(lock, [&] { return caller_in_ && worker_in_; });
    if (on_caller == (thrower_ == Side::Caller) && !thrown_) {
      thrown_ = true;
      cv_.notify_all();
      throw exc;
    }
    cv_.wait(lock, [&] { return thrown_; });
    finished.fetch_add(1);
    return i;
  }

  std::atomic<std::size_t> started{0};
  std::atomic<std::size_t> finished{0};

 private:
  const Side thrower_;
  const std::thread::id caller_ = std::this_thread::get_id();
  std::mutex mu_;
  std::condition_variable cv_;
  bool caller_in_ = false;
  bool worker_in_ = false;
  bool thrown_ = false;
};

// The error the loop reports, or nothing when it succeeded.
template <class E>
std::optional<Error> run_gated(Loop loop, Gate& gate, const E& exc) {
  auto fn = [&](std::size_t i) -> Result<std::size_t> { return gate.item(i, exc); };
  switch (loop) {
    case Loop::For: {
      auto r = parallel_for(kGatedItems, [&](std::size_t i) -> Result<void> {
        gate.item(i, exc);
        return {};
      });
      if (r) return std::nullopt;
      return r.error();
    }
    case Loop::Map: {
      auto r = parallel_map<std::size_t>(kGatedItems, fn);
      if (r) return std::nullopt;
      return r.error();
    }
    case Loop::MapAll: {
      auto all = parallel_map_all<std::size_t>(kGatedItems, fn);
      EXPECT_EQ(all.size(), kGatedItems);
      std::optional<Error> error;
      for (std::size_t i = 0; i < all.size(); ++i) {
        if (all[i]) {
          EXPECT_EQ(*all[i], i);
        } else {
          EXPECT_FALSE(error.has_value()) << "a second failing item: " << i;
          error = all[i].error();
        }
      }
      return error;
    }
  }
  return std::nullopt;
}

const char* side_name(Side side) { return side == Side::Caller ? "caller" : "worker"; }

TEST(ParallelMapTest, AllocationFailureIsAnErrorOnAnyThread) {
  for (Loop loop : {Loop::For, Loop::Map, Loop::MapAll}) {
    for (Side side : {Side::Caller, Side::Worker}) {
      SCOPED_TRACE(
          fmt::format("loop {}, thrown on the {}", static_cast<int>(loop), side_name(side)));
      Gate gate(side);
      std::optional<Error> error;
      EXPECT_NO_THROW(error = run_gated(loop, gate, std::bad_alloc()));
      ASSERT_TRUE(error.has_value());
      EXPECT_TRUE(error->is_out_of_memory());
      EXPECT_EQ(*error, Error::out_of_memory());
      // Every item that started had finished when the loop returned.
      EXPECT_EQ(gate.finished.load() + 1, gate.started.load());
      EXPECT_TRUE(squares_ok(10000));  // the pool still works
    }
  }
}

TEST(ParallelMapTest, OtherExceptionsReachTheCallerOnceEveryItemHasFinished) {
  for (Side side : {Side::Caller, Side::Worker}) {
    SCOPED_TRACE(side_name(side));
    Gate gate(side);
    EXPECT_THROW(run_gated(Loop::Map, gate, std::runtime_error("item")), std::runtime_error);
    EXPECT_EQ(gate.finished.load() + 1, gate.started.load());
    EXPECT_TRUE(squares_ok(10000));
  }
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
