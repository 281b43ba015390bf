#include "crivane/record/encoder.hpp"

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "crivane/storage/dtypes.hpp"
#include "support/expect.hpp"
#include "support/le_bytes.hpp"

namespace crivane::storage::soa {
namespace {

using atom::Molecule;
using crivane::testing::fails_with;
using crivane::testing::LeBytes;
using crivane::testing::succeeds;
using crivane::testing::to_vec;
using types::PropertyValue;

Molecule f32_molecule(std::vector<types::Vec3F32> positions, std::vector<std::uint8_t> numbers) {
  return *Molecule::create(std::move(positions), std::move(numbers));
}

Molecule empty_molecule() { return f32_molecule({}, {}); }

struct Section {
  std::uint8_t kind;
  std::string key;
  std::uint8_t tag;
  std::vector<std::uint8_t> payload;
};

// Splits a record that this encoder wrote into its sections.
std::vector<Section> sections_of(const Bytes& rec, std::size_t row) {
  const std::size_t n = bytes::load_u32(rec.data());
  std::size_t p = 4 + n * (row + 1);
  const std::size_t count = bytes::load_u16(rec.data() + p);
  p += 2;
  std::vector<Section> out;
  for (std::size_t i = 0; i < count; ++i) {
    Section s;
    s.kind = rec.at(p);
    const std::size_t len = rec.at(p + 1);
    s.key.assign(reinterpret_cast<const char*>(rec.data() + p + 2), len);
    s.tag = rec.at(p + 2 + len);
    const std::size_t size = bytes::load_u32(rec.data() + p + 3 + len);
    s.payload.assign(rec.data() + p + 7 + len, rec.data() + p + 7 + len + size);
    p += 7 + len + size;
    out.push_back(std::move(s));
  }
  EXPECT_EQ(p, rec.size()) << "bytes after the last section";
  return out;
}

TEST(SerializeTest, ExactRecords) {
  Molecule energy_only = f32_molecule({{1, 2, 3}}, {8});
  energy_only.energy = types::FloatScalarData(1.5);

  // Two float64 atoms with every builtin in float64 (format 3 only).
  Molecule full = *Molecule::create_f64({{1, 2, 3}, {4, 5, 6}}, {1, 6});
  full.charges = types::FloatArrayData(std::vector<double>{-0.5, 0.5});
  full.cell = types::Mat3Data(types::Mat3F64{{{10, 0, 0}, {0, 11, 0}, {0, 0, 12}}});
  full.energy = types::FloatScalarData(-3.25);
  full.forces = types::Vec3Data(std::vector<types::Vec3F64>{{0.1, 0.2, 0.3}, {0.4, 0.5, 0.6}});
  full.name = "CH";
  full.pbc = std::array<bool, 3>{true, false, true};
  full.stress = types::Mat3Data(types::Mat3F64{{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}});
  full.velocities = types::Vec3Data(std::vector<types::Vec3F64>{{7, 8, 9}, {1, 1, 1}});
  const auto full_expected =
      LeBytes()
          .u32(2)
          .f64s({1, 2, 3, 4, 5, 6})
          .u8(1)
          .u8(6)
          .u16(8)
          .section(0, "charges", 3, LeBytes().f64s({-0.5, 0.5}).bytes())
          .section(0, "cell", 10, LeBytes().f64s({10, 0, 0, 0, 11, 0, 0, 0, 12}).bytes())
          .section(0, "energy", 0, LeBytes().f64(-3.25).bytes())
          .section(0, "forces", 7, LeBytes().f64s({0.1, 0.2, 0.3, 0.4, 0.5, 0.6}).bytes())
          .section(0, "name", 2, {'C', 'H'})
          .section(0, "pbc", 9, {1, 0, 1})
          .section(0, "stress", 10, LeBytes().f64s({1, 2, 3, 4, 5, 6, 7, 8, 9}).bytes())
          .section(0, "velocities", 7, LeBytes().f64s({7, 8, 9, 1, 1, 1}).bytes())
          .bytes();

  // The float32 variants of the same fields.
  Molecule narrow = f32_molecule({{1, 2, 3}}, {3});
  narrow.charges = types::FloatArrayData(std::vector<float>{0.25f});
  narrow.cell = types::Mat3Data(types::Mat3F32{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}});
  narrow.energy = types::FloatScalarData(2.5f);
  narrow.forces = types::Vec3Data(std::vector<types::Vec3F32>{{-1, -2, -3}});
  narrow.stress = types::Mat3Data(types::Mat3F32{{{9, 8, 7}, {6, 5, 4}, {3, 2, 1}}});
  narrow.velocities = types::Vec3Data(std::vector<types::Vec3F32>{{0.5f, 0, 0}});
  const auto narrow_expected =
      LeBytes()
          .u32(1)
          .f32s({1, 2, 3})
          .u8(3)
          .u16(6)
          .section(0, "charges", 6, LeBytes().f32(0.25f).bytes())
          .section(0, "cell", 12, LeBytes().f32s({1, 0, 0, 0, 1, 0, 0, 0, 1}).bytes())
          .section(0, "energy", 11, LeBytes().f32(2.5f).bytes())
          .section(0, "forces", 4, LeBytes().f32s({-1, -2, -3}).bytes())
          .section(0, "stress", 12, LeBytes().f32s({9, 8, 7, 6, 5, 4, 3, 2, 1}).bytes())
          .section(0, "velocities", 4, LeBytes().f32s({0.5f, 0, 0}).bytes())
          .bytes();

