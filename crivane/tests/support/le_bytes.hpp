// Builds little-endian byte strings for expected records and blobs:
//   LeBytes().u32(1).f32(1.5f).str("energy").bytes()
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace crivane::testing {

class LeBytes {
 public:
  LeBytes& u8(std::uint8_t v) { return raw(&v, 1); }
  LeBytes& u16(std::uint16_t v) { return raw(&v, 2); }
  LeBytes& u32(std::uint32_t v) { return raw(&v, 4); }
  LeBytes& i32(std::int32_t v) { return raw(&v, 4); }
  LeBytes& i64(std::int64_t v) { return raw(&v, 8); }
  LeBytes& f32(float v) { return raw(&v, 4); }
  LeBytes& f64(double v) { return raw(&v, 8); }
  LeBytes& f32s(std::initializer_list<float> vs) {
    for (float v : vs) f32(v);
    return *this;
  }
  LeBytes& f64s(std::initializer_list<double> vs) {
    for (double v : vs) f64(v);
    return *this;
  }
  LeBytes& str(std::string_view s) { return raw(s.data(), s.size()); }
  LeBytes& append(const std::vector<std::uint8_t>& b) { return raw(b.data(), b.size()); }
  LeBytes& fill(std::size_t n, std::uint8_t v) {
    out_.insert(out_.end(), n, v);
    return *this;
  }
  // One record section: kind, key length, key, tag, payload length, payload.
  LeBytes& section(std::uint8_t kind, std::string_view key, std::uint8_t tag,
                   const std::vector<std::uint8_t>& payload) {
    u8(kind).u8(static_cast<std::uint8_t>(key.size())).str(key).u8(tag);
    u32(static_cast<std::uint32_t>(payload.size()));
    return raw(payload.data(), payload.size());
  }
  const std::vector<std::uint8_t>& bytes() const { return out_; }

 private:
  LeBytes& raw(const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    out_.insert(out_.end(), b, b + n);
    return *this;
  }
  std::vector<std::uint8_t> out_;
};

}  // namespace crivane::testing

namespace crivane::testing {

// Any byte container as a plain vector, for comparisons with LeBytes.
template <class B>
std::vector<std::uint8_t> to_vec(const B& b) {
  return std::vector<std::uint8_t>(b.begin(), b.end());
}

}  // namespace crivane::testing
