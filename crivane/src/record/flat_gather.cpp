#include "crivane/record/flat_gather.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <tuple>

#include "crivane/compression.hpp"
#include "crivane/parallel.hpp"
#include "crivane/record/view.hpp"
#include "crivane/storage/database.hpp"
#include "crivane/storage/utf8.hpp"

namespace crivane::storage::soa {

Result<ColumnBytes> ColumnBytes::allocate(std::size_t size, bool zeroed) {
  // malloc(0) may give null; a column of no bytes still needs an address.
  const std::size_t n = size == 0 ? 1 : size;
  void* p = zeroed ? std::calloc(n, 1) : std::malloc(n);
  if (p == nullptr) return unexpected(Error::out_of_memory());
  ColumnBytes out;
  out.data_.reset(static_cast<std::uint8_t*>(p));
  out.size_ = size;
  return out;
}

namespace {

using compression::CompressionType;

Unexpected<Error> invalid(std::string message) {
  return unexpected(Error::invalid_data(std::move(message)));
}

// a x b bytes, or out of memory when that does not fit a size_t.
Result<std::size_t> checked_size(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out = 0;
  if (__builtin_mul_overflow(a, b, &out) || out > SIZE_MAX) {
    return unexpected(Error::out_of_memory());
  }
  return static_cast<std::size_t>(out);
}

enum class ReadMode { Unmapped, MappedPlain, MappedCompressed };

// Record bytes of database index `index` out of the data mapping: in place
// without a codec (the caller holds the database, and so its mapping, for the
// whole call), else decompressed into `held`.
Result<ByteSpan> mapped_record(const AtomDatabase& db, std::size_t index, RecordBytes& held) {
  CRIVANE_ASSIGN_OR_RETURN(held, db.record_bytes(index));
  return held.span();
}

// (kind, key) positions of a column list, sorted; among equal ones the list
// order is kept.
class SortedColumns {
 public:
  explicit SortedColumns(const std::vector<SectionSchema>& columns) {
    entries_.reserve(columns.size());
    for (std::size_t i = 0; i < columns.size(); ++i) {
      entries_.push_back({columns[i].kind, columns[i].key, i});
    }
    std::stable_sort(entries_.begin(), entries_.end(), less);
  }

  // The first column of (kind, key) in list order.
  std::optional<std::size_t> first(std::uint8_t kind, std::string_view key) const {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), Entry{kind, key, 0}, less);
    if (it == entries_.end() || it->kind != kind || it->key != key) return std::nullopt;
    return it->column;
  }
  // The last one: the keyed scatter's lookup, where a later column wins.
  std::optional<std::size_t> last(std::uint8_t kind, std::string_view key) const {
    auto it = std::upper_bound(entries_.begin(), entries_.end(), Entry{kind, key, 0}, less);
    if (it == entries_.begin()) return std::nullopt;
    --it;
    if (it->kind != kind || it->key != key) return std::nullopt;
    return it->column;
  }

 private:
  struct Entry {
    std::uint8_t kind;
    std::string_view key;
    std::size_t column;
  };
  static bool less(const Entry& a, const Entry& b) {
    return std::tie(a.kind, a.key) < std::tie(b.kind, b.key);
  }
  std::vector<Entry> entries_;
};

// Whether the first record's columns are the stored schema's, in any order.
bool same_columns(const std::vector<SectionSchema>& first,
                  const std::vector<SectionSchema>& stored) {
  if (first.size() != stored.size()) return false;
  const SortedColumns sorted(first);
  for (const SectionSchema& s : stored) {
    const auto i = sorted.first(s.kind, s.key);
    if (!i) return false;
    const SectionSchema& f = first[*i];
    if (f.type_tag != s.type_tag || f.per_atom != s.per_atom || f.elem_bytes != s.elem_bytes ||
        f.slot_bytes != s.slot_bytes) {
      return false;
    }
  }
  return true;
}

using Storage = FlatSectionBuffer::Storage;

Storage storage_of(const SectionSchema& column) {
  if (column.slot_bytes != 0 && !dtypes::is_tensor_tag(column.type_tag)) return Storage::Numeric;
  if (column.type_tag == dtypes::tag::kString || column.type_tag == dtypes::tag::kNone) {
    return Storage::String;
  }
  if (dtypes::is_tensor_tag(column.type_tag)) return Storage::Tensor;
  return Storage::None;
}

