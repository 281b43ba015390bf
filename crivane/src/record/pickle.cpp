#include "crivane/record/pickle.hpp"

#include <fmt/format.h>

#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace crivane::storage::soa {

using atom::Molecule;
using atom::PropertyMap;
using types::FloatArrayData;
using types::FloatScalarData;
using types::Mat3Data;
using types::PropertyValue;
using types::Tensor;
using types::TensorData;
using types::Vec3Data;

namespace {

// ---- sizes -------------------------------------------------------------------

constexpr std::size_t kLen = 8;      // u64 length or count
constexpr std::size_t kVariant = 4;  // u32 variant index
constexpr std::size_t kTag = 1;      // u8 optional tag

template <class T>
constexpr bool is_list = false;
template <class T, class A>
constexpr bool is_list<std::vector<T, A>> = true;

template <class T>
std::size_t list_size(const std::vector<T>& v) {
  return kLen + v.size() * sizeof(T);
}

std::size_t text_size(std::string_view s) { return kLen + s.size(); }

// A two-variant container or a PropertyValue: index, then the content.
template <class V>
std::size_t variant_size(const V& v) {
  return kVariant + std::visit(
                        [](const auto& x) -> std::size_t {
                          using X = std::decay_t<decltype(x)>;
                          if constexpr (std::is_arithmetic_v<X>) {
                            return sizeof(X);
                          } else if constexpr (std::is_same_v<X, std::monostate>) {
                            return 0;
                          } else if constexpr (std::is_same_v<X, std::string>) {
                            return text_size(x);
                          } else if constexpr (std::is_same_v<X, TensorData>) {
                            return variant_size(x);
                          } else if constexpr (requires { x.shape; }) {
                            return list_size(x.shape) + list_size(x.values);
                          } else if constexpr (is_list<X>) {
                            return list_size(x);
                          } else {
                            return sizeof(X);  // a 3x3 matrix: nine values, no count
                          }
                        },
                        v);
}

template <class T>
std::size_t optional_size(const std::optional<T>& v) {
  if (!v) return kTag;
  if constexpr (std::is_same_v<T, std::array<bool, 3>>) {
    return kTag + 3;
  } else {
    return kTag + variant_size(*v);
  }
}

std::size_t map_size(const PropertyMap& map) {
  std::size_t size = kLen;
  for (const auto& [key, value] : map) size += text_size(key) + variant_size(value);
  return size;
}

// ---- writing -----------------------------------------------------------------

class Writer {
 public:
  explicit Writer(std::uint8_t* out) : p_(out) {}

  template <class T>
  void put(T v) {
    bytes::store(p_, v);
    p_ += sizeof v;
  }
  void raw(const void* data, std::size_t n) {
    if (n != 0) std::memcpy(p_, data, n);
    p_ += n;
  }
  void len(std::size_t n) { put(static_cast<std::uint64_t>(n)); }
  void text(std::string_view s) {
    len(s.size());
    raw(s.data(), s.size());
  }
  // Rows and matrices are packed arrays of their element type, so a list of
  // them is its elements back to back.
  template <class T>
  void list(const std::vector<T>& v) {
    len(v.size());
    raw(v.data(), v.size() * sizeof(T));
  }

  template <class V>
  void variant(const V& v) {
    put(static_cast<std::uint32_t>(v.index()));
    std::visit(
        [this](const auto& x) {
          using X = std::decay_t<decltype(x)>;
          if constexpr (std::is_arithmetic_v<X>) {
            put(x);
          } else if constexpr (std::is_same_v<X, std::monostate>) {
          } else if constexpr (std::is_same_v<X, std::string>) {
            text(x);
          } else if constexpr (std::is_same_v<X, TensorData>) {
            variant(x);
          } else if constexpr (requires { x.shape; }) {
            list(x.shape);
            list(x.values);
          } else if constexpr (is_list<X>) {
            list(x);
          } else {
            raw(&x, sizeof x);
          }
        },
        v);
  }

  template <class T>
  void optional(const std::optional<T>& v) {
    put(static_cast<std::uint8_t>(v.has_value()));
    if (!v) return;
    if constexpr (std::is_same_v<T, std::array<bool, 3>>) {
      for (bool flag : *v) put(static_cast<std::uint8_t>(flag));
    } else {
      variant(*v);
    }
  }

  void map(const PropertyMap& m) {
    len(m.size());
    for (const auto& [key, value] : m) {
      text(key);
      variant(value);
    }
  }

