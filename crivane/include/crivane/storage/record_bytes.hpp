// A record's bytes as the database hands them out: in place in the data
// mapping when they are stored uncompressed there, else in a buffer of their
// own.
#pragma once

#include <utility>
#include <variant>

#include "crivane/storage/bytes.hpp"
#include "crivane/storage/mmap.hpp"

namespace crivane::storage {

// Record bytes for a caller that holds the database while it reads them: a
// span borrowed from the data mapping, valid while the database lives, or an
// owned buffer. Moving it keeps span() where it was.
class RecordBytes {
 public:
  RecordBytes() = default;
  explicit RecordBytes(ByteSpan borrowed) : storage_(std::in_place_index<0>, borrowed) {}
  explicit RecordBytes(Bytes owned) : storage_(std::in_place_index<1>, std::move(owned)) {}

  ByteSpan span() const {
    if (const ByteSpan* borrowed = std::get_if<0>(&storage_)) return *borrowed;
    return as_span(std::get<1>(storage_));
  }
  bool is_borrowed() const { return storage_.index() == 0; }

 private:
  std::variant<ByteSpan, Bytes> storage_;
};

// Record bytes that outlive the database: a share of the data mapping, which
// keeps the mapping alive, or an owned buffer. span() re-derives a share's
// range on every call, so no address into the mapping is kept.
class SharedRecordBytes {
 public:
  using Shared = SharedMmapBytes;
  using Owned = Bytes;

  explicit SharedRecordBytes(Shared shared) : storage_(std::in_place_index<0>, std::move(shared)) {}
  explicit SharedRecordBytes(Owned owned) : storage_(std::in_place_index<1>, std::move(owned)) {}

  ByteSpan span() const {
    if (const Shared* shared = std::get_if<0>(&storage_)) return shared->as_slice();
    return as_span(std::get<1>(storage_));
  }
  bool is_shared() const { return storage_.index() == 0; }

 private:
  std::variant<Shared, Owned> storage_;
};

}  // namespace crivane::storage
