#include "py/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace crivane_rs::py {

std::string format_f32(float value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

  // Shortest round-trip digits in scientific form: "-1.2345e-05".
  char buf[32];
  char* end = std::to_chars(buf, buf + sizeof buf - 1, value, std::chars_format::scientific).ptr;
  *end = '\0';
  std::string_view sci(buf, static_cast<std::size_t>(end - buf));

  std::string out;
  if (sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  std::size_t e = sci.find('e');
  std::string_view mantissa = sci.substr(0, e);
  int exponent = std::atoi(sci.data() + e + 1);  // "+20", "-07"
  std::string digits;
  for (char c : mantissa) {
    if (c != '.') digits += c;
  }
  // value = d0.d1d2... x 10^exponent
  int n = static_cast<int>(digits.size());
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  } else if (exponent + 1 >= n) {
    out += digits;
    out.append(static_cast<std::size_t>(exponent + 1 - n), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
    out += '.';
    out.append(digits, static_cast<std::size_t>(exponent + 1));
  }
  return out;
}

}  // namespace crivane_rs::py
