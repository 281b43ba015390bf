// The targets that write a database file write it here: one scratch file per
// process, on tmpfs when there is one, since commits sync.
#pragma once

#include <stdlib.h>  // mkdtemp

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace crivane::fuzz {

inline const std::filesystem::path& scratch_file() {
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
  static const ScratchFile file;
  return file.path;
}

}  // namespace crivane::fuzz