Result<FlatSectionBuffer> make_buffer(const SectionSchema& column, std::size_t n,
                                      std::uint64_t total_atoms, bool zeroed) {
  FlatSectionBuffer buffer;
  buffer.storage = storage_of(column);
  switch (buffer.storage) {
    case Storage::Numeric: {
      CRIVANE_ASSIGN_OR_RETURN(const std::size_t bytes,
                               column.per_atom ? checked_size(column.elem_bytes, total_atoms)
                                               : checked_size(column.slot_bytes, n));
      CRIVANE_ASSIGN_OR_RETURN(buffer.numeric, ColumnBytes::allocate(bytes, zeroed));
      break;
    }
    case Storage::String:
      buffer.strings.resize(n);
      buffer.lock = std::make_unique<std::mutex>();
      break;
    case Storage::Tensor:
      buffer.tensors.resize(n);
      buffer.lock = std::make_unique<std::mutex>();
      break;
    case Storage::None:
      break;
  }
  return buffer;
}

// What the selected records must hold for their scatter to succeed: each at
// least fixed + n_atoms x per_atom bytes. Every record has its head,
// positions and atomic numbers; under the ordered scatter it also has every
// reference section, with its header and, in a numeric column, exactly its
// share.
struct RecordNeed {
  std::uint64_t fixed = 0;
  std::uint64_t per_atom = 0;

  // Whether `records` records of `atoms` atoms in all may need no more than
  // `bytes` bytes. If not, one of them is short.
  bool fits(std::uint64_t records, std::uint64_t atoms, std::uint64_t bytes) const {
    std::uint64_t for_records = 0;
    std::uint64_t for_atoms = 0;
    return !__builtin_mul_overflow(records, fixed, &for_records) &&
           !__builtin_mul_overflow(atoms, per_atom, &for_atoms) &&
           !__builtin_add_overflow(for_records, for_atoms, &for_records) && for_records <= bytes;
  }
};

RecordNeed record_need(const std::vector<SectionSchema>& reference, bool uniform,
                       std::size_t row_bytes) {
  RecordNeed need{kRecordHeadBytes, std::uint64_t{row_bytes} + 1};
  if (!uniform) return need;
  // The first record's columns: at most 65535 of them, each share at most a
  // u32 payload length, so none of these sums wraps.
  for (const SectionSchema& column : reference) {
    need.fixed += kSectionHeaderBytes + column.key.size();
    if (dtypes::is_tensor_tag(column.type_tag)) continue;  // only its shape is checked
    if (column.per_atom) {
      need.per_atom += column.elem_bytes;
    } else if (column.slot_bytes != 0) {
      need.fixed += column.slot_bytes;
    }
  }
  return need;
}

constexpr std::string_view kDamagedSchema =
    "the database's stored schema is damaged. Retrieve molecules individually with "
    "get_molecule(s) instead.";

// What the engine derives as slot size for a column of this tag and scope,
// in words, when the column's slot size is not that. A slot of 0 makes no
// column, so a damaged one would drop the column without a word.
std::optional<std::string> unexpected_slot(const SectionSchema& column, std::size_t elem) {
  const std::size_t slot = column.slot_bytes;
  const std::uint8_t t = column.type_tag;
  const bool array = t >= dtypes::tag::kF64Array && t <= dtypes::tag::kI32Array;
  bool derived = slot == elem;
  const char* slots = "{} bytes";
  if (!dtypes::is_fixed_size_tag(t)) {
    // Text, null and tensor cells are not sized here.
    derived = slot == 0;
    slots = "0 bytes";
  } else if (column.per_atom && !array) {
    // One value per atom: a first molecule without atoms gives 0.
    derived = slot == elem || slot == 0;
    slots = "{} or 0 bytes";
  } else if (!column.per_atom && array) {
    // The molecule's whole array; an empty one gives 0.
    derived = slot % elem == 0;
    slots = "a multiple of {} bytes";
  }
  if (derived) return std::nullopt;
  return fmt::format(fmt::runtime(slots), elem);
}

