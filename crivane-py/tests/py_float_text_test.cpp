#include "py/float_text.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace crivane_rs::py {
namespace {

TEST(FormatF32, WritesPlainPositionalText) {
  struct Case {
    float value;
    const char* text;
  };
  const Case cases[] = {
      {1.0f, "1"},
      {250.0f, "250"},
      {2.5f, "2.5"},
      {0.1f, "0.1"},
      {-1.5f, "-1.5"},
      {1e-7f, "0.0000001"},
      {1e20f, "100000000000000000000"},
      {123456789.0f, "123456790"},
      {16777217.0f, "16777216"},
      {0.0f, "0"},
      {-0.0f, "-0"},
      {FLT_MAX, "340282350000000000000000000000000000000"},
      {std::numeric_limits<float>::denorm_min(), "0.000000000000000000000000000000000000000000001"},
      {FLT_MIN, "0.000000000000000000000000000000000000011754944"},
      {std::numeric_limits<float>::infinity(), "inf"},
      {-std::numeric_limits<float>::infinity(), "-inf"},
      {std::numeric_limits<float>::quiet_NaN(), "NaN"},
      {-std::numeric_limits<float>::quiet_NaN(), "NaN"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(format_f32(c.value), c.text) << std::bit_cast<std::uint32_t>(c.value);
  }
}

// Significant digits of a positional text: no sign, point, or leading and
// trailing zeros.
int significant_digits(const std::string& text) {
  std::string digits;
  for (char c : text) {
    if (c >= '0' && c <= '9') digits += c;
  }
  std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 1;
  std::size_t last = digits.find_last_not_of('0');
  return static_cast<int>(last - first + 1);
}

// The fewest digits p at which the correctly rounded p-digit decimal reads
// back as the value: an upper bound for the shortest text.
int rounded_digits_needed(float value) {
  for (int p = 1; p <= 9; ++p) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", p - 1, static_cast<double>(value));
    if (std::strtof(buf, nullptr) == value) return p;
  }
  return 9;
}

TEST(FormatF32, RoundTripsShortestWithoutExponent) {
  std::vector<float> values = {
      FLT_MAX, -FLT_MAX, FLT_MIN,     std::numeric_limits<float>::denorm_min(),
      1e-45f,  3e-45f,   8388607e-45f};
  for (int e = -149; e <= 127; ++e) values.push_back(std::ldexp(1.0f, e));
  for (int e = -45; e <= 38; ++e) values.push_back(std::pow(10.0f, static_cast<float>(e)));
  for (std::uint32_t m = 1; m < 5000; ++m) values.push_back(std::bit_cast<float>(m));  // subnormals
  std::mt19937 rng(20240611);
  for (int i = 0; i < 200000; ++i)
    values.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(rng())));

  for (float v : values) {
    if (!std::isfinite(v)) continue;
    std::string text = format_f32(v);
    SCOPED_TRACE(text);
    ASSERT_EQ(text.find_first_not_of("-0123456789."), std::string::npos);
    float back = std::strtof(text.c_str(), nullptr);
    ASSERT_EQ(std::bit_cast<std::uint32_t>(back), std::bit_cast<std::uint32_t>(v));
    ASSERT_LE(significant_digits(text), rounded_digits_needed(v));
  }
}

}  // namespace
}  // namespace crivane_rs::py
