#include "py/borrow.hpp"

#include "py/errors.hpp"

namespace crivane_rs::py {

SharedBorrow SharedBorrow::take(BorrowFlag& flag) {
  if (flag.try_shared()) return SharedBorrow(&flag);
  PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  return SharedBorrow(nullptr);
}

SharedBorrow SharedBorrow::take_or_panic(BorrowFlag& flag) {
  if (flag.try_shared()) return SharedBorrow(&flag);
  raise_panic("Already mutably borrowed");
  return SharedBorrow(nullptr);
}

ExclusiveBorrow ExclusiveBorrow::take(BorrowFlag& flag) {
  if (flag.try_exclusive()) return ExclusiveBorrow(&flag);
  PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  return ExclusiveBorrow(nullptr);
}

}  // namespace crivane_rs::py
