// Small helpers shared by the view and the decoders.
#pragma once

#include <string_view>

#include "crivane/storage/bytes.hpp"

namespace crivane_rs::soa::local {

inline std::string_view as_text(crivane::ByteSpan s) {
  return std::string_view(reinterpret_cast<const char*>(s.data()), s.size());
}

}  // namespace crivane_rs::soa::local
