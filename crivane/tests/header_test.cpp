#include "crivane/storage/header.hpp"

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_dir.hpp"

namespace crivane::storage::header {
namespace {

using compression::CompressionType;
using crivane::testing::TempDir;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

ByteSpan text(const char* s) {
  return ByteSpan(reinterpret_cast<const std::uint8_t*>(s), std::strlen(s));
}

TEST(Adler32Test, KnownValues) {
  EXPECT_EQ(adler32(ByteSpan()), 1u);
  EXPECT_EQ(adler32(text("a")), 0x00620062u);
  EXPECT_EQ(adler32(text("abc")), 0x024D0127u);
  EXPECT_EQ(adler32(text("Wikipedia")), 0x11E60398u);

  // Long enough for both sums to wrap the modulus many times.
  std::vector<std::uint8_t> ff(100000, 0xFF);
  std::uint32_t a = 1, b = 0;
  for (std::uint8_t byte : ff) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  EXPECT_EQ(adler32(ff), (b << 16) | a);
}

// A slot that names an index of two records and a schema blob, valid for a
// file of kFileLen bytes.
constexpr std::uint64_t kFileLen = 9000;
HeaderSlot full_slot() {
  HeaderSlot s;
  s.compression = CompressionType::Zstd(-7);
  s.generation = 0x0102030405060708;
  s.data_start = kDataStart;
  s.record_count = 2;
  s.schema_offset = 8500;
  s.schema_len = 100;
  s.index_offset = 8700;
  s.index_len = 48;
  s.record_format = 3;
  return s;
}

TEST(HeaderSlotTest, EncodesTheFixedLayout) {
  const SlotBytes b = encode_header_slot(full_slot());
  auto u32 = [&](std::size_t at) { return bytes::load_u32(b.data() + at); };
  auto u64 = [&](std::size_t at) { return bytes::load_u64(b.data() + at); };
  EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "CRVN");
  EXPECT_EQ(u32(4), 2u);
  EXPECT_EQ(u64(8), 0x0102030405060708u);
  EXPECT_EQ(u64(16), 8192u);
  EXPECT_EQ(u64(24), 8700u);
  EXPECT_EQ(u64(32), 48u);
  EXPECT_EQ(u64(40), 2u);
  EXPECT_EQ(b[48], 2);
  EXPECT_EQ(b[49] | b[50] | b[51], 0);
  EXPECT_EQ(bytes::load_i32(b.data() + 52), -7);
  EXPECT_EQ(u32(56), 3u);
  EXPECT_EQ(u64(60), 8500u);
  EXPECT_EQ(u64(68), 100u);
  for (std::size_t i = 76; i < 4092; ++i) ASSERT_EQ(b[i], 0) << "at " << i;
  EXPECT_EQ(u32(4092), adler32(ByteSpan(b.data(), 4092)));
}

TEST(HeaderSlotTest, RoundTrips) {
  HeaderSlot fresh;  // what creation writes
  HeaderSlot lz4 = full_slot();
  lz4.compression = CompressionType::Lz4();
  HeaderSlot zero_records = full_slot();
  zero_records.record_count = 0;
  zero_records.index_len = 8;
  HeaderSlot saturated = full_slot();
  saturated.generation = kMax;
  saturated.compression = CompressionType::Zstd(std::numeric_limits<std::int32_t>::min());
  HeaderSlot odd_format = full_slot();
  odd_format.record_format = 7;  // refused later, by the open, not here
  for (const HeaderSlot& s : {fresh, full_slot(), lz4, zero_records, saturated, odd_format}) {
    const auto decoded = decode_header_slot(encode_header_slot(s), kFileLen);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, s);
  }
}

TEST(HeaderSlotTest, LevelIsStoredForZstdOnly) {
  for (auto codec : {CompressionType::Codec::None, CompressionType::Codec::Lz4}) {
    HeaderSlot s;
    s.compression = CompressionType{codec, 9};
    const SlotBytes b = encode_header_slot(s);
    EXPECT_EQ(bytes::load_i32(b.data() + 52), 0);
  }
  // A stray level in a codec 1 slot is not kept.
  HeaderSlot s;
  s.compression = CompressionType::Lz4();
  SlotBytes b = encode_header_slot(s);
  bytes::store<std::int32_t>(b.data() + 52, 9);
  bytes::store<std::uint32_t>(b.data() + 4092, adler32(ByteSpan(b.data(), 4092)));
  const auto decoded = decode_header_slot(b, kDataStart);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->compression, CompressionType::Lz4());
}

