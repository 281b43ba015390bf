// Appending molecules and pre-encoded records.
#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crivane/record/encoder.hpp"
#include "crivane/record/schema.hpp"
#include "crivane/storage/database.hpp"
#include "support/db_files.hpp"
#include "support/expect.hpp"
#include "support/fork.hpp"
#include "support/le_bytes.hpp"
#include "support/temp_dir.hpp"

namespace crivane::storage {
namespace {

using atom::Molecule;
using compression::CompressionType;
using crivane::testing::fails_with;
using crivane::testing::length_of_file;
using crivane::testing::read_file;
using crivane::testing::read_slot;
using crivane::testing::record_of;
using crivane::testing::run_in_child;
using crivane::testing::seeded_molecule;
using crivane::testing::succeeds;
using crivane::testing::TempDir;
using crivane::testing::to_vec;
using crivane::testing::write_slot;
using header::kDataStart;
using types::PropertyValue;
using Records = std::vector<std::vector<std::uint8_t>>;
using crivane::testing::create_db;
using crivane::testing::open_db;

constexpr const char* kMappedRefusal =
    "Cannot add molecules to a database opened with a memory-mapped index (read-only); "
    "reopen without mmap to write.";

Records read_all(const AtomDatabase& db) {
  std::vector<std::size_t> all(db.len());
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
  auto got = db.get_raw_bytes(all);
  if (!got) ADD_FAILURE() << got.error().to_string();
  Records out;
  if (got) {
    for (const Bytes& b : *got) out.push_back(to_vec(b));
  }
  return out;
}

Molecule with_property(Molecule m, const std::string& key, PropertyValue v) {
  m.properties[key] = std::move(v);
  return m;
}

// Everything an append may change, to compare before and after a failure.
struct State {
  std::vector<std::uint8_t> file;
  std::size_t len;
  std::uint32_t record_format;
  std::optional<DatabaseSchema> schema;
  Records records;
  friend bool operator==(const State&, const State&) = default;
};

State state_of(const AtomDatabase& db) {
  return {read_file(db.path()), db.len(), db.record_format(), db.schema_info(), read_all(db)};
}

// A database at `path` with three committed records and one uncommitted
// record past the committed end: appends that fail before writing must not
// cut that tail.
AtomDatabase committed_with_tail(const std::filesystem::path& path) {
  {
    AtomDatabase db = create_db(path);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(succeeds(db.add_molecule(seeded_molecule(i, 3))));
    EXPECT_TRUE(succeeds(db.flush()));
    EXPECT_TRUE(succeeds(db.add_molecule(seeded_molecule(3, 3))));
  }
  return open_db(path, false);
}

TEST(AppendTest, EmptyInputsTouchNothing) {
  TempDir dir;
  AtomDatabase db = committed_with_tail(dir.file("db"));
  const State before = state_of(db);
  const DatabaseSchema schema;
  EXPECT_TRUE(succeeds(db.add_molecules(std::span<const Molecule>())));
  EXPECT_TRUE(succeeds(db.add_raw_soa_records_with_schema({}, schema)));
  EXPECT_TRUE(succeeds(db.add_owned_soa_records_with_schema({}, schema)));
  EXPECT_TRUE(succeeds(db.add_raw_soa_records_with_positions_type({})));
  EXPECT_EQ(state_of(db), before);  // the tail is still there
}

TEST(AppendTest, RecordsAreReadableAtOnceAndGoneWithoutACommit) {
  TempDir dir;
  const auto path = dir.file("db");
  const std::vector<Molecule> batch = {seeded_molecule(1, 4), seeded_molecule(2, 0),
                                       seeded_molecule(3, 9)};
  {
    AtomDatabase db = create_db(path);
    ASSERT_TRUE(succeeds(db.add_molecules(batch)));
    ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(4, 1))));
    const auto got = read_all(db);
    ASSERT_EQ(got.size(), 4u);
    for (std::size_t i = 0; i < batch.size(); ++i) EXPECT_EQ(got[i], record_of(batch[i], 2));
    EXPECT_EQ(got[3], record_of(seeded_molecule(4, 1), 2));
    EXPECT_EQ(db.num_atoms(2), 9u);
    // Appends never touch a header slot.
    EXPECT_EQ(read_slot(path, 0), read_slot(path, 1));
    EXPECT_EQ(read_slot(path, 1)->generation, 0u);
  }
  EXPECT_EQ(open_db(path, false).len(), 0u);
}