  struct Case {
    const char* name;
    Molecule molecule;
    std::uint32_t format;
    std::vector<std::uint8_t> expected;
  };
  const Case cases[] = {
      {"empty, format 2", empty_molecule(), 2, {0, 0, 0, 0, 0, 0}},
      {"empty, format 3", empty_molecule(), 3, {0, 0, 0, 0, 0, 0}},
      {"one atom with energy", energy_only, 2,
       LeBytes()
           .u32(1)
           .f32s({1, 2, 3})
           .u8(8)
           .u16(1)
           .section(0, "energy", 0, LeBytes().f64(1.5).bytes())
           .bytes()},
      {"every builtin, float64", full, 3, full_expected},
      {"every builtin, float32", narrow, 3, narrow_expected},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto rec = serialize_molecule_soa(c.molecule, c.format);
    ASSERT_TRUE(succeeds(rec));
    EXPECT_EQ(to_vec(*rec), c.expected);
  }
  EXPECT_EQ(serialize_molecule_soa(energy_only, 2)->size(), 40u);
}

TEST(SerializeTest, RecordFormatRefusals) {
  auto with = [](auto set) {
    Molecule m = f32_molecule({{0, 0, 0}}, {1});
    set(m);
    return m;
  };
  const Molecule f64_positions = *Molecule::create_f64({{0, 0, 0}}, {1});
  const Molecule f64_forces = with([](Molecule& m) {
    m.forces = types::Vec3Data(std::vector<types::Vec3F64>{{1, 2, 3}});
  });
  const Molecule f32_charges =
      with([](Molecule& m) { m.charges = types::FloatArrayData(std::vector<float>{1}); });
  const Molecule f32_energy = with([](Molecule& m) { m.energy = types::FloatScalarData(1.0f); });
  const Molecule f32_cell = with([](Molecule& m) { m.cell = types::Mat3Data(types::Mat3F32{}); });
  const Molecule f32_stress =
      with([](Molecule& m) { m.stress = types::Mat3Data(types::Mat3F32{}); });
  const Molecule f64_velocities = with([](Molecule& m) {
    m.velocities = types::Vec3Data(std::vector<types::Vec3F64>{{1, 2, 3}});
  });
  // Charges come before forces, so their message wins.
  const Molecule two_faults = with([](Molecule& m) {
    m.forces = types::Vec3Data(std::vector<types::Vec3F64>{{1, 2, 3}});
    m.charges = types::FloatArrayData(std::vector<float>{1});
  });
  struct Case {
    const char* name;
    const Molecule& molecule;
    const char* error;
  };
  const Case cases[] = {
      {"float64 positions", f64_positions, "record format 2 does not support float64 positions"},
      {"float64 forces", f64_forces, "record format 2 does not support float64 forces"},
      {"float32 charges", f32_charges, "record format 2 does not support float32 charges"},
      {"float32 energy", f32_energy, "record format 2 does not support float32 energy"},
      {"float32 cell", f32_cell, "record format 2 does not support float32 cell"},
      {"float32 stress", f32_stress, "record format 2 does not support float32 stress"},
      {"float64 velocities", f64_velocities, "record format 2 does not support float64 velocities"},
      {"charges before forces", two_faults, "record format 2 does not support float32 charges"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(fails_with(serialize_molecule_soa(c.molecule, 2), c.error));
    EXPECT_TRUE(fails_with(validate_record_format_compat(c.molecule, 2), c.error));
    EXPECT_EQ(minimum_record_format_for_molecule(c.molecule), 3u);
    EXPECT_TRUE(succeeds(serialize_molecule_soa(c.molecule, 3)));
    for (std::uint32_t bad : {0u, 1u, 4u}) {
      EXPECT_TRUE(fails_with(serialize_molecule_soa(c.molecule, bad),
                             "Unsupported record format " + std::to_string(bad)));
    }
  }
}

TEST(SerializeTest, MinimumRecordFormat) {
  Molecule plain = f32_molecule({{0, 0, 0}}, {1});
  plain.name = "named";
  plain.pbc = std::array<bool, 3>{true, true, true};
  Molecule format2_dtypes = f32_molecule({{0, 0, 0}}, {1});
  format2_dtypes.charges = types::FloatArrayData(std::vector<double>{1});
  format2_dtypes.energy = types::FloatScalarData(1.0);
  format2_dtypes.forces = types::Vec3Data(std::vector<types::Vec3F32>{{1, 2, 3}});
  Molecule f32_energy = f32_molecule({}, {});
  f32_energy.energy = types::FloatScalarData(1.0f);
  EXPECT_EQ(minimum_record_format_for_molecule(plain), 2u);
  EXPECT_EQ(minimum_record_format_for_molecule(format2_dtypes), 2u);
  EXPECT_EQ(minimum_record_format_for_molecule(f32_energy), 3u);
}

TEST(SerializeTest, CustomSectionsInKeyOrderAfterBuiltins) {
  Molecule m = f32_molecule({{0, 0, 0}}, {1});
  m.energy = types::FloatScalarData(1.0);
  for (const char* key : {"b", "\xc3\xa9", "a", "z", "ab"})
    m.atom_properties[key] = PropertyValue();
  for (const char* key : {"a", "0"}) m.properties[key] = PropertyValue(std::int64_t{1});
  auto rec = serialize_molecule_soa(m, 2);
  ASSERT_TRUE(succeeds(rec));
  std::vector<std::pair<int, std::string>> order;
  for (const auto& s : sections_of(*rec, 12)) order.emplace_back(s.kind, s.key);
  const std::vector<std::pair<int, std::string>> expected = {
      {0, "energy"}, {1, "a"}, {1, "ab"}, {1, "b"}, {1, "z"}, {1, "\xc3\xa9"}, {2, "0"}, {2, "a"}};
  EXPECT_EQ(order, expected);
}

TEST(SerializeTest, CustomPayloadsMatchValueEncoding) {
  Molecule m = f32_molecule({{0, 0, 0}, {1, 1, 1}}, {1, 2});
  m.properties = {
      {"f", PropertyValue(2.0)},
      {"i", PropertyValue(std::int64_t{-3})},
      {"s", PropertyValue(std::string("text"))},
      {"fa", PropertyValue(std::vector<double>{1, 2, 3})},
      {"ia", PropertyValue(std::vector<std::int64_t>{4})},
      {"v64", PropertyValue(std::vector<types::Vec3F64>{{1, 2, 3}})},
      {"t", PropertyValue(std::in_place_index<10>, types::Tensor<std::int64_t>{{2, 1}, {5, 6}})},
  };
  m.atom_properties = {
      {"v32", PropertyValue(std::vector<types::Vec3F32>{{1, 2, 3}, {4, 5, 6}})},
      {"f32", PropertyValue(std::vector<float>{1, 2})},
      {"i32", PropertyValue(std::vector<std::int32_t>{7, 8})},
      {"t", PropertyValue(std::in_place_index<10>, types::Tensor<float>{{2}, {0.5f, 1.5f}})},
      {"none", PropertyValue()},
  };
  auto rec = serialize_molecule_soa(m, 2);
  ASSERT_TRUE(succeeds(rec));
  const auto sections = sections_of(*rec, 12);
  ASSERT_EQ(sections.size(), m.properties.size() + m.atom_properties.size());
  for (const auto& s : sections) {
    SCOPED_TRACE(s.key);
    const auto& value = (s.kind == 1 ? m.atom_properties : m.properties).at(s.key);
    EXPECT_EQ(s.tag, dtypes::property_type_tag(value));
    EXPECT_EQ(s.payload, to_vec(*dtypes::property_value_to_bytes(value)));
  }
}

TEST(SerializeTest, KeyLengthLimit) {
  const std::string k255(255, 'k'), k256(256, 'k');
  for (bool per_atom : {true, false}) {
    SCOPED_TRACE(per_atom ? "atom_properties" : "properties");
    Molecule ok = empty_molecule();
    (per_atom ? ok.atom_properties : ok.properties)[k255] = PropertyValue();
    auto rec = serialize_molecule_soa(ok, 2);
    ASSERT_TRUE(succeeds(rec));
    ASSERT_EQ(rec->size(), 6u + 7 + 255);
    EXPECT_EQ((*rec)[7], 255);

    Molecule bad = empty_molecule();
    (per_atom ? bad.atom_properties : bad.properties)[k256] = PropertyValue();
    EXPECT_TRUE(
        fails_with(serialize_molecule_soa(bad, 2), "Section key '" + k256 + "' is too long"));
  }
}

TEST(SerializeTest, SectionCountLimit) {
  auto with_sections = [](std::size_t custom, bool energy) {
    Molecule m = empty_molecule();
    if (energy) m.energy = types::FloatScalarData(0.0);
    auto hint = m.properties.end();
    for (std::size_t i = 0; i < custom; ++i) {
      char key[24];
      std::snprintf(key, sizeof key, "%06zu", i);
      hint = m.properties.emplace_hint(hint, key, PropertyValue());
    }
    return m;
  };
  struct Case {
    std::size_t custom;
    bool energy;
    bool fits;
  };
  for (const Case& c : {Case{65535, false, true}, Case{65534, true, true},
                        Case{65536, false, false}, Case{65535, true, false}}) {
    SCOPED_TRACE(std::to_string(c.custom) + (c.energy ? " + energy" : ""));
    auto rec = serialize_molecule_soa(with_sections(c.custom, c.energy), 2);
    if (c.fits) {
      ASSERT_TRUE(succeeds(rec));
      EXPECT_EQ(bytes::load_u16(rec->data() + 4), 65535);
    } else {
      EXPECT_TRUE(fails_with(rec, "Too many SOA sections"));
    }
  }
}

TEST(SerializeTest, FirstFaultInRecordOrder) {
  const PropertyValue bad_tensor(std::in_place_index<10>, types::Tensor<double>{{2, 3}, {1, 2}});
  const std::string long_key(256, 'x');

  Molecule atom_tensor_first = empty_molecule();
  atom_tensor_first.atom_properties["t"] = bad_tensor;
  atom_tensor_first.properties[long_key] = PropertyValue();

  Molecule long_key_first = empty_molecule();
  long_key_first.atom_properties[long_key] = PropertyValue();
  long_key_first.properties["t"] = bad_tensor;

  Molecule mismatched = empty_molecule();
  mismatched.atomic_numbers = {1, 2};
  mismatched.properties["t"] = bad_tensor;

  EXPECT_TRUE(fails_with(serialize_molecule_soa(atom_tensor_first, 2),
                         "Tensor shape [2, 3] expects 6 values, got 2"));
  EXPECT_TRUE(fails_with(serialize_molecule_soa(long_key_first, 2),
                         "Section key '" + long_key + "' is too long"));
  EXPECT_TRUE(fails_with(serialize_molecule_soa(mismatched, 2),
                         "Atomic numbers length (2) doesn't match atom count (0)"));
}

TEST(SerializeTest, PerAtomBuiltinLengthsAreLeftToTheSchema) {
  Molecule m = f32_molecule({{0, 0, 0}, {1, 1, 1}}, {1, 1});
  m.forces = types::Vec3Data(std::vector<types::Vec3F32>{{1, 2, 3}});
  auto rec = serialize_molecule_soa(m, 2);
  ASSERT_TRUE(succeeds(rec));
  const auto sections = sections_of(*rec, 12);
  ASSERT_EQ(sections.size(), 1u);
  EXPECT_EQ(sections[0].payload.size(), 12u);
}

TEST(LimitsTest, AtomCountAndPayloadLength) {
  EXPECT_TRUE(succeeds(check_atom_count(4294967295ull)));
  EXPECT_TRUE(fails_with(check_atom_count(4294967296ull),
                         "Molecule has 4294967296 atoms; a record holds at most 4294967295"));
  EXPECT_TRUE(succeeds(check_section_limits("k", 4294967295ull)));
  EXPECT_TRUE(
      fails_with(check_section_limits("k", 4294967296ull), "Section 'k' payload is too large"));
  EXPECT_TRUE(fails_with(check_section_limits(std::string(256, 'k'), 0),
                         "Section key '" + std::string(256, 'k') + "' is too long"));
}

TEST(ResolvePositionsTypeTest, Table) {
  struct Case {
    std::uint32_t format;
    std::optional<std::uint8_t> positions;
    int expected;  // -1: fails with `error`
    const char* error;
  };
  const Case cases[] = {
      {2, std::nullopt, 4, nullptr},
      {2, 4, 4, nullptr},
      {2, 9, 4, nullptr},
      {2, 7, -1, "record format 2 does not support float64 positions"},
      {3, std::nullopt, -1, "Missing positions dtype for record format 3"},
      {3, 7, 7, nullptr},
      {3, 4, 4, nullptr},
      {3, 9, 9, nullptr},  // returned unchecked; callers refuse it
      {4, 4, -1, "Unsupported record format 4"},
      {0, std::nullopt, -1, "Unsupported record format 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.format) + " / " +
                 (c.positions ? std::to_string(*c.positions) : "unknown"));
    auto r = resolve_positions_type(c.format, c.positions);
    if (c.error) {
      EXPECT_TRUE(fails_with(r, c.error));
    } else {
      ASSERT_TRUE(succeeds(r));
      EXPECT_EQ(*r, c.expected);
    }
  }
}

TEST(VocabularyTest, BuiltinKeysAndPerAtomSections) {
  struct Case {
    std::uint8_t kind;
    std::string_view key;
    std::optional<BuiltinKey> builtin;  // what the key names under kind 0
    bool per_atom;
  };
  const Case cases[] = {
      {SectionKind::Builtin, "forces", BuiltinKey::Forces, true},
      {SectionKind::Builtin, "charges", BuiltinKey::Charges, true},
      {SectionKind::Builtin, "velocities", BuiltinKey::Velocities, true},
      {SectionKind::Builtin, "energy", BuiltinKey::Energy, false},
      {SectionKind::Builtin, "name", BuiltinKey::Name, false},
      {SectionKind::Builtin, "Forces", std::nullopt, false},  // exact bytes only
      {SectionKind::Builtin, "force", std::nullopt, false},
      {SectionKind::Builtin, std::string_view("forces\0", 7), std::nullopt, false},
      {SectionKind::AtomProperty, "energy", BuiltinKey::Energy, true},
      {SectionKind::AtomProperty, "", std::nullopt, true},
      {SectionKind::MoleculeProperty, "forces", BuiltinKey::Forces, false},
      {3, "charges", BuiltinKey::Charges, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.kind) + " " + std::string(c.key));
    EXPECT_EQ(find_builtin_key(c.key), c.builtin);
    if (c.builtin) EXPECT_EQ(key_of(*c.builtin), c.key);
    EXPECT_EQ(is_per_atom_section(c.kind, c.key), c.per_atom);
  }
  for (std::uint8_t t = 0; t < 20; ++t) {
    const std::size_t want = t == 4 ? 12 : t == 7 ? 24 : 0;
    EXPECT_EQ(positions_row_bytes(t), want) << unsigned{t};
  }
}

TEST(WriteSectionTest, AppendsToTheBuffer) {
  Bytes buf;
  buf.push_back(0xAA);
  const std::uint8_t payload[] = {1, 2, 3};
  write_section(buf, 2, "key", 8, ByteSpan(payload));
  write_section(buf, 1, "", 13, ByteSpan());
  // clang-format off
  const std::vector<std::uint8_t> expected = {
      0xAA,                                            // what was there
      2, 3, 'k', 'e', 'y', 8, 3, 0, 0, 0, 1, 2, 3,     // kind 2, "key", tag 8, 3 bytes
      1, 0, 13, 0, 0, 0, 0};                           // kind 1, "", tag 13, empty
  // clang-format on
  EXPECT_EQ(to_vec(buf), expected);
}

}  // namespace
}  // namespace crivane::storage::soa