// A column of the stored schema must be an entry the engine writes: a known
// type tag with that tag's element size. Any other entry comes from damaged
// bytes, and its sizes must not size a column.
Result<void> check_stored_column(const SectionSchema& column) {
  if (!dtypes::is_known_type_tag(column.type_tag)) {
    return invalid(fmt::format("Stored schema entry for section '{}' has unknown type tag {}; {}",
                               column.key, unsigned{column.type_tag}, kDamagedSchema));
  }
  const std::size_t elem = dtypes::element_size(column.type_tag);
  if (column.elem_bytes != elem) {
    return invalid(fmt::format(
        "Stored schema entry for section '{}' gives element size {}, but type tag {} has "
        "elements of {} bytes; {}",
        column.key, column.elem_bytes, unsigned{column.type_tag}, elem, kDamagedSchema));
  }
  return {};
}

// The same for its slot size, once check_stored_column passed it.
Result<void> check_stored_slot(const SectionSchema& column) {
  const std::optional<std::string> slots = unexpected_slot(column, column.elem_bytes);
  if (!slots) return {};
  return invalid(fmt::format(
      "Stored schema entry for section '{}' gives slot size {}, but a {} section of type tag {} "
      "has slots of {}; {}",
      column.key, column.slot_bytes, column.per_atom ? "per-atom" : "per-molecule",
      unsigned{column.type_tag}, *slots, kDamagedSchema));
}

// The most bytes the record of index entry `e` can have once read: nothing
// when its stored bytes do not lie below `stored_end` (its read fails), else
// what the codec can make of them, which the record length the entry claims
// bounds as well. Neither claimed length alone may size anything.
std::uint64_t record_bytes_bound(const index::MoleculeIndex& e, std::uint64_t stored_end,
                                 CompressionType codec) {
  const std::uint64_t offset = e.offset;  // packed: read fields by value
  const std::uint64_t stored = e.compressed_len;
  if (offset > stored_end || stored > stored_end - offset) return 0;
  return compression::decompressed_size_bound(stored, codec, e.uncompressed_len);
}

// Where the data mapping ends: a mapped read reaches no record beyond.
std::uint64_t mapping_end(const AtomDatabase& db) {
  const std::optional<SharedMmapBytes> record = db.get_shared_mmap_bytes(0);
  return record ? std::uint64_t{record->mapping()->size()} : 0;
}

// The longest record of the database, by its index entries.
std::uint64_t longest_record(const AtomDatabase& db, std::uint64_t stored_end) {
  std::uint64_t longest = 0;
  for (std::size_t i = 0; i < db.len(); ++i) {
    if (const auto e = db.index_entry(i)) {
      longest = std::max(longest, record_bytes_bound(*e, stored_end, db.compression()));
    }
  }
  return longest;
}

// The error of the lowest selection position that failed.
class LowestFailure {
 public:
  void record(std::size_t k, Error error) {
    std::lock_guard<std::mutex> hold(mu_);
    if (!error_ || k < position_) {
      position_ = k;
      error_.emplace(std::move(error));
    }
  }
  std::optional<Error>& get() { return error_; }

 private:
  std::mutex mu_;
  std::size_t position_ = 0;
  std::optional<Error> error_;
};

// One call's scatter: everything the work items share, read-only except for
// the columns, of which each item writes only its own rows and cells. Without
// `write` it only checks, with no column allocated: it fails exactly where
// the writing scatter would.
struct Scatter {
  bool write;
  const AtomDatabase& db;
  std::span<const std::size_t> indices;
  ReadMode mode;
  std::size_t row_bytes;
  const std::vector<std::uint32_t>& counts;
  const std::vector<std::uint64_t>& offsets;
  const std::vector<SectionSchema>& reference;
  bool uniform;
  const SortedColumns& lookup;
  std::uint8_t* positions;
  std::uint8_t* atomic_numbers;
  std::vector<FlatSectionBuffer>& columns;
  // Unmapped: every selected record, read up front. Mapped with a codec:
  // position 0's record, already decompressed to build the reference list.
  std::vector<Bytes>& records;
  RecordBytes& first_record;

