// Child processes for tests: letting the pool settle before a fork, running
// a test body in a child, running one as a user that file permissions apply
// to, and running one with little address space to spare.
#pragma once

#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <thread>

#include <gtest/gtest.h>

#include "crivane/error.hpp"
#include "crivane/parallel.hpp"

namespace crivane::testing {

// ASan's allocator (GCC 12) is not fork-safe: a child forked while another
// thread is inside malloc (a pool thread still starting up, say) waits
// forever on the allocator's lock. glibc's malloc is fork-safe, so only the
// instrumented build lets the parent's threads settle before forking.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAllocatorForkSafe = false;
#else
inline constexpr bool kAllocatorForkSafe = true;
#endif

inline void settle_threads_before_fork() {
  if (kAllocatorForkSafe) return;
  (void)parallel::parallel_for(1000, [](std::size_t) { return Result<void>{}; });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

// Runs `body` in a child process, so that what it does to the process (a
// resource limit, a signal disposition) stays there. The child's failed
// assertions print there and fail the test here.
template <class Body>
void run_in_child(Body body) {
  settle_threads_before_fork();
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::alarm(60);  // a child stuck on a lock the fork copied dies instead of hanging
    body();
    std::_Exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Runs `body` in a child process whose file accesses are checked against
// permission bits: as root it first becomes the user "nobody" (65534), to
// whom `dir` is handed. The child's failed assertions print there and fail
// the test here.
template <class Body>
void run_unprivileged(const std::filesystem::path& dir, Body body) {
  constexpr uid_t kNobody = 65534;
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(dir.c_str(), kNobody, kNobody), 0);
  }
  run_in_child([&] {
    if (root &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
      std::_Exit(90);
    }
    body();
  });
}

// Whether an address-space limit can be set: the sanitizers' shadow memory
// claims terabytes of it up front.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSpaceLimitWorks = false;
#else
inline constexpr bool kAddressSpaceLimitWorks = true;
#endif

// While it lives, this process may map only `spare` bytes beyond what it
// has mapped when it is made, so that an allocation larger than that fails;
// only the soft limit moves, and it is put back at the end. Use it in a
// child (run_in_child): the pool's threads are the process's too.
class SpareAddressSpace {
 public:
  explicit SpareAddressSpace(std::uint64_t spare) {
    std::uint64_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    if (pages == 0 || ::getrlimit(RLIMIT_AS, &old_) != 0) std::_Exit(91);
    const std::uint64_t limit = pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)) + spare;
    const rlimit rl{limit, old_.rlim_max};
    if (::setrlimit(RLIMIT_AS, &rl) != 0) std::_Exit(91);
  }
  ~SpareAddressSpace() {
    if (::setrlimit(RLIMIT_AS, &old_) != 0) std::_Exit(92);
  }
  SpareAddressSpace(const SpareAddressSpace&) = delete;
  SpareAddressSpace& operator=(const SpareAddressSpace&) = delete;

 private:
  rlimit old_{};
};

// Runs `body` in a child process that may map only `spare` bytes beyond what
// it has mapped already, so that an allocation larger than that fails there.
// The child's failed assertions print there and fail the test here.
template <class Body>
void run_with_spare_address_space(std::uint64_t spare, Body body) {
  run_in_child([&] {
    const SpareAddressSpace limit(spare);
    try {
      body();
    } catch (const std::bad_alloc&) {
      ADD_FAILURE() << "an allocation needed more than the spare address space";
    }
  });
}

}  // namespace crivane::testing
