#include "crivane/record/flat.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "crivane/storage/dtypes.hpp"

namespace crivane::storage::soa {
namespace {

using crivane::Bytes;
using crivane::ByteSpan;
using crivane::Error;
namespace tag = crivane::storage::dtypes::tag;

Bytes raw(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

template <class T>
Bytes le(std::initializer_list<T> values) {
  Bytes out;
  for (T v : values) crivane::bytes::put(out, v);
  return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes section(std::uint8_t kind, std::string_view key, std::uint8_t type_tag,
              const Bytes& payload) {
  Bytes s{kind, static_cast<std::uint8_t>(key.size())};
  s.insert(s.end(), key.begin(), key.end());
  s.push_back(type_tag);
  crivane::bytes::put(s, static_cast<std::uint32_t>(payload.size()));
  s.insert(s.end(), payload.begin(), payload.end());
  return s;
}

// n atoms of `row` bytes each (all 0x11), atomic numbers 1..n, then sections.
Bytes record(std::uint32_t n, std::size_t row, const std::vector<Bytes>& sections) {
  Bytes out;
  crivane::bytes::put(out, n);
  out.insert(out.end(), n * row, 0x11);
  for (std::uint32_t i = 0; i < n; ++i) out.push_back(static_cast<std::uint8_t>(i + 1));
  crivane::bytes::put(out, static_cast<std::uint16_t>(sections.size()));
  for (const Bytes& s : sections) out.insert(out.end(), s.begin(), s.end());
  return out;
}

Bytes prefix(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + n); }

Bytes tensor(std::initializer_list<std::uint32_t> shape, std::size_t value_bytes) {
  Bytes out{static_cast<std::uint8_t>(shape.size())};
  for (std::uint32_t d : shape) crivane::bytes::put(out, d);
  out.insert(out.end(), value_bytes, 0);
  return out;
}

// ---- parse_mol_fast_soa ------------------------------------------------------

TEST(FlatParseTest, ReadsHeadAndSectionsInRecordOrder) {
  const Bytes rec = cat({record(2, 24,
                                {section(2, "b", tag::kF64, le<double>({1.5})),
                                 section(0, "forces", tag::kVec3F32, Bytes(24, 0)),
                                 section(1, "\xc3\xa9", tag::kNone, {})}),
                         raw({0xff, 0xff})});  // trailing bytes are not looked at
  auto parsed = parse_mol_fast_soa(rec, 24);
  ASSERT_TRUE(parsed.has_value()) << parsed.error().to_string();
  EXPECT_EQ(parsed->n_atoms, 2u);
  EXPECT_EQ(parsed->positions.data(), rec.data() + 4);
  EXPECT_EQ(parsed->positions.size(), 48u);
  EXPECT_EQ(parsed->atomic_numbers.data(), rec.data() + 52);
  EXPECT_EQ(parsed->atomic_numbers.size(), 2u);
  ASSERT_EQ(parsed->sections.size(), 3u);
  const SectionRef& b = parsed->sections[0];
  EXPECT_EQ(b.key, "b");
  EXPECT_EQ(b.kind, 2);
  EXPECT_EQ(b.type_tag, tag::kF64);
  EXPECT_EQ(b.payload.size(), 8u);
  EXPECT_EQ(b.payload.data(), rec.data() + 56 + 7 + 1);
  EXPECT_EQ(parsed->sections[1].key, "forces");
  EXPECT_EQ(parsed->sections[2].key, "\xc3\xa9");
  EXPECT_TRUE(parsed->sections[2].payload.empty());

  // The reusable form gives the same, whatever the list held before.
  FlatRecord reused;
  ASSERT_TRUE(parse_mol_fast_soa(record(0, 12, {section(2, "z", tag::kNone, {})}), 12, reused));
  ASSERT_TRUE(parse_mol_fast_soa(rec, 24, reused));
  ASSERT_EQ(reused.sections.size(), 3u);
  EXPECT_EQ(reused.sections[0].payload.data(), b.payload.data());
}

TEST(FlatParseTest, TruncationsNameTheMissingField) {
  const Bytes good = record(1, 12, {section(2, "key", tag::kF64, le<double>({2.0}))});
  // 4 n_atoms, 12 positions, 1 number, 2 count, then kind, key length, key
  // (3), tag, payload length (4), payload (8): 37 bytes.
  ASSERT_EQ(good.size(), 37u);
  struct Case {
    std::size_t length;
    const char* message;
  };
  const Case cases[] = {
      {0, "SOA n_atoms truncated"},
      {3, "SOA n_atoms truncated"},
      {4, "SOA positions truncated"},
      {15, "SOA positions truncated"},
      {16, "SOA atomic_numbers truncated"},
      {17, "SOA n_sections truncated"},
      {18, "SOA n_sections truncated"},
      {19, "SOA section kind truncated"},
      {20, "SOA section key length truncated"},
      {21, "SOA section key truncated"},
      {23, "SOA section key truncated"},
      {24, "SOA section type tag truncated"},
      {25, "SOA section payload length truncated"},
      {28, "SOA section payload length truncated"},
      {29, "SOA section payload truncated"},
      {36, "SOA section payload truncated"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    // An exact-size copy, so that the sanitizers catch a read past the end.
    const Bytes cut = prefix(good, c.length);
    auto parsed = parse_mol_fast_soa(cut, 12);
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(parsed.error(), Error::invalid_data(c.message));
  }
  EXPECT_TRUE(parse_mol_fast_soa(good, 12).has_value());
}

TEST(FlatParseTest, HugeCountsAndBadKeysFailCleanly) {
  struct Case {
    Bytes record;
    std::size_t row;
    const char* message;
  };
  const Case cases[] = {
      {le<std::uint32_t>({0xffffffff}), 24, "SOA positions truncated"},
      {record(0, 12, {}), SIZE_MAX, nullptr},  // no atoms: nothing to overflow
      {cat({le<std::uint32_t>({2}), Bytes(10, 0)}), SIZE_MAX, "SOA positions byte length overflow"},
      {record(0, 12, {section(2, "\xff", 0, {})}), 12, "Invalid UTF-8 in SOA section key"},
      // The section count promises more than there is.
      {cat({le<std::uint32_t>({0}), le<std::uint16_t>({0xffff})}), 12,
       "SOA section kind truncated"},
      {cat({le<std::uint32_t>({0}), le<std::uint16_t>({1}), raw({2, 0, 0}),
            le<std::uint32_t>({0xffffffff})}),
       12, "SOA section payload truncated"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message ? c.message : "valid");
    auto parsed = parse_mol_fast_soa(c.record, c.row);
    if (c.message == nullptr) {
      EXPECT_TRUE(parsed.has_value());
    } else {
      ASSERT_FALSE(parsed.has_value());
      EXPECT_EQ(parsed.error(), Error::invalid_data(c.message));
    }
  }
}

TEST(FlatParseTest, TheSectionCountReservesOnlyWhatTheBytesHold) {
  // 65535 sections promised, room for two of them.
  const Bytes rec = cat({le<std::uint32_t>({0}), le<std::uint16_t>({0xffff}), Bytes(14, 0)});
  FlatRecord out;
  auto parsed = parse_mol_fast_soa(rec, 12, out);
  ASSERT_FALSE(parsed.has_value());
  EXPECT_EQ(parsed.error(), Error::invalid_data("SOA section kind truncated"));
  EXPECT_EQ(out.sections.size(), 2u);
  EXPECT_LE(out.sections.capacity(), 2u);
}

// ---- section_schema_from_ref -------------------------------------------------

struct ColumnCase {
  std::uint8_t kind;
  std::string key;
  std::uint8_t type_tag;
  Bytes payload;
  std::uint32_t n_atoms;
  // The column (elem, slot, per_atom), or the error text.
  std::size_t elem;
  std::size_t slot;
  bool per_atom;
  const char* error;
};

void check_columns(const std::vector<ColumnCase>& cases) {
  for (const ColumnCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "kind " << int(c.kind) << " key " << c.key << " tag "
                                    << int(c.type_tag) << " payload " << c.payload.size());
    const SectionRef ref{c.key, ByteSpan(c.payload.data(), c.payload.size()), c.kind, c.type_tag};
    auto column = section_schema_from_ref(ref, c.n_atoms);
    if (c.error != nullptr) {
      ASSERT_FALSE(column.has_value()) << column->elem_bytes;
      EXPECT_EQ(column.error(), Error::invalid_data(c.error));
      continue;
    }
    ASSERT_TRUE(column.has_value()) << column.error().to_string();
    EXPECT_EQ(*column, (SectionSchema{c.key, c.elem, c.slot, c.per_atom, c.kind, c.type_tag}));
  }
}

TEST(SectionSchemaFromRefTest, FixedSizeTags) {
  check_columns({
      // Per-molecule scalars and matrices keep their payload as the slot.
      {2, "e", tag::kF64, Bytes(8, 0), 5, 8, 8, false, nullptr},
      {0, "energy", tag::kF32, Bytes(4, 0), 5, 4, 4, false, nullptr},
      {2, "odd", tag::kF64, Bytes(12, 0), 5, 8, 12, false, nullptr},
      {0, "pbc", tag::kBool3, Bytes(3, 0), 0, 3, 3, false, nullptr},
      {0, "cell", tag::kMat3F64, Bytes(72, 0), 2, 72, 72, false, nullptr},
      {0, "stress", tag::kMat3F32, Bytes(36, 0), 2, 36, 36, false, nullptr},
      {3, "kind3", tag::kI64, Bytes(8, 0), 2, 8, 8, false, nullptr},
      // Per-atom ones hold exactly one element.
      {1, "q", tag::kI64, Bytes(8, 0), 1, 8, 8, true, nullptr},
      {1, "q", tag::kF64, Bytes(16, 0), 2, 0, 0, false,
       "Section 'q' has invalid payload length 16 (expected 8)"},
      {1, "m", tag::kMat3F32, Bytes(36, 0), 1, 36, 36, true, nullptr},
      // Arrays: per-atom rows of the element size, per-molecule the whole payload.
      {0, "forces", tag::kVec3F32, Bytes(36, 0), 3, 12, 12, true, nullptr},
      {0, "velocities", tag::kVec3F64, Bytes(72, 0), 3, 24, 24, true, nullptr},
      {0, "charges", tag::kF32Array, Bytes(12, 0), 3, 4, 4, true, nullptr},
      {0, "charges", tag::kF64Array, Bytes(16, 0), 3, 0, 0, false,
       "Section 'charges' has invalid payload length 16 (expected 24)"},
      {1, "i", tag::kI32Array, Bytes(0, 0), 0, 4, 4, true, nullptr},
      {1, "i", tag::kI64Array, Bytes(8, 0), 0, 0, 0, false,
       "Section 'i' has invalid payload length 8 (expected 0)"},
      {2, "a", tag::kF64Array, Bytes(24, 0), 3, 24, 24, false, nullptr},
      {2, "v", tag::kVec3F32, Bytes(0, 0), 3, 0, 0, false, nullptr},
      {0, "Forces", tag::kVec3F32, Bytes(12, 0), 3, 12, 12, false, nullptr},  // not a builtin key
  });
}

TEST(SectionSchemaFromRefTest, TextNullTensorAndUnknownTags) {
  check_columns({
      {2, "label", tag::kString, Bytes{'h', 'i'}, 3, 0, 0, false, nullptr},
      {0, "name", tag::kString, Bytes{}, 3, 0, 0, false, nullptr},
      {2, "label", tag::kString, Bytes{0xc3}, 3, 0, 0, false, "Invalid UTF-8 in section 'label'"},
      {1, "s", tag::kString, Bytes{}, 3, 0, 0, false,
       "String section 's' cannot be per-atom in flat extraction"},
      // The UTF-8 check comes first.
      {1, "s", tag::kString, Bytes{0xff}, 3, 0, 0, false, "Invalid UTF-8 in section 's'"},
      {2, "none", tag::kNone, Bytes{}, 3, 0, 0, false, nullptr},
      {1, "none", tag::kNone, Bytes{}, 3, 0, 0, true, nullptr},
      {2, "none", tag::kNone, Bytes{0}, 3, 0, 0, false,
       "Section 'none' has invalid payload length 1 (expected 0)"},
      {2, "t", tag::kTensorF32, tensor({2, 3}, 24), 4, 4, 0, false, nullptr},
      {2, "t", tag::kTensorI64, tensor({}, 8), 4, 8, 0, false, nullptr},
      {1, "t", tag::kTensorF64, tensor({4, 2}, 64), 4, 8, 0, true, nullptr},
      {1, "t", tag::kTensorI32, tensor({0}, 0), 0, 4, 0, true, nullptr},
      {1, "t", tag::kTensorF32, tensor({}, 4), 4, 0, 0, false,
       "Atom tensor property 't' must have at least one dimension"},
      {1, "t", tag::kTensorF32, tensor({3, 2}, 24), 4, 0, 0, false,
       "Atom tensor property 't' first dimension (3) doesn't match atom count (4)"},
      {2, "t", tag::kTensorF32, tensor({2, 3}, 20), 4, 0, 0, false,
       "Tensor shape [2, 3] expects 6 values, got 5"},
      {2, "t", tag::kTensorI64, Bytes{}, 4, 0, 0, false, "Tensor payload missing rank"},
      {2, "x", 18, Bytes(5, 0), 4, 5, 5, false, nullptr},
      {3, "x", 255, Bytes{}, 4, 0, 0, false, nullptr},
      {1, "x", 18, Bytes{}, 4, 0, 0, false, "Unsupported per-atom section type tag 18 for key 'x'"},
      {0, "forces", 200, Bytes{}, 4, 0, 0, false,
       "Unsupported per-atom section type tag 200 for key 'forces'"},
  });
}

}  // namespace
}  // namespace crivane::storage::soa
