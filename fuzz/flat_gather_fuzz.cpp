// The flat export's gather across several records of one database file, and
// the stacking of its tensor columns. The input's records (any bytes) are
// put in a well-formed file (header slot, index, schema blob), so that the
// gather sees damaged records, index entries whose atom counts disagree with
// them and schemas that do not fit them; the file is read with and without a
// mapping, over a selection from the input and over one with repeats.
//
// Input: u8 flags (bits 0-1: codec none, LZ4, zstd, none; bit 2: record
// format 3; bit 3: float64 positions under format 3; bit 4: no schema blob;
// bit 5: the schema blob comes from the input, else from the records; bit 6:
// index entries claim one byte more than each record has), u8 selection
// count (mod 16) and that many u8 indices (mod record count + 1, so the last
// is past the end), u8 record count (mod 8), per record an u8 atom count
// (0: the record's own, else that value - 1) and a u16 length and the bytes,
// then with bit 5 a u16 length and the schema blob.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "crivane/compression.hpp"
#include "crivane/record/flat_gather.hpp"
#include "crivane/record/schema.hpp"
#include "crivane/record/view.hpp"
#include "crivane/storage/database.hpp"
#include "crivane/storage/header.hpp"
#include "crivane/storage/index.hpp"
#include "scratch_file.hpp"

using namespace crivane;
using namespace crivane::storage;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

struct Input {
  compression::CompressionType codec;
  std::uint32_t record_format;
  std::uint8_t positions_type;
  bool schema_blob;
  std::optional<ByteSpan> given_schema;
  bool long_entries;
  std::vector<std::uint8_t> selection;
  std::vector<Bytes> records;
  std::vector<std::optional<std::uint32_t>> atoms;
};

std::optional<ByteSpan> sized(ByteReader& in) {
  const auto n = in.read<std::uint16_t>();
  if (!n) return std::nullopt;
  return in.take(*n);
}

std::optional<Input> parse(ByteSpan data) {
  ByteReader in(data);
  const auto flags = in.read<std::uint8_t>();
  const auto k = flags ? in.read<std::uint8_t>() : std::nullopt;
  if (!k) return std::nullopt;
  Input out;
  static const compression::CompressionType codecs[] = {
      compression::CompressionType::None(), compression::CompressionType::Lz4(),
      compression::CompressionType::Zstd(1), compression::CompressionType::None()};
  out.codec = codecs[*flags & 3];
  out.record_format = *flags & 4 ? soa::kRecordFormatMixedDtypes : soa::kRecordFormatFixedDtypes;
  out.positions_type = out.record_format == soa::kRecordFormatMixedDtypes && (*flags & 8)
                           ? dtypes::tag::kVec3F64
                           : dtypes::tag::kVec3F32;
  out.schema_blob = !(*flags & 16);
  out.long_entries = *flags & 64;
  for (int i = 0; i < *k % 16; ++i) {
    const auto index = in.read<std::uint8_t>();
    if (!index) return std::nullopt;
    out.selection.push_back(*index);
  }
  const auto n = in.read<std::uint8_t>();
  if (!n) return std::nullopt;
  for (int i = 0; i < *n % 8; ++i) {
    const auto atoms = in.read<std::uint8_t>();
    const auto record = atoms ? sized(in) : std::nullopt;
    if (!record) return std::nullopt;
    out.records.emplace_back(record->begin(), record->end());
    out.atoms.push_back(*atoms == 0 ? std::nullopt : std::optional<std::uint32_t>(*atoms - 1));
  }
  if (out.schema_blob && (*flags & 32)) {
    out.given_schema = sized(in);
    if (!out.given_schema) return std::nullopt;
  }
  return out;
}

// The schema a database holding these records would have: each record's
// own, merged; records the validator refuses add nothing.
schema::SchemaLock derived_schema(const Input& in) {
  schema::SchemaLock lock;
  lock.positions_type = in.positions_type;
  for (const Bytes& record : in.records) {
    auto own = schema::record_schema(as_span(record), in.record_format, in.positions_type);
    if (!own) continue;
    schema::SchemaLock merged = lock;
    if (schema::merge_schema_lock(merged, *own)) lock = std::move(merged);
  }
  return lock;
}