// Molecules given as pointers to where the caller keeps them.
TEST(AppendTest, MoleculesByPointer) {
  TempDir dir;
  AtomDatabase db = create_db(dir.file("db"));
  const Molecule a = seeded_molecule(7, 2), b = seeded_molecule(8, 3);
  const Molecule* both[] = {&b, &a};
  ASSERT_TRUE(succeeds(db.add_molecules(std::span<const Molecule* const>(both))));
  EXPECT_EQ(read_all(db), (Records{record_of(b, 2), record_of(a, 2)}));
}

TEST(AppendTest, TheFirstBatchChoosesTheRecordFormat) {
  Molecule f32_energy = seeded_molecule(2, 3);
  f32_energy.energy = types::FloatScalarData(2.5f);
  const Molecule f64_positions =
      *Molecule::create_f64({{1.0, 2.0, 3.0}, {4.0, 5.0, 6.0}}, std::vector<std::uint8_t>{6, 8});
  struct Case {
    const char* name;
    std::vector<Molecule> batch;
    std::uint32_t format;
    std::uint8_t positions_type;
  };
  const Case cases[] = {
      {"all fit format 2", {seeded_molecule(1, 2), seeded_molecule(2, 3)}, 2, 4},
      {"float32 energy in the second molecule",
       {*Molecule::create({{1, 2, 3}}, {4}), f32_energy},
       3,
       4},
      {"float64 positions", {f64_positions}, 3, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    AtomDatabase db = create_db(dir.file("db"));
    ASSERT_TRUE(succeeds(db.add_molecules(c.batch)));
    EXPECT_EQ(db.record_format(), c.format);
    EXPECT_EQ(db.positions_type(), std::optional<std::uint8_t>(c.positions_type));
    // Every molecule of the batch is encoded under the batch's format.
    const auto got = read_all(db);
    ASSERT_EQ(got.size(), c.batch.size());
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], record_of(c.batch[i], c.format));
  }
}

TEST(AppendTest, AFormat2DatabaseWithDataStaysAtFormat2) {
  TempDir dir;
  AtomDatabase db = create_db(dir.file("db"));
  ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(1, 2))));
  const State before = state_of(db);

  const Molecule f64 = *Molecule::create_f64({{1.0, 2.0, 3.0}}, std::vector<std::uint8_t>{1});
  EXPECT_TRUE(
      fails_with(db.add_molecule(f64), "record format 2 does not support float64 positions"));
  Molecule f32_energy = seeded_molecule(2, 2);
  f32_energy.energy = types::FloatScalarData(1.0f);
  EXPECT_TRUE(fails_with(db.add_molecules(std::vector{seeded_molecule(3, 2), f32_energy}),
                         "record format 2 does not support float32 energy"));
  EXPECT_EQ(state_of(db), before);
}

TEST(AppendTest, ASchemaConflictInsideABatchFailsBeforeTheCut) {
  TempDir dir;
  AtomDatabase db = committed_with_tail(dir.file("db"));
  const State before = state_of(db);
  const std::vector<Molecule> batch = {
      with_property(seeded_molecule(5, 2), "x", PropertyValue(std::int64_t{1})),
      with_property(seeded_molecule(6, 2), "x", PropertyValue(2.0)),
  };
  EXPECT_TRUE(fails_with(db.add_molecules(batch),
                         "Schema mismatch for section 'x': expected SchemaEntry { type_tag: 1, "
                         "per_atom: false, elem_bytes: 8, slot_bytes: 8 }, got SchemaEntry { "
                         "type_tag: 0, per_atom: false, elem_bytes: 8, slot_bytes: 8 }"));
  EXPECT_EQ(state_of(db), before);
}

