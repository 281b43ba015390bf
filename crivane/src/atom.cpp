#include "crivane/atom.hpp"

#include <fmt/format.h>

namespace crivane::atom {

Expected<Molecule, std::string> Molecule::with_name_internal(
    std::optional<std::string> name, Vec3Data positions, std::vector<std::uint8_t> atomic_numbers) {
  const std::size_t n = types::length_of(positions);
  if (atomic_numbers.size() != n) {
    return unexpected(fmt::format("Atomic numbers length ({}) doesn't match atom count ({})",
                                  atomic_numbers.size(), n));
  }
  Molecule m;
  m.name = std::move(name);
  m.positions = std::move(positions);
  m.atomic_numbers = std::move(atomic_numbers);
  return m;
}

Expected<Molecule, std::string> Molecule::create(std::vector<types::Vec3F32> positions,
                                                 std::vector<std::uint8_t> atomic_numbers) {
  return with_name_internal(std::nullopt, Vec3Data(std::in_place_index<0>, std::move(positions)),
                            std::move(atomic_numbers));
}

Expected<Molecule, std::string> Molecule::create_f64(std::vector<types::Vec3F64> positions,
                                                     std::vector<std::uint8_t> atomic_numbers) {
  return with_name_internal(std::nullopt, Vec3Data(std::in_place_index<1>, std::move(positions)),
                            std::move(atomic_numbers));
}

std::optional<Atom> Molecule::atom(std::size_t i) const {
  if (i >= n_atoms() || i >= atomic_numbers.size()) return std::nullopt;
  Atom a;
  a.atomic_number = atomic_numbers[i];
  if (const auto* f32 = std::get_if<0>(&positions)) {
    a.position = (*f32)[i];
  } else {
    const auto& p = std::get<1>(positions)[i];
    a.position = {static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2])};
  }
  return a;
}

std::vector<Atom> Molecule::to_atoms() const {
  std::vector<Atom> atoms;
  atoms.reserve(atomic_numbers.size());
  for (std::size_t i = 0; i < atomic_numbers.size(); ++i) {
    if (auto a = atom(i)) atoms.push_back(*a);
  }
  return atoms;
}

}  // namespace crivane::atom
