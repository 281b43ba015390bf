#include "crivane/storage/index.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_dir.hpp"

namespace crivane::storage::index {

// gtest would otherwise print the raw bytes of an entry.
void PrintTo(const MoleculeIndex& e, std::ostream* os) {
  *os << "{" << std::uint64_t{e.offset} << ", " << std::uint32_t{e.compressed_len} << ", "
      << std::uint32_t{e.uncompressed_len} << ", " << std::uint32_t{e.n_atoms} << "}";
}

namespace {

using crivane::testing::TempDir;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

const std::vector<MoleculeIndex> kEntries = {
    {0x1122334455667788, 0x01020304, 0x05060708, 0x090A0B0C},
    {8192, 10, 20, 3},
    {kMax, 0xFFFFFFFF, 0, 1},
};

Bytes blob_with_count(std::uint64_t count, std::size_t entry_bytes) {
  Bytes b;
  bytes::put<std::uint64_t>(b, count);
  b.resize(b.size() + entry_bytes, 0x42);
  return b;
}

TEST(IndexBlobTest, EncodesCountThenEntries) {
  const Bytes blob = encode_index(std::span(kEntries).first(1));
  const std::vector<std::uint8_t> expected = {
      1,    0,    0,    0,    0,    0,    0,    0,     // count
      0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,  // offset
      0x04, 0x03, 0x02, 0x01,                          // compressed_len
      0x08, 0x07, 0x06, 0x05,                          // uncompressed_len
      0x0C, 0x0B, 0x0A, 0x09,                          // n_atoms
  };
  EXPECT_EQ(std::vector<std::uint8_t>(blob.begin(), blob.end()), expected);
  EXPECT_EQ(encode_index({}).size(), 8u);
}

TEST(IndexBlobTest, RoundTrips) {
  for (std::size_t n = 0; n <= kEntries.size(); ++n) {
    const Bytes blob = encode_index(std::span(kEntries).first(n));
    ASSERT_EQ(blob.size(), 8 + 20 * n);
    // Decoding must not rely on the blob's alignment.
    Bytes shifted(1, 0);
    shifted.insert(shifted.end(), blob.begin(), blob.end());
    auto decoded = decode_index(ByteSpan(shifted).subspan(1));
    ASSERT_TRUE(decoded.has_value()) << decoded.error().to_string();
    EXPECT_EQ(*decoded, std::vector<MoleculeIndex>(kEntries.begin(), kEntries.begin() + n));
  }
}

TEST(IndexBlobTest, DecodeErrors) {
  struct Case {
    Bytes blob;
    std::string message;
  };
  const std::uint64_t largest_count = kMax / 20;  // 20 x count = 2^64 - 16, no overflow
  std::vector<Case> cases;
  for (std::size_t len = 0; len < 8; ++len) cases.push_back({Bytes(len, 0), "Index too small"});
  cases.push_back({blob_with_count(3, 40), "Index length mismatch (expected 68, got 48)"});
  cases.push_back({blob_with_count(1, 21), "Index length mismatch (expected 28, got 29)"});
  cases.push_back({blob_with_count(0, 20), "Index length mismatch (expected 8, got 28)"});
  cases.push_back({blob_with_count(largest_count, 0),
                   "Index length mismatch (expected 18446744073709551608, got 8)"});
  cases.push_back({blob_with_count(largest_count + 1, 0), "Index length overflow"});
  cases.push_back({blob_with_count(kMax, 20), "Index length overflow"});
  for (const Case& c : cases) {
    auto r = decode_index(c.blob);
    ASSERT_FALSE(r.has_value()) << c.message;
    EXPECT_EQ(r.error(), Error::invalid_data(c.message));
  }
}

TEST(IndexStorageTest, Owned) {
  IndexStorage index;
  EXPECT_FALSE(index.is_mapped());
  EXPECT_EQ(index.len(), 0u);
  EXPECT_FALSE(index.entry(0).has_value());

  ASSERT_TRUE(index.extend(std::span(kEntries).first(2)).has_value());
  ASSERT_TRUE(index.extend({}).has_value());
  ASSERT_TRUE(index.extend(std::span(kEntries).subspan(2)).has_value());
  ASSERT_EQ(index.len(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(index.entry(i), kEntries[i]);
  EXPECT_FALSE(index.entry(3).has_value());
  EXPECT_FALSE(index.entry(std::numeric_limits<std::size_t>::max()).has_value());

  // The entries are one contiguous list, ready for the next commit's blob.
  ASSERT_NE(index.owned(), nullptr);
  EXPECT_EQ(encode_index(index.owned()->entries), encode_index(kEntries));
}

// A file holding `prefix` junk bytes (so the blob is unaligned), then an index
// blob of kEntries whose leading count is deliberately wrong: a mapped index
// never reads it.
class MappedIndexTest : public ::testing::Test {
 protected:
  static constexpr std::uint64_t kPrefix = 13;

  void SetUp() override {
    Bytes file(kPrefix, 0xEE);
    Bytes blob = encode_index(kEntries);
    bytes::store<std::uint64_t>(blob.data(), 999);
    file.insert(file.end(), blob.begin(), blob.end());
    crivane::testing::write_file(dir_.file("db"), file);
    auto m = Mapping::map_path(dir_.file("db"));
    ASSERT_TRUE(m.has_value());
    mapping_ = *m;
  }

  IndexStorage mapped(std::uint64_t offset, std::uint64_t count) {
    return IndexStorage(IndexStorage::Mapped{offset, count, mapping_});
  }

  TempDir dir_;
  std::shared_ptr<const Mapping> mapping_;
};

TEST_F(MappedIndexTest, ReadsEntriesInPlace) {
  IndexStorage index = mapped(kPrefix, 3);
  EXPECT_TRUE(index.is_mapped());
  EXPECT_EQ(index.owned(), nullptr);
  ASSERT_EQ(index.len(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(index.entry(i), kEntries[i]);
  EXPECT_FALSE(index.entry(3).has_value());
}

TEST_F(MappedIndexTest, EntriesBeyondTheMappingAreAbsent) {
  // The slot claims more records than the file holds.
  IndexStorage index = mapped(kPrefix, 5);
  EXPECT_EQ(index.len(), 5u);
  EXPECT_EQ(index.entry(2), kEntries[2]);
  EXPECT_FALSE(index.entry(3).has_value());
  EXPECT_FALSE(index.entry(4).has_value());

  // The last entry one byte short of whole.
  IndexStorage shifted = mapped(kPrefix + 1, 3);
  EXPECT_TRUE(shifted.entry(1).has_value());
  EXPECT_FALSE(shifted.entry(2).has_value());

  // Positions that wrap a u64 must not wrap into the mapping.
  IndexStorage huge = mapped(kMax - 7, kMax);
  EXPECT_FALSE(huge.entry(0).has_value());
  EXPECT_FALSE(huge.entry(kMax / 20).has_value());
  EXPECT_FALSE(huge.entry(kMax - 1).has_value());
  IndexStorage far = mapped(kPrefix, kMax);
  EXPECT_FALSE(far.entry((kMax - kPrefix) / 20).has_value());
}

TEST_F(MappedIndexTest, RefusesNewEntries) {
  IndexStorage index = mapped(kPrefix, 3);
  auto r = index.extend(kEntries);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), Error::invalid_data(
                           "Cannot add molecules to a database opened with a memory-mapped index "
                           "(read-only); reopen without mmap to write."));
  EXPECT_EQ(index.len(), 3u);
  EXPECT_FALSE(index.extend({}).has_value());
  EXPECT_EQ(index.len(), 3u);
}

}  // namespace
}  // namespace crivane::storage::index
