// Per-object borrow flag: counts shared borrows, or marks one exclusive borrow. Updated with
// atomic read-modify-write so that truly parallel callers (free-threaded builds) see conflicts
// as RuntimeError instead of racing on the record.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace noteloom::py {

class BorrowFlag {
 public:
  bool try_shared() noexcept {
    intptr_t v = state_.load(std::memory_order_relaxed);
    do {
      if (v == kExclusive) return false;
    } while (!state_.compare_exchange_weak(v, v + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return true;
  }
  void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

  bool try_exclusive() noexcept {
    intptr_t expected = 0;
    return state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire, std::memory_order_relaxed);
  }
  void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

 private:
  static constexpr intptr_t kExclusive = -1;
  std::atomic<intptr_t> state_{0};
};

inline constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";
inline constexpr const char* kAlreadyBorrowed = "Already borrowed";

// RAII borrows. Check `ok()`; on failure the RuntimeError is already set (unless `quiet`).
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag, bool quiet = false) : flag_(&flag), ok_(flag.try_shared()) {
    if (!ok_ && !quiet) PyErr_SetString(PyExc_RuntimeError, kAlreadyMutablyBorrowed);
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() {
    if (ok_) flag_->release_shared();
  }
  bool ok() const { return ok_; }

 private:
  BorrowFlag* flag_;
  bool ok_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(&flag), ok_(flag.try_exclusive()) {
    if (!ok_) PyErr_SetString(PyExc_RuntimeError, kAlreadyBorrowed);
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() {
    if (ok_) flag_->release_exclusive();
  }
  bool ok() const { return ok_; }

 private:
  BorrowFlag* flag_;
  bool ok_;
};

}  // namespace noteloom::py