// The file: both header slots, the records, the schema blob, the index.
std::optional<Bytes> database_file(const Input& in) {
  Bytes file(header::kDataStart, 0);
  std::vector<index::MoleculeIndex> entries;
  for (std::size_t i = 0; i < in.records.size(); ++i) {
    const Bytes& record = in.records[i];
    auto stored = compression::compress(as_span(record), in.codec);
    if (!stored) return std::nullopt;
    std::uint32_t n_atoms = 0;
    if (in.atoms[i]) {
      n_atoms = *in.atoms[i];
    } else if (record.size() >= 4) {
      n_atoms = bytes::load_u32(record.data());
    }
    entries.push_back({file.size(), static_cast<std::uint32_t>(stored->size()),
                       static_cast<std::uint32_t>(record.size() + (in.long_entries ? 1 : 0)),
                       n_atoms});
    file.insert(file.end(), stored->begin(), stored->end());
  }
  header::HeaderSlot slot;
  slot.compression = in.codec;
  slot.generation = 1;
  slot.record_format = in.record_format;
  if (in.schema_blob) {
    Bytes blob;
    if (in.given_schema) {
      blob.assign(in.given_schema->begin(), in.given_schema->end());
    } else {
      auto encoded = schema::encode_schema_lock(derived_schema(in));
      if (!encoded) return std::nullopt;
      blob = std::move(*encoded);
    }
    if (!blob.empty()) {
      slot.schema_offset = file.size();
      slot.schema_len = blob.size();
      file.insert(file.end(), blob.begin(), blob.end());
    }
  }
  if (!entries.empty()) {
    const Bytes blob = index::encode_index(entries);
    slot.index_offset = file.size();
    slot.index_len = blob.size();
    slot.record_count = entries.size();
    file.insert(file.end(), blob.begin(), blob.end());
  }
  const header::SlotBytes slot_bytes = header::encode_header_slot(slot);
  std::copy(slot_bytes.begin(), slot_bytes.end(), file.begin());
  std::copy(slot_bytes.begin(), slot_bytes.end(), file.begin() + header::kSlotSize);
  return file;
}

// Every column the gather hands out holds exactly its share, and every tensor
// column that stacks fills its dims.
void check_result(const soa::GatherResult& g, std::size_t n, std::size_t row_bytes) {
  if (n == 0) {
    check(g.empty);
    return;
  }
  check(!g.empty && g.n_atoms.size() == n);
  std::uint64_t total = 0;
  for (std::uint32_t c : g.n_atoms) total += c;
  check(g.total_atoms == total);
  check(g.positions.bytes.size() == total * row_bytes);
  check(g.atomic_numbers.size() == total);
  check(g.columns.size() == g.reference.size());
  for (std::size_t i = 0; i < g.reference.size(); ++i) {
    const soa::SectionSchema& column = g.reference[i];
    const soa::FlatSectionBuffer& buffer = g.columns[i];
    using Storage = soa::FlatSectionBuffer::Storage;
    if (buffer.storage == Storage::Numeric) {
      check(buffer.numeric.size() ==
            (column.per_atom ? column.elem_bytes * total : column.slot_bytes * n));
    }
    if (buffer.storage == Storage::String) check(buffer.strings.size() == n);
    if (buffer.storage != Storage::Tensor) continue;
    check(buffer.tensors.size() == n);
    auto stacked = soa::stack_tensor_column(column, buffer, g.n_atoms, g.total_atoms);
    if (!stacked) continue;
    std::uint64_t values = 1;
    for (std::size_t d : stacked->dims) values *= d;
    check(stacked->dims.size() >= 1);
    check(values * dtypes::element_size(column.type_tag) == stacked->values.size());
  }
}

bool same_bytes(const soa::ColumnBytes& a, const soa::ColumnBytes& b) {
  return a.size() == b.size() && (a.size() == 0 || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

// With and without a mapping, a gather that succeeds both ways fills the
// same columns.
void gather_both_ways(const AtomDatabase& mapped, const AtomDatabase& unmapped,
                      const std::vector<std::size_t>& selection, std::size_t row_bytes) {
  auto a = soa::gather(mapped, selection);
  auto b = soa::gather(unmapped, selection);
  if (a) check_result(*a, selection.size(), row_bytes);
  if (b) check_result(*b, selection.size(), row_bytes);
  if (!a || !b || a->empty) return;
  check(a->n_atoms == b->n_atoms && a->reference == b->reference &&
        a->uniform_schema == b->uniform_schema);
  check(same_bytes(a->positions.bytes, b->positions.bytes));
  check(same_bytes(a->atomic_numbers, b->atomic_numbers));
  for (std::size_t i = 0; i < a->columns.size(); ++i) {
    check(same_bytes(a->columns[i].numeric, b->columns[i].numeric));
    check(a->columns[i].strings == b->columns[i].strings);
    check(a->columns[i].tensors == b->columns[i].tensors);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto input = parse(ByteSpan(data, size));
  if (!input) return 0;
  const auto file = database_file(*input);
  if (!file) return 0;
  const auto& path = fuzz::scratch_file();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file->data()),
              static_cast<std::streamsize>(file->size()));
  }
  auto mapped = AtomDatabase::open_with_options(path, true, false);
  auto unmapped = AtomDatabase::open_with_options(path, false, false);
  if (!mapped || !unmapped) return 0;
  auto context = soa::SoaContext::from_database(*mapped);
  const std::size_t row_bytes = context ? context->stride : 0;

  const std::size_t n = input->records.size();
  std::vector<std::size_t> selection;
  for (std::uint8_t i : input->selection) selection.push_back(i % (n + 1));
  gather_both_ways(*mapped, *unmapped, selection, row_bytes);
  if (n > 0) gather_both_ways(*mapped, *unmapped, {0, 0, n / 2, 0, n - 1}, row_bytes);
  return 0;
}
