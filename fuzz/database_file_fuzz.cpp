// A whole database file from arbitrary bytes: opened with and without a
// mapping, every record read back (also one by one through the mapping, as
// record views read them, decompressing where the codec asks), then one
// append and one commit, after which the file must open again.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "crivane/storage/database.hpp"
#include "scratch_file.hpp"

using namespace crivane;
using crivane::storage::AtomDatabase;

namespace {

// Records one at a time (a damaged entry may claim a large record), then a
// few in one parallel read.
void read_everything(const AtomDatabase& db) {
  for (std::size_t i = 0; i < db.len(); ++i) {
    auto got = db.get_raw_bytes(std::vector<std::size_t>{i});
    if (got && got->size() != 1) std::abort();
  }
  if (db.len() > 0) {
    const std::vector<std::size_t> some = {0, db.len() / 2, 0};
    auto got = db.read_decompress_parallel(some);
    if (got && (got->records.size() != 3 || got->n_atoms.size() != 3)) std::abort();
  }
  if (db.read_decompress_parallel(std::vector<std::size_t>{db.len()})) std::abort();
  for (std::size_t i = 0; i <= db.len(); ++i) {
    const auto share = db.get_shared_mmap_bytes(i);
    const auto slice = db.get_compressed_slice(i);
    if (share.has_value() != slice.has_value()) std::abort();
    if (share && (share->size() != slice->size() || share->as_slice().data() != slice->data())) {
      std::abort();
    }
    (void)db.uncompressed_size(i);
    (void)db.num_atoms(i);
  }
  (void)db.schema_info();
}

// A record read through the mapping, and a copy of its bytes to compare it
// with once the database is gone.
struct KeptRecord {
  storage::SharedRecordBytes bytes;
  std::vector<std::uint8_t> copy;
};

bool same_bytes(ByteSpan a, ByteSpan b) { return std::ranges::equal(a, b); }

// The first records (kMaxRecordReads at most) and the index after them, read
// one by one the way record views and the flat export read them. The two
// accessors agree with each other and with get_raw_bytes, and without a
// codec they hand out the mapping's own bytes. What they read goes to `kept`.
constexpr std::size_t kMaxRecordReads = 64;

void read_records(const AtomDatabase& db, std::vector<KeptRecord>& kept) {
  const bool plain = db.compression().codec == compression::CompressionType::Codec::None;
  const std::size_t n = std::min(db.len(), kMaxRecordReads);
  for (std::size_t i = 0; i <= n; ++i) {
    const auto stored = db.get_compressed_slice(i);
    auto record = db.record_bytes(i);
    auto shared = db.shared_record_bytes(i);
    if (record.has_value() != shared.has_value()) std::abort();
    if (!record) {
      if (record.error() != shared.error()) std::abort();
      // Only the codec fails a record that the mapping holds.
      if (stored && (plain || record.error().kind() != Error::Kind::Compression)) std::abort();
      continue;
    }
    if (!stored) std::abort();
    if (record->is_borrowed() != plain || shared->is_shared() != plain) std::abort();
    if (plain &&
        (record->span().data() != stored->data() || shared->span().data() != stored->data())) {
      std::abort();
    }
    if (!same_bytes(record->span(), shared->span())) std::abort();
    auto raw = db.get_raw_bytes(std::vector<std::size_t>{i});
    if (!raw || !same_bytes(record->span(), as_span(raw->front()))) std::abort();
    const ByteSpan bytes = shared->span();
    kept.push_back({std::move(shared).value(), {bytes.begin(), bytes.end()}});
  }
}

// Read after their database is gone, before its file changes.
void check_kept(std::vector<KeptRecord>& kept) {
  for (const KeptRecord& k : kept) {
    if (!same_bytes(k.bytes.span(), k.copy)) std::abort();
  }
  kept.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto& path = fuzz::scratch_file();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  std::vector<KeptRecord> kept;
  if (auto mapped = AtomDatabase::open_with_options(path, true, false)) {
    read_everything(*mapped);
    read_records(*mapped, kept);
  }
  check_kept(kept);

  auto db = AtomDatabase::open_with_options(path, false, false);
  if (!db) return 0;
  read_everything(*db);
  read_records(*db, kept);
  if (!kept.empty()) std::abort();  // nothing is read through a mapping it lacks
  auto m = atom::Molecule::create({{1.0f, 2.0f, 3.0f}}, {6});
  (void)db->add_molecule(*m);
  if (!db->flush()) return 0;
  // A commit leaves a file that opens, whatever it was before.
  auto reopened = AtomDatabase::open_with_options(path, false, false);
  if (!reopened) std::abort();
  read_everything(*reopened);
  read_records(*reopened, kept);
  if (!kept.empty()) std::abort();
  return 0;
}