// Appends that fail before any record is written leave records, index,
// schema lock, record format and file bytes as they were.
TEST(AppendTest, FailedAppendsChangeNothing) {
  const Molecule stored = with_property(seeded_molecule(1, 3), "x", PropertyValue(std::int64_t{1}));
  const std::vector<std::uint8_t> stored_record = record_of(stored, 2);
  Molecule bad_forces = seeded_molecule(2, 3);
  bad_forces.forces = types::Vec3Data(std::vector<types::Vec3F32>(2));
  Molecule both_scopes = seeded_molecule(3, 3);
  both_scopes.atom_properties["seed"] = PropertyValue(std::monostate{});

  struct Case {
    const char* name;
    std::function<Result<void>(AtomDatabase&)> append;
    std::string message;
  };
  const Case cases[] = {
      {"molecule conflicting with the stored lock",
       [](AtomDatabase& db) {
         // "a" is new and merges before "x" fails: the stored lock must not keep it.
         Molecule m = with_property(seeded_molecule(4, 3), "a", PropertyValue(std::int64_t{2}));
         return db.add_molecule(with_property(std::move(m), "x", PropertyValue(1.0)));
       },
       "Schema mismatch for section 'x': expected SchemaEntry { type_tag: 1, per_atom: false, "
       "elem_bytes: 8, slot_bytes: 8 }, got SchemaEntry { type_tag: 0, per_atom: false, "
       "elem_bytes: 8, slot_bytes: 8 }"},
      {"forces shorter than the positions",
       [&](AtomDatabase& db) {
         return db.add_molecules(std::vector{seeded_molecule(5, 3), bad_forces});
       },
       "Section 'forces' payload length 24 does not match expected 36"},
      {"key in both scopes", [&](AtomDatabase& db) { return db.add_molecule(both_scopes); },
       "Custom property 'seed' exists in both atom and molecule scopes"},
      {"raw records whose schema conflicts",
       [&](AtomDatabase& db) {
         DatabaseSchema s = database_schema_from_lock(*schema::record_schema(stored_record, 2, 4));
         for (auto& section : s.sections) {
           if (section.key == "x")
             section.type_tag = 2, section.elem_bytes = section.slot_bytes = 0;
         }
         s.sections.push_back({"a", 0, 0, false, 2, 13});
         const BorrowedRecord r{stored_record, 3};
         return db.add_raw_soa_records_with_schema(std::span(&r, 1), s);
       },
       "Schema mismatch for section 'x': expected SchemaEntry { type_tag: 1, per_atom: false, "
       "elem_bytes: 8, slot_bytes: 8 }, got SchemaEntry { type_tag: 2, per_atom: false, "
       "elem_bytes: 0, slot_bytes: 0 }"},
      {"owned records with float64 positions on format 2",
       [&](AtomDatabase& db) {
         DatabaseSchema s;
         s.positions_type = 7;
         std::vector<OwnedRecord> records(1);
         records[0].bytes.assign(stored_record.begin(), stored_record.end());
         return db.add_owned_soa_records_with_schema(std::move(records), s);
       },
       "record format 2 does not support float64 positions"},
      {"a truncated raw record after a good one",
       [&](AtomDatabase& db) {
         const std::vector<std::uint8_t> cut(stored_record.begin(), stored_record.begin() + 5);
         const RecordWithPositionsType rs[] = {{stored_record, 3, 4}, {cut, 3, 4}};
         return db.add_raw_soa_records_with_positions_type(rs);
       },
       "SOA record too small"},
      {"an atom count past the index entry's width",
       [&](AtomDatabase& db) {
         const BorrowedRecord rs[] = {{stored_record, 3}, {stored_record, 1ull << 32}};
         return db.add_raw_soa_records_with_schema(rs, DatabaseSchema{});
       },
       "Record 1 has 4294967296 atoms; a record holds at most 4294967295"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    AtomDatabase db = create_db(dir.file("db"));
    ASSERT_TRUE(succeeds(db.add_molecule(stored)));
    const State before = state_of(db);
    EXPECT_TRUE(fails_with(c.append(db), c.message));
    EXPECT_EQ(state_of(db), before);
  }
}

// Appends that fail while writing (here at a file-size limit, which a full
// disk matches) store nothing and keep nothing of their schema: lock, record
// format, length and file stay as they were, a commit names no section of
// the failed batch, and its new key may come back with another type.
TEST(AppendTest, AppendsThatFailToWriteKeepNothingOfTheirSchema) {
  // The key the failed append brings in: an Int, and on retry a String.
  auto fresh = [](Molecule m, bool retry) {
    return with_property(
        std::move(m), "fresh",
        retry ? PropertyValue(std::string("again")) : PropertyValue(std::int64_t{7}));
  };
  auto records = [&](bool retry) {
    return std::vector{record_of(fresh(seeded_molecule(20, 3), retry), 2),
                       record_of(fresh(seeded_molecule(21, 2), retry), 2)};
  };
  auto schema_of = [&](bool retry) {
    return database_schema_from_lock(
        *schema::schema_from_molecule(fresh(seeded_molecule(20, 3), retry)));
  };
  const std::uint64_t first_record = record_of(fresh(seeded_molecule(11, 3), false), 2).size();

  struct Case {
    const char* name;
    bool empty;  // a new database: the batch would choose record format and positions type
    std::function<Result<void>(AtomDatabase&, bool retry)> append;
    std::uint64_t room;  // bytes the limit leaves past the file's end
  };
  const Case cases[] = {
      {"one molecule", false,
       [&](AtomDatabase& db, bool retry) {
         return db.add_molecule(fresh(seeded_molecule(10, 3), retry));
       },
       5},
      {"molecules, the limit inside the second", false,
       [&](AtomDatabase& db, bool retry) {
         return db.add_molecules(std::vector{fresh(seeded_molecule(11, 3), retry),
                                             fresh(seeded_molecule(12, 3), retry)});
       },
       first_record + 5},
      {"owned records with a schema", false,
       [&](AtomDatabase& db, bool retry) {
         const auto rs = records(retry);
         std::vector<OwnedRecord> owned;
         owned.push_back({Bytes(rs[0].begin(), rs[0].end()), 3});
         owned.push_back({Bytes(rs[1].begin(), rs[1].end()), 2});
         return db.add_owned_soa_records_with_schema(std::move(owned), schema_of(retry));
       },
       5},
      {"borrowed records with a schema", false,
       [&](AtomDatabase& db, bool retry) {
         const auto rs = records(retry);
         const BorrowedRecord borrowed[] = {{rs[0], 3}, {rs[1], 2}};
         return db.add_raw_soa_records_with_schema(borrowed, schema_of(retry));
       },
       5},
      {"records parsed with their positions type", false,
       [&](AtomDatabase& db, bool retry) {
         const auto rs = records(retry);
         const RecordWithPositionsType typed[] = {{rs[0], 3, 4}, {rs[1], 2, 4}};
         return db.add_raw_soa_records_with_positions_type(typed);
       },
       5},
      {"the first batch of a new database", true,
       [&](AtomDatabase& db, bool retry) {
         // Float32 energy would move the database to format 3 and fix float32
         // positions; the retry brings float64 positions.
         Molecule m = retry ? *Molecule::create_f64({{1.0, 2.0, 3.0}}, std::vector<std::uint8_t>{8})
                            : seeded_molecule(13, 3);
         m.energy = types::FloatScalarData(2.5f);
         return db.add_molecule(fresh(std::move(m), retry));
       },
       5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto path = dir.file("db");
    run_in_child([&] {
      // Past the limit a write fails with EFBIG instead of killing the process.
      ASSERT_NE(::signal(SIGXFSZ, SIG_IGN), SIG_ERR);
      AtomDatabase db = create_db(path);
      if (!c.empty) {
        ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(0, 3))));
        ASSERT_TRUE(succeeds(db.flush()));
        ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(1, 3))));  // appended, not committed
      }
      const State before = state_of(db);

      rlimit usual;
      ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &usual), 0);
      rlimit limited = usual;
      limited.rlim_cur = length_of_file(path) + c.room;
      ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
      const Result<void> failed = c.append(db, false);
      ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &usual), 0);
      ASSERT_FALSE(failed.has_value());
      EXPECT_EQ(failed.error(), Error::io_errno(EFBIG));

      EXPECT_EQ(state_of(db), before);
      ASSERT_TRUE(succeeds(db.flush()));
      EXPECT_EQ(open_db(path, false).schema_info(), before.schema);
      EXPECT_TRUE(succeeds(c.append(db, true)));
    });
  }
}

