#include "crivane/record/schema.hpp"

#include <string>

#include <gtest/gtest.h>

#include "crivane/record/encoder.hpp"
#include "support/expect.hpp"
#include "support/le_bytes.hpp"

namespace crivane::storage::schema {
namespace {

using atom::Molecule;
using crivane::testing::fails_with;
using crivane::testing::LeBytes;
using crivane::testing::succeeds;
using crivane::testing::to_vec;
using types::PropertyValue;
using Payload = std::vector<std::uint8_t>;

ByteSpan span(const std::vector<std::uint8_t>& v) { return ByteSpan(v.data(), v.size()); }

PropertyValue tensor(types::TensorData t) {
  return PropertyValue(std::in_place_index<10>, std::move(t));
}

Molecule f32_molecule(std::size_t n) {
  return *Molecule::create(std::vector<types::Vec3F32>(n, {0, 0, 0}),
                           std::vector<std::uint8_t>(n, 1));
}

TEST(SchemaEntryTest, DebugForm) {
  EXPECT_EQ((SchemaEntry{4, true, 12, 12}).debug(),
            "SchemaEntry { type_tag: 4, per_atom: true, elem_bytes: 12, slot_bytes: 12 }");
  EXPECT_EQ((SchemaEntry{13, false, 0, 0}).debug(),
            "SchemaEntry { type_tag: 13, per_atom: false, elem_bytes: 0, slot_bytes: 0 }");
}

TEST(SchemaEntryTest, Derivation) {
  const auto tensor_2x3 = LeBytes().u8(2).u32(2).u32(3).fill(24, 0).bytes();
  struct Case {
    const char* name;
    std::uint8_t kind;
    std::string key;
    std::uint8_t tag;
    std::uint64_t len;
    std::optional<Payload> payload;
    std::uint64_t n;
    SchemaEntry expected;
  };
  const Case cases[] = {
      {"float32 forces of 10 atoms", 0, "forces", 4, 120, {}, 10, {4, true, 12, 12}},
      {"3-value FloatArray property", 2, "x", 3, 24, {}, 5, {3, false, 8, 24}},
      {"name", 0, "name", 2, 7, {}, 3, {2, false, 0, 0}},
      {"pbc", 0, "pbc", 9, 3, {}, 3, {9, false, 3, 3}},
      {"float64 charges", 0, "charges", 3, 16, {}, 2, {3, true, 8, 8}},
      {"velocities of no atoms", 0, "velocities", 7, 0, {}, 0, {7, true, 24, 24}},
      {"unknown builtin key is per molecule", 0, "forces2", 7, 48, {}, 2, {7, false, 24, 48}},
      {"atom Float on one atom", 1, "q", 0, 8, {}, 1, {0, true, 8, 8}},
      {"atom Float on no atoms", 1, "q", 0, 0, {}, 0, {0, true, 8, 0}},
      {"atom matrix on two atoms", 1, "m", 10, 144, {}, 2, {10, true, 72, 72}},
      {"atom empty string", 1, "s", 2, 0, {}, 4, {2, true, 0, 0}},
      {"atom null", 1, "z", 13, 0, {}, 4, {13, true, 0, 0}},
      {"molecule string of any length", 2, "s", 2, 300, {}, 4, {2, false, 0, 0}},
      {"unknown kind is per molecule", 9, "k", 5, 16, {}, 2, {5, false, 8, 16}},
      {"molecule tensor", 2, "t", 14, tensor_2x3.size(), tensor_2x3, 7, {14, false, 4, 0}},
      {"atom tensor with first dimension n",
       1,
       "t",
       16,
       tensor_2x3.size(),
       tensor_2x3,
       2,
       {16, true, 4, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<ByteSpan> payload;
    if (c.payload) payload = span(*c.payload);
    auto e = schema_entry(c.kind, c.key, c.tag, c.len, payload, c.n);
    ASSERT_TRUE(succeeds(e));
    EXPECT_EQ(*e, c.expected) << e->debug();
  }
}

TEST(SchemaEntryTest, Refusals) {
  const auto scalar_tensor = LeBytes().u8(0).f64(1).bytes();
  const auto tensor_3 = LeBytes().u8(1).u32(3).f64s({1, 2, 3}).bytes();
  const auto bad_tensor = LeBytes().u8(1).u32(3).f64s({1, 2}).bytes();
  struct Case {
    std::uint8_t kind;
    const char* key;
    std::uint8_t tag;
    std::uint64_t len;
    std::optional<Payload> payload;
    std::uint64_t n;
    const char* error;
  };
  const Case cases[] = {
      {2, "x", 18, 0, {}, 1, "Unsupported section type tag 18"},
      {1, "q", 0, 8, {}, 2, "Section 'q' payload length 8 does not match expected 16"},
      {0, "forces", 4, 12, {}, 2, "Section 'forces' payload length 12 does not match expected 24"},
      {1, "s", 2, 3, {}, 1, "Section 's' payload length 3 does not match expected 0"},
      {1, "z", 13, 1, {}, 0, "Section 'z' payload length 1 does not match expected 0"},
      {1, "big", 7, 0, {}, 1ull << 60, "Schema overflow for section 'big'"},
      {2, "t", 15, 9, {}, 1, "Tensor section 't' is missing payload"},
      {2, "t", 15, bad_tensor.size(), bad_tensor, 1, "Tensor shape [3] expects 3 values, got 2"},
      {1, "t", 15, scalar_tensor.size(), scalar_tensor, 1,
       "Atom tensor property 't' must have at least one dimension"},
      {1, "t", 15, tensor_3.size(), tensor_3, 2,
       "Atom tensor property 't' first dimension (3) doesn't match atom count (2)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    std::optional<ByteSpan> payload;
    if (c.payload) payload = span(*c.payload);
    EXPECT_TRUE(fails_with(schema_entry(c.kind, c.key, c.tag, c.len, payload, c.n), c.error));
  }
}

TEST(SchemaEntryTest, InsertReplaces) {
  SchemaEntries entries;
  ASSERT_TRUE(succeeds(insert_schema_entry(entries, 2, "k", 1, 8, std::nullopt, 1)));
  ASSERT_TRUE(succeeds(insert_schema_entry(entries, 2, "k", 3, 16, std::nullopt, 1)));
  EXPECT_FALSE(insert_schema_entry(entries, 2, "k", 200, 0, std::nullopt, 1).has_value());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries.at({2, "k"}), (SchemaEntry{3, false, 8, 16}));
}

TEST(SchemaFromMoleculeTest, EveryField) {
  Molecule m = *Molecule::create_f64({{0, 0, 0}, {1, 1, 1}}, {1, 8});
  m.charges = types::FloatArrayData(std::vector<float>{1, 2});
  m.cell = types::Mat3Data(types::Mat3F32{});
  m.energy = types::FloatScalarData(1.0);
  m.forces = types::Vec3Data(std::vector<types::Vec3F64>{{1, 2, 3}, {4, 5, 6}});
  m.name = "water";
  m.pbc = std::array<bool, 3>{};
  m.stress = types::Mat3Data(types::Mat3F64{});
  m.velocities = types::Vec3Data(std::vector<types::Vec3F32>{{1, 2, 3}, {4, 5, 6}});
  m.atom_properties["grid"] = tensor(types::Tensor<float>{{2, 3}, std::vector<float>(6)});
  m.atom_properties["q"] = PropertyValue(std::vector<double>{0.5, -0.5});
  m.properties["series"] = PropertyValue(std::vector<double>{1, 2, 3});
  m.properties["t"] = tensor(types::Tensor<std::int64_t>{{}, {4}});
  m.properties["tags"] = PropertyValue(std::string("abc"));

  auto lock = schema_from_molecule(m);
  ASSERT_TRUE(succeeds(lock));
  const SchemaEntries expected = {
      {{0, "charges"}, {6, true, 4, 4}},    {{0, "cell"}, {12, false, 36, 36}},
      {{0, "energy"}, {0, false, 8, 8}},    {{0, "forces"}, {7, true, 24, 24}},
      {{0, "name"}, {2, false, 0, 0}},      {{0, "pbc"}, {9, false, 3, 3}},
      {{0, "stress"}, {10, false, 72, 72}}, {{0, "velocities"}, {4, true, 12, 12}},
      {{1, "grid"}, {14, true, 4, 0}},      {{1, "q"}, {3, true, 8, 8}},
      {{2, "series"}, {3, false, 8, 24}},   {{2, "t"}, {17, false, 8, 0}},
      {{2, "tags"}, {2, false, 0, 0}},
  };
  EXPECT_EQ(lock->entries, expected);
  EXPECT_EQ(lock->positions_type, 7);
  EXPECT_EQ(schema_from_molecule(f32_molecule(0))->positions_type, 4);
}

TEST(SchemaFromMoleculeTest, Refusals) {
  struct Case {
    const char* name;
    std::size_t n;
    void (*set)(Molecule&);
    const char* error;
  };
  const Case cases[] = {
      {"key in both scopes, found before a bad builtin", 2,
       [](Molecule& m) {
         m.forces = types::Vec3Data(std::vector<types::Vec3F32>{});
         m.atom_properties["q"] = PropertyValue();
         m.properties["q"] = PropertyValue();
       },
       "Custom property 'q' exists in both atom and molecule scopes"},
      {"forces shorter than the atoms", 3,
       [](Molecule& m) { m.forces = types::Vec3Data(std::vector<types::Vec3F32>(2)); },
       "Section 'forces' payload length 24 does not match expected 36"},
      {"float64 charges longer than the atoms", 1,
       [](Molecule& m) { m.charges = types::FloatArrayData(std::vector<double>(2)); },
       "Section 'charges' payload length 16 does not match expected 8"},
      {"atom Float on two atoms", 2,
       [](Molecule& m) { m.atom_properties["e"] = PropertyValue(1.0); },
       "Section 'e' payload length 8 does not match expected 16"},
      {"atom array of the wrong length", 2,
       [](Molecule& m) { m.atom_properties["a"] = PropertyValue(std::vector<std::int64_t>(3)); },
       "Section 'a' payload length 24 does not match expected 16"},
      {"atom string that is not empty", 1,
       [](Molecule& m) { m.atom_properties["s"] = PropertyValue(std::string("x")); },
       "Section 's' payload length 1 does not match expected 0"},
      {"atom tensor of rank 0", 1,
       [](Molecule& m) {
         m.atom_properties["t"] = tensor(types::Tensor<double>{{}, {1}});
       },
       "Atom tensor property 't' must have at least one dimension"},
      {"atom tensor with another first dimension", 2,
       [](Molecule& m) {
         m.atom_properties["t"] = tensor(types::Tensor<double>{{3}, {1, 2, 3}});
       },
       "Atom tensor property 't' first dimension (3) doesn't match atom count (2)"},
      {"tensor whose values disagree with its shape", 2,
       [](Molecule& m) {
         m.properties["t"] = tensor(types::Tensor<std::int32_t>{{2, 2}, {1}});
       },
       "Tensor shape [2, 2] expects 4 values, got 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Molecule m = f32_molecule(c.n);
    c.set(m);
    EXPECT_TRUE(fails_with(schema_from_molecule(m), c.error));
  }
}

TEST(SchemaFromMoleculeTest, AtomTensorOfShapeNBy3) {
  Molecule m = f32_molecule(2);
  m.atom_properties["t"] = tensor(types::Tensor<double>{{2, 3}, std::vector<double>(6)});
  auto lock = schema_from_molecule(m);
  ASSERT_TRUE(succeeds(lock));
  EXPECT_EQ(lock->entries.at({1, "t"}), (SchemaEntry{15, true, 8, 0}));
}

// The schema read back from an encoded record is the schema of the molecule.
TEST(RecordSchemaTest, AgreesWithTheMolecule) {
  Molecule narrow = f32_molecule(3);
  narrow.energy = types::FloatScalarData(2.0);
  narrow.forces = types::Vec3Data(std::vector<types::Vec3F32>(3));
  narrow.charges = types::FloatArrayData(std::vector<double>(3));
  narrow.name = "n";
  narrow.pbc = std::array<bool, 3>{true, true, false};
  narrow.atom_properties["t"] = tensor(types::Tensor<std::int32_t>{{3, 2}, std::vector<int>(6)});
  narrow.atom_properties["v"] = PropertyValue(std::vector<types::Vec3F64>(3));
  narrow.properties["s"] = PropertyValue(std::string("abc"));
  narrow.properties["n"] = PropertyValue();
  narrow.properties["k"] = PropertyValue(std::int64_t{4});

  Molecule wide = *Molecule::create_f64({{1, 2, 3}}, {6});
  wide.energy = types::FloatScalarData(2.0f);
  wide.velocities = types::Vec3Data(std::vector<types::Vec3F64>(1));
  wide.cell = types::Mat3Data(types::Mat3F32{});
  wide.atom_properties["x"] = PropertyValue(1.0);
  wide.properties["m"] = tensor(types::Tensor<float>{{2, 2}, {1, 2, 3, 4}});

  struct Case {
    const char* name;
    const Molecule& m;
    std::uint32_t format;
    std::optional<std::uint8_t> positions;
  };
  for (const Case& c : {Case{"format 2", narrow, 2, std::nullopt}, Case{"format 3", narrow, 3, 4},
                        Case{"format 3, float64", wide, 3, 7}}) {
    SCOPED_TRACE(c.name);
    auto rec = soa::serialize_molecule_soa(c.m, c.format);
    ASSERT_TRUE(succeeds(rec));
    auto from_record = record_schema(as_span(*rec), c.format, c.positions);
    ASSERT_TRUE(succeeds(from_record));
    EXPECT_EQ(*from_record, *schema_from_molecule(c.m));
  }
}

// One float32 atom with an "energy" section and a per-molecule "k" section.
std::vector<std::uint8_t> small_record() {
  return LeBytes()
      .u32(1)
      .f32s({1, 2, 3})
      .u8(8)
      .u16(2)
      .section(0, "energy", 0, LeBytes().f64(1.5).bytes())
      .section(2, "k", 5, LeBytes().i64(1).i64(2).bytes())
      .bytes();
}

TEST(RecordSchemaTest, Truncations) {
  const auto rec = small_record();
  const std::size_t first = 4 + 12 + 1 + 2;  // where the "energy" section starts
  const std::size_t second = first + 7 + 6 + 8;
  struct Case {
    std::size_t size;
    const char* error;
  };
  const Case cases[] = {
      {0, "SOA record too small"},
      {5, "SOA record too small"},
      {15, "SOA record truncated at positions"},
      {16, "SOA record truncated at atomic_numbers"},
      {17, "SOA record truncated at n_sections"},
      {18, "SOA record truncated at n_sections"},
      {first, "SOA section header truncated"},
      {first + 6, "SOA section header truncated"},   // inside the key, 6 bytes of the section
      {first + 7, "SOA section key truncated"},      // inside the key, 7 bytes of the section
      {first + 8, "SOA section header truncated"},   // right after the key
      {first + 9, "SOA section header truncated"},   // inside the payload length
      {first + 12, "SOA section header truncated"},  // one byte of the length missing
      {first + 13, "SOA section payload truncated"},
      {second - 1, "SOA section payload truncated"},
      {second + 3, "SOA section header truncated"},
      {second + 7, "SOA section header truncated"},  // a 1-byte key, then the tag missing
      {rec.size() - 1, "SOA section payload truncated"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    EXPECT_TRUE(fails_with(record_schema(ByteSpan(rec.data(), c.size), 2, std::nullopt), c.error));
  }
  auto whole = record_schema(span(rec), 2, std::nullopt);
  ASSERT_TRUE(succeeds(whole));
  const SchemaEntries expected = {{{0, "energy"}, {0, false, 8, 8}}, {{2, "k"}, {5, false, 8, 16}}};
  EXPECT_EQ(whole->entries, expected);
  EXPECT_EQ(whole->positions_type, 4);
}

TEST(RecordSchemaTest, PositionsTypeAndFormat) {
  const auto rec = small_record();
  struct Case {
    std::uint32_t format;
    std::optional<std::uint8_t> positions;
    const char* error;
  };
  const Case cases[] = {
      {3, std::nullopt, "Missing positions dtype for record format 3"},
      {3, 5, "Unsupported positions type tag 5"},
      {2, 7, "record format 2 does not support float64 positions"},
      {4, 4, "Unsupported record format 4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    EXPECT_TRUE(fails_with(record_schema(span(rec), c.format, c.positions), c.error));
  }
  // Read with 24-byte rows, a one-atom float32 record ends inside its positions.
  auto f32 = LeBytes().u32(1).f32s({1, 2, 3}).u8(1).u16(0).bytes();
  EXPECT_TRUE(succeeds(record_schema(span(f32), 3, 4)));
  EXPECT_TRUE(fails_with(record_schema(span(f32), 3, 7), "SOA record truncated at positions"));
  auto f64 = LeBytes().u32(1).f64s({1, 2, 3}).u8(1).u16(0).bytes();
  auto lock = record_schema(span(f64), 3, 7);
  ASSERT_TRUE(succeeds(lock));
  EXPECT_EQ(lock->positions_type, 7);
  EXPECT_TRUE(lock->entries.empty());
}

TEST(RecordSchemaTest, SectionRules) {
  auto record = [](std::uint16_t count, LeBytes sections) {
    auto head = LeBytes().u32(0).u16(count).bytes();
    head.insert(head.end(), sections.bytes().begin(), sections.bytes().end());
    return head;
  };
  const auto f64_forces =
      record(1, LeBytes().section(0, "forces", 7, {}));  // no atoms: empty payload
  EXPECT_TRUE(fails_with(record_schema(span(f64_forces), 2, std::nullopt),
                         "record format 2 does not support float64 forces"));
  EXPECT_TRUE(succeeds(record_schema(span(f64_forces), 3, 4)));
  // The kind-0 rule looks at kind 0 only.
  const auto atom_forces = record(1, LeBytes().section(1, "forces", 7, {}));
  EXPECT_TRUE(succeeds(record_schema(span(atom_forces), 2, std::nullopt)));

  const auto bad_key = record(1, LeBytes().section(2, "\xc3", 13, {}));
  EXPECT_TRUE(
      fails_with(record_schema(span(bad_key), 2, std::nullopt), "Invalid UTF-8 in section key"));
  // The key is judged before the tag and length behind it are looked for, and
  // a payload must be whole before the format rule looks at its tag.
  const auto bad_long_key = record(1, LeBytes().section(2, "\xc3xxxx", 13, {}));
  EXPECT_TRUE(fails_with(
      record_schema(ByteSpan(bad_long_key.data(), bad_long_key.size() - 5), 2, std::nullopt),
      "Invalid UTF-8 in section key"));
  const auto cut_f64_forces =
      record(1, LeBytes().section(0, "forces", 7, std::vector<std::uint8_t>(24)));
  EXPECT_TRUE(fails_with(
      record_schema(ByteSpan(cut_f64_forces.data(), cut_f64_forces.size() - 1), 2, std::nullopt),
      "SOA section payload truncated"));
  const auto bad_tag = record(1, LeBytes().section(2, "x", 18, {}));
  EXPECT_TRUE(
      fails_with(record_schema(span(bad_tag), 2, std::nullopt), "Unsupported section type tag 18"));
  const auto bad_tensor = record(1, LeBytes().section(2, "t", 15, {1, 2, 0, 0}));
  EXPECT_TRUE(fails_with(record_schema(span(bad_tensor), 2, std::nullopt),
                         "Tensor payload truncated at shape"));

  // A repeated (kind, key) keeps the later section; kinds 1 and 2 are
  // distinct; unknown kinds and kind-0 keys are accepted; trailing bytes are ignored.
  auto mixed = record(5, LeBytes()
                             .section(2, "k", 1, LeBytes().i64(1).bytes())
                             .section(2, "k", 2, {'a', 'b'})
                             .section(1, "k", 13, {})
                             .section(7, "odd", 3, LeBytes().f64(1).bytes())
                             .section(0, "mystery", 9, {1, 0, 1}));
  mixed.push_back(0xFF);
  auto lock = record_schema(span(mixed), 2, std::nullopt);
  ASSERT_TRUE(succeeds(lock));
  const SchemaEntries expected = {{{0, "mystery"}, {9, false, 3, 3}},
                                  {{1, "k"}, {13, true, 0, 0}},
                                  {{2, "k"}, {2, false, 0, 0}},
                                  {{7, "odd"}, {3, false, 8, 8}}};
  EXPECT_EQ(lock->entries, expected);
}

TEST(MergeTest, CompatibleLocks) {
  auto lock_of = [](void (*set)(Molecule&)) {
    Molecule m = f32_molecule(1);
    set(m);
    return *schema_from_molecule(m);
  };
  struct Case {
    const char* name;
    void (*first)(Molecule&);
    void (*second)(Molecule&);
  };
  const Case cases[] = {
      {"strings of different lengths",
       [](Molecule& m) { m.properties["s"] = PropertyValue(std::string("a")); },
       [](Molecule& m) { m.properties["s"] = PropertyValue(std::string("abc")); }},
      {"tensors of different shapes",
       [](Molecule& m) {
         m.properties["t"] = tensor(types::Tensor<float>{{2}, {1, 2}});
       },
       [](Molecule& m) {
         m.properties["t"] = tensor(types::Tensor<float>{{3}, {1, 2, 3}});
       }},
      {"same key in both scopes across molecules",
       [](Molecule& m) { m.properties["q"] = PropertyValue(1.0); },
       [](Molecule& m) { m.atom_properties["q"] = PropertyValue(1.0); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SchemaLock target = lock_of(c.first);
    EXPECT_TRUE(succeeds(merge_schema_lock(target, lock_of(c.second))));
  }
}

TEST(MergeTest, EntryMismatch) {
  SchemaLock target, incoming;
  target.entries[{2, "x"}] = {3, false, 8, 24};
  incoming.entries[{2, "x"}] = {3, false, 8, 32};
  EXPECT_TRUE(fails_with(merge_schema_lock(target, incoming),
                         "Schema mismatch for section 'x': expected SchemaEntry { type_tag: 3, "
                         "per_atom: false, elem_bytes: 8, slot_bytes: 24 }, got SchemaEntry { "
                         "type_tag: 3, per_atom: false, elem_bytes: 8, slot_bytes: 32 }"));

  Molecule a = f32_molecule(0), b = f32_molecule(0);
  a.properties["v"] = PropertyValue(std::int64_t{1});
  b.properties["v"] = PropertyValue(1.0);
  SchemaLock la = *schema_from_molecule(a);
  EXPECT_TRUE(fails_with(merge_schema_lock(la, *schema_from_molecule(b)),
                         "Schema mismatch for section 'v': expected SchemaEntry { type_tag: 1, "
                         "per_atom: false, elem_bytes: 8, slot_bytes: 8 }, got SchemaEntry { "
                         "type_tag: 0, per_atom: false, elem_bytes: 8, slot_bytes: 8 }"));
}

TEST(MergeTest, StopsAtTheFirstMismatch) {
  SchemaLock target, incoming;
  target.entries[{2, "m"}] = {1, false, 8, 8};
  incoming.positions_type = 7;
  incoming.entries[{1, "a"}] = {13, true, 0, 0};
  incoming.entries[{2, "m"}] = {0, false, 8, 8};
  incoming.entries[{2, "z"}] = {2, false, 0, 0};
  EXPECT_FALSE(merge_schema_lock(target, incoming).has_value());
  SchemaLock expected;
  expected.positions_type = 7;
  expected.entries[{1, "a"}] = {13, true, 0, 0};
  expected.entries[{2, "m"}] = {1, false, 8, 8};
  EXPECT_EQ(target, expected);
}

TEST(MergeTest, PositionsType) {
  struct Case {
    std::optional<std::uint8_t> target, incoming, result;
    const char* error;
  };
  const Case cases[] = {
      {4, 7, {}, "Position dtype mismatch: expected type tag 4, got 7"},
      {7, 4, {}, "Position dtype mismatch: expected type tag 7, got 4"},
      {std::nullopt, 7, 7, nullptr},
      {4, std::nullopt, 4, nullptr},
      {std::nullopt, std::nullopt, std::nullopt, nullptr},
      {7, 7, 7, nullptr},
  };
  for (const auto& c : cases) {
    SchemaLock target, incoming;
    target.positions_type = c.target;
    incoming.positions_type = c.incoming;
    incoming.entries[{2, "k"}] = {13, false, 0, 0};
    auto r = merge_schema_lock(target, incoming);
    if (c.error) {
      EXPECT_TRUE(fails_with(r, c.error));
      EXPECT_TRUE(target.entries.empty());
    } else {
      ASSERT_TRUE(succeeds(r));
      EXPECT_EQ(target.positions_type, c.result);
      EXPECT_EQ(target.entries.size(), 1u);
    }
  }
}

TEST(ValidateLockTest, RecordFormats) {
  auto lock = [](std::optional<std::uint8_t> positions, std::uint8_t kind, std::uint8_t tag) {
    SchemaLock l;
    l.positions_type = positions;
    l.entries[{kind, "forces"}] = {tag, true, 24, 24};
    return l;
  };
  struct Case {
    std::uint32_t format;
    SchemaLock lock;
    const char* error;
  };
  const Case cases[] = {
      {2, lock(std::nullopt, 0, 4), nullptr},
      {2, lock(4, 0, 7), "record format 2 does not support float64 forces"},
      {2, lock(std::nullopt, 1, 7), nullptr},
      {2, lock(7, 0, 4), "record format 2 does not support float64 positions"},
      {3, lock(7, 0, 7), nullptr},
      {3, lock(std::nullopt, 0, 7), "Missing positions dtype for record format 3"},
      {3, lock(5, 0, 7), "Unsupported positions type tag 5"},
      {9, lock(4, 0, 4), "Unsupported record format 9"},
  };
  for (const auto& c : cases) {
    auto r = validate_schema_lock_for_record_format(c.format, c.lock);
    if (c.error) {
      EXPECT_TRUE(fails_with(r, c.error));
    } else {
      EXPECT_TRUE(succeeds(r));
    }
  }
}

TEST(SchemaBlobTest, EmptyLockWithFloat64Positions) {
  SchemaLock lock;
  lock.positions_type = 7;
  const Payload blob = {1, 0, 0, 0, 7, 0, 0, 0, 0};
  auto encoded = encode_schema_lock(lock);
  ASSERT_TRUE(succeeds(encoded));
  EXPECT_EQ(to_vec(*encoded), blob);
  auto decoded = decode_schema_lock(span(blob));
  ASSERT_TRUE(succeeds(decoded));
  EXPECT_EQ(*decoded, lock);

  Payload longer = blob;
  longer.push_back(0);
  EXPECT_TRUE(fails_with(decode_schema_lock(span(longer)), "Schema blob trailing bytes"));
  EXPECT_TRUE(fails_with(decode_schema_lock(ByteSpan(blob.data(), 8)), "Schema blob too small"));
}

// One schema blob entry.
Payload blob_entry(std::uint8_t kind, std::uint8_t tag, std::uint8_t per_atom, std::string_view key,
                   std::uint32_t elem, std::uint32_t slot) {
  return LeBytes()
      .u8(kind)
      .u8(tag)
      .u8(per_atom)
      .u16(static_cast<std::uint16_t>(key.size()))
      .u32(elem)
      .u32(slot)
      .str(key)
      .bytes();
}

Payload blob(std::uint8_t positions, std::uint32_t count, const std::vector<Payload>& entries) {
  LeBytes out;
  out.u32(1).u8(positions).u32(count);
  for (const auto& e : entries) out.append(e);
  return out.bytes();
}

TEST(SchemaBlobTest, EntriesRoundTrip) {
  SchemaLock lock;  // positions unknown
  lock.entries[{0, "forces"}] = {4, true, 12, 12};
  lock.entries[{2, "\xc3\xa9t\xc3\xa9"}] = {3, false, 8, 4294967295u};
  lock.entries[{1, ""}] = {13, true, 0, 0};
  const Payload expected =
      blob(255, 3,
           {blob_entry(0, 4, 1, "forces", 12, 12), blob_entry(1, 13, 1, "", 0, 0),
            blob_entry(2, 3, 0, "\xc3\xa9t\xc3\xa9", 8, 4294967295u)});
  auto encoded = encode_schema_lock(lock);
  ASSERT_TRUE(succeeds(encoded));
  EXPECT_EQ(to_vec(*encoded), expected);
  auto decoded = decode_schema_lock(span(expected));
  ASSERT_TRUE(succeeds(decoded));
  EXPECT_EQ(*decoded, lock);
}

TEST(SchemaBlobTest, DecodeRefusals) {
  auto cut = [](Payload b, std::size_t drop) {
    b.resize(b.size() - drop);
    return b;
  };
  auto with_tail = [](Payload b, std::uint8_t extra) {
    b.push_back(extra);
    return b;
  };
  const Payload ab = blob_entry(2, 0, 0, "ab", 8, 8);
  struct Case {
    const char* name;
    Payload bytes;
    const char* error;
  };
  const Case cases[] = {
      {"empty", {}, "Schema blob too small"},
      {"version 2", LeBytes().u32(2).u8(4).u32(0).bytes(), "Unsupported schema blob version 2"},
      {"version 0", LeBytes().u32(0).u8(4).u32(0).bytes(), "Unsupported schema blob version 0"},
      {"positions 5", blob(5, 0, {}), "Unsupported schema positions type tag 5"},
      {"count above the entries", blob(4, 2, {ab}), "Schema blob truncated"},
      {"huge count", blob(4, 0xFFFFFFFF, {}), "Schema blob truncated"},
      {"entry header cut", cut(blob(4, 1, {blob_entry(2, 0, 0, "", 8, 8)}), 1),
       "Schema blob truncated"},
      {"per_atom flag 2", blob(4, 1, {blob_entry(2, 0, 2, "ab", 8, 8)}),
       "Invalid schema per_atom flag"},
      {"key cut", cut(blob(4, 1, {ab}), 1), "Schema blob truncated at key"},
      {"per_atom flag 2, key cut", cut(blob(4, 1, {blob_entry(2, 0, 2, "ab", 8, 8)}), 1),
       "Invalid schema per_atom flag"},
      {"key not UTF-8", blob(4, 1, {blob_entry(1, 0, 1, "\xff", 8, 8)}),
       "Invalid UTF-8 in schema key"},
      {"count below the entries", with_tail(blob(4, 1, {ab}), 2), "Schema blob trailing bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(fails_with(decode_schema_lock(span(c.bytes)), c.error));
  }

  // A repeated (kind, key) keeps the later entry; kinds and tags are taken as stored.
  const Payload repeated = blob(255, 3,
                                {blob_entry(2, 1, 0, "k", 8, 8), blob_entry(2, 99, 1, "k", 5, 6),
                                 blob_entry(200, 0, 0, "k", 0, 0)});
  auto lock = decode_schema_lock(span(repeated));
  ASSERT_TRUE(succeeds(lock));
  EXPECT_FALSE(lock->positions_type.has_value());
  const SchemaEntries expected = {{{2, "k"}, {99, true, 5, 6}}, {{200, "k"}, {0, false, 0, 0}}};
  EXPECT_EQ(lock->entries, expected);
}

TEST(SchemaBlobTest, EncodeRefusals) {
  struct Case {
    const char* name;
    std::string key;
    SchemaEntry entry;
    std::optional<std::uint8_t> positions;
    std::string error;
  };
  const std::string long_key(65536, 'k');
  const Case cases[] = {
      {"key of 65536 bytes",
       long_key,
       {2, false, 0, 0},
       4,
       "Schema key '" + long_key + "' is too long"},
      {"elem_bytes above u32",
       "e",
       {3, false, 1ull << 32, 1ull << 32},
       4,
       "Schema elem_bytes overflow for 'e'"},
      {"slot_bytes above u32",
       "s",
       {3, false, 8, 1ull << 32},
       4,
       "Schema slot_bytes overflow for 's'"},
      // What decode_schema_lock would refuse is never written.
      {"positions type 5", "k", {2, false, 0, 0}, 5, "Unsupported schema positions type tag 5"},
      {"key not UTF-8", "\xc3(", {2, false, 0, 0}, 4, "Invalid UTF-8 in schema key"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SchemaLock lock;
    lock.positions_type = c.positions;
    lock.entries[{1, "a"}] = {13, true, 0, 0};  // a valid entry first changes nothing
    lock.entries[{2, c.key}] = c.entry;
    EXPECT_TRUE(fails_with(encode_schema_lock(lock), c.error));
  }
  SchemaLock longest;
  longest.entries[{2, std::string(65535, 'k')}] = {2, false, 0, 0};
  auto blob = encode_schema_lock(longest);
  ASSERT_TRUE(succeeds(blob));
  EXPECT_EQ(blob->size(), 9u + 13 + 65535);
  EXPECT_EQ(*decode_schema_lock(as_span(*blob)), longest);
}

TEST(DatabaseSchemaTest, Conversions) {
  SchemaLock lock;
  lock.positions_type = 4;
  lock.entries[{2, "b"}] = {1, false, 8, 8};
  lock.entries[{0, "forces"}] = {4, true, 12, 12};
  lock.entries[{1, "b"}] = {6, true, 4, 4};
  const DatabaseSchema schema = database_schema_from_lock(lock);
  const std::vector<DatabaseSchemaSection> sections = {
      {"forces", 12, 12, true, 0, 4}, {"b", 4, 4, true, 1, 6}, {"b", 8, 8, false, 2, 1}};
  EXPECT_EQ(schema.sections, sections);
  EXPECT_EQ(schema.positions_type, 4);
  EXPECT_EQ(schema_lock_from_database_schema(schema), lock);

  // Unsorted input, a repeated (kind, key) whose last copy wins, nothing checked.
  DatabaseSchema given;
  given.sections = {{"z", 0, 0, false, 2, 2},
                    {"a", 99, 7, true, 2, 250},
                    {"z", 8, 16, false, 2, 5},
                    {"a", 0, 0, false, 1, 13}};
  const SchemaLock converted = schema_lock_from_database_schema(given);
  const SchemaEntries expected = {
      {{1, "a"}, {13, false, 0, 0}}, {{2, "a"}, {250, true, 99, 7}}, {{2, "z"}, {5, false, 8, 16}}};
  EXPECT_EQ(converted.entries, expected);
  EXPECT_FALSE(converted.positions_type.has_value());
}

}  // namespace
}  // namespace crivane::storage::schema
