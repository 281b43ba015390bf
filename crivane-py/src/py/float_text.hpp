// Decimal text of floats as Python users see it in reprs.
#pragma once

#include <string>

namespace crivane_rs::py {

// The shortest decimal digits that read back as the same float32, written
// positionally, never with an exponent: 1 -> "1", 0.1 -> "0.1",
// 1e-7 -> "0.0000001", 1e20 -> "100000000000000000000", -0.0 -> "-0";
// "NaN", "inf" and "-inf" for the special values.
std::string format_f32(float value);

}  // namespace crivane_rs::py