// The index takes a batch's entries only once its bytes are written. When
// it cannot grow, the append fails with an error value and cuts the bytes
// off again, as after any failed write.
TEST(AppendTest, AnIndexThatCannotGrowFailsTheAppendAndCutsItsBytes) {
  if (!crivane::testing::kAddressSpaceLimitWorks) GTEST_SKIP() << "sanitizers reserve the space";
  const DatabaseSchema schema{{}, 4};
  const std::vector<std::uint8_t> empty = {0, 0, 0, 0, 0, 0};  // no atoms, no sections
  constexpr std::size_t kEntries = std::size_t{1} << 20;
  TempDir dir;
  const auto path = dir.file("db");
  // All in one child: the limit is the child's, and so is the writer.
  crivane::testing::run_in_child([&] {
    AtomDatabase db = create_db(path);
    {
      // One range insert into an empty index: its buffer holds these 20 MB
      // of entries and no more, so the next entry needs 40 MB.
      const std::vector<BorrowedRecord> many(kEntries, BorrowedRecord{empty, 0});
      ASSERT_TRUE(succeeds(db.add_raw_soa_records_with_schema(many, schema)));
    }
    const std::uint64_t file_len = length_of_file(path);
    {
      const crivane::testing::SpareAddressSpace limit(std::uint64_t{8} << 20);
      const BorrowedRecord one[] = {{empty, 0}};
      const Result<void> failed = db.add_raw_soa_records_with_schema(one, schema);
      ASSERT_FALSE(failed.has_value());
      EXPECT_TRUE(failed.error().is_out_of_memory()) << failed.error().debug();
      EXPECT_EQ(db.len(), kEntries);
      EXPECT_EQ(length_of_file(path), file_len);
    }
    // Nothing of the failed append reaches a commit.
    ASSERT_TRUE(succeeds(db.flush()));
    EXPECT_EQ(open_db(path, false).len(), kEntries);
  });
}