  std::uint8_t* position() const { return p_; }

 private:
  std::uint8_t* p_;
};

// ---- reading -----------------------------------------------------------------

// Where UTF-8 validation stops: the length of the valid prefix, and the
// length of the invalid sequence after it (0 when the text ends inside a
// character). Sequence lengths follow the maximal-subpart rule: the bytes of
// a well-formed prefix of a character, at least one.
struct Utf8Failure {
  std::size_t valid_up_to;
  std::size_t error_len;
};

std::optional<Utf8Failure> utf8_failure(ByteSpan s) {
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t first = s[i];
    if (first < 0x80) {
      ++i;
      continue;
    }
    // The continuation byte at i + k, or the end of the text.
    auto at = [&](std::size_t k) -> std::optional<std::uint8_t> {
      if (i + k >= n) return std::nullopt;
      return s[i + k];
    };
    auto continuation = [](std::uint8_t b) { return (b & 0xC0) == 0x80; };
    std::size_t width = 0;
    std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (first >= 0xC2 && first <= 0xDF) {
      width = 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
      width = 3;
      if (first == 0xE0) lo = 0xA0;  // no overlong forms
      if (first == 0xED) hi = 0x9F;  // no surrogates
    } else if (first >= 0xF0 && first <= 0xF4) {
      width = 4;
      if (first == 0xF0) lo = 0x90;
      if (first == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      return Utf8Failure{i, 1};
    }
    auto second = at(1);
    if (!second) return Utf8Failure{i, 0};
    if (*second < lo || *second > hi) return Utf8Failure{i, 1};
    for (std::size_t k = 2; k < width; ++k) {
      auto next = at(k);
      if (!next) return Utf8Failure{i, 0};
      if (!continuation(*next)) return Utf8Failure{i, k};
    }
    i += width;
  }
  return std::nullopt;
}

constexpr std::string_view kEof = "io error: unexpected end of file";

// Each read checks that its bytes are there first. The first failure is
// kept in error_ and every caller returns false from then on.
class Reader {
 public:
  explicit Reader(ByteSpan payload) : in_(payload) {}

  Result<Molecule> molecule() {
    Molecule m;
    bool ok = optional_text(m.name) && vec3(m.positions) && list(m.atomic_numbers) &&
              optional(m.forces, &Reader::vec3) && optional(m.energy, &Reader::scalar) &&
              optional(m.charges, &Reader::float_array) && optional(m.velocities, &Reader::vec3) &&
              optional(m.cell, &Reader::mat3) && optional(m.pbc, &Reader::pbc) &&
              optional(m.stress, &Reader::mat3) && map(m.atom_properties) && map(m.properties);
    if (!ok) return unexpected(Error::decode(std::move(error_)));
    return m;
  }

 private:
  bool fail(std::string text) {
    error_ = std::move(text);
    return false;
  }

  template <class T>
  bool fixed(T& out) {
    auto v = in_.read<T>();
    if (!v) return fail(std::string(kEof));
    out = *v;
    return true;
  }

  // A list of fixed-width elements. Every element is a plain value, so the
  // elements are there exactly when count * size bytes are; the list is
  // allocated only after that check, never from the count alone.
  template <class T>
  bool list(std::vector<T>& out) {
    std::uint64_t count = 0;
    if (!fixed(count)) return false;
    auto bytes = in_.take_array(count, sizeof(T));
    if (!bytes) return fail(std::string(kEof));
    out.resize(static_cast<std::size_t>(count));
    if (!bytes->empty()) std::memcpy(out.data(), bytes->data(), bytes->size());
    return true;
  }

  bool text(std::string& out) {
    std::uint64_t len = 0;
    if (!fixed(len)) return false;
    if (len > in_.left()) return fail("io error: ");
    const ByteSpan bytes = *in_.take(static_cast<std::size_t>(len));
    if (auto bad = utf8_failure(bytes)) {
      if (bad->error_len == 0) {
        return fail(
            fmt::format("string is not valid utf8: incomplete utf-8 byte sequence from "
                        "index {}",
                        bad->valid_up_to));
      }
      return fail(
          fmt::format("string is not valid utf8: invalid utf-8 sequence of {} bytes from index {}",
                      bad->error_len, bad->valid_up_to));
    }
    out.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return true;
  }

  bool present(bool& out) {
    std::uint8_t tag = 0;
    if (!fixed(tag)) return false;
    if (tag > 1) return fail(fmt::format("tag for enum is not valid, found {}", tag));
    out = tag == 1;
    return true;
  }

