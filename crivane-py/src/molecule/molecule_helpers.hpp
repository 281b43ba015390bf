// NumPy array output: new arrays from a molecule's value containers and from
// the record bytes of a view.
//
// Every array made here owns its memory alone: values are copied exactly once,
// either into memory NumPy allocates for the array (from bytes read in place)
// or into an aligned vector that the array adopts without a second copy. No
// array aliases record bytes, a file mapping or a molecule.
//
// Functions returning PyObject* give a new reference, or nullptr with a Python
// exception set: ValueError for malformed sections, PanicException (after the
// pending error went to stderr) when NumPy cannot create an array.
#pragma once

#include "py/python.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "crivane/types.hpp"
#include "soa.hpp"

namespace crivane_rs::molecule::helpers {

using crivane::ByteSpan;

// A run of 4- or 8-byte values out of record bytes: borrowed in place (valid
// while the record bytes are held) or an aligned copy owned by the run.
template <class T>
class CowSlice {
 public:
  static CowSlice borrowed(const T* data, std::size_t size) { return CowSlice(data, size); }
  static CowSlice owned(std::vector<T> values) { return CowSlice(std::move(values)); }

  bool is_owned() const { return is_owned_; }
  const T* data() const { return is_owned_ ? owned_.data() : borrowed_; }
  std::size_t size() const { return is_owned_ ? owned_.size() : size_; }
  // The owned values. Precondition: is_owned().
  std::vector<T> take_owned() && { return std::move(owned_); }

 private:
  CowSlice(const T* data, std::size_t size) : borrowed_(data), size_(size) {}
  explicit CowSlice(std::vector<T> values) : owned_(std::move(values)), is_owned_(true) {}

  const T* borrowed_ = nullptr;
  std::size_t size_ = 0;
  std::vector<T> owned_;
  bool is_owned_ = false;
};

// The bytes as values of T in host (little-endian) order, in place when the
// start address and the length are multiples of sizeof(T), else one aligned
// copy. A length that is not a multiple fails with "Byte length {} is not a
// multiple of element size {}". Bit patterns pass unchanged.
template <class T>
crivane::Result<CowSlice<T>> cast_or_decode(ByteSpan bytes);

inline crivane::Result<CowSlice<float>> cast_or_decode_f32(ByteSpan bytes) {
  return cast_or_decode<float>(bytes);
}
inline crivane::Result<CowSlice<double>> cast_or_decode_f64(ByteSpan bytes) {
  return cast_or_decode<double>(bytes);
}
// The same routines for integer payloads (the element size is all they know).
inline crivane::Result<CowSlice<std::int32_t>> cast_or_decode_i32(ByteSpan bytes) {
  return cast_or_decode<std::int32_t>(bytes);
}
inline crivane::Result<CowSlice<std::int64_t>> cast_or_decode_i64(ByteSpan bytes) {
  return cast_or_decode<std::int64_t>(bytes);
}

// A one-dimensional array holding a copy of n values in NumPy-allocated
// memory (py::numpy::adopt wraps an owned vector without a copy). T is one
// of uint8, int32, int64, float and double.
template <class T>
PyObject* pyarray1_copy(const T* values, std::size_t n);

// A new one-dimensional array of the record values (checked by the engine),
// copied once into memory NumPy allocates.
PyObject* array_from_values(const soa::PayloadValues& values);
// The same reshaped to (rows, cols); values that do not fill the shape raise
// NumPy's reshape error as ValueError "Type: message".
PyObject* array2_from_values(const soa::PayloadValues& values, std::size_t rows, std::size_t cols);

// A new (rows, cols) array from a run: a borrowed run is copied in one block,
// an owned one adopted. A run of other than rows * cols values raises
// ValueError with NumPy's reshape error as "Type: message".
template <class T>
PyObject* pyarray2_from_cow(CowSlice<T> run, std::size_t rows, std::size_t cols);
// The same, adopting an owned vector without copying it.
template <class T>
PyObject* pyarray2_from_flat(std::vector<T> values, std::size_t rows, std::size_t cols);

// Arrays from a molecule's containers, in the container's precision.
PyObject* owned_vec3_array(const crivane::types::Vec3Data& data);         // (n, 3)
PyObject* owned_float_array(const crivane::types::FloatArrayData& data);  // (n,)
PyObject* owned_mat3x3_array(const crivane::types::Mat3Data& data);       // (3, 3)

// An (n, 3) array from a kVec3F32 or kVec3F64 payload (the engine's
// vec3_payload_values, whose errors are raised as ValueError).
PyObject* view_vec3_payload_py(ByteSpan range, std::uint8_t type_tag, std::size_t n,
                               std::string_view field);

// Builtin sections of a view, checked by the engine (builtin_vec3_values and
// its siblings: "Invalid {} section"); n is the view's atom count.
PyObject* view_builtin_vec3_slot_py(const soa::SoaMoleculeView& view, const soa::BuiltinSlot& slot,
                                    std::string_view field);  // kVec3F32, kVec3F64: (n, 3)
PyObject* view_builtin_mat3_slot_py(const soa::SoaMoleculeView& view, const soa::BuiltinSlot& slot,
                                    std::string_view field);  // kMat3F32, kMat3F64: (3, 3)
PyObject* view_builtin_float_array_slot_py(const soa::SoaMoleculeView& view,
                                           const soa::BuiltinSlot& slot,
                                           std::string_view field);  // kF32Array, kF64Array: (n,)

}  // namespace crivane_rs::molecule::helpers
