#include "crivane/storage/mmap.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include "crivane/storage/file.hpp"

#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif

namespace crivane::storage {

Result<std::shared_ptr<const Mapping>> Mapping::map_fd(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return unexpected(Error::io_errno(errno));
  const auto size = static_cast<std::size_t>(st.st_size);
  if (size == 0) return std::shared_ptr<const Mapping>(new Mapping(nullptr, 0));
  void* p = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return unexpected(Error::io_errno(errno));
  return std::shared_ptr<const Mapping>(new Mapping(static_cast<const std::uint8_t*>(p), size));
}

Result<std::shared_ptr<const Mapping>> Mapping::map_path(const std::filesystem::path& path) {
  CRIVANE_ASSIGN_OR_RETURN(const File file, File::open_read(path));
  return map_fd(file.fd());
}

Mapping::~Mapping() {
  if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

bool Mapping::populate_read() const {
  if (data_ == nullptr) return true;
  return ::madvise(const_cast<std::uint8_t*>(data_), size_, MADV_POPULATE_READ) == 0;
}

}  // namespace crivane::storage
