// Index blobs straight from a file.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "crivane/storage/index.hpp"

using namespace crivane;
using namespace crivane::storage::index;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto decoded = decode_index(ByteSpan(data, size));
  if (!decoded) return 0;

  // A valid blob is exactly the encoding of its entries.
  const Bytes again = encode_index(*decoded);
  if (again.size() != size || std::memcmp(again.data(), data, size) != 0) std::abort();

  const std::size_t n = decoded->size();
  IndexStorage index(IndexStorage::Owned{std::move(*decoded)});
  if (index.len() != n || index.entry(n).has_value()) std::abort();
  for (std::size_t i = 0; i < n; ++i) {
    const auto e = index.entry(i);
    if (!e || std::memcmp(&*e, data + 8 + 20 * i, 20) != 0) std::abort();
  }
  return 0;
}