TEST(HeaderSlotTest, FieldRules) {
  struct Case {
    const char* name;
    std::function<void(HeaderSlot&)> edit;
    bool valid;
  };
  const Case cases[] = {
      {"unchanged", [](HeaderSlot&) {}, true},
      {"data start below both slots", [](HeaderSlot& s) { s.data_start = 8191; }, false},
      {"data start at the file end",
       [](HeaderSlot& s) {
         s = HeaderSlot{};
         s.data_start = kFileLen;
       },
       true},
      {"data start past the file end",
       [](HeaderSlot& s) {
         s = HeaderSlot{};
         s.data_start = kFileLen + 1;
       },
       false},
      {"blobs before the data start", [](HeaderSlot& s) { s.data_start = 8600; }, false},
      {"schema length without offset", [](HeaderSlot& s) { s.schema_offset = 0; }, false},
      {"schema offset without length", [](HeaderSlot& s) { s.schema_len = 0; }, false},
      {"no schema", [](HeaderSlot& s) { s.schema_offset = s.schema_len = 0; }, true},
      {"schema before the data start", [](HeaderSlot& s) { s.schema_offset = 8191; }, false},
      {"schema ends at the file end", [](HeaderSlot& s) { s.schema_len = kFileLen - 8500; }, true},
      {"schema ends past the file end", [](HeaderSlot& s) { s.schema_len = kFileLen - 8500 + 1; },
       false},
      {"schema end overflows",
       [](HeaderSlot& s) {
         s.schema_offset = kMax - 3;
         s.schema_len = 8;
       },
       false},
      {"index length without offset", [](HeaderSlot& s) { s.index_offset = 0; }, false},
      {"index offset without length", [](HeaderSlot& s) { s.index_len = 0; }, false},
      {"record count without index", [](HeaderSlot& s) { s.index_offset = s.index_len = 0; },
       false},
      {"no index", [](HeaderSlot& s) { s.index_offset = s.index_len = s.record_count = 0; }, true},
      {"empty index",
       [](HeaderSlot& s) {
         s.record_count = 0;
         s.index_len = 8;
       },
       true},
      {"index length disagrees with count", [](HeaderSlot& s) { s.index_len = 28; }, false},
      {"count times 20 overflows",
       [](HeaderSlot& s) {
         s.record_count = kMax / 20 + 1;
         s.index_len = s.record_count * 20 + 8;  // wrapped
       },
       false},
      {"index before the data start", [](HeaderSlot& s) { s.index_offset = 8000; }, false},
      {"index ends at the file end", [](HeaderSlot& s) { s.index_offset = kFileLen - 48; }, true},
      {"index ends past the file end", [](HeaderSlot& s) { s.index_offset = kFileLen - 47; },
       false},
      {"index end overflows", [](HeaderSlot& s) { s.index_offset = kMax - 47; }, false},
  };
  for (const Case& c : cases) {
    HeaderSlot s = full_slot();
    c.edit(s);
    EXPECT_EQ(decode_header_slot(encode_header_slot(s), kFileLen).has_value(), c.valid) << c.name;
  }
}

TEST(HeaderSlotTest, RawByteRules) {
  // Each edit is resealed with a matching checksum, so only the field is at fault.
  struct Case {
    const char* name;
    std::size_t at;
    std::uint8_t value;
    bool valid;
  };
  const Case cases[] = {
      {"magic", 0, 'X', false},       {"version", 4, 3, false},
      {"codec 0", 48, 0, true},       {"codec 1", 48, 1, true},
      {"codec 3", 48, 3, false},      {"codec 255", 48, 255, false},
      {"reserved byte", 50, 1, true}, {"reserved tail", 4000, 1, true},
  };
  for (const Case& c : cases) {
    SlotBytes b = encode_header_slot(full_slot());
    b[c.at] = c.value;
    bytes::store<std::uint32_t>(b.data() + 4092, adler32(ByteSpan(b.data(), 4092)));
    EXPECT_EQ(decode_header_slot(b, kFileLen).has_value(), c.valid) << c.name;
  }
  SlotBytes b = encode_header_slot(full_slot());
  b[4092] ^= 1;
  EXPECT_FALSE(decode_header_slot(b, kFileLen).has_value()) << "checksum";
}

// A database file of `len` bytes whose two slots are given.
class HeaderFileTest : public ::testing::Test {
 protected:
  File write(const SlotBytes& slot0, const SlotBytes& slot1, std::uint64_t len = kDataStart) {
    std::vector<std::uint8_t> bytes(len, 0xAB);
    std::copy(slot0.begin(), slot0.end(), bytes.begin());
    std::copy(slot1.begin(), slot1.end(), bytes.begin() + kSlotSize);
    crivane::testing::write_file(path_, bytes);
    auto f = File::open_read(path_);
    EXPECT_TRUE(f.has_value());
    return std::move(*f);
  }
  static HeaderSlot slot(std::uint64_t generation, std::uint32_t record_format) {
    HeaderSlot s;
    s.generation = generation;
    s.record_format = record_format;  // tells the two slots apart
    return s;
  }

