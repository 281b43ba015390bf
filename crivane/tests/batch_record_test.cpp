// The batch record writer against the engine's encoder, and its refusals.
#include "crivane/record/writer.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "crivane/atom.hpp"
#include "crivane/record/encoder.hpp"
#include "crivane/record/schema.hpp"
#include "crivane/storage/dtypes.hpp"

namespace crivane::storage::soa {
namespace {

using crivane::atom::Molecule;
using crivane::types::Mat3F32;
using crivane::types::Mat3F64;
using crivane::types::PropertyValue;
using crivane::types::Tensor;
using crivane::types::TensorData;
using crivane::types::Vec3F32;
using crivane::types::Vec3F64;
namespace dtypes = crivane::storage::dtypes;
namespace property = crivane::types::property;

ByteSpan span_of(const std::string& s) {
  return ByteSpan(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// What the batch hands the writer for one molecule, taken from a Molecule.
struct WriterInput {
  std::uint8_t positions_tag;
  Bytes positions;
  SoaBuiltinPayloads builtins;
  std::vector<Bytes> payloads;  // owns the custom payloads
  std::vector<SoaCustomSection> custom;
};

WriterInput writer_input(const Molecule& m) {
  WriterInput in;
  std::visit(
      [&](const auto& rows) {
        in.positions_tag = sizeof(rows[0]) == 12 ? dtypes::tag::kVec3F32 : dtypes::tag::kVec3F64;
        const auto* p = reinterpret_cast<const std::uint8_t*>(rows.data());
        in.positions.assign(p, p + rows.size() * sizeof(rows[0]));
      },
      m.positions);
  for (const BuiltinSection& s : builtin_sections(m)) {
    const RawPayload payload{ByteSpan(s.data, s.size), s.type_tag};
    const BuiltinKey key = *find_builtin_key(s.key);
    if (key == BuiltinKey::Energy) in.builtins.energy = payload;
    if (key == BuiltinKey::Forces) in.builtins.forces = payload;
    if (key == BuiltinKey::Charges) in.builtins.charges = payload;
    if (key == BuiltinKey::Velocities) in.builtins.velocities = payload;
    if (key == BuiltinKey::Cell) in.builtins.cell = payload;
    if (key == BuiltinKey::Stress) in.builtins.stress = payload;
    if (key == BuiltinKey::Name) in.builtins.name = payload.bytes;
    if (key == BuiltinKey::Pbc) in.builtins.pbc = {{s.data[0], s.data[1], s.data[2]}};
  }
  // The engine writes atom properties first, each map sorted; so does this.
  in.payloads.reserve(m.atom_properties.size() + m.properties.size());
  for (auto [kind, map] : {std::pair{SectionKind::AtomProperty, &m.atom_properties},
                           std::pair{SectionKind::MoleculeProperty, &m.properties}}) {
    for (const auto& [key, value] : *map) {
      in.payloads.push_back(dtypes::property_value_to_bytes(value).value());
      in.custom.push_back(
          {key, crivane::as_span(in.payloads.back()), kind, dtypes::property_type_tag(value)});
    }
  }
  return in;
}

Result<Bytes> write(const WriterInput& in, const Molecule& m) {
  return build_soa_record_unchecked(in.positions_tag, crivane::as_span(in.positions),
                                    ByteSpan(m.atomic_numbers.data(), m.atomic_numbers.size()),
                                    in.builtins, in.custom);
}

Molecule with_every_builtin(bool f64, std::size_t n) {
  Molecule m;
  m.atomic_numbers.assign(n, 6);
  if (f64) {
    std::vector<Vec3F64> rows(n, Vec3F64{0.25, -1.5, 3.0});
    m.positions = rows;
    m.forces = rows;
    m.velocities = std::vector<Vec3F64>(n, Vec3F64{7, 8, 9});
    m.energy = -2.5;
    m.charges = std::vector<double>(n, 0.125);
    m.cell = Mat3F64{{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}};
    m.stress = Mat3F64{{{9, 8, 7}, {6, 5, 4}, {3, 2, 1}}};
  } else {
    std::vector<Vec3F32> rows(n, Vec3F32{0.25f, -1.5f, 3.0f});
    m.positions = rows;
    m.forces = rows;
    m.velocities = std::vector<Vec3F32>(n, Vec3F32{7, 8, 9});
    m.energy = -2.5f;
    m.charges = std::vector<float>(n, 0.125f);
    m.cell = Mat3F32{{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}};
    m.stress = Mat3F32{{{9, 8, 7}, {6, 5, 4}, {3, 2, 1}}};
  }
  m.pbc = std::array<bool, 3>{true, false, true};
  m.name = "molecule";
  return m;
}

TEST(BatchRecordWriter, WritesTheEngineEncodersBytes) {
  struct Case {
    const char* what;
    Molecule molecule;
  };
  std::vector<Case> cases;
  cases.push_back({"every builtin, float32", with_every_builtin(false, 3)});
  cases.push_back({"every builtin, float64", with_every_builtin(true, 2)});
  cases.push_back({"no atoms, empty name", with_every_builtin(false, 0)});
  cases.back().molecule.name = "";
  Molecule bare;
  bare.positions = std::vector<Vec3F32>{{1, 2, 3}};
  bare.atomic_numbers = {8};
  cases.push_back({"positions only", bare});
  Molecule atom_property = bare;
  atom_property.atom_properties["q"] = std::vector<std::int32_t>{-4};
  cases.push_back({"one atom property", atom_property});
  Molecule tensor = with_every_builtin(true, 1);
  tensor.properties["t"] = TensorData(Tensor<std::int64_t>{{2, 3}, {1, 2, 3, 4, 5, 6}});
  cases.push_back({"one molecule tensor", tensor});
  Molecule both = with_every_builtin(false, 2);
  both.atom_properties["z"] = std::vector<Vec3F32>{{1, 2, 3}, {4, 5, 6}};
  both.atom_properties["a"] = std::vector<double>{1.5, 2.5};
  both.properties["s"] = std::string("text");
  both.properties["n"] = PropertyValue();
  cases.push_back({"both scopes, given in the engine's order", both});

  for (const Case& c : cases) {
    const WriterInput in = writer_input(c.molecule);
    auto written = write(in, c.molecule);
    ASSERT_TRUE(written) << c.what << ": " << written.error().message();
    auto encoded = serialize_molecule_soa(c.molecule, 3);
    ASSERT_TRUE(encoded) << c.what;
    EXPECT_EQ(*written, *encoded) << c.what;
  }
}

TEST(BatchRecordWriter, OneAtomWithEnergyIsTheFortyByteRecord) {
  const float xyz[3] = {1, 2, 3};
  const std::uint8_t number = 8;
  const double energy = 1.5;
  SoaBuiltinPayloads builtins;
  builtins.energy = RawPayload{ByteSpan(reinterpret_cast<const std::uint8_t*>(&energy), 8), 0};
  auto record =
      build_soa_record_unchecked(4, ByteSpan(reinterpret_cast<const std::uint8_t*>(xyz), 12),
                                 ByteSpan(&number, 1), builtins, {});
  ASSERT_TRUE(record);
  Bytes expected = {1, 0, 0, 0};
  for (float v : xyz) crivane::bytes::put(expected, v);
  expected.insert(expected.end(), {8, 1, 0, 0, 6, 'e', 'n', 'e', 'r', 'g', 'y', 0, 8, 0, 0, 0});
  crivane::bytes::put(expected, energy);
  EXPECT_EQ(expected.size(), 40u);
  EXPECT_EQ(*record, expected);
}

TEST(BatchRecordWriter, CustomSectionsKeepTheGivenOrder) {
  const Bytes positions(12, 0);
  const std::uint8_t number = 1;
  const Bytes one = {1}, two = {2, 2}, four = {4, 4, 4, 4};
  const SoaCustomSection custom[] = {{"b", crivane::as_span(one), 2, dtypes::tag::kString},
                                     {"a", crivane::as_span(two), 2, dtypes::tag::kString},
                                     {"a", crivane::as_span(four), 1, dtypes::tag::kF32Array}};
  auto record =
      build_soa_record_unchecked(4, crivane::as_span(positions), ByteSpan(&number, 1), {}, custom);
  ASSERT_TRUE(record);
  const Bytes sections(record->begin() + 17, record->end());
  const Bytes expected = {3, 0,                                   // section count
                          2, 1, 'b', 2, 1, 0, 0, 0, 1,            // "b"
                          2, 1, 'a', 2, 2, 0, 0, 0, 2, 2,         // "a", kind 2
                          1, 1, 'a', 6, 4, 0, 0, 0, 4, 4, 4, 4};  // "a", kind 1
  EXPECT_EQ(sections, expected);
  auto schema = crivane::storage::schema::record_schema(*record, 3, 4);
  ASSERT_TRUE(schema);
  EXPECT_EQ(schema->entries.size(), 3u);
}

TEST(BatchRecordWriter, RefusesWhatTheLayoutCannotHold) {
  const Bytes positions(24, 0);
  const Bytes numbers(2, 1);
  const std::string long_key(256, 'k');
  const std::string longest_key(255, 'k');
  const Bytes payload = {9};
  // A span whose length alone is refused: the writer must not read it.
  const ByteSpan huge(payload.data(), std::size_t{1} << 32);
  struct Case {
    const char* what;
    std::uint8_t positions_tag;
    std::size_t positions_len;
    std::size_t numbers_len;
    std::vector<SoaCustomSection> custom;
    std::string error;  // empty: accepted
  };
  const Case cases[] = {
      {"tag 5", 5, 24, 2, {}, "Unsupported positions type tag 5"},
      {"tag 0", 0, 24, 2, {}, "Unsupported positions type tag 0"},
      {"ragged positions", 4, 23, 2, {}, "positions payload length (23) is not a multiple of 12"},
      {"float64 rows", 7, 24, 1, {}, ""},
      {"float64 rows, two numbers",
       7,
       24,
       2,
       {},
       "Atomic numbers length (2) doesn't match atom count (1)"},
      {"key of 255 bytes", 4, 24, 2, {{longest_key, crivane::as_span(payload), 2, 2}}, ""},
      {"key of 256 bytes",
       4,
       24,
       2,
       {{long_key, crivane::as_span(payload), 2, 2}},
       "Section key '" + long_key + "' is too long"},
      {"payload of 2^32 bytes", 4, 24, 2, {{"p", huge, 2, 2}}, "Section 'p' payload is too large"},
      {"first failing section wins",
       4,
       24,
       2,
       {{"p", huge, 2, 2}, {long_key, crivane::as_span(payload), 2, 2}},
       "Section 'p' payload is too large"},
  };
  for (const Case& c : cases) {
    auto record =
        build_soa_record_unchecked(c.positions_tag, ByteSpan(positions.data(), c.positions_len),
                                   ByteSpan(numbers.data(), c.numbers_len), {}, c.custom);
    if (c.error.empty()) {
      EXPECT_TRUE(record) << c.what << ": " << record.error().message();
    } else {
      ASSERT_FALSE(record) << c.what;
      EXPECT_EQ(record.error().message(), c.error) << c.what;
    }
  }
  auto written = build_soa_record_unchecked(
      4, ByteSpan(positions.data(), 24), ByteSpan(numbers.data(), 2), {},
      std::vector<SoaCustomSection>{{longest_key, crivane::as_span(payload), 2, 2}});
  ASSERT_TRUE(written);
  EXPECT_EQ((*written)[4 + 24 + 2 + 2 + 1], 255);
}

TEST(BatchRecordWriter, SectionCountLimitCountsTheBuiltins) {
  const Bytes positions(12, 0);
  const std::uint8_t number = 1;
  const double scalar = 0;
  const ByteSpan eight(reinterpret_cast<const std::uint8_t*>(&scalar), 8);
  SoaBuiltinPayloads all;
  all.energy = all.forces = all.charges = all.velocities = RawPayload{eight, 0};
  all.cell = all.stress = RawPayload{eight, 0};
  all.name = eight;
  all.pbc = {{1, 0, 1}};
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < kMaxSections - 8 + 1; ++i) keys.push_back(std::to_string(i));
  std::vector<SoaCustomSection> custom;
  for (std::size_t i = 0; i + 1 < keys.size(); ++i) {
    custom.push_back({keys[i], ByteSpan(), 2, dtypes::tag::kNone});
  }
  auto full =
      build_soa_record_unchecked(4, crivane::as_span(positions), ByteSpan(&number, 1), all, custom);
  ASSERT_TRUE(full) << full.error().message();
  EXPECT_EQ(crivane::bytes::load_u16(full->data() + 4 + 12 + 1), 65535);
  custom.push_back({keys.back(), ByteSpan(), 2, dtypes::tag::kNone});
  auto over =
      build_soa_record_unchecked(4, crivane::as_span(positions), ByteSpan(&number, 1), all, custom);
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().message(), "Too many SOA sections");
}

TEST(BatchRecordWriter, RefusedSectionLeavesTheBufferAlone) {
  Bytes record = {1, 2, 3};
  const std::string long_key(256, 'x');
  auto refused = write_soa_section_raw(record, 2, long_key, 2, {});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "Section key '" + long_key + "' is too long");
  EXPECT_EQ(record, (Bytes{1, 2, 3}));
  const std::string text = "hi";
  ASSERT_TRUE(write_soa_section_raw(record, 1, "k", 2, span_of(text)));
  EXPECT_EQ(record, (Bytes{1, 2, 3, 1, 1, 'k', 2, 2, 0, 0, 0, 'h', 'i'}));
}

}  // namespace
}  // namespace crivane::storage::soa
