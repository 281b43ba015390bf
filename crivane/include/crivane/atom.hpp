// The in-memory molecule that the engine encodes into records.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "crivane/expected.hpp"
#include "crivane/types.hpp"

namespace crivane::atom {

using types::FloatArrayData;
using types::FloatScalarData;
using types::Mat3Data;
using types::PropertyValue;
using types::Vec3Data;

// One atom: a float32 position and an atomic number.
struct Atom {
  std::array<float, 3> position;
  std::uint8_t atomic_number;
  friend bool operator==(const Atom&, const Atom&) = default;
};

// Custom properties by key. A sorted map keeps iteration deterministic; the
// record encoder sorts keys byte-wise anyway, and std::string compares bytes
// as unsigned, which is that order.
using PropertyMap = std::map<std::string, PropertyValue>;

// Fields in declaration order; the pickle payload writes them in this order.
struct Molecule {
  std::optional<std::string> name;
  Vec3Data positions;
  std::vector<std::uint8_t> atomic_numbers;
  std::optional<Vec3Data> forces;
  std::optional<FloatScalarData> energy;
  std::optional<FloatArrayData> charges;
  std::optional<Vec3Data> velocities;
  std::optional<Mat3Data> cell;
  std::optional<std::array<bool, 3>> pbc;
  std::optional<Mat3Data> stress;
  PropertyMap atom_properties;
  PropertyMap properties;

  // Fails with the bare text "Atomic numbers length ({}) doesn't match atom
  // count ({})" (no error kind) when the two lengths differ.
  static Expected<Molecule, std::string> with_name_internal(
      std::optional<std::string> name, Vec3Data positions,
      std::vector<std::uint8_t> atomic_numbers);
  // Float32 positions, no name. (`new` in other bindings of this model.)
  static Expected<Molecule, std::string> create(std::vector<types::Vec3F32> positions,
                                                std::vector<std::uint8_t> atomic_numbers);
  // Float64 positions, no name.
  static Expected<Molecule, std::string> create_f64(std::vector<types::Vec3F64> positions,
                                                    std::vector<std::uint8_t> atomic_numbers);

  // The atom count: the number of positions.
  std::size_t n_atoms() const { return types::length_of(positions); }

  // Atom i, float64 positions rounded to the nearest float32; nothing when i
  // is past the positions or the atomic numbers.
  std::optional<Atom> atom(std::size_t i) const;
  std::vector<Atom> to_atoms() const;

  friend bool operator==(const Molecule&, const Molecule&) = default;
};

}  // namespace crivane::atom
