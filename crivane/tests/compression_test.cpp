#include "crivane/compression.hpp"

#include <lz4.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/fork.hpp"

namespace crivane::compression {
namespace {

Bytes text_bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

// Something record-like: runs of small numbers with some noise.
Bytes record_like(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i / 12) % 7 + (i % 5 == 0));
  return b;
}

std::string describe(CompressionType c) {
  return "codec " + std::to_string(c.codec_code()) + " level " + std::to_string(c.level);
}

TEST(CompressionTypeTest, CodecCodes) {
  EXPECT_EQ(CompressionType::None().codec_code(), 0);
  EXPECT_EQ(CompressionType::Lz4().codec_code(), 1);
  EXPECT_EQ(CompressionType::Zstd(5).codec_code(), 2);
  EXPECT_EQ(CompressionType::from_codec_code(0, 9), CompressionType::None());
  EXPECT_EQ(CompressionType::from_codec_code(1, 9), CompressionType::Lz4());
  EXPECT_EQ(CompressionType::from_codec_code(2, -9), CompressionType::Zstd(-9));
  EXPECT_FALSE(CompressionType::from_codec_code(3, 0).has_value());
}

TEST(CompressionTest, RoundTripsEveryCodec) {
  const CompressionType codecs[] = {
      CompressionType::None(),     CompressionType::Lz4(),          CompressionType::Zstd(3),
      CompressionType::Zstd(0),    CompressionType::Zstd(-5),       CompressionType::Zstd(19),
      CompressionType::Zstd(1000), CompressionType::Zstd(-1000000),
  };
  const Bytes inputs[] = {
      Bytes(),
      text_bytes("x"),
      text_bytes("hello, hello, hello, hello"),
      random_bytes(70000, 1),
      record_like(300000),
      // All zeros compress as far as each codec can go.
      Bytes(4 << 20, 0),
  };
  for (const CompressionType& c : codecs) {
    for (const Bytes& input : inputs) {
      SCOPED_TRACE(describe(c) + ", " + std::to_string(input.size()) + " bytes");
      auto stored = compress(input, c);
      ASSERT_TRUE(stored.has_value()) << stored.error().to_string();
      auto back = decompress(*stored, c, input.size());
      ASSERT_TRUE(back.has_value()) << back.error().to_string();
      EXPECT_TRUE(*back == input);
      // A hint above the real length still gives just the record.
      auto roomy = decompress(*stored, c, input.size() + 1000);
      ASSERT_TRUE(roomy.has_value()) << roomy.error().to_string();
      EXPECT_TRUE(*roomy == input);
    }
  }
}

TEST(CompressionTest, NoneStoresTheBytesThemselves) {
  const Bytes input = random_bytes(1000, 2);
  auto stored = compress(input, CompressionType::None());
  ASSERT_TRUE(stored.has_value());
  EXPECT_TRUE(*stored == input);
  // The hint plays no part.
  auto back = decompress(input, CompressionType::None(), 3);
  ASSERT_TRUE(back.has_value());
  EXPECT_TRUE(*back == input);
}

TEST(CompressionTest, DecompressWithoutHint) {
  const Bytes input = random_bytes(5000, 4);
  for (const CompressionType& c : {CompressionType::Lz4(), CompressionType::Zstd(3)}) {
    auto stored = compress(input, c);
    ASSERT_TRUE(stored.has_value());
    auto back = decompress(*stored, c, std::nullopt);
    ASSERT_TRUE(back.has_value()) << back.error().to_string();
    EXPECT_TRUE(*back == input) << describe(c);
  }
  // Without a hint zstd has room for 10 times the input only.
  const Bytes zeros(100000, 0);
  auto stored = compress(zeros, CompressionType::Zstd(3));
  ASSERT_TRUE(stored.has_value());
  ASSERT_GT(zeros.size(), stored->size() * 10);
  auto back = decompress(*stored, CompressionType::Zstd(3), std::nullopt);
  ASSERT_FALSE(back.has_value());
  EXPECT_EQ(back.error(),
            Error::compression("Zstd decompression failed: Destination buffer is too small"));
}

TEST(CompressionTest, Lz4StoresOneRawBlock) {
  const Bytes input = record_like(10000);
  auto stored = compress(input, CompressionType::Lz4());
  ASSERT_TRUE(stored.has_value());
  ASSERT_GE(stored->size(), 4u);
  // No length prefix and no frame around the block.
  EXPECT_NE(bytes::load_u32(stored->data()), input.size());
  EXPECT_FALSE((*stored)[0] == 0x04 && (*stored)[1] == 0x22 && (*stored)[2] == 0x4D &&
               (*stored)[3] == 0x18);
  std::vector<char> out(input.size());
  const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(stored->data()), out.data(),
                                    static_cast<int>(stored->size()), static_cast<int>(out.size()));
  ASSERT_EQ(n, static_cast<int>(input.size()));
  EXPECT_EQ(0, std::memcmp(out.data(), input.data(), input.size()));
}

TEST(CompressionTest, ZstdStoresOneFrame) {
  for (const Bytes& input : {Bytes(), record_like(10000)}) {
    auto stored = compress(input, CompressionType::Zstd(3));
    ASSERT_TRUE(stored.has_value());
    ASSERT_GE(stored->size(), 4u);
    EXPECT_EQ(std::vector<std::uint8_t>(stored->begin(), stored->begin() + 4),
              (std::vector<std::uint8_t>{0x28, 0xB5, 0x2F, 0xFD}));
  }
}

