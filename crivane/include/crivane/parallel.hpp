// Data-parallel loops on one process-wide pool of worker threads.
//
// The pool is made at the first loop with more than one item: one thread per
// CPU the process may run on. The calling thread works through items too, so
// a loop always makes progress. Several threads may run loops at once; a loop
// started from inside a pool worker runs inline on that worker. After fork()
// the child builds a fresh pool on first use.
//
// Items are handed out by index, results are kept in index order. `fn` is
// called concurrently from several threads and must be safe for that.
// std::bad_alloc thrown by an item is that item's Error::out_of_memory();
// any other exception stops the loop and is rethrown on the calling thread
// once every item that started has finished.
#pragma once

#include <atomic>
#include <cstddef>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "crivane/error.hpp"

namespace crivane::parallel {
namespace detail {

// A type-erased loop body: runs item i, returns false to stop the loop.
struct LoopBody {
  void* ctx;
  bool (*call)(void* ctx, std::size_t i);
};

template <class F>
LoopBody make_body(F& f) {
  return {&f, [](void* ctx, std::size_t i) -> bool { return (*static_cast<F*>(ctx))(i); }};
}

// Runs body(i) for every i in [0, n) until one returns false, after which no
// new items are started. Returns when every started item has finished; an
// exception thrown by body is rethrown then, on the calling thread.
void run(std::size_t n, LoopBody body);

// fn(i) as a Result<T>, allocation failure included.
template <class T, class F>
Result<T> run_item(F& fn, std::size_t i) {
  return catch_allocation_failure([&]() -> Result<T> { return fn(i); });
}

// n result slots, each written once by whichever thread ran its item. Types
// that default-construct go straight into the final vector (bool excepted:
// vector<bool> packs bits, so neighbouring writes would race).
template <class V>
class Slots {
  static constexpr bool kDirect = std::is_default_constructible_v<V> && !std::is_same_v<V, bool>;

 public:
  explicit Slots(std::size_t n) : slots_(n) {}
  void set(std::size_t i, V&& v) {
    if constexpr (kDirect) {
      slots_[i] = std::move(v);
    } else {
      slots_[i].emplace(std::move(v));
    }
  }
  // Only once every slot is set.
  std::vector<V> take() && {
    if constexpr (kDirect) {
      return std::move(slots_);
    } else {
      std::vector<V> out;
      out.reserve(slots_.size());
      for (auto& s : slots_) out.push_back(std::move(*s));
      return out;
    }
  }

 private:
  std::conditional_t<kDirect, std::vector<V>, std::vector<std::optional<V>>> slots_;
};

// The first error any item reports; later ones are dropped.
class FirstError {
 public:
  void record(Error&& e) {
    if (!set_.exchange(true, std::memory_order_acq_rel)) error_.emplace(std::move(e));
  }
  // Only after the loop has returned.
  std::optional<Error>& get() { return error_; }

 private:
  std::atomic<bool> set_{false};
  std::optional<Error> error_;
};

}  // namespace detail

// Runs fn(i) -> Result<void> for i in [0, n). The first error recorded stops
// the loop and is returned; it need not be the lowest failing index.
template <class F>
Result<void> parallel_for(std::size_t n, F fn) {
  detail::FirstError first;
  auto body = [&](std::size_t i) -> bool {
    Result<void> r = detail::run_item<void>(fn, i);
    if (r) return true;
    first.record(std::move(r).error());
    return false;
  };
  detail::run(n, detail::make_body(body));
  if (first.get()) return unexpected(std::move(*first.get()));
  return {};
}

// Runs fn(i) -> Result<T> for i in [0, n) and returns the values in index
// order, or the first error recorded, which stops the loop.
template <class T, class F>
Result<std::vector<T>> parallel_map(std::size_t n, F fn) {
  // The result storage is allocated here too, before and after the loop.
  return catch_allocation_failure([&]() -> Result<std::vector<T>> {
    detail::Slots<T> slots(n);
    detail::FirstError first;
    auto body = [&](std::size_t i) -> bool {
      Result<T> r = detail::run_item<T>(fn, i);
      if (!r) {
        first.record(std::move(r).error());
        return false;
      }
      slots.set(i, std::move(r).value());
      return true;
    };
    detail::run(n, detail::make_body(body));
    if (first.get()) return unexpected(std::move(*first.get()));
    return std::move(slots).take();
  });
}

// Runs every fn(i) -> Result<T>, errors included, and returns all results in
// index order, for callers that choose which failure to report.
template <class T, class F>
std::vector<Result<T>> parallel_map_all(std::size_t n, F fn) {
  detail::Slots<Result<T>> slots(n);
  auto body = [&](std::size_t i) -> bool {
    slots.set(i, detail::run_item<T>(fn, i));
    return true;
  };
  detail::run(n, detail::make_body(body));
  return std::move(slots).take();
}

}  // namespace crivane::parallel
