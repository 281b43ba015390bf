// Borrow flags: many readers or one writer per object. A conflicting call
// fails at once instead of waiting; conflicts arise only while another call
// on the same object runs Python code or has released the interpreter lock.
#pragma once

#include <cstdint>
#include <utility>

namespace crivane_rs::py {

// Touched only with the interpreter lock held.
class BorrowFlag {
 public:
  bool try_shared() {
    if (state_ < 0) return false;
    ++state_;
    return true;
  }
  void release_shared() { --state_; }
  bool try_exclusive() {
    if (state_ != 0) return false;
    state_ = -1;
    return true;
  }
  void release_exclusive() { state_ = 0; }
  bool is_free() const { return state_ == 0; }

 private:
  std::intptr_t state_ = 0;  // 0 free, >0 shared holders, -1 exclusive
};

// Guards are empty when the borrow was refused; the exception is then set.
class SharedBorrow {
 public:
  // RuntimeError "Already mutably borrowed" on conflict.
  static SharedBorrow take(BorrowFlag& flag);
  // PanicException "Already mutably borrowed" on conflict, for the callers
  // that report a conflict that way.
  static SharedBorrow take_or_panic(BorrowFlag& flag);

  SharedBorrow(SharedBorrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
  SharedBorrow& operator=(SharedBorrow&&) = delete;
  ~SharedBorrow() {
    if (flag_ != nullptr) flag_->release_shared();
  }
  explicit operator bool() const { return flag_ != nullptr; }

 private:
  explicit SharedBorrow(BorrowFlag* flag) : flag_(flag) {}
  BorrowFlag* flag_;
};

class ExclusiveBorrow {
 public:
  // RuntimeError "Already borrowed" on conflict.
  static ExclusiveBorrow take(BorrowFlag& flag);

  ExclusiveBorrow(ExclusiveBorrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
  ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
  ~ExclusiveBorrow() {
    if (flag_ != nullptr) flag_->release_exclusive();
  }
  explicit operator bool() const { return flag_ != nullptr; }

 private:
  explicit ExclusiveBorrow(BorrowFlag* flag) : flag_(flag) {}
  BorrowFlag* flag_;
};

}  // namespace crivane_rs::py
