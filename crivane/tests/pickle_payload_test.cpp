#include "crivane/record/pickle.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crivane/record/encoder.hpp"

namespace crivane::storage::soa {
namespace {

using crivane::Bytes;
using crivane::atom::Molecule;
using crivane::types::FloatArrayData;
using crivane::types::FloatScalarData;
using crivane::types::Mat3Data;
using crivane::types::Mat3F32;
using crivane::types::Mat3F64;
using crivane::types::PropertyValue;
using crivane::types::Tensor;
using crivane::types::TensorData;
using crivane::types::Vec3Data;
using crivane::types::Vec3F32;
using crivane::types::Vec3F64;
namespace property = crivane::types::property;

// Payload bytes by hand, field by field.
class P {
 public:
  P& u8(std::uint8_t v) { return put(v); }
  P& u32(std::uint32_t v) { return put(v); }
  P& u64(std::uint64_t v) { return put(v); }
  P& i32(std::int32_t v) { return put(v); }
  P& i64(std::int64_t v) { return put(v); }
  P& f32(float v) { return put(v); }
  P& f64(double v) { return put(v); }
  P& raw(std::string_view s) {
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    return *this;
  }
  P& text(std::string_view s) { return u64(s.size()).raw(s); }
  P& bytes(const Bytes& b) {
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
  }
  Bytes done() const { return bytes_; }