  Result<void> item(std::size_t k, FlatRecord& record, std::vector<std::size_t>& matched) const {
    RecordBytes owned;
    ByteSpan bytes;
    if (mode == ReadMode::Unmapped) {
      bytes = as_span(records[k]);
    } else if (k == 0 && mode == ReadMode::MappedCompressed) {
      bytes = first_record.span();
    } else {
      CRIVANE_ASSIGN_OR_RETURN(bytes, mapped_record(db, indices[k], owned));
    }
    CRIVANE_TRY(parse_mol_fast_soa(bytes, row_bytes, record));
    const std::uint32_t n_atoms = counts[k];
    if (record.n_atoms != n_atoms) {
      return invalid(fmt::format(
          "SOA n_atoms mismatch for molecule {}: the record holds {} atoms, its index entry {}", k,
          record.n_atoms, n_atoms));
    }
    const std::uint64_t first_atom = offsets[k];
    if (write && n_atoms != 0) {
      std::memcpy(positions + first_atom * row_bytes, record.positions.data(),
                  record.positions.size());
      std::memcpy(atomic_numbers + first_atom, record.atomic_numbers.data(), n_atoms);
    }

    const std::vector<SectionRef>& sections = record.sections;
    matched.clear();
    if (uniform) {
      if (sections.size() != reference.size()) {
        return invalid(
            fmt::format("SOA schema mismatch for molecule {}: expected {} sections, got {}", k,
                        reference.size(), sections.size()));
      }
      for (std::size_t i = 0; i < sections.size(); ++i) {
        const SectionRef& s = sections[i];
        if (s.kind != reference[i].kind || s.key != reference[i].key) {
          return invalid(
              fmt::format("SOA schema order mismatch at molecule {} for section '{}'", k, s.key));
        }
        if (s.type_tag != reference[i].type_tag) {
          return invalid(
              fmt::format("SOA schema mismatch at molecule {} for section '{}'", k, s.key));
        }
        matched.push_back(i);
      }
    } else {
      for (const SectionRef& s : sections) {
        const auto column = lookup.last(s.kind, s.key);
        if (!column) {
          return invalid(fmt::format("Unexpected SOA section '{}' in molecule {}", s.key, k));
        }
        if (s.type_tag != reference[*column].type_tag) {
          return invalid(
              fmt::format("SOA schema mismatch at molecule {} for section '{}'", k, s.key));
        }
        matched.push_back(*column);
      }
    }
    for (std::size_t i = 0; i < sections.size(); ++i) {
      CRIVANE_TRY(fill(sections[i], matched[i], k, n_atoms, first_atom));
    }
    return {};
  }

  Result<void> fill(const SectionRef& s, std::size_t col, std::size_t k, std::uint32_t n_atoms,
                    std::uint64_t first_atom) const {
    const SectionSchema& column = reference[col];
    const std::size_t len = s.payload.size();
    if (dtypes::is_tensor_tag(s.type_tag)) {
      CRIVANE_TRY(dtypes::tensor_shape_from_payload(s.type_tag, s.payload));
      if (!write) return {};
      FlatSectionBuffer& buffer = columns[col];
      std::optional<Bytes> cell(std::in_place, s.payload.begin(), s.payload.end());
      std::lock_guard<std::mutex> hold(*buffer.lock);
      buffer.tensors[k].swap(cell);
      return {};
    }
    if (column.per_atom) {
      std::size_t expected = 0;
      if (__builtin_mul_overflow(column.elem_bytes, std::size_t{n_atoms}, &expected)) {
        return invalid(fmt::format("Section '{}' payload length overflow", s.key));
      }
      if (len != expected) {
        return invalid(fmt::format("Section '{}' has invalid payload length {} (expected {})",
                                   s.key, len, expected));
      }
      if (write && column.slot_bytes != 0 && len != 0) {
        // elem_bytes * (first_atom + n_atoms) fits: the column was allocated
        // elem_bytes * total_atoms bytes.
        std::memcpy(columns[col].numeric.data() + column.elem_bytes * first_atom, s.payload.data(),
                    len);
      }
    } else if (column.slot_bytes != 0) {
      if (len != column.slot_bytes) {
        return invalid(fmt::format("Section '{}' has invalid payload length {} (expected {})",
                                   s.key, len, column.slot_bytes));
      }
      if (write) {
        std::memcpy(columns[col].numeric.data() + k * column.slot_bytes, s.payload.data(), len);
      }
    }
    // A sized type without a slot (an empty array; values of molecules
    // without atoms) has no room for a value: a record that brings one
    // disagrees with the stored schema, and its value would be dropped.
    if (column.slot_bytes == 0 && len != 0 && dtypes::is_fixed_size_tag(s.type_tag)) {
      return invalid(
          fmt::format("Section '{}' has invalid payload length {} (expected 0)", s.key, len));
    }
    if (column.slot_bytes == 0 && s.type_tag != dtypes::tag::kNone &&
        storage_of(column) == Storage::String) {
      const std::string_view text(reinterpret_cast<const char*>(s.payload.data()), len);
      if (!utf8::is_valid(text)) {
        return invalid(fmt::format("Invalid UTF-8 in section '{}'", s.key));
      }
      if (!write) return {};
      FlatSectionBuffer& buffer = columns[col];
      std::optional<std::string> cell(std::in_place, text);
      std::lock_guard<std::mutex> hold(*buffer.lock);
      buffer.strings[k].swap(cell);
    }
    return {};
  }
};

