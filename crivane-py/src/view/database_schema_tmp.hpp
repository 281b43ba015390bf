// Provisional copy of the engine's schema exchange types until storage/schema.hpp lands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace crivane::storage {

struct DatabaseSchemaSection {
  std::string key;
  std::size_t elem_bytes;
  std::size_t slot_bytes;
  bool per_atom;
  std::uint8_t kind;
  std::uint8_t type_tag;
};

struct DatabaseSchema {
  std::vector<DatabaseSchemaSection> sections;
  std::optional<std::uint8_t> positions_type;
};

}  // namespace crivane::storage
