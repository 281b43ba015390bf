#include "crivane/compression.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>

#include <fmt/format.h>
#include <lz4.h>
#include <lz4hc.h>
#include <zstd.h>
#include <zstd_errors.h>

namespace crivane::compression {
namespace {

constexpr int kLz4HcLevel = 12;
constexpr std::uint64_t kNoHintCap = std::uint64_t{1} << 30;

// LZ4 reports failures only as a zero or negative count; these texts stand in
// for the library's own.
constexpr const char* kLz4InputTooLong = "Compression input too long.";
constexpr const char* kLz4CompressFailed = "output buffer too small";
constexpr const char* kLz4CompressedTooLong = "compressed input too long";
constexpr const char* kLz4DecompressFailed = "invalid block or output buffer too small";

// The most output a valid input can give: an LZ4 byte yields at most 255
// bytes, a zstd block of at least 4 bytes at most 128 KiB. Capping the output
// buffer there keeps a damaged size from sizing the allocation, and changes
// nothing for a valid input.
constexpr std::uint64_t kLz4MaxExpansion = 255;
constexpr std::uint64_t kZstdMaxExpansion = 32768;

// Codec calls get a valid pointer even for an empty input.
const char* src_ptr(ByteSpan data) {
  static const char empty = 0;
  return data.empty() ? &empty : reinterpret_cast<const char*>(data.data());
}

std::uint64_t capped_multiple(std::uint64_t len, std::uint64_t factor, std::uint64_t cap) {
  return len > cap / factor ? cap : len * factor;
}

struct CCtxFree {
  void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct DCtxFree {
  void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

// Codec contexts are kept per thread: making one per record costs an
// allocation of 100-300 KiB (an mmap and its page faults), which dominated
// the cost of small records. A reset before each use makes a kept context
// behave exactly like a fresh one, and no context is ever shared between
// threads.
struct ThreadCodecState {
  std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx;
  std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx;
  std::unique_ptr<unsigned char[]> lz4hc_state;  // LZ4_sizeofStateHC() bytes, pointer-aligned
};

ThreadCodecState& thread_codec_state() {
  thread_local ThreadCodecState state;
  return state;
}

ZSTD_CCtx* thread_cctx() {
  auto& st = thread_codec_state();
  if (!st.cctx) st.cctx.reset(ZSTD_createCCtx());
  return st.cctx.get();
}

ZSTD_DCtx* thread_dctx() {
  auto& st = thread_codec_state();
  if (!st.dctx) st.dctx.reset(ZSTD_createDCtx());
  return st.dctx.get();
}

void* thread_lz4hc_state() {
  auto& st = thread_codec_state();
  if (!st.lz4hc_state) {
    st.lz4hc_state.reset(
        new (std::nothrow) unsigned char[static_cast<std::size_t>(LZ4_sizeofStateHC())]);
  }
  return st.lz4hc_state.get();
}

Result<Bytes> lz4_compress(ByteSpan data) {
  if (data.size() > LZ4_MAX_INPUT_SIZE) {
    return unexpected(
        Error::compression(fmt::format("LZ4 compression failed: {}", kLz4InputTooLong)));
  }
  const int n = static_cast<int>(data.size());
  const int bound = LZ4_compressBound(n);
  Bytes out;
  out.resize(static_cast<std::size_t>(bound));
  void* state = thread_lz4hc_state();
  const int written =
      state == nullptr
          ? 0
          : LZ4_compress_HC_extStateHC(state, src_ptr(data), reinterpret_cast<char*>(out.data()), n,
                                       bound, kLz4HcLevel);
  if (written <= 0) {
    return unexpected(
        Error::compression(fmt::format("LZ4 compression failed: {}", kLz4CompressFailed)));
  }
  // Keep the bound-sized capacity: shrinking would copy every record once more.
  out.resize(static_cast<std::size_t>(written));
  return out;
}

Result<Bytes> zstd_compress(ByteSpan data, std::int32_t level) {
  auto fail = [](std::size_t code) {
    return unexpected(
        Error::compression(fmt::format("Zstd compression failed: {}", ZSTD_getErrorName(code))));
  };
  ZSTD_CCtx* cctx = thread_cctx();
  if (cctx == nullptr) {
    return unexpected(Error::compression(fmt::format(
        "Zstd compression failed: {}", ZSTD_getErrorString(ZSTD_error_memory_allocation))));
  }
  const std::size_t reset = ZSTD_CCtx_reset(cctx, ZSTD_reset_session_and_parameters);
  if (ZSTD_isError(reset)) return fail(reset);
  const std::size_t set = ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level);
  if (ZSTD_isError(set)) return fail(set);
  const std::size_t bound = ZSTD_compressBound(data.size());
  if (ZSTD_isError(bound)) return fail(bound);
  Bytes out;
  out.resize(bound);
  const std::size_t written =
      ZSTD_compress2(cctx, out.data(), out.size(), src_ptr(data), data.size());
  if (ZSTD_isError(written)) return fail(written);
  out.resize(written);
  return out;
}

Result<Bytes> lz4_decompress(ByteSpan data, std::optional<std::size_t> size_hint) {
  if (size_hint &&
      *size_hint > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    return unexpected(Error::compression(
        fmt::format("LZ4 decompressed-size hint {} exceeds i32::MAX", *size_hint)));
  }
  if (data.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    return unexpected(
        Error::compression(fmt::format("LZ4 decompression failed: {}", kLz4CompressedTooLong)));
  }
  std::uint64_t capacity = size_hint ? *size_hint : capped_multiple(data.size(), 100, kNoHintCap);
  capacity = std::min(capacity, data.size() * kLz4MaxExpansion);
  Bytes out;
  out.resize(static_cast<std::size_t>(capacity));
  const int produced =
      LZ4_decompress_safe(src_ptr(data), reinterpret_cast<char*>(out.data()),
                          static_cast<int>(data.size()), static_cast<int>(capacity));
  if (produced < 0) {
    return unexpected(
        Error::compression(fmt::format("LZ4 decompression failed: {}", kLz4DecompressFailed)));
  }
  out.resize(static_cast<std::size_t>(produced));
  out.shrink_to_fit();
  return out;
}

Result<Bytes> zstd_decompress(ByteSpan data, std::optional<std::size_t> size_hint) {
  ZSTD_DCtx* dctx = thread_dctx();
  if (dctx == nullptr) {
    return unexpected(Error::compression(fmt::format(
        "Zstd decompression failed: {}", ZSTD_getErrorString(ZSTD_error_memory_allocation))));
  }
  const std::size_t reset = ZSTD_DCtx_reset(dctx, ZSTD_reset_session_and_parameters);
  if (ZSTD_isError(reset)) {
    return unexpected(
        Error::compression(fmt::format("Zstd decompression failed: {}", ZSTD_getErrorName(reset))));
  }
  std::uint64_t capacity = size_hint ? *size_hint : capped_multiple(data.size(), 10, kNoHintCap);
  capacity = std::min(capacity, capped_multiple(data.size(), kZstdMaxExpansion,
                                                std::numeric_limits<std::uint64_t>::max()));
  // A frame that states its content size and is the whole input decodes to
  // exactly that many bytes (zstd checks it), so a damaged hint cannot size
  // the buffer beyond them. Other inputs keep the bounds above.
  const unsigned long long content = ZSTD_getFrameContentSize(src_ptr(data), data.size());
  if (content != ZSTD_CONTENTSIZE_UNKNOWN && content != ZSTD_CONTENTSIZE_ERROR &&
      content < capacity &&
      ZSTD_findFrameCompressedSize(src_ptr(data), data.size()) == data.size()) {
    capacity = content;
  }
  Bytes out;
  out.resize(static_cast<std::size_t>(capacity));
  const std::size_t produced =
      ZSTD_decompressDCtx(dctx, out.data(), out.size(), src_ptr(data), data.size());
  if (ZSTD_isError(produced)) {
    return unexpected(Error::compression(
        fmt::format("Zstd decompression failed: {}", ZSTD_getErrorName(produced))));
  }
  out.resize(produced);
  out.shrink_to_fit();
  return out;
}

Bytes copy_of(ByteSpan data) { return Bytes(data.begin(), data.end()); }

}  // namespace

std::optional<CompressionType> CompressionType::from_codec_code(std::uint8_t code,
                                                                std::int32_t level) {
  switch (code) {
    case 0:
      return None();
    case 1:
      return Lz4();
    case 2:
      return Zstd(level);
  }
  return std::nullopt;
}

Result<Bytes> compress(ByteSpan data, CompressionType compression) {
  return catch_allocation_failure([&]() -> Result<Bytes> {
    switch (compression.codec) {
      case CompressionType::Codec::None:
        break;
      case CompressionType::Codec::Lz4:
        return lz4_compress(data);
      case CompressionType::Codec::Zstd:
        return zstd_compress(data, compression.level);
    }
    return copy_of(data);
  });
}

Result<Bytes> decompress(ByteSpan data, CompressionType compression,
                         std::optional<std::size_t> size_hint) {
  return catch_allocation_failure([&]() -> Result<Bytes> {
    switch (compression.codec) {
      case CompressionType::Codec::None:
        break;
      case CompressionType::Codec::Lz4:
        return lz4_decompress(data, size_hint);
      case CompressionType::Codec::Zstd:
        return zstd_decompress(data, size_hint);
    }
    return copy_of(data);
  });
}

std::uint64_t decompressed_size_bound(std::uint64_t stored_len, CompressionType compression,
                                      std::uint64_t size_hint) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  switch (compression.codec) {
    case CompressionType::Codec::None:
      break;
    case CompressionType::Codec::Lz4:
      return std::min(size_hint, capped_multiple(stored_len, kLz4MaxExpansion, kMax));
    case CompressionType::Codec::Zstd:
      return std::min(size_hint, capped_multiple(stored_len, kZstdMaxExpansion, kMax));
  }
  return stored_len;
}

}  // namespace crivane::compression
