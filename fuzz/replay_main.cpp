// Replays every file of the given corpus folders through the fuzz entry point,
// so that ordinary (and sanitizer) CI runs exercise the committed corpus.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  std::size_t count = 0;
  for (int a = 1; a < argc; ++a) {
    std::filesystem::path root(argv[a]);
    if (!std::filesystem::exists(root)) {
      std::fprintf(stderr, "corpus folder %s does not exist\n", argv[a]);
      return 1;
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
      // An empty vector's data() may be null; the entry point must see a valid pointer.
      static const std::uint8_t empty = 0;
      const auto* data =
          bytes.empty() ? &empty : reinterpret_cast<const std::uint8_t*>(bytes.data());
      LLVMFuzzerTestOneInput(data, bytes.size());
      ++count;
    }
  }
  // The empty input is always worth a run.
  static const std::uint8_t empty = 0;
  LLVMFuzzerTestOneInput(&empty, 0);
  std::printf("replayed %zu inputs\n", count + 1);
  return 0;
}