// Scatters every selected position on the worker pool. Every position runs,
// also after another has failed, so that the error reported is the lowest
// position's whatever the order the workers ran in; running out of memory in
// any item is reported before that.
Result<void> scatter_all(const Scatter& scatter, std::size_t n) {
  LowestFailure failure;
  std::atomic<bool> out_of_memory{false};
  (void)parallel::parallel_for(n, [&](std::size_t k) -> Result<void> {
    thread_local FlatRecord record;
    thread_local std::vector<std::size_t> matched;
    try {
      auto done = scatter.item(k, record, matched);
      if (!done && done.error().is_out_of_memory()) {
        out_of_memory.store(true, std::memory_order_relaxed);
      } else if (!done) {
        failure.record(k, std::move(done).error());
      }
    } catch (const std::bad_alloc&) {
      out_of_memory.store(true, std::memory_order_relaxed);
    }
    return {};
  });
  if (out_of_memory.load(std::memory_order_relaxed)) return unexpected(Error::out_of_memory());
  if (failure.get()) return unexpected(std::move(*failure.get()));
  return {};
}

Result<GatherResult> gather_records(const AtomDatabase& db, std::span<const std::size_t> indices) {
  GatherResult out;
  if (indices.empty()) return out;
  out.empty = false;
  const std::size_t n = indices.size();

  const CompressionType codec = db.compression();
  const bool plain = codec.codec == CompressionType::Codec::None;
  ReadMode mode = ReadMode::Unmapped;
  if (db.get_compressed_slice(0)) mode = plain ? ReadMode::MappedPlain : ReadMode::MappedCompressed;
  const std::uint64_t stored_end = mode == ReadMode::Unmapped ? 0 : mapping_end(db);

  // With the counts, the most bytes the selected records can have together:
  // what each can be read as, or, once read, what was read.
  std::uint64_t selected_bytes = 0;
  auto add_selected = [&](std::uint64_t bytes) {
    if (__builtin_add_overflow(selected_bytes, bytes, &selected_bytes)) selected_bytes = UINT64_MAX;
  };
  out.n_atoms.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    const auto entry = db.index_entry(indices[k]);
    if (!entry) return invalid(fmt::format("Index {} out of bounds", indices[k]));
    out.n_atoms[k] = entry->n_atoms;
    if (mode != ReadMode::Unmapped) add_selected(record_bytes_bound(*entry, stored_end, codec));
  }
  std::vector<std::uint64_t> offsets(n + 1);
  for (std::size_t k = 0; k < n; ++k) {
    if (__builtin_add_overflow(offsets[k], std::uint64_t{out.n_atoms[k]}, &offsets[k + 1])) {
      return invalid("atom offset overflow");
    }
  }
  const std::uint64_t total_atoms = offsets[n];

  CRIVANE_ASSIGN_OR_RETURN(const SoaContext context, SoaContext::from_database(db));
  std::optional<DatabaseSchema> stored = db.schema_info();

  std::vector<Bytes> records;
  RecordBytes first_record;
  ByteSpan first;
  if (mode == ReadMode::Unmapped) {
    CRIVANE_ASSIGN_OR_RETURN(DecompressedRecords read, db.read_decompress_parallel(indices));
    records = std::move(read.records);
    if (records.size() != n) return invalid("Missing records in a parallel read");
    for (const Bytes& record : records) add_selected(record.size());
    first = as_span(records[0]);
  } else {
    CRIVANE_ASSIGN_OR_RETURN(first, mapped_record(db, indices[0], first_record));
  }

  CRIVANE_ASSIGN_OR_RETURN(const FlatRecord parsed, parse_mol_fast_soa(first, context.stride));
  std::vector<SectionSchema> first_columns;
  first_columns.reserve(parsed.sections.size());
  for (const SectionRef& s : parsed.sections) {
    CRIVANE_ASSIGN_OR_RETURN(SectionSchema column, section_schema_from_ref(s, parsed.n_atoms));
    first_columns.push_back(std::move(column));
  }
  out.uniform_schema = !stored || same_columns(first_columns, stored->sections);
  out.reference = out.uniform_schema ? std::move(first_columns) : std::move(stored->sections);
  // The keyed scatter's lookup; it borrows the keys of out.reference.
  static const std::vector<SectionSchema> kNoColumns;
  const SortedColumns lookup(out.uniform_schema ? kNoColumns : out.reference);
  if (!out.uniform_schema) {
    for (const SectionSchema& column : out.reference) CRIVANE_TRY(check_stored_column(column));
  }

  // Nothing is allocated from the index counts and the reference sizes alone:
  // together the selected records must be long enough for their shares of
  // the columns. When they are not, some record fails its scatter for sure,
  // and the scatter says why: it then runs first, allocating nothing.
  const RecordNeed need = record_need(out.reference, out.uniform_schema, context.stride);
  // Run with write false before the columns exist (no positions, no
  // out.columns), as a check.
  auto scatter = [&](bool write) {
    return scatter_all(
        Scatter{write, db, indices, mode, context.stride, out.n_atoms, offsets, out.reference,
                out.uniform_schema, lookup, out.positions.bytes.data(), out.atomic_numbers.data(),
                out.columns, records, first_record},
        n);
  };
  if (!need.fits(n, total_atoms, selected_bytes)) CRIVANE_TRY(scatter(false));

  // A keyed column of a property that no selected record has is all zeros,
  // so the selection does not bound it; a column larger than the selected
  // records must at least have cells that some record of the database holds.
  std::optional<std::uint64_t> longest;
  for (const SectionSchema& column : out.uniform_schema ? kNoColumns : out.reference) {
    if (column.per_atom || storage_of(column) != Storage::Numeric) continue;
    std::uint64_t bytes = 0;
    if (!__builtin_mul_overflow(std::uint64_t{column.slot_bytes}, std::uint64_t{n}, &bytes) &&
        bytes <= selected_bytes) {
      continue;
    }
    if (!longest) {
      CRIVANE_ASSIGN_OR_RETURN(const std::uint64_t end, mode == ReadMode::Unmapped
                                                            ? db.stored_length()
                                                            : Result<std::uint64_t>(stored_end));
      longest = longest_record(db, end);
    }
    if (column.slot_bytes > *longest) {
      return invalid(fmt::format(
          "Stored schema entry for section '{}' gives {} bytes per molecule, more than the "
          "longest record of the database holds ({} bytes); {}",
          column.key, column.slot_bytes, *longest, kDamagedSchema));
    }
  }
  // After the check above, which says more of a slot larger than any record.
  for (const SectionSchema& column : out.uniform_schema ? kNoColumns : out.reference) {
    CRIVANE_TRY(check_stored_slot(column));
  }

  // The ordered scatter writes every byte of every column; the keyed one may
  // leave a column's rows of a molecule without that section, which must
  // read as zero.
  const bool zeroed = !out.uniform_schema;
  out.total_atoms = total_atoms;
  out.positions.type_tag = context.positions_type;
  CRIVANE_ASSIGN_OR_RETURN(const std::size_t positions_bytes,
                           checked_size(total_atoms, context.stride));
  CRIVANE_ASSIGN_OR_RETURN(out.positions.bytes, ColumnBytes::allocate(positions_bytes, false));
  CRIVANE_ASSIGN_OR_RETURN(const std::size_t numbers_bytes, checked_size(total_atoms, 1));
  CRIVANE_ASSIGN_OR_RETURN(out.atomic_numbers, ColumnBytes::allocate(numbers_bytes, false));
  out.columns.reserve(out.reference.size());
  for (const SectionSchema& column : out.reference) {
    CRIVANE_ASSIGN_OR_RETURN(FlatSectionBuffer buffer, make_buffer(column, n, total_atoms, zeroed));
    out.columns.push_back(std::move(buffer));
  }

  CRIVANE_TRY(scatter(true));
  return out;
}

}  // namespace

Result<GatherResult> gather(const AtomDatabase& db, std::span<const std::size_t> indices) {
  return catch_allocation_failure([&] { return gather_records(db, indices); });
}

}  // namespace crivane::storage::soa
