// Throughput of the database file: 100k molecules of 64 atoms (positions,
// forces, energy, cell, pbc) appended with add_molecules and read back, for
// each codec, next to a baseline of the same record bytes written with one
// write + fsync and read with one read + memcpy.
//
// Bytes are the uncompressed record bytes for every codec, so MB/s compare
// the same logical data. Reads run with the file in the page cache.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "crivane/record/encoder.hpp"
#include "crivane/storage/database.hpp"

namespace {

using crivane::Bytes;
using crivane::atom::Molecule;
using crivane::compression::CompressionType;
using crivane::storage::AtomDatabase;

constexpr std::size_t kMolecules = 100'000;
constexpr std::size_t kAtoms = 64;

const std::vector<Molecule>& molecules() {
  static const std::vector<Molecule> ms = [] {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> coord(0.0f, 20.0f), force(-1.0f, 1.0f);
    std::vector<Molecule> out;
    out.reserve(kMolecules);
    for (std::size_t i = 0; i < kMolecules; ++i) {
      std::vector<crivane::types::Vec3F32> positions(kAtoms), forces(kAtoms);
      std::vector<std::uint8_t> numbers(kAtoms);
      for (std::size_t a = 0; a < kAtoms; ++a) {
        positions[a] = {coord(rng), coord(rng), coord(rng)};
        forces[a] = {force(rng), force(rng), force(rng)};
        numbers[a] = static_cast<std::uint8_t>(1 + rng() % 8);
      }
      Molecule m = *Molecule::create(std::move(positions), std::move(numbers));
      m.forces = crivane::types::Vec3Data(std::move(forces));
      m.energy = crivane::types::FloatScalarData(-0.01 * static_cast<double>(i));
      m.cell = crivane::types::Mat3Data(
          crivane::types::Mat3F64{{{20.0, 0.0, 0.0}, {0.0, 20.0, 0.0}, {0.0, 0.0, 20.0}}});
      m.pbc = std::array<bool, 3>{true, true, true};
      out.push_back(std::move(m));
    }
    return out;
  }();
  return ms;
}

// The stored records back to back, for the baseline.
const Bytes& all_record_bytes() {
  static const Bytes all = [] {
    Bytes out;
    for (const Molecule& m : molecules()) {
      const Bytes r = *crivane::storage::soa::serialize_molecule_soa(
          m, crivane::storage::soa::kRecordFormatFixedDtypes);
      out.insert(out.end(), r.begin(), r.end());
    }
    return out;
  }();
  return all;
}

struct ScratchDir {
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "crivane-bench-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    path = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::filesystem::path path;
};

ScratchDir& scratch() {
  static ScratchDir dir;
  return dir;
}

CompressionType codec_of(std::int64_t arg) {
  switch (arg) {
    case 1:
      return CompressionType::Lz4();
    case 2:
      return CompressionType::Zstd(3);
    default:
      return CompressionType::None();
  }
}

const char* codec_name(std::int64_t arg) { return arg == 1 ? "lz4" : arg == 2 ? "zstd3" : "none"; }

std::filesystem::path db_path(std::int64_t codec) {
  return scratch().path / (std::string("db-") + codec_name(codec));
}

void fail(benchmark::State& state, const crivane::Error& e) {
  state.SkipWithError(e.to_string().c_str());
}

void set_rates(benchmark::State& state) {
  const double bytes = static_cast<double>(all_record_bytes().size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kMolecules));
  state.counters["MB/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * bytes / 1e6,
                                              benchmark::Counter::kIsRate);
  state.counters["mol/s"] = benchmark::Counter(static_cast<double>(state.iterations() * kMolecules),
                                               benchmark::Counter::kIsRate);
}

// Builds the database of one codec once, for the read benchmarks.
bool ensure_db(benchmark::State& state, std::int64_t codec) {
  static std::map<std::int64_t, bool> built;
  if (built[codec]) return true;
  auto db = AtomDatabase::create_with_format(db_path(codec), codec_of(codec));
  if (!db) return fail(state, db.error()), false;
  if (auto r = db->add_molecules(molecules()); !r) return fail(state, r.error()), false;
  if (auto r = db->flush(); !r) return fail(state, r.error()), false;
  return built[codec] = true;
}