  TempDir dir_;
  std::filesystem::path path_ = dir_.file("db");
};

TEST_F(HeaderFileTest, ChoosesTheLargerGeneration) {
  struct Case {
    std::uint64_t gen0, gen1;
    std::uint32_t chosen_format;
  };
  const Case cases[] = {{4, 5, 3}, {5, 4, 2}, {7, 7, 2}, {0, 0, 2}, {0, kMax, 3}, {kMax, 1, 2}};
  for (const Case& c : cases) {
    File f = write(encode_header_slot(slot(c.gen0, 2)), encode_header_slot(slot(c.gen1, 3)));
    auto best = read_best_header(f);
    ASSERT_TRUE(best.has_value()) << best.error().to_string();
    EXPECT_EQ(best->record_format, c.chosen_format) << c.gen0 << " vs " << c.gen1;
  }
}

TEST_F(HeaderFileTest, AnyFlippedByteInvalidatesOnlyItsSlot) {
  for (std::size_t damaged = 0; damaged < 2; ++damaged) {
    // The damaged slot holds the newer generation, so losing it is visible.
    const SlotBytes newer = encode_header_slot(slot(5, 3));
    const SlotBytes older = encode_header_slot(slot(4, 2));
    File f = damaged == 0 ? write(newer, older) : write(older, newer);
    auto rw = File::open_write(path_);
    ASSERT_TRUE(rw.has_value());
    for (std::size_t at = 0; at < kSlotSize - 4; ++at) {
      const std::uint64_t pos = damaged * kSlotSize + at;
      const std::uint8_t flipped = newer[at] ^ 0x5A;
      ASSERT_EQ(::pwrite(rw->fd(), &flipped, 1, static_cast<off_t>(pos)), 1);
      auto best = read_best_header(f);
      ASSERT_TRUE(best.has_value());
      ASSERT_EQ(best->generation, 4u) << "slot " << damaged << " byte " << at;
      ASSERT_EQ(::pwrite(rw->fd(), &newer[at], 1, static_cast<off_t>(pos)), 1);
    }
    auto best = read_best_header(f);
    ASSERT_TRUE(best.has_value());
    EXPECT_EQ(best->generation, 5u);
  }
}

TEST_F(HeaderFileTest, FallsBackWhenTheFileIsCutShort) {
  // Slot 1 names a one-record index at the data start; slot 0 is the empty state.
  HeaderSlot committed = slot(1, 2);
  committed.index_offset = kDataStart;
  committed.index_len = 28;
  committed.record_count = 1;
  const SlotBytes slot0 = encode_header_slot(slot(0, 2));
  const SlotBytes slot1 = encode_header_slot(committed);

  File whole = write(slot0, slot1, kDataStart + 28);
  auto best = read_best_header(whole);
  ASSERT_TRUE(best.has_value());
  EXPECT_EQ(*best, committed);

  File cut = write(slot0, slot1, kDataStart + 27);
  best = read_best_header(cut);
  ASSERT_TRUE(best.has_value());
  EXPECT_EQ(best->generation, 0u);
}

TEST_F(HeaderFileTest, NoValidSlot) {
  SlotBytes zeros{};
  File f = write(zeros, zeros);
  auto best = read_best_header(f);
  ASSERT_FALSE(best.has_value());
  EXPECT_EQ(best.error(),
            Error::invalid_data("Invalid or corrupted header (no valid header slots)"));

  // One good slot is enough, whichever it is.
  for (std::size_t good = 0; good < 2; ++good) {
    File one = good == 0 ? write(encode_header_slot(slot(3, 2)), zeros)
                         : write(zeros, encode_header_slot(slot(3, 2)));
    auto r = read_best_header(one);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->generation, 3u);
  }
}

TEST_F(HeaderFileTest, ShortFileFailsToFill) {
  const SlotBytes s = encode_header_slot(slot(0, 2));
  for (std::uint64_t len :
       {std::uint64_t{0}, std::uint64_t{4095}, std::uint64_t{5000}, kDataStart - 1}) {
    std::vector<std::uint8_t> bytes(s.begin(), s.end());
    bytes.resize(len);
    crivane::testing::write_file(path_, bytes);
    auto f = File::open_read(path_);
    ASSERT_TRUE(f.has_value());
    auto best = read_best_header(*f);
    ASSERT_FALSE(best.has_value());
    EXPECT_EQ(best.error(), Error::io("failed to fill whole buffer")) << len;
  }
}

}  // namespace
}  // namespace crivane::storage::header