TEST(AppendTest, AMappedCommittedDatabaseRefusesEveryAppend) {
  TempDir dir;
  const auto path = dir.file("db");
  {
    AtomDatabase db = create_db(path);
    ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(1, 2))));
    ASSERT_TRUE(succeeds(db.flush()));
  }
  AtomDatabase db = open_db(path, true);
  const State before = state_of(db);
  const std::vector<std::uint8_t> record = record_of(seeded_molecule(2, 2), 2);
  const BorrowedRecord borrowed{record, 2};
  const RecordWithPositionsType typed{record, 2, 4};
  std::vector<OwnedRecord> owned(1);
  owned[0].bytes.assign(record.begin(), record.end());

  EXPECT_TRUE(fails_with(db.add_molecule(seeded_molecule(2, 2)), kMappedRefusal));
  EXPECT_TRUE(
      fails_with(db.add_raw_soa_records_with_schema(std::span(&borrowed, 1), {}), kMappedRefusal));
  EXPECT_TRUE(
      fails_with(db.add_owned_soa_records_with_schema(std::move(owned), {}), kMappedRefusal));
  EXPECT_TRUE(
      fails_with(db.add_raw_soa_records_with_positions_type(std::span(&typed, 1)), kMappedRefusal));
  // A molecule that cannot be encoded reports that first.
  const Molecule f64 = *Molecule::create_f64({{1.0, 2.0, 3.0}}, std::vector<std::uint8_t>{1});
  EXPECT_TRUE(
      fails_with(db.add_molecule(f64), "record format 2 does not support float64 positions"));
  EXPECT_EQ(state_of(db), before);
}

// Mapped, but no committed index: appends work, land after the file's
// bytes as they were, and are read through the file.
TEST(AppendTest, AMappedOpenWithoutAnIndexAppendsAfterTheFile) {
  TempDir dir;
  const auto path = dir.file("db");
  {
    AtomDatabase db = create_db(path);
    ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(1, 2))));  // never committed
  }
  const std::uint64_t with_tail = length_of_file(path);
  AtomDatabase db = open_db(path, true);
  ASSERT_FALSE(db.index_is_mapped());
  const Molecule m = seeded_molecule(2, 5);
  ASSERT_TRUE(succeeds(db.add_molecule(m)));
  EXPECT_EQ(length_of_file(path), with_tail + record_of(m, 2).size());
  EXPECT_FALSE(db.get_shared_mmap_bytes(0).has_value());
  EXPECT_EQ(read_all(db), Records{record_of(m, 2)});
  ASSERT_TRUE(succeeds(db.flush()));

  AtomDatabase reopened = open_db(path, true);
  ASSERT_EQ(reopened.len(), 1u);
  EXPECT_EQ(reopened.get_shared_mmap_bytes(0)->start(), with_tail);
  EXPECT_EQ(read_all(reopened), Records{record_of(m, 2)});
}

