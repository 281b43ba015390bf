// record_schema on arbitrary bytes. The first byte picks the record format
// (bits 0-1: 2, 3, 3, 4) and the positions type (bits 2-3: unknown, 4, 7, or
// the high nibble as a raw tag); the rest is the record.
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "crivane/record/schema.hpp"

using namespace crivane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static constexpr std::uint32_t formats[] = {2, 3, 3, 4};
  const std::uint8_t pick = data[0];
  const std::uint32_t format = formats[pick & 3];
  std::optional<std::uint8_t> positions;
  switch ((pick >> 2) & 3) {
    case 1:
      positions = 4;
      break;
    case 2:
      positions = 7;
      break;
    case 3:
      positions = static_cast<std::uint8_t>(pick >> 4);
      break;
    default:
      break;
  }
  auto lock = storage::schema::record_schema(ByteSpan(data + 1, size - 1), format, positions);
  if (!lock) return 0;
  // Whatever a record may hold, its schema can be committed and read back.
  auto blob = storage::schema::encode_schema_lock(*lock);
  if (!blob) std::abort();
  auto again = storage::schema::decode_schema_lock(as_span(*blob));
  if (!again || !(*again == *lock)) std::abort();
  return 0;
}
