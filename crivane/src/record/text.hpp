// Record bytes seen as text.
#pragma once

#include <string_view>

#include "crivane/storage/bytes.hpp"

namespace crivane::storage::soa {

inline std::string_view as_text(ByteSpan s) {
  return std::string_view(reinterpret_cast<const char*>(s.data()), s.size());
}

}  // namespace crivane::storage::soa
