// decode_schema_lock on arbitrary bytes: a clean error or a lock that encodes
// again and decodes to itself.
#include <cstdint>
#include <cstdlib>

#include "crivane/storage/schema.hpp"

using namespace crivane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto lock = storage::schema::decode_schema_lock(ByteSpan(data, size));
  if (!lock) return 0;
  auto blob = storage::schema::encode_schema_lock(*lock);
  if (!blob) std::abort();  // every lock read from a blob must be writable
  auto again = storage::schema::decode_schema_lock(as_span(*blob));
  if (!again || !(*again == *lock)) std::abort();
  // Repeated keys collapse, so the new blob is never longer.
  if (blob->size() > size) std::abort();
  return 0;
}
