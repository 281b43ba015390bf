// Small helpers shared by the view and the decoders. Local copies of what the
// engine's storage/dtypes.hpp provides (element sizes, shape text) plus a
// strict UTF-8 check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "crivane/storage/bytes.hpp"

namespace crivane_rs::soa::local {

// Element size in bytes by type tag; nothing for tags above 17.
inline std::optional<std::size_t> element_size(std::uint8_t tag) {
  static constexpr std::uint8_t kSizes[18] = {8, 8,  0, 8,  12, 8, 4, 24, 4,
                                              3, 72, 4, 36, 0,  4, 8, 4,  8};
  if (tag >= 18) return std::nullopt;
  return kSizes[tag];
}

// "[2, 3]".
inline std::string format_shape(const std::vector<std::uint64_t>& shape) {
  return fmt::format("[{}]", fmt::join(shape, ", "));
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
inline bool is_valid_utf8(crivane::ByteSpan s) {
  const std::uint8_t* p = s.data();
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    std::uint8_t lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

inline std::string_view as_text(crivane::ByteSpan s) {
  return std::string_view(reinterpret_cast<const char*>(s.data()), s.size());
}

}  // namespace crivane_rs::soa::local
