// The database file: one AtomDatabase per open file.
//
// File layout: two 4096-byte header slots, then records (each compressed on
// its own with the database's codec), schema blobs and index blobs, appended
// and never rewritten. Appends write records and grow the in-memory index;
// only flush() makes them visible to a later open, by appending a schema blob
// and an index blob and then rewriting the header slot its generation picks.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "crivane/atom.hpp"
#include "crivane/compression.hpp"
#include "crivane/error.hpp"
#include "crivane/storage/bytes.hpp"
#include "crivane/storage/file.hpp"
#include "crivane/storage/header.hpp"
#include "crivane/storage/index.hpp"
#include "crivane/storage/mmap.hpp"
#include "crivane/storage/record_bytes.hpp"
#include "crivane/storage/record_format.hpp"
#include "crivane/storage/schema.hpp"

namespace crivane::storage {

// A record encoded elsewhere, handed over to the engine, with the atom count
// that goes into its index entry as given.
struct OwnedRecord {
  Bytes bytes;
  std::uint64_t n_atoms = 0;
};

// A record encoded elsewhere whose bytes stay the caller's.
struct BorrowedRecord {
  ByteSpan bytes;
  std::uint64_t n_atoms = 0;
};

// A borrowed record whose schema is derived from its bytes, parsed with the
// positions type tag given here.
struct RecordWithPositionsType {
  ByteSpan bytes;
  std::uint64_t n_atoms = 0;
  std::uint8_t positions_type = 0;
};

// Where prepare_append takes a batch's schema from: one lock for the whole
// batch, or the bytes of every record.
struct SchemaSource {
  struct Lock {
    schema::SchemaLock lock;
  };
  struct RawRecord {
    ByteSpan bytes;
    bool positions_known = false;
    std::uint8_t positions_type = 0;
  };
  struct Raw {
    std::vector<RawRecord> records;
  };

  SchemaSource(Lock lock) : source(std::move(lock)) {}
  SchemaSource(Raw raw) : source(std::move(raw)) {}

  std::variant<Lock, Raw> source;
};

// Record bytes read back, with the atom counts of their index entries.
struct DecompressedRecords {
  std::vector<Bytes> records;
  std::vector<std::uint32_t> n_atoms;
};

// The largest length the 32-bit length fields of an index entry hold. Its
// atom count field holds what a record's own does: soa::kMaxRecordAtoms.
inline constexpr std::uint64_t kMaxRecordBytes = 0xFFFFFFFF;

// Refuses record number `record` of a batch when its uncompressed length or
// atom count does not fit its index entry.
Result<void> check_record_fits_index(std::size_t record, std::uint64_t uncompressed_len,
                                     std::uint64_t n_atoms);
// The same for the stored (compressed) length.
Result<void> check_stored_record_fits_index(std::size_t record, std::uint64_t stored_len);

// Calls that return a Result report running out of memory in it as well
// (Error::out_of_memory()). schema_info() has no error to report with: its
// copy of the schema lock may throw std::bad_alloc.
class AtomDatabase {
 public:
  // What creating a database does with a file already at its path.
  enum class Existing { Replace, Refuse };

  // Writes a new database with two identical empty header slots. The file
  // gets its name only once both are synced, so `path` leads to the whole
  // new file or to what was there before, and a failed creation leaves
  // nothing behind. An existing regular file at `path` (or at the end of a
  // symbolic link) is replaced by renaming the new file over it, made beside
  // it with its permission bits: mappings and handles of the old file keep
  // its bytes. With Existing::Refuse nothing is ever replaced: anything at
  // `path` by the time the new file would get its name fails the call with
  // Error::io_errno(EEXIST).
  static Result<AtomDatabase> create_with_format(const std::filesystem::path& path,
                                                 compression::CompressionType compression,
                                                 Existing existing = Existing::Replace);
  // Opens an existing database. With `mmap` the whole file is mapped
  // read-only and a committed index is read in place (the database is then
  // read-only); `populate` pre-faults that mapping.
  static Result<AtomDatabase> open_with_options(const std::filesystem::path& path, bool mmap,
                                                bool populate);

  AtomDatabase(AtomDatabase&&) noexcept = default;
  AtomDatabase& operator=(AtomDatabase&&) noexcept = default;
  AtomDatabase(const AtomDatabase&) = delete;
  AtomDatabase& operator=(const AtomDatabase&) = delete;

  // Commits every record appended so far.
  Result<void> flush();
  // Cuts bytes past the committed end that a non-mapped open found.
  Result<void> truncate_uncommitted_tail_if_needed();