 private:
  template <class T>
  P& put(T v) {
    crivane::bytes::put(bytes_, v);
    return *this;
  }
  Bytes bytes_;
};

// Name absent, positions F32 with no rows, no atomic numbers.
P empty_head() { return P().u8(0).u32(0).u64(0).u64(0); }
// The seven optional fields absent.
P& absent_optionals(P& p) {
  for (int i = 0; i < 7; ++i) p.u8(0);
  return p;
}

Bytes empty_payload() {
  P p = empty_head();
  return absent_optionals(p).u64(0).u64(0).done();
}

Molecule one_carbon() {
  Molecule m = Molecule::create({{1.0f, 2.0f, 3.0f}}, {6}).value();
  m.energy = FloatScalarData(std::in_place_index<1>, -1.5);
  return m;
}

std::string decode_error(const Bytes& payload) {
  auto m = decode_pickle_payload(payload);
  return m ? std::string("<decoded>") : m.error().to_string();
}

// ---- writing -----------------------------------------------------------------

TEST(PicklePayloadTest, WorkedExampleIs69Bytes) {
  const Bytes expected = P().u8(0)  // name
                             .u32(0)
                             .u64(1)
                             .f32(1.0f)
                             .f32(2.0f)
                             .f32(3.0f)  // positions
                             .u64(1)
                             .u8(6)  // atomic numbers
                             .u8(0)  // forces
                             .u8(1)
                             .u32(1)
                             .f64(-1.5)  // energy
                             .u8(0)
                             .u8(0)
                             .u8(0)
                             .u8(0)
                             .u8(0)  // charges ... stress
                             .u64(0)
                             .u64(0)  // the two maps
                             .done();
  ASSERT_EQ(expected.size(), 69u);
  const Molecule m = one_carbon();
  EXPECT_EQ(pickle_payload_size(m), 69u);
  EXPECT_EQ(encode_pickle_payload(m), expected);
  EXPECT_EQ(decode_pickle_payload(expected).value(), m);
}

TEST(PicklePayloadTest, EmptyMoleculeIs44Bytes) {
  const Molecule m = Molecule::create({}, {}).value();
  const Bytes payload = encode_pickle_payload(m);
  EXPECT_EQ(payload.size(), 44u);
  EXPECT_EQ(payload, empty_payload());
  EXPECT_EQ(decode_pickle_payload(payload).value(), m);
}

TEST(PicklePayloadTest, TagMapIs31Bytes) {
  Molecule m = Molecule::create({}, {}).value();
  m.properties.emplace("tag", PropertyValue(std::in_place_index<property::Int>, 7));
  const Bytes payload = encode_pickle_payload(m);
  const Bytes map = P().u64(1).text("tag").u32(2).i64(7).done();
  ASSERT_EQ(map.size(), 31u);
  ASSERT_EQ(payload.size(), 44u - 8u + 31u);
  EXPECT_EQ(Bytes(payload.end() - 31, payload.end()), map);
  EXPECT_EQ(decode_pickle_payload(payload).value(), m);
}

// Every variant of every field, as laid out by hand.
TEST(PicklePayloadTest, EveryVariantHasItsLayout) {
  Molecule m = Molecule::create_f64({{0.5, -1.0, 2.0}, {3.0, 4.0, 5.0}}, {1, 8}).value();
  m.name = "w\u00e4ter";
  m.forces = Vec3Data(std::in_place_index<0>, std::vector<Vec3F32>{{1, 2, 3}, {4, 5, 6}});
  m.energy = FloatScalarData(std::in_place_index<0>, 2.5f);
  m.charges = FloatArrayData(std::in_place_index<0>, std::vector<float>{0.25f, -0.25f});
  m.velocities = Vec3Data(std::in_place_index<1>, std::vector<Vec3F64>{{7, 8, 9}, {1, 1, 1}});
  m.cell = Mat3Data(std::in_place_index<1>, Mat3F64{{{1, 0, 0}, {0, 2, 0}, {0, 0, 3}}});
  m.pbc = std::array<bool, 3>{true, false, true};
  m.stress = Mat3Data(std::in_place_index<0>, Mat3F32{{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}});
  m.atom_properties.emplace("a", PropertyValue(std::in_place_index<property::Int32Array>,
                                               std::vector<std::int32_t>{-1, 2}));
  m.atom_properties.emplace("t", PropertyValue(std::in_place_index<property::Tensor>,
                                               TensorData(Tensor<std::int64_t>{{2, 1}, {5, 6}})));
  auto& props = m.properties;
  props.emplace("n", PropertyValue(std::in_place_index<property::None>));
  props.emplace("f", PropertyValue(std::in_place_index<property::Float>, 0.125));
  props.emplace("s", PropertyValue(std::in_place_index<property::String>, "x"));
  props.emplace("fa",
                PropertyValue(std::in_place_index<property::FloatArray>, std::vector<double>{1.5}));
  props.emplace("v3", PropertyValue(std::in_place_index<property::Vec3Array>,
                                    std::vector<Vec3F32>{{1, 2, 3}}));
  props.emplace(
      "ia", PropertyValue(std::in_place_index<property::IntArray>, std::vector<std::int64_t>{-9}));
  props.emplace("f32",
                PropertyValue(std::in_place_index<property::Float32Array>, std::vector<float>{}));
  props.emplace("v64", PropertyValue(std::in_place_index<property::Vec3ArrayF64>,
                                     std::vector<Vec3F64>{{4, 5, 6}}));
  props.emplace("scalar", PropertyValue(std::in_place_index<property::Tensor>,
                                        TensorData(Tensor<float>{{}, {1.5f}})));
  props.emplace("d", PropertyValue(std::in_place_index<property::Tensor>,
                                   TensorData(Tensor<double>{{0, 3}, {}})));
  props.emplace("i", PropertyValue(std::in_place_index<property::Tensor>,
                                   TensorData(Tensor<std::int32_t>{{1}, {42}})));

  P p;
  p.u8(1).text("w\u00e4ter");
  p.u32(1).u64(2).f64(0.5).f64(-1.0).f64(2.0).f64(3.0).f64(4.0).f64(5.0);
  p.u64(2).u8(1).u8(8);
  p.u8(1).u32(0).u64(2);
  for (float v : {1, 2, 3, 4, 5, 6}) p.f32(v);
  p.u8(1).u32(0).f32(2.5f);
  p.u8(1).u32(0).u64(2).f32(0.25f).f32(-0.25f);
  p.u8(1).u32(1).u64(2);
  for (double v : {7, 8, 9, 1, 1, 1}) p.f64(v);
  p.u8(1).u32(1);
  for (double v : {1, 0, 0, 0, 2, 0, 0, 0, 3}) p.f64(v);
  p.u8(1).u8(1).u8(0).u8(1);
  p.u8(1).u32(0);
  for (float v : {1, 2, 3, 4, 5, 6, 7, 8, 9}) p.f32(v);
  // Maps in their iteration order (sorted by key here).
  p.u64(2);
  p.text("a").u32(9).u64(2).i32(-1).i32(2);
  p.text("t").u32(10).u32(3).u64(2).u64(2).u64(1).u64(2).i64(5).i64(6);
  p.u64(11);
  p.text("d").u32(10).u32(1).u64(2).u64(0).u64(3).u64(0);
  p.text("f").u32(1).f64(0.125);
  p.text("f32").u32(7).u64(0);
  p.text("fa").u32(4).u64(1).f64(1.5);
  p.text("i").u32(10).u32(2).u64(1).u64(1).u64(1).i32(42);
  p.text("ia").u32(6).u64(1).i64(-9);
  p.text("n").u32(0);
  p.text("s").u32(3).text("x");
  p.text("scalar").u32(10).u32(0).u64(0).u64(1).f32(1.5f);
  p.text("v3").u32(5).u64(1).f32(1).f32(2).f32(3);
  p.text("v64").u32(8).u64(1).f64(4).f64(5).f64(6);
  const Bytes expected = p.done();

  EXPECT_EQ(pickle_payload_size(m), expected.size());
  EXPECT_EQ(encode_pickle_payload(m), expected);
  EXPECT_EQ(decode_pickle_payload(expected).value(), m);
}

TEST(PicklePayloadTest, BitPatternsPassUnchanged) {
  const double nan64 = std::bit_cast<double>(0x7FF8000000000123ull);
  const float nan32 = std::bit_cast<float>(0xFFC00042u);
  Molecule m = Molecule::create({{nan32, -0.0f, INFINITY}}, {1}).value();
  m.energy = FloatScalarData(std::in_place_index<1>, nan64);
  const Bytes once = encode_pickle_payload(m);
  const Bytes twice = encode_pickle_payload(decode_pickle_payload(once).value());
  EXPECT_EQ(once, twice);
}

// ---- reading -----------------------------------------------------------------

TEST(PicklePayloadTest, TrailingBytesAreIgnoredAndLaterKeysWin) {
  Bytes payload = encode_pickle_payload(one_carbon());
  payload.push_back(0xFF);
  payload.push_back(0x02);
  EXPECT_EQ(decode_pickle_payload(payload).value(), one_carbon());

  P p = empty_head();
  absent_optionals(p).u64(0).u64(2).text("k").u32(2).i64(1).text("k").u32(1).f64(2.0);
  const Molecule m = decode_pickle_payload(p.done()).value();
  ASSERT_EQ(m.properties.size(), 1u);
  EXPECT_EQ(m.properties.at("k"), PropertyValue(std::in_place_index<property::Float>, 2.0));
}

TEST(PicklePayloadTest, EveryCutShortPayloadFails) {
  const Bytes full = encode_pickle_payload(one_carbon());
  for (std::size_t n = 0; n < full.size(); ++n) {
    EXPECT_EQ(decode_error(Bytes(full.begin(), full.begin() + n)),
              "io error: unexpected end of file")
        << n;
  }
}

struct Refusal {
  const char* name;
  Bytes payload;
  std::string error;
};

P with_name(std::string_view raw_name) { return P().u8(1).u64(raw_name.size()).raw(raw_name); }

std::vector<Refusal> refusals() {
  const std::string eof = "io error: unexpected end of file";
  std::vector<Refusal> cases;
  cases.push_back({"empty", Bytes(), eof});
  cases.push_back(
      {"name longer than the rest", P().u8(1).u64(100).raw("abc").done(), "io error: "});
  cases.push_back({"name length far beyond", P().u8(1).u64(~0ull).done(), "io error: "});
  cases.push_back({"optional tag 2", P().u8(2).done(), "tag for enum is not valid, found 2"});
  cases.push_back({"positions variant 7", P().u8(0).u32(7).u64(0).done(),
                   "invalid value: integer `7`, expected variant index 0 <= i < 2"});
  cases.push_back({"energy variant 2",
                   [] {
                     P p = empty_head();
                     return p.u8(0).u8(1).u32(2).f64(0).done();
                   }(),
                   "invalid value: integer `2`, expected variant index 0 <= i < 2"});
  cases.push_back({"cell cut inside its values",
                   [] {
                     P p = empty_head();
                     return p.u8(0).u8(0).u8(0).u8(0).u8(1).u32(1).f64(1).done();
                   }(),
                   eof});
  cases.push_back({"pbc flag 2",
                   [] {
                     P p = empty_head();
                     return p.u8(0).u8(0).u8(0).u8(0).u8(0).u8(1).u8(1).u8(2).u8(0).done();
                   }(),
                   "invalid u8 while decoding bool, expected 0 or 1, found 2"});
  cases.push_back({"pbc flag 255 before the end",
                   [] {
                     P p = empty_head();
                     return p.u8(0).u8(0).u8(0).u8(0).u8(0).u8(1).u8(255).done();
                   }(),
                   "invalid u8 while decoding bool, expected 0 or 1, found 255"});
  cases.push_back({"property variant 11",
                   [] {
                     P p = empty_head();
                     return absent_optionals(p).u64(1).text("k").u32(11).done();
                   }(),
                   "invalid value: integer `11`, expected variant index 0 <= i < 11"});
  cases.push_back({"tensor variant 4",
                   [] {
                     P p = empty_head();
                     return absent_optionals(p).u64(0).u64(1).text("k").u32(10).u32(4).done();
                   }(),
                   "invalid value: integer `4`, expected variant index 0 <= i < 4"});
  cases.push_back(
      {"string value longer than the rest",
       [] {
         P p = empty_head();
         return absent_optionals(p).u64(0).u64(1).text("k").u32(3).u64(9).raw("ab").done();
       }(),
       "io error: "});
  // Counts that no payload could back: refused by the bytes left, not by an
  // allocation of their size.
  cases.push_back({"2^60 positions", P().u8(0).u32(1).u64(1ull << 60).done(), eof});
  cases.push_back({"2^64-1 positions", P().u8(0).u32(0).u64(~0ull).f32(1).done(), eof});
  cases.push_back({"2^60 atomic numbers", P().u8(0).u32(0).u64(0).u64(1ull << 60).done(), eof});
  cases.push_back({"2^60 map entries",
                   [] {
                     P p = empty_head();
                     return absent_optionals(p).u64(1ull << 60).text("k").u32(0).done();
                   }(),
                   eof});
  cases.push_back(
      {"2^60 tensor dimensions",
       [] {
         P p = empty_head();
         return absent_optionals(p).u64(1).text("k").u32(10).u32(1).u64(1ull << 60).done();
       }(),
       eof});
  cases.push_back({"2^60 string bytes",
                   [] {
                     P p = empty_head();
                     return absent_optionals(p).u64(1).text("k").u32(3).u64(1ull << 60).done();
                   }(),
                   "io error: "});
  cases.push_back({"2^60 charges",
                   [] {
                     P p = empty_head();
                     return p.u8(0).u8(0).u8(1).u32(1).u64(1ull << 60).done();
                   }(),
                   eof});
  // UTF-8: the index counts within the text; the sequence length is that of
  // the longest well-formed prefix of a character, at least one byte.
  const std::pair<std::string_view, std::string> utf8[] = {
      {"\xff", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"ab\x80", "invalid utf-8 sequence of 1 bytes from index 2"},
      {"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"a\xe2\x28\xa1", "invalid utf-8 sequence of 1 bytes from index 1"},
      {"\xe2\x82\x28", "invalid utf-8 sequence of 2 bytes from index 0"},
      {"\xc3\xa9\xf0\x90\x80\x28", "invalid utf-8 sequence of 3 bytes from index 2"},
      {"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"ab\xe2\x82", "incomplete utf-8 byte sequence from index 2"},
      {"\xf0", "incomplete utf-8 byte sequence from index 0"},
  };
  for (const auto& [text, message] : utf8) {
    cases.push_back({"utf-8 name", with_name(text).done(), "string is not valid utf8: " + message});
  }
  cases.push_back({"utf-8 key",
                   [] {
                     P p = empty_head();
                     return absent_optionals(p).u64(1).text("\xff").u32(0).done();
                   }(),
                   "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"});
  return cases;
}

TEST(PicklePayloadTest, RefusedPayloadsNameTheirFirstFault) {
  for (const Refusal& r : refusals()) {
    EXPECT_EQ(decode_error(r.payload), r.error) << r.name;
  }
}

TEST(PicklePayloadTest, ValidTextsDecode) {
  const std::string_view names[] = {"",
                                    "\xc3\xa9t\xc3\xa9",
                                    "\xe2\x82\xac",
                                    "\xf0\x9f\x98\x80",
                                    "\xf4\x8f\xbf\xbf",
                                    std::string_view("a\0b", 3)};
  for (std::string_view name : names) {
    P p = with_name(name).u32(0).u64(0).u64(0);
    const Bytes payload = absent_optionals(p).u64(0).u64(0).done();
    EXPECT_EQ(decode_pickle_payload(payload).value().name, std::string(name));
  }
}

// Only the byte format is checked; the engine's encoder refuses the rest.
TEST(PicklePayloadTest, ListsThatDisagreeWithTheAtomCountDecode) {
  P p = P().u8(0).u32(0).u64(2);
  for (int i = 0; i < 6; ++i) p.f32(0);
  p.u64(1).u8(8);                              // one atomic number for two atoms
  p.u8(1).u32(0).u64(1).f32(1).f32(1).f32(1);  // one force row
  for (int i = 0; i < 6; ++i) p.u8(0);
  p.u64(1).text("k").u32(10).u32(1).u64(1).u64(5).u64(2).f64(1).f64(2);  // shape [5], 2 values
  p.u64(1).text("k").u32(0);                                             // "k" in both maps
  auto m = decode_pickle_payload(p.done());
  ASSERT_TRUE(m.has_value()) << m.error().to_string();
  EXPECT_EQ(m->n_atoms(), 2u);
  EXPECT_EQ(m->atomic_numbers.size(), 1u);
  auto record = crivane::storage::soa::serialize_molecule_soa(*m, 3);
  ASSERT_FALSE(record.has_value());
  EXPECT_EQ(record.error().to_string(),
            "Invalid data: Atomic numbers length (1) doesn't match atom count (2)");
}

}  // namespace
}  // namespace crivane::storage::soa