TEST(AppendTest, RawRecordsRetryUnderFormat3) {
  Molecule energy_only = *Molecule::create({{0, 0, 0}, {1, 1, 1}}, {1, 2});
  energy_only.energy = types::FloatScalarData(-2.0);
  Molecule f32_cell = *Molecule::create({{2, 2, 2}}, {3});
  f32_cell.cell = types::Mat3Data(types::Mat3F32{});
  const auto first = record_of(energy_only, 2);
  const auto second = record_of(f32_cell, 3);

  TempDir dir;
  AtomDatabase db = create_db(dir.file("db"));
  const RecordWithPositionsType records[] = {{first, 2, 4}, {second, 1, 4}};
  ASSERT_TRUE(succeeds(db.add_raw_soa_records_with_positions_type(records)));
  EXPECT_EQ(db.record_format(), 3u);
  EXPECT_EQ(read_all(db), (Records{first, second}));
  const DatabaseSchema expected{{{"cell", 36, 36, false, 0, 12}, {"energy", 8, 8, false, 0, 0}}, 4};
  EXPECT_EQ(db.schema_info(), expected);

  // Once a database has records, format 2 is final.
  TempDir dir2;
  AtomDatabase db2 = create_db(dir2.file("db"));
  ASSERT_TRUE(succeeds(db2.add_raw_soa_records_with_positions_type(std::span(records, 1))));
  EXPECT_TRUE(fails_with(db2.add_raw_soa_records_with_positions_type(std::span(records + 1, 1)),
                         "record format 2 does not support float32 cell"));
  EXPECT_EQ(db2.record_format(), 2u);
}

TEST(AppendTest, RawRecordsFailingBothFormatsReportTheRetry) {
  TempDir dir;
  AtomDatabase db = create_db(dir.file("db"));
  const auto good = record_of(*Molecule::create({{0, 0, 0}, {1, 1, 1}}, {1, 2}), 2);
  // Declared float64 positions but only float32 rows: too short under 3.
  const RecordWithPositionsType records[] = {{good, 2, 7}};
  EXPECT_TRUE(fails_with(db.add_raw_soa_records_with_positions_type(records),
                         "SOA record truncated at positions"));
  EXPECT_EQ(db.record_format(), 2u);
  EXPECT_FALSE(db.has_schema_lock());
  EXPECT_EQ(db.len(), 0u);
}

// Records with a schema are stored as given: the bytes are not parsed and
// the atom count goes into the entry unchecked.
TEST(AppendTest, PreEncodedRecordsWithASchema) {
  const DatabaseSchema schema{{{"note", 0, 0, false, 2, 2}}, 4};
  const std::vector<std::uint8_t> opaque = {'n', 'o', 't', ' ', 'a', ' ', 'r', 'e', 'c'};
  TempDir dir;
  AtomDatabase db = create_db(dir.file("db"), CompressionType::Lz4());
  const BorrowedRecord borrowed[] = {{opaque, 99}};
  ASSERT_TRUE(succeeds(db.add_raw_soa_records_with_schema(borrowed, schema)));
  std::vector<OwnedRecord> owned(2);
  owned[0] = {Bytes(opaque.begin(), opaque.begin() + 3), 1};
  owned[1] = {Bytes(), 0};
  ASSERT_TRUE(succeeds(db.add_owned_soa_records_with_schema(std::move(owned), schema)));

  EXPECT_EQ(read_all(db), (Records{opaque, {'n', 'o', 't'}, {}}));
  EXPECT_EQ(db.num_atoms(0), 99u);
  EXPECT_EQ(db.uncompressed_size(1), 3u);
  EXPECT_EQ(db.schema_info(), schema);
}