  // Appending (database_append.cpp). Each call validates its whole input and
  // merges its schema before it writes a record. A failed call leaves records,
  // index, schema lock, record format and file length as they were (a pending
  // uncommitted tail from an earlier opening may have been cut).
  Result<void> add_molecule(const atom::Molecule& molecule);
  Result<void> add_molecules(std::span<const atom::Molecule> molecules);
  // The same for molecules the caller holds elsewhere (no copy).
  Result<void> add_molecules(std::span<const atom::Molecule* const> molecules);
  // Records encoded elsewhere, under the schema they were encoded with; the
  // bytes are not parsed.
  Result<void> add_raw_soa_records_with_schema(std::span<const BorrowedRecord> records,
                                               const DatabaseSchema& schema);
  Result<void> add_owned_soa_records_with_schema(std::vector<OwnedRecord> records,
                                                 const DatabaseSchema& schema);
  // Records whose schemas are derived from their bytes.
  Result<void> add_raw_soa_records_with_positions_type(
      std::span<const RecordWithPositionsType> records);

  // Reading (database_read.cpp). Every read is const and may run on several
  // threads at once.
  //
  // The decompressed bytes of the records at `indices`, each in a new buffer,
  // in request order (an index may repeat). Through the mapping where it
  // holds a record whole, else through the file, so that records appended
  // but not committed are read too. An index without an entry fails the call
  // with "Index {} out of bounds" before anything is read.
  Result<std::vector<Bytes>> get_raw_bytes(std::span<const std::size_t> indices) const;
  // get_raw_bytes, plus the atom counts of the same index entries.
  Result<DecompressedRecords> read_decompress_parallel(std::span<const std::size_t> indices) const;
  // The decompressed bytes of the records of `entries`, in list order, read
  // on the worker pool: the reader behind the two above, which refuse an
  // entry naming bytes outside the records before they call it.
  Result<std::vector<Bytes>> decompress_entries_parallel(
      std::span<const index::MoleculeIndex> entries) const;
  // Record i's length once decompressed; nothing past the end.
  std::optional<std::uint32_t> uncompressed_size(std::size_t i) const;
  // Record i's atom count as its index entry gives it; nothing past the end.
  std::optional<std::uint32_t> num_atoms(std::size_t i) const;
  // Index entry i, whose fields the two above give, in one lookup; nothing
  // past the end.
  std::optional<index::MoleculeIndex> index_entry(std::size_t i) const;
  // The stored bytes of record i, borrowed from the data mapping: compressed
  // with the database's codec, and the record itself when the codec is none.
  // Nothing without a mapping, past the end, or when they do not lie wholly
  // inside the mapping.
  std::optional<ByteSpan> get_compressed_slice(std::size_t i) const;
  // The file's length as it is now: the stored bytes of every record a read
  // can reach lie below it.
  Result<std::uint64_t> stored_length() const;
  // The same stored bytes as a share of the mapping that outlives the
  // database.
  std::optional<SharedMmapBytes> get_shared_mmap_bytes(std::size_t i) const;
  // Whether reads go through the data mapping: it holds record 0 whole. Else
  // (no mapping, no record, or records appended since a mapped open without
  // a committed index) readers take get_raw_bytes or read_decompress_parallel.
  bool reads_through_mapping() const { return get_compressed_slice(0).has_value(); }
  // Record i's decompressed bytes read through the data mapping, never the
  // file: borrowed from the mapping when the codec is none (no copy), else
  // decompressed into a buffer of their own. Fails with "Missing mmap bytes
  // for molecule {}" (codec none) or "Missing compressed bytes for molecule
  // {}" when get_compressed_slice(i) gives nothing, as mapped_record does,
  // with the codec's error, or with Error::out_of_memory().
  Result<RecordBytes> record_bytes(std::size_t i) const;
  // The same, for a holder that outlives the database: a share of the
  // mapping when the codec is none, else the decompressed buffer.
  Result<SharedRecordBytes> shared_record_bytes(std::size_t i) const;
  std::optional<DatabaseSchema> schema_info() const;

  std::size_t len() const { return index_.len(); }
  compression::CompressionType compression() const { return compression_; }
  std::uint32_t record_format() const { return record_format_; }
  // The schema lock's positions type tag (4 or 7); nothing while unknown.
  std::optional<std::uint8_t> positions_type() const;
  bool has_schema_lock() const { return schema_lock_.has_value(); }
  bool index_is_mapped() const { return index_.is_mapped(); }
  // The path the database was created or opened with, for messages. The
  // file is never looked up by it again.
  const std::filesystem::path& path() const { return path_; }

 private:
  AtomDatabase(std::filesystem::path path, File file, compression::CompressionType compression)
      : path_(std::move(path)), compression_(compression), file_(std::move(file)) {}