std::vector<std::size_t> all_indices() {
  std::vector<std::size_t> v(kMolecules);
  for (std::size_t i = 0; i < kMolecules; ++i) v[i] = i;
  return v;
}

void BM_Append(benchmark::State& state) {
  (void)all_record_bytes();
  const auto path = scratch().path / "append";
  for (auto _ : state) {
    auto db = AtomDatabase::create_with_format(path, codec_of(state.range(0)));
    if (!db) return fail(state, db.error());
    if (auto r = db->add_molecules(molecules()); !r) return fail(state, r.error());
    if (auto r = db->flush(); !r) return fail(state, r.error());
  }
  set_rates(state);
  state.SetLabel(codec_name(state.range(0)));
}

void BM_ReadFile(benchmark::State& state) {
  if (!ensure_db(state, state.range(0))) return;
  const auto indices = all_indices();
  for (auto _ : state) {
    auto db = AtomDatabase::open_with_options(db_path(state.range(0)), false, false);
    if (!db) return fail(state, db.error());
    auto got = db->read_decompress_parallel(indices);
    if (!got) return fail(state, got.error());
    benchmark::DoNotOptimize(got->records.data());
  }
  set_rates(state);
  state.SetLabel(codec_name(state.range(0)));
}

// Codec none: zero-copy shares of the mapping, every byte touched once;
// the others decompress from the mapping in parallel.
void BM_ReadMapped(benchmark::State& state) {
  if (!ensure_db(state, state.range(0))) return;
  const auto indices = all_indices();
  const bool zero_copy = codec_of(state.range(0)).codec == CompressionType::Codec::None;
  for (auto _ : state) {
    auto db = AtomDatabase::open_with_options(db_path(state.range(0)), true, false);
    if (!db) return fail(state, db.error());
    if (zero_copy) {
      std::uint64_t fold = 0;
      for (std::size_t i = 0; i < kMolecules; ++i) {
        const auto share = db->get_shared_mmap_bytes(i);
        if (!share) return state.SkipWithError("record outside the mapping");
        const auto bytes = share->as_slice();
        for (std::size_t k = 0; k + 8 <= bytes.size(); k += 8) {
          std::uint64_t w;
          std::memcpy(&w, bytes.data() + k, 8);
          fold ^= w;
        }
      }
      benchmark::DoNotOptimize(fold);
    } else {
      auto got = db->read_decompress_parallel(indices);
      if (!got) return fail(state, got.error());
      benchmark::DoNotOptimize(got->records.data());
    }
  }
  set_rates(state);
  state.SetLabel(codec_name(state.range(0)));
}

void BM_BaselineWrite(benchmark::State& state) {
  const Bytes& all = all_record_bytes();
  const auto path = scratch().path / "baseline";
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return state.SkipWithError("open failed");
    for (std::size_t done = 0; done < all.size();) {
      const ssize_t n = ::write(fd, all.data() + done, all.size() - done);
      if (n <= 0) return state.SkipWithError("write failed");
      done += static_cast<std::size_t>(n);
    }
    ::fsync(fd);
    ::close(fd);
  }
  set_rates(state);
}

void BM_BaselineRead(benchmark::State& state) {
  const Bytes& all = all_record_bytes();
  const auto path = scratch().path / "baseline";
  if (!std::filesystem::exists(path)) return state.SkipWithError("run BM_BaselineWrite first");
  Bytes buffer, copy;
  buffer.resize(all.size());
  copy.resize(all.size());
  // Fault the buffers in first, so that only the read and the copy are timed.
  std::memset(buffer.data(), 0, buffer.size());
  std::memset(copy.data(), 0, copy.size());
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return state.SkipWithError("open failed");
    for (std::size_t done = 0; done < buffer.size();) {
      const ssize_t n = ::read(fd, buffer.data() + done, buffer.size() - done);
      if (n <= 0) return state.SkipWithError("read failed");
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    std::memcpy(copy.data(), buffer.data(), buffer.size());
    benchmark::DoNotOptimize(copy.data());
  }
  set_rates(state);
}

BENCHMARK(BM_Append)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_ReadFile)
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);
BENCHMARK(BM_ReadMapped)
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);
BENCHMARK(BM_BaselineWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_BaselineRead)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
