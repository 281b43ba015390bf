// AtomDatabase appends: every path settles the record format and merges the
// batch's schema first (prepare_append), then compresses the records on the
// worker pool and writes them at the end of the database's file in one pass.
// The database takes on the new format and lock only once that succeeded.
#include <fmt/format.h>

#include "crivane/parallel.hpp"
#include "crivane/record/encoder.hpp"
#include "crivane/record/layout.hpp"
#include "crivane/record/schema.hpp"
#include "crivane/storage/database.hpp"
#include "database_io.hpp"

namespace crivane::storage {
namespace {

using compression::CompressionType;
using index::MoleculeIndex;
using schema::SchemaLock;

template <class Record>
Result<void> check_records_fit_index(std::span<const Record> records) {
  for (std::size_t i = 0; i < records.size(); ++i) {
    CRIVANE_TRY(check_record_fits_index(i, records[i].bytes.size(), records[i].n_atoms));
  }
  return {};
}

}  // namespace

Result<void> check_record_fits_index(std::size_t record, std::uint64_t uncompressed_len,
                                     std::uint64_t n_atoms) {
  if (uncompressed_len > kMaxRecordBytes) {
    return unexpected(
        Error::invalid_data(fmt::format("Record {} is {} bytes; a record holds at most {}", record,
                                        uncompressed_len, kMaxRecordBytes)));
  }
  if (n_atoms > soa::kMaxRecordAtoms) {
    return unexpected(
        Error::invalid_data(fmt::format("Record {} has {} atoms; a record holds at most {}", record,
                                        n_atoms, soa::kMaxRecordAtoms)));
  }
  return {};
}

Result<void> check_stored_record_fits_index(std::size_t record, std::uint64_t stored_len) {
  if (stored_len > kMaxRecordBytes) {
    return unexpected(Error::invalid_data(
        fmt::format("Record {} is {} bytes once compressed; a record holds at most {}", record,
                    stored_len, kMaxRecordBytes)));
  }
  return {};
}

Result<void> AtomDatabase::add_molecule(const atom::Molecule& molecule) {
  const atom::Molecule* one = &molecule;
  return add_molecules(std::span<const atom::Molecule* const>(&one, 1));
}

Result<void> AtomDatabase::add_molecules(std::span<const atom::Molecule> molecules) {
  return catch_allocation_failure([&]() -> Result<void> {
    std::vector<const atom::Molecule*> pointers;
    pointers.reserve(molecules.size());
    for (const atom::Molecule& m : molecules) pointers.push_back(&m);
    return add_molecules(std::span<const atom::Molecule* const>(pointers));
  });
}

Result<void> AtomDatabase::add_molecules(std::span<const atom::Molecule* const> molecules) {
  return catch_allocation_failure([&]() -> Result<void> {
    if (molecules.empty()) return {};

    // An empty database still chooses its format; its first batch decides.
    std::uint32_t format = record_format_;
    if (format == soa::kRecordFormatFixedDtypes && len() == 0 && !schema_lock_) {
      for (const atom::Molecule* m : molecules) {
        if (soa::minimum_record_format_for_molecule(*m) == soa::kRecordFormatMixedDtypes) {
          format = soa::kRecordFormatMixedDtypes;
          break;
        }
      }
    }

    struct Encoded {
      OwnedRecord record;
      SchemaLock lock;
    };
    CRIVANE_ASSIGN_OR_RETURN(
        std::vector<Encoded> encoded,
        parallel::parallel_map<Encoded>(molecules.size(), [&](std::size_t i) -> Result<Encoded> {
          const atom::Molecule& m = *molecules[i];
          CRIVANE_ASSIGN_OR_RETURN(Bytes bytes, soa::serialize_molecule_soa(m, format));
          CRIVANE_ASSIGN_OR_RETURN(SchemaLock lock, schema::schema_from_molecule(m));
          return Encoded{OwnedRecord{std::move(bytes), m.n_atoms()}, std::move(lock)};
        }));

    // In input order, so a conflict names the earlier molecules' entry first.
    SchemaLock batch;
    for (const Encoded& e : encoded) CRIVANE_TRY(schema::merge_schema_lock(batch, e.lock));

    std::vector<OwnedRecord> records;
    records.reserve(encoded.size());
    for (Encoded& e : encoded) records.push_back(std::move(e.record));
    return append_owned_soa_records_prevalidated(std::move(records), std::move(batch));
  });
}

Result<void> AtomDatabase::add_raw_soa_records_with_schema(std::span<const BorrowedRecord> records,
                                                           const DatabaseSchema& schema) {
  return catch_allocation_failure([&]() -> Result<void> {
    if (records.empty()) return {};
    CRIVANE_TRY(check_records_fit_index(records));
    CRIVANE_ASSIGN_OR_RETURN(
        PreparedAppend prepared,
        prepare_append(SchemaSource::Lock{schema_lock_from_database_schema(schema)}));
    return write_borrowed_records(records, std::move(prepared));
  });
}

Result<void> AtomDatabase::add_owned_soa_records_with_schema(std::vector<OwnedRecord> records,
                                                             const DatabaseSchema& schema) {
  return catch_allocation_failure([&]() -> Result<void> {
    if (records.empty()) return {};
    return append_owned_soa_records_prevalidated(std::move(records),
                                                 schema_lock_from_database_schema(schema));
  });
}

Result<void> AtomDatabase::add_raw_soa_records_with_positions_type(
    std::span<const RecordWithPositionsType> records) {
  return catch_allocation_failure([&]() -> Result<void> {
    if (records.empty()) return {};
    CRIVANE_TRY(check_records_fit_index(records));
    SchemaSource::Raw raw;
    std::vector<BorrowedRecord> borrowed;
    raw.records.reserve(records.size());
    borrowed.reserve(records.size());
    for (const RecordWithPositionsType& r : records) {
      raw.records.push_back({r.bytes, true, r.positions_type});
      borrowed.push_back({r.bytes, r.n_atoms});
    }
    CRIVANE_ASSIGN_OR_RETURN(PreparedAppend prepared, prepare_append(std::move(raw)));
    return write_borrowed_records(borrowed, std::move(prepared));
  });
}

Result<void> AtomDatabase::append_owned_soa_records_prevalidated(std::vector<OwnedRecord> records,
                                                                 SchemaLock lock) {
  CRIVANE_TRY(check_records_fit_index(std::span<const OwnedRecord>(records)));
  CRIVANE_ASSIGN_OR_RETURN(PreparedAppend prepared,
                           prepare_append(SchemaSource::Lock{std::move(lock)}));
  return write_owned_records(std::move(records), std::move(prepared));
}

Result<SchemaLock> AtomDatabase::base_schema_lock() const {
  if (schema_lock_) return *schema_lock_;
  if (len() != 0) return rebuild_schema_lock();
  return SchemaLock{};
}

Result<AtomDatabase::PreparedAppend> AtomDatabase::prepare_append(SchemaSource source) {
  if (index_.is_mapped()) return unexpected(Error::invalid_data(index::kMappedIndexAppend));
  CRIVANE_TRY(truncate_uncommitted_tail_if_needed());

  // Merges go into a copy, which the database takes on only once the records
  // are written: a conflict, or a write that fails later, leaves the stored
  // lock as it was, so the next commit never names a section no record has.
  if (auto* batch = std::get_if<SchemaSource::Lock>(&source.source)) {
    CRIVANE_ASSIGN_OR_RETURN(const std::uint32_t format,
                             resolved_record_format_for_schema(batch->lock));
    CRIVANE_ASSIGN_OR_RETURN(SchemaLock merged, base_schema_lock());
    CRIVANE_TRY(schema::merge_schema_lock(merged, batch->lock));
    return PreparedAppend{format, std::move(merged)};
  }

  const auto& raw = std::get<SchemaSource::Raw>(source.source);
  CRIVANE_ASSIGN_OR_RETURN(SchemaLock merged, base_schema_lock());
  std::uint32_t format = record_format_;
  // Only an empty database may still move to format 3.
  const bool may_move_to_3 = format == soa::kRecordFormatFixedDtypes && !schema_lock_ && len() == 0;
  for (const SchemaSource::RawRecord& r : raw.records) {
    const std::optional<std::uint8_t> positions =
        r.positions_known ? std::optional<std::uint8_t>(r.positions_type) : merged.positions_type;
    Result<SchemaLock> derived = schema::record_schema(r.bytes, format, positions);
    if (!derived && format == soa::kRecordFormatFixedDtypes && may_move_to_3) {
      derived = schema::record_schema(r.bytes, soa::kRecordFormatMixedDtypes, positions);
      if (derived) format = soa::kRecordFormatMixedDtypes;
    }
    if (!derived) return unexpected(std::move(derived).error());
    CRIVANE_TRY(schema::merge_schema_lock(merged, *derived));
  }
  return PreparedAppend{format, std::move(merged)};
}

Result<std::uint32_t> AtomDatabase::resolved_record_format_for_schema(
    const SchemaLock& lock) const {
  auto current = schema::validate_schema_lock_for_record_format(record_format_, lock);
  if (current) return record_format_;
  if (record_format_ == soa::kRecordFormatFixedDtypes && len() == 0 && !schema_lock_) {
    CRIVANE_TRY(
        schema::validate_schema_lock_for_record_format(soa::kRecordFormatMixedDtypes, lock));
    return soa::kRecordFormatMixedDtypes;
  }
  return unexpected(std::move(current).error());
}

Result<SchemaLock> AtomDatabase::rebuild_schema_lock() const {
  CRIVANE_ASSIGN_OR_RETURN(const std::uint64_t file_len, file_length(file_));
  SchemaLock lock;
  for (std::size_t i = 0; i < len(); ++i) {
    const std::optional<MoleculeIndex> found = index_.entry(i);
    if (!found) return unexpected(Error::invalid_data(fmt::format("Index {} out of bounds", i)));
    const MoleculeIndex e = *found;
    CRIVANE_TRY(check_record_region(i, e, file_len));
    CRIVANE_ASSIGN_OR_RETURN(Bytes stored, detail::read_stored_record(file_, file_len, e));
    CRIVANE_ASSIGN_OR_RETURN(
        const Bytes record,
        detail::record_from_stored(std::move(stored), compression_, e.uncompressed_len));
    CRIVANE_ASSIGN_OR_RETURN(const SchemaLock derived,
                             schema::record_schema(record, record_format_, std::nullopt));
    CRIVANE_TRY(schema::merge_schema_lock(lock, derived));
  }
  return lock;
}

Result<void> AtomDatabase::write_owned_records(std::vector<OwnedRecord> records,
                                               PreparedAppend prepared) {
  // The bytes are ours until the write is done; the writer only reads them.
  std::vector<BorrowedRecord> views;
  views.reserve(records.size());
  for (const OwnedRecord& r : records) views.push_back({as_span(r.bytes), r.n_atoms});
  return write_borrowed_records(views, std::move(prepared));
}

Result<void> AtomDatabase::write_borrowed_records(std::span<const BorrowedRecord> records,
                                                  PreparedAppend prepared) {
  CRIVANE_TRY(check_records_fit_index(records));

  // Codec none stores the record bytes themselves: they go to the file
  // straight from the caller's buffers, without a copy in between.
  std::vector<Bytes> compressed;
  if (compression_.codec != CompressionType::Codec::None) {
    const CompressionType codec = compression_;
    CRIVANE_ASSIGN_OR_RETURN(compressed,
                             parallel::parallel_map<Bytes>(records.size(), [&](std::size_t i) {
                               return compression::compress(records[i].bytes, codec);
                             }));
  }
  std::vector<ByteSpan> stored;
  stored.reserve(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    stored.push_back(compressed.empty() ? records[i].bytes : as_span(compressed[i]));
    CRIVANE_TRY(check_stored_record_fits_index(i, stored[i].size()));
  }

  CRIVANE_ASSIGN_OR_RETURN(File* const out, become_writer());
  CRIVANE_ASSIGN_OR_RETURN(const std::uint64_t end, seek_end(*out));
  std::vector<MoleculeIndex> entries;
  entries.reserve(records.size());
  std::uint64_t offset = end;
  for (std::size_t i = 0; i < records.size(); ++i) {
    // All three fit: checked above.
    entries.push_back({offset, static_cast<std::uint32_t>(stored[i].size()),
                       static_cast<std::uint32_t>(records[i].bytes.size()),
                       static_cast<std::uint32_t>(records[i].n_atoms)});
    offset += stored[i].size();
  }

  Result<void> written = write_all_vectored(*out, stored);
  if (written) written = index_.extend(entries);
  if (!written) {
    // A full disk or a file-size limit may have taken part of the batch:
    // cut it, so the file ends where it did. Should the cut fail too, the
    // bytes stay behind unreferenced, as after a crash.
    (void)truncate(*out, end);
    return written;
  }
  record_format_ = prepared.record_format;
  schema_lock_ = std::move(prepared.schema_lock);
  records_end_ = offset;
  return {};
}

}  // namespace crivane::storage
