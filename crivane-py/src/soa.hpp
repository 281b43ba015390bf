// The engine's record format (crivane/record/) as the binding names it.
#pragma once

#include "crivane/record/decode.hpp"
#include "crivane/record/layout.hpp"
#include "crivane/record/view.hpp"

namespace crivane_rs {
namespace soa = crivane::storage::soa;
}  // namespace crivane_rs
