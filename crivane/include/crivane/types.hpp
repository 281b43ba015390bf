// Value containers of the molecule data model. Variant order is fixed: it is
// also the variant index written into pickle payloads.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace crivane::types {

using Vec3F32 = std::array<float, 3>;
using Vec3F64 = std::array<double, 3>;
using Mat3F32 = std::array<std::array<float, 3>, 3>;  // row-major
using Mat3F64 = std::array<std::array<double, 3>, 3>;

// Rows and matrices are packed, so a list of them is the record's payload
// byte for byte and copies in one block.
static_assert(sizeof(Vec3F32) == 12 && sizeof(Vec3F64) == 24);
static_assert(sizeof(Mat3F32) == 36 && sizeof(Mat3F64) == 72);

// Per-atom 3-vectors: positions, forces, velocities. Index 0 = F32, 1 = F64.
using Vec3Data = std::variant<std::vector<Vec3F32>, std::vector<Vec3F64>>;
// A 3x3 matrix: cell, stress.
using Mat3Data = std::variant<Mat3F32, Mat3F64>;
// Per-atom scalars: charges.
using FloatArrayData = std::variant<std::vector<float>, std::vector<double>>;
// One scalar: energy.
using FloatScalarData = std::variant<float, double>;

enum class Precision : std::size_t { F32 = 0, F64 = 1 };

template <class V>
inline Precision precision_of(const V& v) {
  return static_cast<Precision>(v.index());
}

// Number of elements (rows for Vec3Data) of a per-atom container.
inline std::size_t length_of(const Vec3Data& v) {
  return std::visit([](const auto& rows) { return rows.size(); }, v);
}
inline std::size_t length_of(const FloatArrayData& v) {
  return std::visit([](const auto& vals) { return vals.size(); }, v);
}

// An n-dimensional array: shape (row-major, last dimension fastest) and the
// flat values. The type does not tie shape to values; builders and the
// encoder check that.
template <class T>
struct Tensor {
  std::vector<std::uint64_t> shape;
  std::vector<T> values;
  friend bool operator==(const Tensor&, const Tensor&) = default;
};

// Variants in order F32, F64, I32, I64.
using TensorData =
    std::variant<Tensor<float>, Tensor<double>, Tensor<std::int32_t>, Tensor<std::int64_t>>;

// The value of a custom property. Alternative index = variant number:
//   0 None, 1 Float (f64), 2 Int (i64), 3 String, 4 FloatArray (f64),
//   5 Vec3Array (f32 rows), 6 IntArray (i64), 7 Float32Array, 8 Vec3ArrayF64,
//   9 Int32Array, 10 Tensor.
using PropertyValue =
    std::variant<std::monostate, double, std::int64_t, std::string, std::vector<double>,
                 std::vector<Vec3F32>, std::vector<std::int64_t>, std::vector<float>,
                 std::vector<Vec3F64>, std::vector<std::int32_t>, TensorData>;

// Names for the alternative indices of PropertyValue.
namespace property {
inline constexpr std::size_t None = 0;
inline constexpr std::size_t Float = 1;
inline constexpr std::size_t Int = 2;
inline constexpr std::size_t String = 3;
inline constexpr std::size_t FloatArray = 4;
inline constexpr std::size_t Vec3Array = 5;
inline constexpr std::size_t IntArray = 6;
inline constexpr std::size_t Float32Array = 7;
inline constexpr std::size_t Vec3ArrayF64 = 8;
inline constexpr std::size_t Int32Array = 9;
inline constexpr std::size_t Tensor = 10;
}  // namespace property

}  // namespace crivane::types
