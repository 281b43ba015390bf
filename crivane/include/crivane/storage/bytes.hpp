// Byte buffers and little-endian loads and stores at any alignment.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <tuple>
#include <type_traits>
#include <vector>

namespace crivane {

// An allocator whose resize() leaves new bytes uninitialized: record and
// decompression buffers are always overwritten whole, so zero-filling them
// first would be a wasted pass over every byte.
template <class T>
struct DefaultInitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  DefaultInitAllocator() = default;
  template <class U>
  DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// An owned byte buffer (record bytes, compressed bytes, blobs).
using Bytes = std::vector<std::uint8_t, DefaultInitAllocator<std::uint8_t>>;
// A read-only view of bytes.
using ByteSpan = std::span<const std::uint8_t>;

inline ByteSpan as_span(const Bytes& b) { return ByteSpan(b.data(), b.size()); }

// A bounds-checked cursor over bytes, for every decoder of bytes that come
// from a file or a caller: each read either yields the value and moves on,
// or yields nothing and leaves the cursor where it was, so a decoder names
// the missing field in its own message and never reads past the end.
class ByteReader {
 public:
  explicit ByteReader(ByteSpan data) : data_(data) {}

  // Bytes not yet consumed.
  std::size_t left() const { return data_.size() - pos_; }
  // Bytes consumed so far: the offset of the next read within the data.
  std::size_t offset() const { return pos_; }
  bool empty() const { return pos_ == data_.size(); }
  ByteSpan rest() const { return data_.subspan(pos_); }

  // The next sizeof(T) bytes as a little-endian T.
  template <class T>
  std::optional<T> read() {
    static_assert(std::is_trivially_copyable_v<T>);
    if (left() < sizeof(T)) return std::nullopt;
    T v;
    std::memcpy(&v, data_.data() + pos_, sizeof v);
    pos_ += sizeof v;
    return v;
  }

  // The next fields, back to back, as one tuple: all of them or none. One
  // bounds check for a fixed group, such as a section's or an entry's header.
  template <class... T>
  std::optional<std::tuple<T...>> read_fields() {
    static_assert((std::is_trivially_copyable_v<T> && ...));
    constexpr std::size_t n = (sizeof(T) + ...);
    if (left() < n) return std::nullopt;
    const std::uint8_t* p = data_.data() + pos_;
    pos_ += n;
    // A braced list is evaluated left to right: the fields come in order.
    return std::tuple<T...>{load_next<T>(p)...};
  }

  // The next n bytes, in place.
  std::optional<ByteSpan> take(std::size_t n) {
    if (left() < n) return std::nullopt;
    ByteSpan out = data_.subspan(pos_, n);
    pos_ += n;
    return out;
  }

  // The next count * elem_size bytes; nothing when they are missing or the
  // product overflows (counts come from untrusted bytes).
  std::optional<ByteSpan> take_array(std::uint64_t count, std::size_t elem_size) {
    std::size_t n = 0;
    if (__builtin_mul_overflow(count, elem_size, &n)) return std::nullopt;
    return take(n);
  }

  bool skip(std::size_t n) { return take(n).has_value(); }

 private:
  template <class T>
  static T load_next(const std::uint8_t*& p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    p += sizeof v;
    return v;
  }

  ByteSpan data_;
  std::size_t pos_ = 0;
};

namespace bytes {

static_assert(std::endian::native == std::endian::little,
              "crivane supports little-endian hosts only");

template <class T>
inline T load(const std::uint8_t* p) {
  static_assert(std::is_trivially_copyable_v<T>);
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline std::uint8_t load_u8(const std::uint8_t* p) { return *p; }
inline std::uint16_t load_u16(const std::uint8_t* p) { return load<std::uint16_t>(p); }
inline std::uint32_t load_u32(const std::uint8_t* p) { return load<std::uint32_t>(p); }
inline std::uint64_t load_u64(const std::uint8_t* p) { return load<std::uint64_t>(p); }
inline std::int32_t load_i32(const std::uint8_t* p) { return load<std::int32_t>(p); }
inline std::int64_t load_i64(const std::uint8_t* p) { return load<std::int64_t>(p); }
inline float load_f32(const std::uint8_t* p) { return load<float>(p); }
inline double load_f64(const std::uint8_t* p) { return load<double>(p); }

template <class T>
inline void store(std::uint8_t* p, T v) {
  static_assert(std::is_trivially_copyable_v<T>);
  std::memcpy(p, &v, sizeof v);
}

// Appends the little-endian bytes of v to a buffer.
template <class T, class Buffer>
inline void put(Buffer& out, T v) {
  static_assert(std::is_trivially_copyable_v<T>);
  const auto old = out.size();
  out.resize(old + sizeof v);
  std::memcpy(out.data() + old, &v, sizeof v);
}

// Appends raw bytes to a buffer.
template <class Buffer>
inline void put_bytes(Buffer& out, const void* data, std::size_t n) {
  if (n == 0) return;
  const auto old = out.size();
  out.resize(old + n);
  std::memcpy(out.data() + old, data, n);
}

}  // namespace bytes
}  // namespace crivane