// A committed index without a schema blob: the lock is rebuilt from the
// stored records at the next append.
TEST(AppendTest, RebuildsAMissingSchemaLock) {
  const Molecule x_int = with_property(seeded_molecule(1, 2), "x", PropertyValue(std::int64_t{1}));
  for (const CompressionType c : {CompressionType::None(), CompressionType::Zstd(1)}) {
    SCOPED_TRACE(static_cast<int>(c.codec_code()));
    TempDir dir;
    const auto path = dir.file("db");
    DatabaseSchema full;
    {
      AtomDatabase db = create_db(path, c);
      ASSERT_TRUE(succeeds(db.add_molecules(std::vector{x_int, seeded_molecule(2, 4)})));
      ASSERT_TRUE(succeeds(db.flush()));
      full = *db.schema_info();
    }
    header::HeaderSlot slot = *read_slot(path, 1);
    slot.schema_offset = slot.schema_len = 0;
    write_slot(path, 1, slot);

    AtomDatabase db = open_db(path, false);
    ASSERT_FALSE(db.has_schema_lock());
    EXPECT_TRUE(fails_with(
        db.add_molecule(with_property(seeded_molecule(3, 1), "x", PropertyValue(2.0))),
        "Schema mismatch for section 'x': expected SchemaEntry { type_tag: 1, per_atom: false, "
        "elem_bytes: 8, slot_bytes: 8 }, got SchemaEntry { type_tag: 0, per_atom: false, "
        "elem_bytes: 8, slot_bytes: 8 }"));
    EXPECT_FALSE(db.has_schema_lock());
    // The molecule adds no section, so the lock is the rebuilt one; format 2
    // records fix the positions type themselves.
    ASSERT_TRUE(succeeds(db.add_molecule(seeded_molecule(4, 1))));
    EXPECT_EQ(db.schema_info(), full);
  }
}

TEST(AppendTest, RecordLimits) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
  EXPECT_TRUE(succeeds(check_record_fits_index(0, kMax, kMax)));
  EXPECT_TRUE(fails_with(check_record_fits_index(3, kMax + 1, 1),
                         "Record 3 is 4294967296 bytes; a record holds at most 4294967295"));
  EXPECT_TRUE(fails_with(check_record_fits_index(0, 10, kMax + 1),
                         "Record 0 has 4294967296 atoms; a record holds at most 4294967295"));
  EXPECT_TRUE(succeeds(check_stored_record_fits_index(0, kMax)));
  EXPECT_TRUE(fails_with(
      check_stored_record_fits_index(7, std::numeric_limits<std::uint64_t>::max()),
      "Record 7 is 18446744073709551615 bytes once compressed; a record holds at most 4294967295"));
}

// Batches wider than one writev call, for every codec: contiguous entries
// from the old end of the file, bytes back as written.
TEST(AppendTest, LargeBatchesRoundTripForEveryCodec) {
  std::vector<Molecule> batch;
  for (std::size_t i = 0; i < 2100; ++i) batch.push_back(seeded_molecule(i, i % 13));
  for (const CompressionType c :
       {CompressionType::None(), CompressionType::Lz4(), CompressionType::Zstd(3)}) {
    SCOPED_TRACE(static_cast<int>(c.codec_code()));
    TempDir dir;
    const auto path = dir.file("db");
    {
      AtomDatabase db = create_db(path, c);
      ASSERT_TRUE(succeeds(db.add_molecule(batch[0])));
      ASSERT_TRUE(succeeds(db.add_molecules(batch)));
      ASSERT_TRUE(succeeds(db.flush()));
    }
    for (const bool mmap : {false, true}) {
      AtomDatabase db = open_db(path, mmap);
      ASSERT_EQ(db.len(), batch.size() + 1);
      const auto got = read_all(db);
      ASSERT_EQ(got.size(), batch.size() + 1);
      for (std::size_t i = 0; i < batch.size(); ++i) {
        ASSERT_EQ(got[i + 1], record_of(batch[i], 2)) << i;
      }
      if (mmap) {
        std::uint64_t end = kDataStart;
        for (std::size_t i = 0; i < db.len(); ++i) {
          const auto slice = db.get_shared_mmap_bytes(i);
          ASSERT_TRUE(slice.has_value());
          ASSERT_EQ(slice->start(), end);
          end = slice->end();
        }
        EXPECT_EQ(end, read_slot(path, 1)->schema_offset);
      }
    }
  }
}

}  // namespace
}  // namespace crivane::storage
