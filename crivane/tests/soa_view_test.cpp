#include "crivane/record/decode.hpp"
#include "crivane/record/view.hpp"

#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>

#include <gtest/gtest.h>

namespace crivane::storage::soa {
namespace {

using crivane::Error;
using crivane::atom::Atom;
using crivane::atom::Molecule;
using crivane::types::Mat3F32;
using crivane::types::Mat3F64;
using crivane::types::PropertyValue;
using crivane::types::Tensor;
using crivane::types::TensorData;
using crivane::types::Vec3Data;
using crivane::types::Vec3F32;
using crivane::types::Vec3F64;
namespace property = crivane::types::property;

// ---- building records by hand -------------------------------------------

template <class T>
Bytes le(std::initializer_list<T> values) {
  Bytes out;
  for (T v : values) crivane::bytes::put(out, v);
  return out;
}

Bytes raw(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes concat(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

Bytes prefix(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + n); }

// Writes records in the stored layout: atom count, positions, atomic numbers,
// section count, sections. Knows where it put each key and payload.
class RecordBuilder {
 public:
  static RecordBuilder f32(const std::vector<Vec3F32>& positions,
                           const std::vector<std::uint8_t>& numbers) {
    RecordBuilder b(static_cast<std::uint32_t>(positions.size()));
    for (const auto& row : positions)
      for (float v : row) crivane::bytes::put(b.head_, v);
    b.head_.insert(b.head_.end(), numbers.begin(), numbers.end());
    return b;
  }
  static RecordBuilder f64(const std::vector<Vec3F64>& positions,
                           const std::vector<std::uint8_t>& numbers) {
    RecordBuilder b(static_cast<std::uint32_t>(positions.size()));
    for (const auto& row : positions)
      for (double v : row) crivane::bytes::put(b.head_, v);
    b.head_.insert(b.head_.end(), numbers.begin(), numbers.end());
    return b;
  }
  // n float32 atoms at (i, i + 0.5, -i) with atomic number i + 1.
  static RecordBuilder atoms(std::size_t n) {
    std::vector<Vec3F32> pos;
    std::vector<std::uint8_t> z;
    for (std::size_t i = 0; i < n; ++i) {
      pos.push_back({float(i), float(i) + 0.5f, -float(i)});
      z.push_back(static_cast<std::uint8_t>(i + 1));
    }
    return f32(pos, z);
  }

  RecordBuilder& section(std::uint8_t kind, std::string_view key, std::uint8_t tag,
                         const Bytes& payload) {
    Bytes s;
    s.push_back(kind);
    s.push_back(static_cast<std::uint8_t>(key.size()));
    s.insert(s.end(), key.begin(), key.end());
    s.push_back(tag);
    crivane::bytes::put(s, static_cast<std::uint32_t>(payload.size()));
    s.insert(s.end(), payload.begin(), payload.end());
    key_lens_.push_back(key.size());
    sections_.push_back(std::move(s));
    return *this;
  }
  RecordBuilder& builtin(std::string_view key, std::uint8_t tag, const Bytes& payload) {
    return section(0, key, tag, payload);
  }

  Bytes build() const { return build(static_cast<std::uint16_t>(sections_.size())); }
  Bytes build(std::uint16_t stated_count) const {
    Bytes out;
    crivane::bytes::put(out, n_);
    out.insert(out.end(), head_.begin(), head_.end());
    crivane::bytes::put(out, stated_count);
    for (const auto& s : sections_) out.insert(out.end(), s.begin(), s.end());
    return out;
  }

  std::size_t key_offset(std::size_t i) const { return section_start(i) + 2; }
  std::size_t payload_offset(std::size_t i) const { return section_start(i) + 7 + key_lens_[i]; }

 private:
  explicit RecordBuilder(std::uint32_t n) : n_(n) {}
  std::size_t section_start(std::size_t i) const {
    std::size_t p = 4 + head_.size() + 2;
    for (std::size_t k = 0; k < i; ++k) p += sections_[k].size();
    return p;
  }

  std::uint32_t n_;
  Bytes head_;
  std::vector<Bytes> sections_;
  std::vector<std::size_t> key_lens_;
};

crivane::Result<SoaMoleculeView> parse(Bytes record, std::size_t stride = 12,
                                       std::uint8_t positions_type = 4) {
  return SoaMoleculeView::from_storage(SoaBytes(std::move(record)), stride, positions_type);
}

Mat3F64 mat64(double first) {
  Mat3F64 m;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m[i][j] = first + 3 * i + j;
  return m;
}

Bytes mat64_bytes(const Mat3F64& m) {
  Bytes out;
  for (const auto& row : m)
    for (double v : row) crivane::bytes::put(out, v);
  return out;
}

// ---- SoaContext ------------------------------------------------------------

TEST(SoaContextTest, FollowsRecordFormatAndLock) {
  struct Case {
    std::uint32_t format;
    std::optional<std::uint8_t> positions_type;
    bool has_lock;
    std::optional<SoaContext> context;
    const char* error;
  };
  const Case cases[] = {
      {2, std::nullopt, false, SoaContext{12, 4}, nullptr},
      {2, 7, true, SoaContext{12, 4}, nullptr},  // the lock is not consulted
      {3, 4, true, SoaContext{12, 4}, nullptr},
      {3, 7, true, SoaContext{24, 7}, nullptr},
      {3, 9, true, std::nullopt, "Unsupported positions type tag 9"},
      {3, std::nullopt, true, std::nullopt, "Missing positions dtype for record format 3"},
      {3, 7, false, std::nullopt, "Missing positions dtype for record format 3"},
      {5, 4, true, std::nullopt, "Unsupported record format 5"},
      {0, std::nullopt, false, std::nullopt, "Unsupported record format 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "format " << c.format);
    auto r = SoaContext::from_parts(c.format, c.positions_type, c.has_lock);
    if (c.context) {
      ASSERT_TRUE(r.has_value()) << r.error().to_string();
      EXPECT_EQ(*r, *c.context);
    } else {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error(), Error::invalid_data(c.error));
    }
  }
}

// ---- parsing -----------------------------------------------------------------

TEST(SoaViewParseTest, MinimalRecordHasNothing) {
  auto v = SoaMoleculeView::from_bytes(raw({0, 0, 0, 0, 0, 0}), SoaContext{24, 7});
  ASSERT_TRUE(v.has_value()) << v.error().to_string();
  EXPECT_EQ(v->n_atoms(), 0u);
  EXPECT_EQ(v->positions_offset(), 4u);
  EXPECT_EQ(v->positions_len(), 0u);
  EXPECT_EQ(v->atomic_numbers_offset(), 4u);
  EXPECT_EQ(v->positions_type(), 7);
  EXPECT_FALSE(v->forces_slot() || v->energy_slot() || v->cell_slot() || v->stress_slot() ||
               v->charges_slot() || v->velocities_slot() || v->pbc_slot() || v->name_slot());
  EXPECT_TRUE(v->custom().empty());
  EXPECT_FALSE(v->bytes().is_shared());
  EXPECT_EQ(v->record().size(), 6u);
}

TEST(SoaViewParseTest, FromBytesPrefixesTheReaderMessage) {
  auto v = SoaMoleculeView::from_bytes(raw({0, 0, 0, 0, 0}), SoaContext{12, 4});
  ASSERT_FALSE(v.has_value());
  EXPECT_EQ(v.error().to_string(), "Invalid data: SOA record too small");
}

TEST(SoaViewParseTest, TruncationsNameTheFirstMissingPart) {
  // One atom and one section "key" (tag 0, 8 bytes): count at 17, section
  // at 19, key at 21..24, tag at 24, length at 25..29, payload at 29..37.
  const Bytes full = RecordBuilder::atoms(1).section(2, "key", 0, le<double>({1.0})).build();
  ASSERT_EQ(full.size(), 37u);
  struct Case {
    const char* what;
    Bytes record;
    const char* message;
  };
  const Case cases[] = {
      {"five bytes", prefix(full, 5), "SOA record too small"},
      {"positions short by one", prefix(full, 15), "SOA record truncated at positions"},
      {"no atomic number", prefix(full, 16), "SOA record truncated at atomic_numbers"},
      {"no section count", prefix(full, 17), "SOA record truncated at atomic_numbers"},
      {"half a section count", prefix(full, 18), "SOA record truncated at atomic_numbers"},
      {"no section bytes", prefix(full, 19), "SOA section header truncated"},
      {"kind only", prefix(full, 20), "SOA section header truncated"},
      {"no key bytes", prefix(full, 21), "SOA section key truncated"},
      {"key short by one", prefix(full, 23), "SOA section key truncated"},
      {"no tag", prefix(full, 24), "SOA section header truncated"},
      {"payload length short by one", prefix(full, 28), "SOA section header truncated"},
      {"no payload", prefix(full, 29), "SOA section payload truncated"},
      {"payload short by one", prefix(full, 36), "SOA section payload truncated"},
      {"count of 2, one section",
       RecordBuilder::atoms(1).section(2, "key", 0, le<double>({1.0})).build(2),
       "SOA section header truncated"},
      {"key length past the end", concat(prefix(full, 19), raw({2, 200, 'k', 'e', 'y', 0, 0, 0})),
       "SOA section key truncated"},
      {"payload length past the end",
       concat(prefix(full, 25), raw({0xff, 0xff, 0xff, 0xff, 1, 2, 3, 4, 5, 6, 7, 8})),
       "SOA section payload truncated"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto v = parse(c.record);
    ASSERT_FALSE(v.has_value());
    EXPECT_EQ(v.error(), Error::invalid_data(c.message));
  }
  EXPECT_TRUE(parse(full).has_value());
  for (std::size_t n = 0; n < full.size(); ++n) {
    EXPECT_FALSE(parse(prefix(full, n)).has_value()) << n << " bytes";
  }
}

TEST(SoaViewParseTest, HugeCountsFailWithoutReadingPastTheRecord) {
  struct Case {
    const char* what;
    Bytes record;
    std::size_t stride;
    const char* message;
  };
  const Bytes all_ones = raw({0xff, 0xff, 0xff, 0xff, 0, 0, 0, 0, 0, 0, 0, 0});
  const std::size_t max = std::numeric_limits<std::size_t>::max();
  const Case cases[] = {
      {"n = 2^32-1, float64 rows", all_ones, 24, "SOA record truncated at positions"},
      {"n = 2^32-1, float32 rows", all_ones, 12, "SOA record truncated at positions"},
      {"n x stride overflows", raw({2, 0, 0, 0, 0, 0, 0, 0}), max / 2 + 1,
       "SOA positions overflow"},
      {"n x stride + 4 overflows", raw({1, 0, 0, 0, 0, 0, 0, 0}), max - 1,
       "SOA positions overflow"},
      {"section count past the end", raw({0, 0, 0, 0, 0xff, 0xff}), 12,
       "SOA section header truncated"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto v = parse(c.record, c.stride);
    ASSERT_FALSE(v.has_value());
    EXPECT_EQ(v.error(), Error::invalid_data(c.message));
  }
}

TEST(SoaViewParseTest, KindZeroBuiltinKeysFillSlotsAndEverythingElseIsCustom) {
  auto b = RecordBuilder::atoms(2);
  b.builtin("energy", 0, le<double>({1.0}))             // 0: replaced below
      .section(2, "energy", 0, le<double>({3.0}))       // 1: custom
      .builtin("Forces", 4, Bytes(24, 0))               // 2: custom, kind 0
      .builtin("energy", 0, le<double>({2.0}))          // 3: the slot
      .builtin("forces", 4, Bytes(24, 0))               // 4
      .section(1, "q", 6, le<float>({0.5f, 0.25f}))     // 5
      .section(7, "odd kind", 99, raw({1}));            // 6: kind, tag unchecked
  Bytes record = concat(b.build(), raw({0xde, 0xad}));  // trailing bytes are ignored
  auto v = parse(record);
  ASSERT_TRUE(v.has_value()) << v.error().to_string();
  EXPECT_EQ(v->n_atoms(), 2u);
  EXPECT_EQ(v->positions_len(), 24u);
  EXPECT_EQ(v->atomic_numbers_offset(), 28u);
  EXPECT_EQ(v->energy_slot(), (BuiltinSlot{b.payload_offset(3), 8, 0}));
  EXPECT_EQ(v->forces_slot(), (BuiltinSlot{b.payload_offset(4), 24, 4}));
  auto energy = v->energy();
  ASSERT_TRUE(energy.has_value());
  EXPECT_EQ(*energy, 2.0);
  const std::vector<LazySection> expected = {
      {b.key_offset(1), b.payload_offset(1), 8, 2, 6, 0},
      {b.key_offset(2), b.payload_offset(2), 24, 0, 6, 4},
      {b.key_offset(5), b.payload_offset(5), 8, 1, 1, 6},
      {b.key_offset(6), b.payload_offset(6), 1, 7, 8, 99},
  };
  EXPECT_EQ(v->custom(), expected);
  EXPECT_EQ(*v->lazy_section_key(v->custom()[1]), "Forces");
  auto forces_section = v->find_custom_section(0, "Forces");
  ASSERT_TRUE(forces_section.has_value());
  EXPECT_EQ(*forces_section, expected[1]);
}

TEST(SoaViewParseTest, KeysAreCheckedAsUtf8OnlyWhenUsed) {
  struct Case {
    const char* what;
    std::string key;
    bool valid;
  };
  const Case cases[] = {
      {"ascii", "abc", true},
      {"two-byte", "\xc3\xa9", true},
      {"three-byte", "\xe2\x82\xac", true},
      {"four-byte", "\xf0\x9f\x98\x80", true},
      {"stray byte", "a\xff", false},
      {"overlong slash", "\xc0\xaf", false},
      {"surrogate", "\xed\xa0\x80", false},
      {"above U+10FFFF", "\xf4\x90\x80\x80", false},
      {"cut short", "\xe2\x82", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // The odd key first, then a valid key of the same kind that would match.
    auto v = parse(RecordBuilder::atoms(1)
                       .section(2, c.key, 13, {})
                       .section(2, "a", 13, {})
                       .section(1, "b", 13, {})
                       .build());
    ASSERT_TRUE(v.has_value()) << v.error().to_string();
    auto key = v->lazy_section_key(v->custom()[0]);
    auto found = v->find_custom_section(2, "a");
    auto other_kind = v->find_custom_section(1, "b");
    ASSERT_TRUE(other_kind.has_value());
    EXPECT_EQ(*other_kind, v->custom()[2]);
    if (c.valid) {
      ASSERT_TRUE(key.has_value());
      EXPECT_EQ(*key, c.key);
      ASSERT_TRUE(found.has_value());
      EXPECT_EQ(*found, v->custom()[1]);
      EXPECT_EQ(*v->find_custom_section(2, c.key), v->custom()[0]);
      EXPECT_EQ(*v->find_custom_section(2, "zz"), std::nullopt);
    } else {
      ASSERT_FALSE(key.has_value());
      EXPECT_EQ(key.error().to_string(), "Invalid UTF-8 in section key");
      ASSERT_FALSE(found.has_value());
      EXPECT_EQ(found.error().to_string(), "Invalid UTF-8 in section key");
      EXPECT_EQ(v->materialize().error().to_string(), "Invalid UTF-8 in section key");
      EXPECT_EQ(v->database_schema().error().to_string(), "Invalid UTF-8 in section key");
    }
  }
}

// ---- small accessors ---------------------------------------------------------

TEST(SoaViewAccessorTest, Pbc) {
  struct Case {
    std::optional<Bytes> payload;
    std::uint8_t tag;
    std::optional<std::array<bool, 3>> value;
    const char* error;
  };
  const Case cases[] = {
      {std::nullopt, 9, std::nullopt, nullptr},
      {raw({0, 2, 1}), 9, std::array<bool, 3>{false, true, true}, nullptr},
      {raw({1, 0, 0}), 0, std::array<bool, 3>{true, false, false}, nullptr},  // tag unchecked
      {raw({1, 1, 1, 1}), 9, std::nullopt, "Invalid pbc payload length"},
      {raw({}), 9, std::nullopt, "Invalid pbc payload length"},
  };
  for (const auto& c : cases) {
    auto b = RecordBuilder::atoms(1);
    if (c.payload) b.builtin("pbc", c.tag, *c.payload);
    auto v = parse(b.build());
    ASSERT_TRUE(v.has_value());
    auto pbc = v->pbc();
    if (c.error) {
      ASSERT_FALSE(pbc.has_value());
      EXPECT_EQ(pbc.error().to_string(), c.error);
    } else {
      ASSERT_TRUE(pbc.has_value()) << pbc.error().to_string();
      EXPECT_EQ(*pbc, c.value);
    }
  }
}

TEST(SoaViewAccessorTest, Energy) {
  struct Case {
    std::optional<Bytes> payload;
    std::uint8_t tag;
    std::optional<double> value;
    const char* error;
  };
  const Case cases[] = {
      {std::nullopt, 0, std::nullopt, nullptr},
      {le<double>({-1.25}), 0, -1.25, nullptr},
      {le<float>({0.1f}), 11, static_cast<double>(0.1f), nullptr},
      {le<double>({0.1}), 11, std::nullopt, "Invalid f32 payload length"},
      {le<float>({0.1f}), 0, std::nullopt, "Invalid f64 payload length"},
      {le<double>({1.0}), 3, std::nullopt, "Unsupported energy type tag 3"},
      {raw({}), 12, std::nullopt, "Unsupported energy type tag 12"},  // tag before length
  };
  for (const auto& c : cases) {
    auto b = RecordBuilder::atoms(0);
    if (c.payload) b.builtin("energy", c.tag, *c.payload);
    auto v = parse(b.build());
    ASSERT_TRUE(v.has_value());
    auto energy = v->energy();
    if (c.error) {
      ASSERT_FALSE(energy.has_value());
      EXPECT_EQ(energy.error().to_string(), c.error);
    } else {
      ASSERT_TRUE(energy.has_value()) << energy.error().to_string();
      EXPECT_EQ(*energy, c.value);
    }
  }
}

TEST(SoaViewAccessorTest, AtomAt) {
  auto f32 = parse(RecordBuilder::f32({{1, 2, 3}, {4, 5, 6}}, {8, 1}).build());
  ASSERT_TRUE(f32.has_value());
  EXPECT_EQ(*f32->atom_at(0), (Atom{{1, 2, 3}, 8}));
  EXPECT_EQ(*f32->atom_at(1), (Atom{{4, 5, 6}, 1}));
  EXPECT_EQ(*f32->atom_at(2), std::nullopt);

  auto f64 = parse(RecordBuilder::f64({{0.1, 1.0 / 3, -1e300}, {7, 8, 9}}, {6, 92}).build(), 24, 7);
  ASSERT_TRUE(f64.has_value());
  EXPECT_EQ(*f64->atom_at(0), (Atom{{0.1f, 1.0f / 3, -std::numeric_limits<float>::infinity()}, 6}));
  EXPECT_EQ(*f64->atom_at(1), (Atom{{7, 8, 9}, 92}));
  EXPECT_EQ(*f64->atom_at(2), std::nullopt);

  auto odd = parse(RecordBuilder::atoms(1).build(), 12, 5);
  ASSERT_TRUE(odd.has_value());
  EXPECT_EQ(odd->atom_at(0).error().to_string(), "Unsupported positions type tag 5");
  EXPECT_EQ(*odd->atom_at(1), std::nullopt);
}

TEST(SoaViewAccessorTest, StrideThatDisagreesWithPositionsTypeIsRefused) {
  // Two float32 rows parsed as float64 would read 48 bytes of a 24-byte block.
  auto v = parse(RecordBuilder::atoms(2).build(), 12, 7);
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->atom_at(1).error().to_string(),
            "Positions block does not match positions type tag 7");
  EXPECT_EQ(v->materialize().error().to_string(),
            "Positions block does not match positions type tag 7");
  auto w = parse(RecordBuilder::f64({{1, 2, 3}}, {1}).build(), 24, 4);
  ASSERT_TRUE(w.has_value());
  EXPECT_EQ(w->atom_at(0).error().to_string(),
            "Positions block does not match positions type tag 4");
}

TEST(SoaViewAccessorTest, PayloadRangesStayInsideTheRecord) {
  auto b = RecordBuilder::atoms(1).builtin("name", 2, text("water"));
  auto v = parse(b.build());
  ASSERT_TRUE(v.has_value());
  auto name = v->builtin_payload(*v->name_slot());
  ASSERT_TRUE(name.has_value());
  EXPECT_EQ(Bytes(name->begin(), name->end()), text("water"));
  const std::size_t size = v->record().size();
  EXPECT_TRUE(v->builtin_payload(size, 0).has_value());
  EXPECT_FALSE(v->builtin_payload(size, 1).has_value());
  EXPECT_FALSE(v->builtin_payload(size + 1, 0).has_value());
  EXPECT_FALSE(v->builtin_payload(2, std::numeric_limits<std::size_t>::max()).has_value());
  EXPECT_EQ(Bytes(v->positions_bytes().begin(), v->positions_bytes().end()),
            le<float>({0, 0.5f, -0.0f}));
  EXPECT_EQ(Bytes(v->atomic_numbers_bytes().begin(), v->atomic_numbers_bytes().end()), raw({1}));
}

// ---- schema of a view --------------------------------------------------------

TEST(SoaViewSchemaTest, SameSchemaAs) {
  auto custom_only = [](std::size_t n) {
    return RecordBuilder::atoms(n).section(2, "tag", 2, text("x")).section(1, "q", 13, {});
  };
  auto with_energy = [&](std::size_t n) {
    auto b = RecordBuilder::atoms(n).builtin("energy", 0, le<double>({1.0}));
    b.section(2, "tag", 2, text("x"));
    return b;
  };
  struct Case {
    const char* what;
    Bytes a;
    std::uint8_t a_type;
    Bytes b;
    bool same;
  };
  const Case cases[] = {
      {"custom only, 1 and 3 atoms", custom_only(1).build(), 4, custom_only(3).build(), true},
      {"energy, 1 and 3 atoms", with_energy(1).build(), 4, with_energy(3).build(), false},
      {"energy, 3 and 3 atoms", with_energy(3).build(), 4, with_energy(3).build(), true},
      {"positions type differs", custom_only(0).build(), 7, custom_only(0).build(), false},
      {"energy value differs only", with_energy(2).build(), 4,
       RecordBuilder::atoms(2)
           .builtin("energy", 0, le<double>({9.0}))
           .section(2, "tag", 2, text("x"))
           .build(),
       true},
      {"energy tag differs", with_energy(2).build(), 4,
       RecordBuilder::atoms(2)
           .builtin("energy", 11, le<double>({1.0}))
           .section(2, "tag", 2, text("x"))
           .build(),
       false},
      {"custom key differs", custom_only(1).build(), 4,
       RecordBuilder::atoms(1).section(2, "tap", 2, text("x")).section(1, "q", 13, {}).build(),
       false},
      {"custom length differs", custom_only(1).build(), 4,
       RecordBuilder::atoms(1).section(2, "tag", 2, text("xy")).section(1, "q", 13, {}).build(),
       false},
      {"custom kind differs", custom_only(1).build(), 4,
       RecordBuilder::atoms(1).section(2, "tag", 2, text("x")).section(2, "q", 13, {}).build(),
       false},
      {"custom order differs", custom_only(1).build(), 4,
       RecordBuilder::atoms(1).section(1, "q", 13, {}).section(2, "tag", 2, text("x")).build(),
       false},
      {"one section more", custom_only(1).build(), 4,
       custom_only(1).section(2, "z", 13, {}).build(), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto a = parse(c.a, c.a_type == 7 ? 24 : 12, c.a_type);
    auto b = parse(c.b);
    ASSERT_TRUE(a.has_value() && b.has_value());
    auto same = a->same_schema_as(*b);
    ASSERT_TRUE(same.has_value()) << same.error().to_string();
    EXPECT_EQ(*same, c.same);
    EXPECT_EQ(*b->same_schema_as(*a), c.same);
  }

  // Keys are decoded only once kind, tag and length agree.
  auto bad = parse(RecordBuilder::atoms(1).section(2, "\xff", 13, {}).build());
  auto good = parse(RecordBuilder::atoms(1).section(2, "a", 13, {}).build());
  auto other_kind = parse(RecordBuilder::atoms(1).section(1, "a", 13, {}).build());
  ASSERT_TRUE(bad.has_value() && good.has_value() && other_kind.has_value());
  EXPECT_EQ(bad->same_schema_as(*good).error().to_string(), "Invalid UTF-8 in section key");
  EXPECT_EQ(good->same_schema_as(*bad).error().to_string(), "Invalid UTF-8 in section key");
  EXPECT_EQ(*bad->same_schema_as(*other_kind), false);
}

void expect_section(const crivane::storage::DatabaseSchemaSection& s, std::string_view key,
                    std::size_t elem_bytes, std::size_t slot_bytes, bool per_atom,
                    std::uint8_t kind, std::uint8_t type_tag) {
  EXPECT_EQ(s.key, key);
  EXPECT_EQ(s.elem_bytes, elem_bytes) << key;
  EXPECT_EQ(s.slot_bytes, slot_bytes) << key;
  EXPECT_EQ(s.per_atom, per_atom) << key;
  EXPECT_EQ(s.kind, kind) << key;
  EXPECT_EQ(s.type_tag, type_tag) << key;
}

TEST(SoaViewSchemaTest, DatabaseSchemaSection) {
  struct Case {
    std::uint8_t kind;
    const char* key;
    std::uint8_t tag;
    std::size_t payload_len;
    std::size_t n_atoms;
    std::size_t elem_bytes, slot_bytes;
    bool per_atom;
    const char* error;
  };
  const std::size_t max = std::numeric_limits<std::size_t>::max();
  const Case cases[] = {
      {0, "charges", 3, 80, 10, 8, 8, true, nullptr},
      {0, "charges", 3, 72, 10, 0, 0, false,
       "Section 'charges' has invalid payload length 72 (expected 80)"},
      {2, "label", 2, 5, 10, 0, 0, false, nullptr},
      {2, "e", 0, 8, 10, 8, 8, false, nullptr},
      {1, "t", 16, 12345, 10, 4, 0, true, nullptr},
      {1, "x", 18, 0, 10, 0, 0, false, "Unsupported section type tag 18 for 'x'"},
      {0, "forces", 4, 120, 10, 12, 12, true, nullptr},
      {0, "Forces", 4, 7, 10, 12, 7, false, nullptr},  // not a builtin name: per molecule
      {0, "cell", 10, 72, 10, 72, 72, false, nullptr},
      {2, "forces", 7, 24, 10, 24, 24, false, nullptr},
      {1, "v", 7, 48, 2, 24, 24, true, nullptr},
      {1, "f", 0, 0, 0, 8, 8, true, nullptr},  // per-atom fixed tag, no atoms: elem_bytes
      {1, "s", 2, 9, 3, 0, 0, true, nullptr},  // text is not measured
      {1, "big", 3, 0, max, 0, 0, false, "Section 'big' payload length overflow"},
      {9, "k", 9, 3, 1, 3, 3, false, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    auto s = database_schema_section(c.kind, c.key, c.tag, c.payload_len, c.n_atoms);
    if (c.error) {
      ASSERT_FALSE(s.has_value());
      EXPECT_EQ(s.error().to_string(), c.error);
    } else {
      ASSERT_TRUE(s.has_value()) << s.error().to_string();
      expect_section(*s, c.key, c.elem_bytes, c.slot_bytes, c.per_atom, c.kind, c.tag);
    }
  }
}

TEST(SoaViewSchemaTest, DatabaseSchemaListsBuiltinsThenCustomInRecordOrder) {
  auto b = RecordBuilder::f64({{0, 0, 0}, {1, 1, 1}}, {1, 1});
  b.builtin("name", 2, text("w"))
      .builtin("pbc", 9, raw({1, 1, 0}))
      .builtin("forces", 7, Bytes(48, 0))
      .builtin("energy", 11, le<float>({1}))
      .builtin("cell", 12, Bytes(36, 0))
      .section(2, "z", 5, le<std::int64_t>({1, 2, 3}))
      .section(1, "a", 6, le<float>({1, 2}));
  auto v = parse(b.build(), 24, 7);
  ASSERT_TRUE(v.has_value());
  auto schema = v->database_schema();
  ASSERT_TRUE(schema.has_value()) << schema.error().to_string();
  EXPECT_EQ(schema->positions_type, 7);
  ASSERT_EQ(schema->sections.size(), 7u);
  expect_section(schema->sections[0], "energy", 4, 4, false, 0, 11);
  expect_section(schema->sections[1], "forces", 24, 24, true, 0, 7);
  expect_section(schema->sections[2], "cell", 36, 36, false, 0, 12);
  expect_section(schema->sections[3], "pbc", 3, 3, false, 0, 9);
  expect_section(schema->sections[4], "name", 0, 0, false, 0, 2);
  expect_section(schema->sections[5], "z", 8, 24, false, 2, 5);
  expect_section(schema->sections[6], "a", 4, 4, true, 1, 6);

  auto short_forces = parse(RecordBuilder::atoms(2).builtin("forces", 4, Bytes(12, 0)).build());
  ASSERT_TRUE(short_forces.has_value());
  EXPECT_EQ(short_forces->database_schema().error().to_string(),
            "Section 'forces' has invalid payload length 12 (expected 24)");
  // Builtins are judged energy, forces, charges, ...: not in record order, nor
  // in the order the keys are written.
  auto two_bad = parse(RecordBuilder::atoms(2)
                           .builtin("charges", 3, Bytes(8, 0))
                           .builtin("forces", 4, Bytes(12, 0))
                           .builtin("energy", 0, Bytes(8, 0))
                           .build());
  ASSERT_TRUE(two_bad.has_value());
  EXPECT_EQ(two_bad->database_schema().error().to_string(),
            "Section 'forces' has invalid payload length 12 (expected 24)");
}

// ---- payload decoders --------------------------------------------------------

Bytes tensor_payload(std::initializer_list<std::uint32_t> dims, const Bytes& values) {
  Bytes out;
  out.push_back(static_cast<std::uint8_t>(dims.size()));
  for (auto d : dims) crivane::bytes::put(out, d);
  return concat(out, values);
}

TEST(TensorHeaderTest, ChecksInOrder) {
  struct Case {
    const char* what;
    std::uint8_t tag;
    Bytes payload;
    std::vector<std::uint64_t> shape;
    const char* error;
  };
  const Case cases[] = {
      {"rank 2, 2x3 f32", 14, tensor_payload({2, 3}, Bytes(24, 0)), {2, 3}, nullptr},
      {"rank 0 f64", 15, tensor_payload({}, le<double>({2.5})), {}, nullptr},
      {"zero dimension", 17, tensor_payload({4, 0}, {}), {4, 0}, nullptr},
      {"rank 1 i64", 17, tensor_payload({2}, Bytes(16, 0)), {2}, nullptr},
      {"not a tensor", 3, Bytes(9, 0), {}, "Type tag 3 is not a tensor"},
      {"tag 18", 18, {}, {}, "Type tag 18 is not a tensor"},
      {"empty", 16, {}, {}, "Tensor payload missing rank"},
      {"rank without dims", 14, raw({2}), {}, "Tensor payload truncated at shape"},
      {"one dim of two",
       14,
       raw({2, 2, 0, 0, 0, 3, 0, 0}),
       {},
       "Tensor payload truncated at shape"},
      {"rank 255, nothing else", 14, raw({255}), {}, "Tensor payload truncated at shape"},
      {"23 value bytes",
       14,
       tensor_payload({2, 3}, Bytes(23, 0)),
       {},
       "Tensor payload length 23 is not divisible by element size 4"},
      {"12 bytes for f64",
       15,
       tensor_payload({2}, Bytes(12, 0)),
       {},
       "Tensor payload length 12 is not divisible by element size 8"},
      {"20 value bytes",
       14,
       tensor_payload({2, 3}, Bytes(20, 0)),
       {},
       "Tensor shape [2, 3] expects 6 values, got 5"},
      {"24 bytes for two f64",
       15,
       tensor_payload({2}, Bytes(24, 0)),
       {},
       "Tensor shape [2] expects 2 values, got 3"},
      {"rank 0 without value", 14, raw({0}), {}, "Tensor shape [] expects 1 values, got 0"},
      {"product overflows",
       16,
       tensor_payload({0xffffffff, 0xffffffff, 0xffffffff, 0}, {}),
       {},
       "Tensor shape overflows usize"},
      {"overflow checked after divisibility",
       16,
       tensor_payload({0xffffffff, 0xffffffff, 0xffffffff}, raw({1})),
       {},
       "Tensor payload length 1 is not divisible by element size 4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto h = tensor_shape_from_payload(c.tag, c.payload);
    if (c.error) {
      ASSERT_FALSE(h.has_value());
      EXPECT_EQ(h.error(), Error::invalid_data(c.error));
    } else {
      ASSERT_TRUE(h.has_value()) << h.error().to_string();
      EXPECT_EQ(h->shape, c.shape);
      EXPECT_EQ(h->value_offset, 1 + 4 * c.shape.size());
    }
  }
}

TEST(DecodePropertyValueTest, ValidPayloads) {
  struct Case {
    std::uint8_t tag;
    Bytes payload;
    PropertyValue value;
  };
  const Case cases[] = {
      {0, le<double>({-2.5}), PropertyValue(std::in_place_index<property::Float>, -2.5)},
      {1, le<std::int64_t>({-7}), PropertyValue(std::in_place_index<property::Int>, -7)},
      {2, text("h\xc3\xa9"), PropertyValue(std::in_place_index<property::String>, "h\xc3\xa9")},
      {2, {}, PropertyValue(std::in_place_index<property::String>, "")},
      {3, le<double>({1, 2}),
       PropertyValue(std::in_place_index<property::FloatArray>, std::vector<double>{1, 2})},
      {3, {}, PropertyValue(std::in_place_index<property::FloatArray>, std::vector<double>{})},
      {4, le<float>({1, 2, 3, 4, 5, 6}),
       PropertyValue(std::in_place_index<property::Vec3Array>,
                     std::vector<Vec3F32>{{1, 2, 3}, {4, 5, 6}})},
      {5, le<std::int64_t>({1, -1}),
       PropertyValue(std::in_place_index<property::IntArray>, std::vector<std::int64_t>{1, -1})},
      {6, le<float>({0.5f}),
       PropertyValue(std::in_place_index<property::Float32Array>, std::vector<float>{0.5f})},
      {7, le<double>({1, 2, 3}),
       PropertyValue(std::in_place_index<property::Vec3ArrayF64>, std::vector<Vec3F64>{{1, 2, 3}})},
      {8, le<std::int32_t>({3, -4}),
       PropertyValue(std::in_place_index<property::Int32Array>, std::vector<std::int32_t>{3, -4})},
      {13, {}, PropertyValue(std::in_place_index<property::None>)},
      {14, tensor_payload({2, 3}, le<float>({1, 2, 3, 4, 5, 6})),
       PropertyValue(std::in_place_index<property::Tensor>,
                     TensorData(Tensor<float>{{2, 3}, {1, 2, 3, 4, 5, 6}}))},
      {15, tensor_payload({}, le<double>({2.5})),
       PropertyValue(std::in_place_index<property::Tensor>, TensorData(Tensor<double>{{}, {2.5}}))},
      {16, tensor_payload({3}, le<std::int32_t>({-1, 0, 1})),
       PropertyValue(std::in_place_index<property::Tensor>,
                     TensorData(Tensor<std::int32_t>{{3}, {-1, 0, 1}}))},
      {17, tensor_payload({1, 0}, {}),
       PropertyValue(std::in_place_index<property::Tensor>,
                     TensorData(Tensor<std::int64_t>{{1, 0}, {}}))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "tag " << int(c.tag));
    auto v = decode_property_value(c.tag, c.payload);
    ASSERT_TRUE(v.has_value()) << v.error().to_string();
    EXPECT_EQ(*v, c.value);
  }
}

TEST(DecodePropertyValueTest, RefusedPayloads) {
  struct Case {
    std::uint8_t tag;
    Bytes payload;
    const char* error;
  };
  const Case cases[] = {
      {0, Bytes(4, 0), "Invalid f64 payload length"},
      {0, {}, "Invalid f64 payload length"},
      {1, Bytes(9, 0), "Invalid i64 payload length"},
      {2, raw({0xc0, 0x80}), "Invalid UTF-8 in string property"},
      {3, Bytes(12, 0), "Invalid f64 array payload length"},
      {4, Bytes(16, 0), "Invalid vec3<f32> payload length"},
      {5, Bytes(7, 0), "Invalid i64 array payload length"},
      {6, Bytes(6, 0), "Invalid f32 array payload length"},
      {7, Bytes(12, 0), "Invalid vec3<f64> payload length"},
      {8, Bytes(3, 0), "Invalid i32 array payload length"},
      {13, raw({0}), "Null property payload must be empty"},
      {9, raw({1, 1, 1}), "Unsupported property type tag 9"},
      {10, Bytes(72, 0), "Unsupported property type tag 10"},
      {11, Bytes(4, 0), "Unsupported property type tag 11"},
      {12, Bytes(36, 0), "Unsupported property type tag 12"},
      {18, {}, "Unsupported property type tag 18"},
      {255, {}, "Unsupported property type tag 255"},
      {14, tensor_payload({2, 3}, Bytes(20, 0)),
       "Invalid data: Tensor shape [2, 3] expects 6 values, got 5"},
      {14, tensor_payload({2, 3}, Bytes(23, 0)),
       "Invalid data: Tensor payload length 23 is not divisible by element size 4"},
      {14, raw({2}), "Invalid data: Tensor payload truncated at shape"},
      {15, {}, "Invalid data: Tensor payload missing rank"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "tag " << int(c.tag) << ", " << c.payload.size() << " bytes");
    auto v = decode_property_value(c.tag, c.payload);
    ASSERT_FALSE(v.has_value());
    EXPECT_EQ(v.error().to_string(), c.error);
  }
}

TEST(DecodeVec3Mat3Test, TagsAndLengths) {
  auto f32 = py_decode_vec3_data(le<float>({1, 2, 3, 4, 5, 6}), 4, "forces");
  ASSERT_TRUE(f32.has_value());
  EXPECT_EQ(*f32, Vec3Data(std::in_place_index<0>, std::vector<Vec3F32>{{1, 2, 3}, {4, 5, 6}}));
  auto f64 = py_decode_vec3_data(le<double>({1, 2, 3}), 7, "forces");
  ASSERT_TRUE(f64.has_value());
  EXPECT_EQ(*f64, Vec3Data(std::in_place_index<1>, std::vector<Vec3F64>{{1, 2, 3}}));
  auto empty = py_decode_vec3_data({}, 7, "forces");
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(*empty, Vec3Data(std::in_place_index<1>));

  EXPECT_EQ(py_decode_vec3_data(Bytes(13, 0), 4, "forces").error().to_string(),
            "Invalid vec3<f32> payload length");
  EXPECT_EQ(py_decode_vec3_data(Bytes(36, 0), 7, "forces").error().to_string(),
            "Invalid vec3<f64> payload length");
  EXPECT_EQ(py_decode_vec3_data(Bytes(13, 0), 6, "velocities").error().to_string(),
            "Unsupported velocities type tag 6");

  const Mat3F64 m = mat64(1);
  auto cell = py_decode_mat3_data(mat64_bytes(m), 10, "cell");
  ASSERT_TRUE(cell.has_value());
  EXPECT_EQ(std::get<1>(*cell)[0][1], 2.0);  // row-major: first row, second element
  EXPECT_EQ(*cell, crivane::types::Mat3Data(std::in_place_index<1>, m));
  auto cell32 = py_decode_mat3_data(le<float>({1, 2, 3, 4, 5, 6, 7, 8, 9}), 12, "cell");
  ASSERT_TRUE(cell32.has_value());
  EXPECT_EQ(std::get<0>(*cell32)[2][0], 7.0f);

  EXPECT_EQ(py_decode_mat3_data(Bytes(36, 0), 10, "cell").error().to_string(),
            "Invalid mat3x3<f64> payload length");
  EXPECT_EQ(py_decode_mat3_data(Bytes(72, 0), 12, "stress").error().to_string(),
            "Invalid mat3x3<f32> payload length");
  EXPECT_EQ(py_decode_mat3_data(Bytes(72, 0), 3, "stress").error().to_string(),
            "Unsupported stress type tag 3");
}

// ---- materialization ---------------------------------------------------------

TEST(MaterializeTest, EveryFieldRoundTrips) {
  auto b = RecordBuilder::f32({{1, 2, 3}, {4, 5, 6}}, {8, 1});
  b.builtin("charges", 3, le<double>({-0.5, 0.5}))
      .builtin("cell", 10, mat64_bytes(mat64(10)))
      .builtin("energy", 0, le<double>({-76.25}))
      .builtin("forces", 4, le<float>({0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f}))
      .builtin("name", 2, text("water"))
      .builtin("pbc", 9, raw({1, 0, 1}))
      .builtin("stress", 12, le<float>({1, 2, 3, 4, 5, 6, 7, 8, 9}))
      .builtin("velocities", 7, le<double>({1, 2, 3, 4, 5, 6}))
      .section(1, "mass", 3, le<double>({16, 1}))
      .section(2, "step", 1, le<std::int64_t>({42}))
      .section(2, "tag", 2, text("run-1"));
  auto v = parse(b.build());
  ASSERT_TRUE(v.has_value());
  auto m = v->materialize();
  ASSERT_TRUE(m.has_value()) << m.error().to_string();

  Molecule want = *Molecule::create({{1, 2, 3}, {4, 5, 6}}, {8, 1});
  want.charges.emplace(std::in_place_index<1>, std::vector<double>{-0.5, 0.5});
  want.cell.emplace(std::in_place_index<1>, mat64(10));
  want.energy.emplace(std::in_place_index<1>, -76.25);
  want.forces.emplace(std::in_place_index<0>,
                      std::vector<Vec3F32>{{0.1f, 0.2f, 0.3f}, {0.4f, 0.5f, 0.6f}});
  want.name = "water";
  want.pbc = std::array<bool, 3>{true, false, true};
  want.stress.emplace(std::in_place_index<0>, Mat3F32{{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}});
  want.velocities.emplace(std::in_place_index<1>, std::vector<Vec3F64>{{1, 2, 3}, {4, 5, 6}});
  want.atom_properties["mass"] =
      PropertyValue(std::in_place_index<property::FloatArray>, std::vector<double>{16, 1});
  want.properties["step"] = PropertyValue(std::in_place_index<property::Int>, 42);
  want.properties["tag"] = PropertyValue(std::in_place_index<property::String>, "run-1");
  EXPECT_EQ(*m, want);

  // Float64 positions give a float64 molecule.
  auto f64 = parse(RecordBuilder::f64({{0.1, 0.2, 0.3}}, {3}).build(), 24, 7);
  ASSERT_TRUE(f64.has_value());
  auto m64 = f64->materialize();
  ASSERT_TRUE(m64.has_value());
  EXPECT_EQ(*m64, *Molecule::create_f64({{0.1, 0.2, 0.3}}, {3}));
}

TEST(MaterializeTest, KeepsWhatTheRecordHolds) {
  // Five force rows on four atoms are kept as five.
  auto rows = parse(RecordBuilder::atoms(4).builtin("forces", 4, Bytes(60, 0)).build());
  ASSERT_TRUE(rows.has_value());
  auto m = rows->materialize();
  ASSERT_TRUE(m.has_value()) << m.error().to_string();
  EXPECT_EQ(crivane::types::length_of(*m->forces), 5u);
  EXPECT_EQ(m->n_atoms(), 4u);

  // A float32 energy stays float32.
  auto e = parse(RecordBuilder::atoms(1).builtin("energy", 11, le<float>({0.1f})).build());
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->materialize()->energy,
            crivane::types::FloatScalarData(std::in_place_index<0>, 0.1f));

  // Of duplicate sections the last wins; kinds 1 and 2 fill their own maps;
  // kind-0 sections that are not builtins and unknown kinds are dropped.
  auto dup = parse(RecordBuilder::atoms(1)
                       .section(2, "k", 1, le<std::int64_t>({1}))
                       .section(0, "Energy", 0, le<double>({5}))
                       .section(1, "k", 0, le<double>({2}))
                       .section(3, "k", 13, {})
                       .section(2, "k", 1, le<std::int64_t>({3}))
                       .build());
  ASSERT_TRUE(dup.has_value());
  auto md = dup->materialize();
  ASSERT_TRUE(md.has_value()) << md.error().to_string();
  EXPECT_EQ(md->properties.size(), 1u);
  EXPECT_EQ(md->properties.at("k"), PropertyValue(std::in_place_index<property::Int>, 3));
  EXPECT_EQ(md->atom_properties.size(), 1u);
  EXPECT_EQ(md->atom_properties.at("k"), PropertyValue(std::in_place_index<property::Float>, 2.0));
  EXPECT_FALSE(md->energy.has_value());

  // pbc bytes are true when non-zero; the name's tag is not looked at.
  auto p = parse(RecordBuilder::atoms(1)
                     .builtin("pbc", 9, raw({0, 2, 1}))
                     .builtin("name", 0, text("abcdefgh"))
                     .build());
  ASSERT_TRUE(p.has_value());
  auto mp = p->materialize();
  ASSERT_TRUE(mp.has_value()) << mp.error().to_string();
  EXPECT_EQ(mp->pbc, (std::array<bool, 3>{false, true, true}));
  EXPECT_EQ(mp->name, "abcdefgh");

  // The view itself is unchanged and materializes again to the same molecule.
  EXPECT_EQ(*p->materialize(), *mp);
}

TEST(MaterializeTest, FirstFailureInFieldOrder) {
  struct Case {
    const char* what;
    Bytes record;
    std::uint8_t positions_type;
    const char* error;
  };
  auto one = [] { return RecordBuilder::atoms(1); };
  const Case cases[] = {
      {"positions type", one().build(), 5, "Unsupported positions type tag 5"},
      {"charges tag", one().builtin("charges", 5, Bytes(8, 0)).build(), 4,
       "Unsupported charges type tag 5"},
      {"charges f64 length", one().builtin("charges", 3, Bytes(12, 0)).build(), 4,
       "Invalid f64 array payload length"},
      {"charges f32 length", one().builtin("charges", 6, Bytes(6, 0)).build(), 4,
       "Invalid f32 array payload length"},
      {"cell length", one().builtin("cell", 10, Bytes(36, 0)).build(), 4,
       "Invalid mat3x3<f64> payload length"},
      {"cell tag", one().builtin("cell", 0, Bytes(72, 0)).build(), 4,
       "Unsupported cell type tag 0"},
      {"energy tag before length", one().builtin("energy", 3, Bytes(1, 0)).build(), 4,
       "Unsupported energy type tag 3"},
      {"energy f64 length", one().builtin("energy", 0, Bytes(4, 0)).build(), 4,
       "Invalid f64 payload length"},
      {"energy f32 length", one().builtin("energy", 11, Bytes(8, 0)).build(), 4,
       "Invalid f32 payload length"},
      {"forces length", one().builtin("forces", 4, Bytes(13, 0)).build(), 4,
       "Invalid vec3<f32> payload length"},
      {"forces tag", one().builtin("forces", 6, Bytes(12, 0)).build(), 4,
       "Unsupported forces type tag 6"},
      {"name", one().builtin("name", 2, raw({'a', 0xff})).build(), 4, "Invalid UTF-8 in name"},
      {"pbc", one().builtin("pbc", 9, raw({1, 1})).build(), 4, "Invalid pbc payload length"},
      {"stress", one().builtin("stress", 12, Bytes(72, 0)).build(), 4,
       "Invalid mat3x3<f32> payload length"},
      {"velocities", one().builtin("velocities", 7, Bytes(12, 0)).build(), 4,
       "Invalid vec3<f64> payload length"},
      {"custom tag 9", one().section(2, "b", 9, raw({1, 1, 1})).build(), 4,
       "Unsupported property type tag 9"},
      {"custom null with a byte", one().section(1, "n", 13, raw({0})).build(), 4,
       "Null property payload must be empty"},
      {"custom tensor", one().section(2, "t", 14, {}).build(), 4,
       "Invalid data: Tensor payload missing rank"},
      {"dropped kind-0 key must be UTF-8", one().section(0, "\xfe", 0, {}).build(), 4,
       "Invalid UTF-8 in section key"},
      // Stored after the custom section, checked before it.
      {"charges before custom", one().section(2, "t", 14, {}).builtin("charges", 5, {}).build(), 4,
       "Unsupported charges type tag 5"},
      {"velocities after forces",
       one().builtin("velocities", 1, {}).builtin("forces", 1, {}).build(), 4,
       "Unsupported forces type tag 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto v = parse(c.record, 12, c.positions_type);
    ASSERT_TRUE(v.has_value()) << v.error().to_string();
    auto m = v->materialize();
    ASSERT_FALSE(m.has_value());
    EXPECT_EQ(m.error().to_string(), c.error);
  }
}

TEST(MaterializeTest, UnalignedFloat64PayloadsGiveTheSameValues) {
  const std::vector<Vec3F64> rows = {{0.1, -0.2, 1e-300}, {3.5, 1.0 / 3, -7}};
  const Bytes forces = le<double>({0.1, -0.2, 1e-300, 3.5, 1.0 / 3, -7});
  const Bytes values = le<double>({0.25, -1.0 / 7});
  // Positions start at offset 4; a name of 0 to 7 bytes shifts every later
  // payload through all eight residues modulo 8.
  std::set<std::size_t> forces_residues;
  for (std::size_t shift = 0; shift < 8; ++shift) {
    SCOPED_TRACE(testing::Message() << "shift " << shift);
    auto b = RecordBuilder::f64(rows, {1, 2});
    b.builtin("name", 2, text(std::string(shift, 'n')))
        .builtin("forces", 7, forces)
        .builtin("cell", 10, mat64_bytes(mat64(0.125)))
        .section(2, "v", 3, values)
        .section(2, "t", 15, tensor_payload({2}, values));
    auto v = parse(b.build(), 24, 7);
    ASSERT_TRUE(v.has_value());
    forces_residues.insert(v->forces_slot()->payload_offset % 8);
    auto m = v->materialize();
    ASSERT_TRUE(m.has_value()) << m.error().to_string();
    EXPECT_EQ(m->positions, Vec3Data(std::in_place_index<1>, rows));
    EXPECT_EQ(*m->forces, Vec3Data(std::in_place_index<1>, rows));
    EXPECT_EQ(*m->cell, crivane::types::Mat3Data(std::in_place_index<1>, mat64(0.125)));
    EXPECT_EQ(m->properties.at("v"), PropertyValue(std::in_place_index<property::FloatArray>,
                                                   std::vector<double>{0.25, -1.0 / 7}));
    EXPECT_EQ(m->properties.at("t"),
              PropertyValue(std::in_place_index<property::Tensor>,
                            TensorData(Tensor<double>{{2}, {0.25, -1.0 / 7}})));
    EXPECT_EQ(*v->atom_at(1), (Atom{{3.5f, 1.0f / 3, -7.0f}, 2}));
  }
  EXPECT_EQ(forces_residues.size(), 8u);
}

TEST(MaterializeTest, NanBitPatternsPassUnchanged) {
  const std::uint64_t quiet64 = 0x7ff80000deadbeefULL;
  const std::uint64_t signaling64 = 0xfff0000000000001ULL;
  const std::uint32_t quiet32 = 0x7fc0beefU;
  const std::uint32_t signaling32 = 0xff800001U;
  Bytes vec64;
  for (std::uint64_t bits : {quiet64, signaling64, quiet64}) crivane::bytes::put(vec64, bits);
  Bytes arr32;
  for (std::uint32_t bits : {quiet32, signaling32}) crivane::bytes::put(arr32, bits);
  Bytes energy;
  crivane::bytes::put(energy, signaling64);

  auto b = RecordBuilder::f64({{0, 0, 0}}, {1});
  b.builtin("forces", 7, vec64)
      .builtin("charges", 6, arr32)
      .builtin("energy", 0, energy)
      .section(1, "a", 3, vec64)
      .section(2, "t", 14, tensor_payload({2}, arr32));
  Bytes record = b.build();
  std::memcpy(record.data() + 4, vec64.data(), 24);  // NaN positions too
  auto v = parse(record, 24, 7);
  ASSERT_TRUE(v.has_value());
  auto m = v->materialize();
  ASSERT_TRUE(m.has_value()) << m.error().to_string();

  const std::uint64_t want64[] = {quiet64, signaling64, quiet64};
  const auto& forces = std::get<1>(*m->forces)[0];
  const auto& positions = std::get<1>(m->positions)[0];
  const auto& a = std::get<property::FloatArray>(m->atom_properties.at("a"));
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(forces[k]), want64[k]);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(positions[k]), want64[k]);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(a[k]), want64[k]);
  }
  const auto& charges = std::get<0>(*m->charges);
  const auto& t = std::get<Tensor<float>>(std::get<property::Tensor>(m->properties.at("t")));
  EXPECT_EQ(std::bit_cast<std::uint32_t>(charges[0]), quiet32);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(charges[1]), signaling32);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(t.values[0]), quiet32);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(t.values[1]), signaling32);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(std::get<1>(*m->energy)), signaling64);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(**v->energy()), signaling64);
}

