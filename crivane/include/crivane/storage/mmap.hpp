// Read-only shared mappings of a whole file, and shared ranges of them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "crivane/error.hpp"
#include "crivane/storage/bytes.hpp"

namespace crivane::storage {

// One read-only, shared mmap of a whole file, unmapped on destruction.
class Mapping {
 public:
  // Opens `path` read-only, maps the whole file and closes the descriptor
  // (the mapping does not need it). An empty file gives an empty mapping.
  static Result<std::shared_ptr<const Mapping>> map_path(const std::filesystem::path& path);
  // Maps the whole file behind an open descriptor, which stays the caller's.
  static Result<std::shared_ptr<const Mapping>> map_fd(int fd);

  ~Mapping();
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  ByteSpan bytes() const { return ByteSpan(data_, size_); }

  // Asks the kernel to fault the mapping in for reading (MADV_POPULATE_READ).
  // Kernels without that advice refuse it; callers ignore the result.
  bool populate_read() const;

 private:
  Mapping(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  const std::uint8_t* data_;
  std::size_t size_;
};

// A range of a mapping that keeps the mapping alive on its own, so views built
// on it outlive their database. Invariant: start <= end <= mapping size.
class SharedMmapBytes {
 public:
  SharedMmapBytes(std::shared_ptr<const Mapping> mapping, std::size_t start, std::size_t end)
      : mapping_(std::move(mapping)), start_(start), end_(end) {}

  ByteSpan as_slice() const { return ByteSpan(mapping_->data() + start_, end_ - start_); }
  std::size_t start() const { return start_; }
  std::size_t end() const { return end_; }
  std::size_t size() const { return end_ - start_; }
  const std::shared_ptr<const Mapping>& mapping() const { return mapping_; }

 private:
  std::shared_ptr<const Mapping> mapping_;
  std::size_t start_;
  std::size_t end_;
};

}  // namespace crivane::storage
