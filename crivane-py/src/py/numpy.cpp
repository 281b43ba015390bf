#define CRIVANE_RS_NUMPY_TABLE_OWNER
#include "py/numpy.hpp"

namespace crivane_rs::py {

bool ensure_numpy() {
  // Set only after a complete import: _import_array can fail after storing
  // the table (a version mismatch), and a later call must fail again.
  static bool ready = false;
  if (ready) return true;
  if (_import_array() < 0) return false;
  ready = true;
  return true;
}

}  // namespace crivane_rs::py