// ---- views over a shared mapping ---------------------------------------------

class TempFile {
 public:
  explicit TempFile(const Bytes& contents)
      : path_(std::filesystem::temp_directory_path() /
              ("soa_view_test_" + std::to_string(::getpid()) + ".bin")) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(contents.data()),
              static_cast<std::streamsize>(contents.size()));
  }
  ~TempFile() { std::filesystem::remove(path_); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

TEST(SharedViewTest, OutlivesTheMappingHandleItWasMadeFrom) {
  auto b = RecordBuilder::f64({{0.1, 0.2, 0.3}, {1, 2, 3}}, {6, 8});
  b.builtin("energy", 0, le<double>({-1.5}))
      .builtin("pbc", 9, raw({1, 1, 0}))
      .section(2, "label", 2, text("mapped"));
  const Bytes record = b.build();
  // Three bytes in front put the record at an odd file offset; the byte
  // after it is not part of the range.
  const Bytes file = concat(concat(raw({9, 9, 9}), record), raw({0xee}));
  TempFile tmp(file);

  auto mapping = crivane::storage::Mapping::map_path(tmp.path());
  ASSERT_TRUE(mapping.has_value()) << mapping.error().to_string();
  std::shared_ptr<const crivane::storage::Mapping> handle = std::move(mapping).value();
  crivane::storage::SharedMmapBytes shared(handle, 3, 3 + record.size());
  auto view = SoaMoleculeView::from_storage(SoaBytes(std::move(shared)), 24, 7);
  ASSERT_TRUE(view.has_value()) << view.error().to_string();
  handle.reset();  // the view's share keeps the file mapped

  EXPECT_TRUE(view->bytes().is_shared());
  EXPECT_EQ(Bytes(view->record().begin(), view->record().end()), record);
  EXPECT_EQ(*view->energy(), -1.5);
  EXPECT_EQ(*view->pbc(), (std::array<bool, 3>{true, true, false}));
  EXPECT_EQ(*view->atom_at(0), (Atom{{0.1f, 0.2f, 0.3f}, 6}));
  auto m = view->materialize();
  ASSERT_TRUE(m.has_value()) << m.error().to_string();
  EXPECT_EQ(m->positions,
            Vec3Data(std::in_place_index<1>, std::vector<Vec3F64>{{0.1, 0.2, 0.3}, {1, 2, 3}}));
  EXPECT_EQ(m->properties.at("label"),
            PropertyValue(std::in_place_index<property::String>, "mapped"));

  // Copies of the view share the mapping too.
  SoaMoleculeView copy = *view;
  view = SoaMoleculeView::from_bytes(raw({0, 0, 0, 0, 0, 0}), SoaContext{12, 4}).value();
  EXPECT_EQ(*copy.energy(), -1.5);
}

}  // namespace
}  // namespace crivane::storage::soa
