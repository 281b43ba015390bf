#include "crivane/parallel.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace crivane::parallel::detail {
namespace {

// Set on pool threads: a loop started there runs inline, since waiting for
// other workers from inside a worker could wait on itself.
thread_local bool t_in_worker = false;

// One running loop. It lives on the caller's stack; workers reach it only
// through the pool's job list and count themselves in `active` while inside.
struct Job {
  Job(std::size_t n, LoopBody body, std::size_t chunk) : n(n), body(body), chunk(chunk) {}

  bool has_work() const {
    return !stop.load(std::memory_order_relaxed) && next.load(std::memory_order_relaxed) < n;
  }

  // Runs items until none are left or the loop stops. An exception thrown by
  // an item stops the loop and is kept for the caller, which rethrows it once
  // every helper has left; it never ends a worker thread.
  void work() {
    try {
      work_items();
    } catch (...) {
      // A foreign exception (the unwind that ends a thread) has no
      // exception_ptr and must go on; it is not caught by type, since that
      // binds a null reference.
      std::exception_ptr e = std::current_exception();
      if (!e) throw;
      if (!failed.exchange(true, std::memory_order_relaxed)) thrown = std::move(e);
      stop.store(true, std::memory_order_relaxed);
    }
  }

  const std::size_t n;
  const LoopBody body;
  const std::size_t chunk;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::atomic<bool> failed{false};
  std::exception_ptr thrown;     // read by the caller only after every helper has left
  std::size_t active = 0;        // guarded by the pool's mutex
  std::condition_variable idle;  // signalled when `active` drops to 0

 private:
  void work_items() {
    while (!stop.load(std::memory_order_relaxed)) {
      const std::size_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
      if (begin >= n) return;
      const std::size_t end = std::min(n, begin + chunk);
      for (std::size_t i = begin; i < end; ++i) {
        if (i != begin && stop.load(std::memory_order_relaxed)) return;
        if (!body.call(body.ctx, i)) {
          stop.store(true, std::memory_order_relaxed);
          return;
        }
      }
    }
  }
};

class Pool {
 public:
  explicit Pool(std::size_t threads) {
    for (std::size_t i = 0; i < threads; ++i) {
      try {
        // Detached: the pool is never torn down, and its threads must not
        // hold up process exit.
        std::thread([this] { worker_loop(); }).detach();
        ++threads_;
      } catch (const std::system_error&) {
        break;  // fewer threads; the caller still works through every item
      } catch (const std::bad_alloc&) {
        break;
      }
    }
  }

  std::size_t threads() const { return threads_; }

  // Runs the job with the pool's help; false when it could not be handed to
  // the pool (out of memory), in which case nothing of it has run.
  bool run(Job& job) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      try {
        jobs_.push_back(&job);
      } catch (const std::bad_alloc&) {
        return false;
      }
    }
    // The job lives on the caller's stack: however this frame is left,
    // helpers must be out of it first.
    struct Leave {
      Pool& pool;
      Job& job;
      ~Leave() { pool.leave(job); }
    } leave{*this, job};
    const std::size_t helpers = std::min(threads_, job.n - 1);
    if (helpers == threads_) {
      wake_.notify_all();
    } else {
      for (std::size_t i = 0; i < helpers; ++i) wake_.notify_one();
    }
    job.work();
    return true;
  }

  // Links pools a fork left behind, so they stay reachable.
  Pool* abandoned_next = nullptr;

 private:
  // Takes the job off the list and waits until no helper is inside it.
  void leave(Job& job) {
    std::unique_lock<std::mutex> lock(mu_);
    jobs_.erase(std::find(jobs_.begin(), jobs_.end(), &job));
    job.idle.wait(lock, [&] { return job.active == 0; });
  }

  void worker_loop() {
    t_in_worker = true;
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      Job* job = nullptr;
      for (Job* j : jobs_) {
        if (j->has_work()) {
          job = j;
          break;
        }
      }
      if (job == nullptr) {
        wake_.wait(lock);
        continue;
      }
      ++job->active;
      lock.unlock();
      job->work();
      lock.lock();
      if (--job->active == 0) job->idle.notify_all();
    }
  }

  std::mutex mu_;
  std::condition_variable wake_;
  std::vector<Job*> jobs_;
  std::size_t threads_ = 0;
};

std::size_t cpu_count() {
  for (int ncpu = CPU_SETSIZE; ncpu <= (1 << 22); ncpu *= 2) {
    cpu_set_t* set = CPU_ALLOC(ncpu);
    if (set == nullptr) break;
    const std::size_t size = CPU_ALLOC_SIZE(ncpu);
    if (::sched_getaffinity(0, size, set) == 0) {
      const int count = CPU_COUNT_S(size, set);
      CPU_FREE(set);
      return count > 0 ? static_cast<std::size_t>(count) : 1;
    }
    const int err = errno;
    CPU_FREE(set);
    if (err != EINVAL) break;  // EINVAL: the mask is wider than `size`
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

std::mutex g_create_mu;
std::atomic<Pool*> g_pool{nullptr};
Pool* g_abandoned = nullptr;
bool g_atfork_registered = false;

// No other thread may be making the pool while the process forks.
void before_fork() { g_create_mu.lock(); }
void after_fork_parent() { g_create_mu.unlock(); }
// The child has none of the pool's threads, and one of them may have held the
// pool's mutex at the fork. Leave that pool untouched and make a new one on
// first use.
void after_fork_child() {
  if (Pool* old = g_pool.load(std::memory_order_relaxed)) {
    old->abandoned_next = g_abandoned;
    g_abandoned = old;
    g_pool.store(nullptr, std::memory_order_relaxed);
  }
  g_create_mu.unlock();
}

Pool& pool() {
  if (Pool* p = g_pool.load(std::memory_order_acquire)) return *p;
  std::lock_guard<std::mutex> lock(g_create_mu);
  Pool* p = g_pool.load(std::memory_order_relaxed);
  if (p == nullptr) {
    if (!g_atfork_registered) {
      g_atfork_registered = ::pthread_atfork(before_fork, after_fork_parent, after_fork_child) == 0;
    }
    p = new Pool(cpu_count());
    g_pool.store(p, std::memory_order_release);
  }
  return *p;
}

// Items per counter step: several per thread and loop so that uneven items
// still balance, but big enough steps that tiny items don't all contend on
// the counter.
std::size_t chunk_for(std::size_t n, std::size_t participants) {
  return std::clamp<std::size_t>(n / (16 * participants), 1, 64);
}

// The pool, or nullptr when there is no memory to make it.
Pool* try_pool() {
  try {
    return &pool();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

void run(std::size_t n, LoopBody body) {
  if (n == 0) return;
  if (n > 1 && !t_in_worker) {
    if (Pool* p = try_pool()) {
      Job job(n, body, chunk_for(n, p->threads() + 1));
      if (p->run(job)) {
        if (job.thrown) std::rethrow_exception(job.thrown);
        return;
      }
    }
  }
  // One item, a loop inside a worker, or no pool to be had: all on this thread.
  for (std::size_t i = 0; i < n; ++i) {
    if (!body.call(body.ctx, i)) return;
  }
}

}  // namespace crivane::parallel::detail
