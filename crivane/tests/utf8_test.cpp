#include "crivane/storage/utf8.hpp"

#include <string>

#include <gtest/gtest.h>

namespace crivane::utf8 {
namespace {

TEST(Utf8Test, WellFormedAndMalformed) {
  struct Case {
    const char* name;
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"empty", "", true},
      {"ascii longer than a word", "positions_and_more", true},
      {"two-byte", "\xc3\xa9", true},
      {"three-byte", "\xe2\x82\xac", true},
      {"four-byte", "\xf0\x9f\x98\x80", true},
      {"largest code point", "\xf4\x8f\xbf\xbf", true},
      {"multibyte after eight ascii bytes", "abcdefgh\xc3\xa9", true},
      {"nul byte", std::string("a\0b", 3), true},
      {"lone continuation", "\x80", false},
      {"overlong two-byte", "\xc0\x80", false},
      {"overlong three-byte", "\xe0\x80\x80", false},
      {"overlong four-byte", "\xf0\x80\x80\x80", false},
      {"surrogate", "\xed\xa0\x80", false},
      {"above U+10FFFF", "\xf4\x90\x80\x80", false},
      {"lead byte F5", "\xf5\x80\x80\x80", false},
      {"truncated at the end", "abc\xe2\x82", false},
      {"bad continuation", "\xe2\x28\xa1", false},
      {"bad byte after eight ascii bytes", "abcdefgh\xff", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_valid(c.text), c.valid) << c.name;
  }
}

}  // namespace
}  // namespace crivane::utf8
