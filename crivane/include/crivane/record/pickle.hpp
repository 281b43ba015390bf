// The pickle payload of a molecule: the twelve fields of Molecule in their
// declaration order, fixed-width little-endian integers, u64 lengths and u32
// variant indices, no header. The extension module wraps these, and the
// fuzz target drives the reader alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crivane/atom.hpp"
#include "crivane/error.hpp"
#include "crivane/storage/bytes.hpp"

namespace crivane::storage::soa {

// The exact payload length of a molecule, computed from its field lengths.
std::size_t pickle_payload_size(const atom::Molecule& molecule);

// Writes the payload to `out`, exactly pickle_payload_size(molecule) bytes.
// Maps are written in their own iteration order.
void write_pickle_payload(const atom::Molecule& molecule, std::uint8_t* out);

// The payload in a buffer allocated once at its exact size.
Bytes encode_pickle_payload(const atom::Molecule& molecule);

// Decodes a payload from any bytes; what follows the twelfth field is
// ignored. The error is an Error::decode with the reader's own text ("io error: unexpected end of
// file", "tag for enum is not valid, found 2", ...), without the
// "Failed to deserialize molecule: " that the Python layer puts in front.
// Only the byte format is checked: list lengths are not compared with the
// atom count, nor a tensor's shape with its values. No allocation is larger
// than the bytes that back it; running out of memory is Error::out_of_memory().
Result<atom::Molecule> decode_pickle_payload(ByteSpan payload);

}  // namespace crivane::storage::soa