TEST(CompressionTest, Lz4HintLimit) {
  const Bytes input = record_like(1000);
  auto stored = compress(input, CompressionType::Lz4());
  ASSERT_TRUE(stored.has_value());
  auto over = decompress(*stored, CompressionType::Lz4(), std::size_t{2147483648});
  ASSERT_FALSE(over.has_value());
  EXPECT_EQ(over.error(),
            Error::compression("LZ4 decompressed-size hint 2147483648 exceeds i32::MAX"));
  // The largest i32 is still a hint.
  auto at = decompress(*stored, CompressionType::Lz4(), std::size_t{2147483647});
  ASSERT_TRUE(at.has_value()) << at.error().to_string();
  EXPECT_TRUE(*at == input);
}

TEST(CompressionTest, HintBelowTheRealLengthFails) {
  const Bytes input = record_like(1000);
  struct Case {
    CompressionType codec;
    const char* message;
  };
  const Case cases[] = {
      {CompressionType::Lz4(),
       "LZ4 decompression failed: invalid block or output buffer too small"},
      {CompressionType::Zstd(3), "Zstd decompression failed: Destination buffer is too small"},
  };
  for (const Case& c : cases) {
    auto stored = compress(input, c.codec);
    ASSERT_TRUE(stored.has_value());
    auto back = decompress(*stored, c.codec, input.size() - 1);
    ASSERT_FALSE(back.has_value()) << describe(c.codec);
    EXPECT_EQ(back.error(), Error::compression(c.message));
  }
}

// Decompression keeps one context per thread; a failure half-way through a
// frame must not leak into the next record decoded on that thread.
TEST(CompressionTest, ZstdAfterAFailureOnTheSameThread) {
  const CompressionType zstd = CompressionType::Zstd(3);
  const Bytes first = record_like(3000);
  const Bytes second = random_bytes(500, 9);
  auto a = compress(first, zstd);
  auto b = compress(second, zstd);
  ASSERT_TRUE(a.has_value() && b.has_value());
  for (int round = 0; round < 3; ++round) {
    EXPECT_FALSE(decompress(ByteSpan(*a).first(a->size() / 2), zstd, first.size()).has_value());
    EXPECT_FALSE(decompress(*a, zstd, first.size() - 1).has_value());
    auto back_b = decompress(*b, zstd, second.size());
    ASSERT_TRUE(back_b.has_value());
    EXPECT_EQ(*back_b, second);
    auto back_a = decompress(*a, zstd, first.size());
    ASSERT_TRUE(back_a.has_value());
    EXPECT_EQ(*back_a, first);
  }
}

// The hint is the record length of an index entry, which may be damaged: a
// frame that states its content size decodes into a buffer of that size,
// however large the hint (here far more than the child may map).
TEST(CompressionTest, ZstdFrameContentSizeBoundsTheBuffer) {
  if (!crivane::testing::kAddressSpaceLimitWorks) GTEST_SKIP() << "sanitized build";
  const CompressionType zstd = CompressionType::Zstd(3);
  // Incompressible, so that the expansion cap leaves the hint as it is.
  const Bytes input = random_bytes(300000, 11);
  auto stored = compress(input, zstd);
  ASSERT_TRUE(stored.has_value());
  const std::size_t damaged_hint = 0xFFFFFF00;
  crivane::testing::run_with_spare_address_space(std::uint64_t{1} << 30, [&] {
    auto back = decompress(*stored, zstd, damaged_hint);
    ASSERT_TRUE(back.has_value()) << back.error().to_string();
    EXPECT_TRUE(*back == input);
  });
  // Two frames back to back still decode whole: the first one's size bounds
  // nothing then.
  const Bytes second = record_like(5000);
  auto more = compress(second, zstd);
  ASSERT_TRUE(more.has_value());
  Bytes both = *stored;
  both.insert(both.end(), more->begin(), more->end());
  auto back = decompress(both, zstd, input.size() + second.size());
  ASSERT_TRUE(back.has_value()) << back.error().to_string();
  Bytes expected = input;
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_TRUE(*back == expected);
}

TEST(CompressionTest, DamagedInputIsAnErrorNotACrash) {
  const Bytes input = record_like(4000);
  for (const CompressionType& c : {CompressionType::Lz4(), CompressionType::Zstd(3)}) {
    SCOPED_TRACE(describe(c));
    const std::string prefix = c.codec == CompressionType::Codec::Lz4
                                   ? "LZ4 decompression failed: "
                                   : "Zstd decompression failed: ";
    auto stored = compress(input, c);
    ASSERT_TRUE(stored.has_value());
    auto check = [&](ByteSpan damaged, bool must_fail) {
      auto back = decompress(damaged, c, input.size());
      if (!back.has_value()) {
        EXPECT_EQ(back.error().kind(), Error::Kind::Compression);
        EXPECT_EQ(back.error().message().rfind(prefix, 0), 0u) << back.error().message();
      } else {
        EXPECT_FALSE(must_fail);
        EXPECT_LE(back->size(), input.size());
      }
    };
    // Every truncation; a zstd frame cut short never decodes (no bytes at all
    // are zero frames, which zstd takes for an empty output).
    for (std::size_t len = 0; len < stored->size(); ++len) {
      check(ByteSpan(*stored).first(len), len > 0 && c.codec == CompressionType::Codec::Zstd);
    }
    // Every single-byte change.
    for (std::size_t at = 0; at < stored->size(); ++at) {
      Bytes damaged = *stored;
      damaged[at] ^= 0xA5;
      check(damaged, false);
    }
    for (std::uint32_t seed = 0; seed < 50; ++seed) check(random_bytes(seed * 37, seed), false);
  }
  EXPECT_FALSE(decompress(random_bytes(100, 3), CompressionType::Zstd(3), 1000).has_value());
}

}  // namespace
}  // namespace crivane::compression
