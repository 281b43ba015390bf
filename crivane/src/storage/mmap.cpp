#include "crivane/storage/mmap.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <string>

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
  if (path.native().find('\0') != std::string::npos) {
    return unexpected(Error::io("file name contained an unexpected NUL byte"));
  }
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return unexpected(Error::io_errno(errno));
  auto mapping = map_fd(fd);
  ::close(fd);
  return mapping;
}

Mapping::~Mapping() {
  if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

bool Mapping::populate_read() const {
  if (data_ == nullptr) return true;
  return ::madvise(const_cast<std::uint8_t*>(data_), size_, MADV_POPULATE_READ) == 0;
}

}  // namespace crivane::storage