  bool variant(std::uint32_t count, std::uint32_t& out) {
    if (!fixed(out)) return false;
    if (out >= count) {
      return fail(fmt::format("invalid value: integer `{}`, expected variant index 0 <= i < {}",
                              out, count));
    }
    return true;
  }

  template <class T, class Read>
  bool optional(std::optional<T>& out, Read read) {
    bool has = false;
    if (!present(has)) return false;
    if (!has) return true;
    return (this->*read)(out.emplace());
  }

  bool optional_text(std::optional<std::string>& out) { return optional(out, &Reader::text); }

  // Builds variant `index` of V, reading its content with one of the list or
  // fixed readers.
  template <class V, std::size_t I = 0>
  bool alternative(std::size_t index, V& out) {
    if constexpr (I < std::variant_size_v<V>) {
      if (index != I) return alternative<V, I + 1>(index, out);
      using X = std::variant_alternative_t<I, V>;
      X& x = out.template emplace<I>();
      if constexpr (std::is_arithmetic_v<X>) {
        return fixed(x);
      } else if constexpr (std::is_same_v<X, std::monostate>) {
        return true;
      } else if constexpr (std::is_same_v<X, std::string>) {
        return text(x);
      } else if constexpr (std::is_same_v<X, TensorData>) {
        return two_or_more(x);
      } else if constexpr (requires { x.shape; }) {
        return list(x.shape) && list(x.values);
      } else if constexpr (is_list<X>) {
        return list(x);
      } else {
        return fixed(x);  // a 3x3 matrix: nine values, no count
      }
    } else {
      return false;  // unreachable: the index was checked against the size
    }
  }

  template <class V>
  bool two_or_more(V& out) {
    std::uint32_t index = 0;
    if (!variant(static_cast<std::uint32_t>(std::variant_size_v<V>), index)) return false;
    return alternative(index, out);
  }

  bool vec3(Vec3Data& out) { return two_or_more(out); }
  bool mat3(Mat3Data& out) { return two_or_more(out); }
  bool float_array(FloatArrayData& out) { return two_or_more(out); }
  bool scalar(FloatScalarData& out) { return two_or_more(out); }

  bool pbc(std::array<bool, 3>& out) {
    for (bool& flag : out) {
      std::uint8_t byte = 0;
      if (!fixed(byte)) return false;
      if (byte > 1) {
        return fail(fmt::format("invalid u8 while decoding bool, expected 0 or 1, found {}", byte));
      }
      flag = byte == 1;
    }
    return true;
  }

  // Entries are read one by one; each takes at least twelve bytes, so a
  // bogus count runs out of bytes quickly. A repeated key keeps the later
  // value.
  bool map(PropertyMap& out) {
    std::uint64_t count = 0;
    if (!fixed(count)) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
      std::string key;
      PropertyValue value;
      if (!text(key) || !two_or_more(value)) return false;
      out.insert_or_assign(std::move(key), std::move(value));
    }
    return true;
  }

  ByteReader in_;
  std::string error_;
};

}  // namespace

std::size_t pickle_payload_size(const Molecule& m) {
  return kTag + (m.name ? text_size(*m.name) : 0) + variant_size(m.positions) +
         list_size(m.atomic_numbers) + optional_size(m.forces) + optional_size(m.energy) +
         optional_size(m.charges) + optional_size(m.velocities) + optional_size(m.cell) +
         optional_size(m.pbc) + optional_size(m.stress) + map_size(m.atom_properties) +
         map_size(m.properties);
}

void write_pickle_payload(const Molecule& m, std::uint8_t* out) {
  Writer w(out);
  w.put(static_cast<std::uint8_t>(m.name.has_value()));
  if (m.name) w.text(*m.name);
  w.variant(m.positions);
  w.list(m.atomic_numbers);
  w.optional(m.forces);
  w.optional(m.energy);
  w.optional(m.charges);
  w.optional(m.velocities);
  w.optional(m.cell);
  w.optional(m.pbc);
  w.optional(m.stress);
  w.map(m.atom_properties);
  w.map(m.properties);
}

Bytes encode_pickle_payload(const Molecule& m) {
  Bytes out(pickle_payload_size(m));
  write_pickle_payload(m, out.data());
  return out;
}

Result<Molecule> decode_pickle_payload(ByteSpan payload) {
  return catch_allocation_failure([&] { return Reader(payload).molecule(); });
}

}  // namespace crivane::storage::soa
