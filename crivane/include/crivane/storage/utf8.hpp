// UTF-8 validation of text read from records and blobs.
#pragma once

#include <string_view>

namespace crivane::utf8 {

// True when `text` is well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF, no truncated sequence.
bool is_valid(std::string_view text);

}  // namespace crivane::utf8