  static Result<AtomDatabase> open_v1(std::filesystem::path path, File file, bool mmap,
                                      bool populate);
  // Makes this database the file's one writer, at its first write in this
  // process (a fork child writes as a new writer): a read-write description
  // of its own, its exclusive lock (another writer's refuses the call), and
  // the committed state checked. Returns the file to write through.
  Result<File*> become_writer();
  // Refuses when the file's committed state (its best header slot) is not
  // the one this database opened or last committed: another writer
  // committed meanwhile, and a cut or a header written now would remove or
  // hide its records. Refuses as well when the file has lost its last name.
  Result<void> check_committed_state(File& file);

  // Whether entry `e` names bytes where this database's records lie: from
  // the data start up to the end of the committed state or of the last
  // append. Any other entry comes from a damaged index.
  bool in_record_region(const index::MoleculeIndex& e) const;
  // Refuses entry i when it names bytes that a read source of `held` bytes
  // (the file, the mapping) holds, outside the records. An entry reaching
  // past the source is left to the read, which fails as it always has.
  Result<void> check_record_region(std::size_t i, const index::MoleculeIndex& e,
                                   std::uint64_t held) const;
  // Where record i is stored in the mapping, for a read through it: its
  // entry looked up once, refused by check_record_region against the
  // mapping, and "Missing mmap bytes for molecule {}" (codec none) or
  // "Missing compressed bytes for molecule {}" when the entry is missing or
  // its bytes are not wholly in the mapping.
  struct MappedRecord {
    std::size_t start;
    std::size_t end;
    std::uint32_t uncompressed_len;
  };
  Result<MappedRecord> mapped_record(std::size_t i) const;
  // Entry e's stored bytes [start, end) in the mapping, when they lie among
  // the records and wholly inside it.
  std::optional<std::pair<std::size_t, std::size_t>> mapped_range(
      const index::MoleculeIndex& e) const;
  // The entries of `indices` for a read, all looked up ("Index {} out of
  // bounds") before any is refused by check_record_region.
  Result<std::vector<index::MoleculeIndex>> look_up(std::span<const std::size_t> indices) const;

  // What an append leaves behind once its records are in the file: the
  // record format and the schema lock merged with the batch's. Kept aside
  // until then, so that a failed append changes neither.
  struct PreparedAppend {
    std::uint32_t record_format = soa::kRecordFormatFixedDtypes;
    schema::SchemaLock schema_lock;
  };

  // The steps every append is made of (database_append.cpp); they skip the
  // checks and the schema merge the public appends do first.
  // `records` must not be empty; `lock` is the batch's merged schema.
  Result<void> append_owned_soa_records_prevalidated(std::vector<OwnedRecord> records,
                                                     schema::SchemaLock lock);
  // Refuses a mapped index, cuts a pending tail and merges the batch's
  // schema into a copy of the database's; changes nothing else.
  Result<PreparedAppend> prepare_append(SchemaSource source);
  Result<std::uint32_t> resolved_record_format_for_schema(const schema::SchemaLock& lock) const;
  // What a batch's schema merges into: a copy of the lock, the lock rebuilt
  // from the stored records, or an empty one.
  Result<schema::SchemaLock> base_schema_lock() const;
  Result<schema::SchemaLock> rebuild_schema_lock() const;
  // Writes the records, adds their entries and only then takes on `prepared`.
  Result<void> write_owned_records(std::vector<OwnedRecord> records, PreparedAppend prepared);
  Result<void> write_borrowed_records(std::span<const BorrowedRecord> records,
                                      PreparedAppend prepared);

  index::IndexStorage index_;
  std::filesystem::path path_;
  compression::CompressionType compression_;
  std::optional<schema::SchemaLock> schema_lock_;
  // The commit this database opened or last made: what the file's best slot
  // must still be whenever it writes.
  header::HeaderSlot committed_;
  // A commit whose header write failed: it may have reached the disk anyway.
  std::optional<header::HeaderSlot> attempted_;
  std::uint64_t committed_end_ = 0;
  // Records lie in [data_start_, records_end_): the committed end, moved on
  // by this database's own appends.
  std::uint64_t data_start_ = header::kDataStart;
  std::uint64_t records_end_ = 0;
  std::shared_ptr<const Mapping> data_mmap_;
  std::uint32_t record_format_ = soa::kRecordFormatFixedDtypes;
  // The file this database works on, for its whole life: every read, append,
  // cut and commit goes through it. Read-only until become_writer() puts a
  // locked read-write description of the same file in its place.
  File file_;
  // The process in which this database holds the writer's lock; 0 before
  // its first write.
  pid_t writer_pid_ = 0;
  bool has_uncommitted_tail_ = false;
};

}  // namespace crivane::storage
