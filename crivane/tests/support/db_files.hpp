// Molecules with content derived from a seed, and direct looks at database
// files (header slots, raw bytes) for the database tests.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <vector>

#include <gtest/gtest.h>

#include "crivane/atom.hpp"
#include "crivane/compression.hpp"
#include "crivane/record/encoder.hpp"
#include "crivane/storage/bytes.hpp"
#include "crivane/storage/database.hpp"
#include "crivane/storage/header.hpp"
#include "support/temp_dir.hpp"

namespace crivane::testing {

// A molecule of `n_atoms` atoms whose values all follow from `seed`: float32
// positions and forces, float64 energy, and an Int property "seed".
inline atom::Molecule seeded_molecule(std::uint64_t seed, std::size_t n_atoms) {
  std::vector<types::Vec3F32> positions(n_atoms), forces(n_atoms);
  std::vector<std::uint8_t> numbers(n_atoms);
  for (std::size_t i = 0; i < n_atoms; ++i) {
    const auto v = static_cast<float>(seed * 131 + i);
    positions[i] = {v, v + 0.25f, v - 0.5f};
    forces[i] = {-v, 0.125f * v, 1.0f};
    numbers[i] = static_cast<std::uint8_t>(1 + (seed + i) % 90);
  }
  atom::Molecule m = *atom::Molecule::create(std::move(positions), std::move(numbers));
  m.forces = types::Vec3Data(std::move(forces));
  m.energy = types::FloatScalarData(-1.5 * static_cast<double>(seed));
  m.properties["seed"] = types::PropertyValue(static_cast<std::int64_t>(seed));
  return m;
}

// The record the engine stores for `m` under `format` (uncompressed).
inline std::vector<std::uint8_t> record_of(const atom::Molecule& m, std::uint32_t format) {
  auto r = storage::soa::serialize_molecule_soa(m, format);
  if (!r) std::abort();
  return std::vector<std::uint8_t>(r->begin(), r->end());
}

inline std::uint64_t length_of_file(const std::filesystem::path& path) {
  return std::filesystem::file_size(path);
}

// Writes `data` over the file's bytes at `offset`, keeping the rest.
inline void overwrite(const std::filesystem::path& path, std::uint64_t offset,
                      std::span<const std::uint8_t> data) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!f) std::abort();
}

// Header slot `i` of a database file when it is valid.
inline std::optional<storage::header::HeaderSlot> read_slot(const std::filesystem::path& path,
                                                            int i) {
  storage::header::SlotBytes bytes;
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(i * storage::header::kSlotSize));
  in.read(reinterpret_cast<char*>(bytes.data()), bytes.size());
  if (!in) return std::nullopt;
  return storage::header::decode_header_slot(bytes, length_of_file(path));
}

// Writes `slot` into slot position `i` of a database file.
inline void write_slot(const std::filesystem::path& path, int i,
                       const storage::header::HeaderSlot& slot) {
  const auto bytes = storage::header::encode_header_slot(slot);
  overwrite(path, static_cast<std::uint64_t>(i) * storage::header::kSlotSize, bytes);
}

// A new database at `path`, or a test failure (and a moved-from result).
inline storage::AtomDatabase create_db(
    const std::filesystem::path& path,
    compression::CompressionType c = compression::CompressionType::None()) {
  auto db = storage::AtomDatabase::create_with_format(path, c);
  if (!db) ADD_FAILURE() << db.error().to_string();
  return std::move(db).value();
}

// The database at `path` opened with or without a mapping, or a test failure.
inline storage::AtomDatabase open_db(const std::filesystem::path& path, bool mmap) {
  auto db = storage::AtomDatabase::open_with_options(path, mmap, false);
  if (!db) ADD_FAILURE() << db.error().to_string();
  return std::move(db).value();
}

}  // namespace crivane::testing
