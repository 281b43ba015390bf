// A whole database file from arbitrary bytes: opened with and without a
// mapping, every record read back, then one append and one commit, after
// which the file must open again.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "crivane/storage/database.hpp"

using namespace crivane;
using crivane::storage::AtomDatabase;

namespace {

// One scratch file per process, on tmpfs when there is one: commits sync.
struct ScratchFile {
  ScratchFile() {
    std::filesystem::path base = std::filesystem::temp_directory_path();
    if (std::filesystem::is_directory("/dev/shm")) base = "/dev/shm";
    std::string tmpl = (base / "crivane-fuzz-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    dir = tmpl;
    path = dir / "db";
  }
  ~ScratchFile() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::filesystem::path dir, path;
};

const std::filesystem::path& scratch_file() {
  static const ScratchFile file;
  return file.path;
}

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto& path = scratch_file();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  if (auto mapped = AtomDatabase::open_with_options(path, true, false)) read_everything(*mapped);

  auto db = AtomDatabase::open_with_options(path, false, false);
  if (!db) return 0;
  read_everything(*db);
  auto m = atom::Molecule::create({{1.0f, 2.0f, 3.0f}}, {6});
  (void)db->add_molecule(*m);
  if (!db->flush()) return 0;
  // A commit leaves a file that opens, whatever it was before.
  auto reopened = AtomDatabase::open_with_options(path, false, false);
  if (!reopened) std::abort();
  read_everything(*reopened);
  return 0;
}
