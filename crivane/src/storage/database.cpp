// AtomDatabase lifecycle: create, open, commit and the cut of an uncommitted
// tail. Appending is database_append.cpp, reading database_read.cpp.
#include "crivane/storage/database.hpp"

#include <fcntl.h>
#include <stdio.h>  // renameat2
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <system_error>

#include <fmt/format.h>

#include "crivane/storage/header.hpp"
#include "database_io.hpp"

namespace crivane::storage {
namespace {

using compression::CompressionType;
using header::HeaderSlot;

CompressionType normalized(CompressionType c) {
  // Only zstd has a level; the header stores 0 for the others, so keep the
  // in-memory value equal to what an open will read back.
  return c.codec == CompressionType::Codec::Zstd ? c : CompressionType{c.codec, 0};
}

bool names_index(const HeaderSlot& slot) { return slot.index_offset != 0 && slot.index_len != 0; }
bool names_schema(const HeaderSlot& slot) {
  return slot.schema_offset != 0 && slot.schema_len != 0;
}

// Where the committed state ends: the index blob's end, or the data start
// when there is none. A schema blob a foreign writer put after the index (or
// without one) counts as well, so that a tail cut never removes a blob the
// chosen slot names; this system's commits write it first, so for its own
// files the index end is the answer. A valid slot keeps both ends in the file.
std::uint64_t committed_end_of(const HeaderSlot& slot) {
  std::uint64_t end = slot.data_start;
  if (names_index(slot)) end = std::max(end, slot.index_offset + slot.index_len);
  if (names_schema(slot)) end = std::max(end, slot.schema_offset + slot.schema_len);
  return end;
}

Error another_writer(const std::filesystem::path& path) {
  return Error::io(fmt::format(
      "Another handle is writing the database at '{}' (in this process or another): one handle "
      "writes a database at a time, from its first write until it is deleted. Nothing was "
      "written; try again once that handle is gone. Reading needs no lock.",
      path.native()));
}

// Takes the writer's lock on `file`. The file system may keep no locks; the
// check of the committed state then still guards every cut and commit.
Result<void> lock_for_writing(File& file, const std::filesystem::path& path) {
  CRIVANE_ASSIGN_OR_RETURN(const LockOutcome lock, file.try_lock_exclusive());
  if (lock == LockOutcome::Busy) return unexpected(another_writer(path));
  return {};
}

// A name this creation made, removed when its owner goes (a failure, or an
// allocation that fails on the way out) unless disowned first. Removing
// neither fails nor allocates.
class OwnedName {
 public:
  OwnedName() = default;
  OwnedName(OwnedName&& other) noexcept : path_(std::move(other.path_)) { other.disown(); }
  OwnedName& operator=(OwnedName&&) = delete;
  ~OwnedName() { remove(); }

  // Set by whoever makes the name, only once it exists.
  std::filesystem::path& path() { return path_; }
  const char* c_str() const { return path_.c_str(); }
  bool empty() const { return path_.empty(); }
  void remove() noexcept {
    if (!path_.empty()) ::unlink(path_.c_str());
    disown();
  }
  // The name is gone (renamed) or kept: leave it be.
  void disown() noexcept { path_.clear(); }

 private:
  std::filesystem::path path_;
};

// A new file in `dir` that `fill` has written and synced. Unnamed where the
// file system allows it, so that a process killed while writing leaves
// nothing behind; else under a temporary name ".<stem>.XXXXXX", which `temp`
// then owns. A failure removes what was made.
struct Draft {
  File file;
  OwnedName temp;  // empty while the file has no name
};

template <class Fill>
Result<Draft> write_draft(const std::filesystem::path& dir, const std::string& stem, mode_t mode,
                          Fill fill) {
  Draft draft;
  CRIVANE_ASSIGN_OR_RETURN(std::optional<File> unnamed, File::create_unnamed(dir, mode));
  if (unnamed) {
    draft.file = std::move(*unnamed);
  } else {
    CRIVANE_ASSIGN_OR_RETURN(draft.file, File::create_unique(dir, stem, draft.temp.path(), mode));
  }
  CRIVANE_TRY(fill(draft.file));
  return draft;
}

// The directory a path's last component lives in.
std::filesystem::path directory_of(const std::filesystem::path& path) {
  return path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
}

// Where a new file named `path` goes: `path` itself, or where the chain of
// symbolic links at `path` ends when it ends at nothing yet (as an open with
// O_CREAT would create it there).
Result<std::filesystem::path> creation_target(std::filesystem::path path) {
  for (int links = 0;; ++links) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    if (links == 40) return unexpected(Error::io_errno(ELOOP));  // the kernel's own limit
    std::error_code ec;
    const std::filesystem::path to = std::filesystem::read_symlink(path, ec);
    if (ec) return unexpected(Error::io_errno(ec.value()));
    path = to.is_absolute() ? to : directory_of(path) / to;
  }
}

// Where a file can be named neither by a link nor by a rename that never
// replaces, it is made at its name (O_EXCL, so nothing is replaced either),
// written and synced there, and removed again on failure. Only a process
// killed meanwhile leaves a partial file at the name.
template <class Fill>
Result<File> create_at_name(const std::filesystem::path& target, const std::filesystem::path& dir,
                            Fill& fill) {
  OwnedName made;
  std::filesystem::path name = target;
  int fd;
  do {
    fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return unexpected(Error::io_errno(errno));
  made.path() = std::move(name);
  File file(fd);
  CRIVANE_TRY(fill(file));
  made.disown();
  sync_directory(dir);
  return file;
}

// Makes a new regular file at `path` that `fill` writes and syncs, and only
// then gives it the name (a link, or a rename where there are no hard
// links), which never replaces anything: EEXIST when the name is taken by
// then. So the name leads to the whole file or to nothing,
// and a failure leaves nothing behind.
template <class Fill>
Result<File> create_new_file(const std::filesystem::path& path, Fill fill) {
  CRIVANE_ASSIGN_OR_RETURN(const std::filesystem::path target, creation_target(path));
  const std::filesystem::path name = target.filename();
  if (name.empty() || name == "." || name == "..") {
    // Only a directory has such a name; let the kernel say why it cannot
    // be created as a file.
    const int fd = ::open(target.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) ::close(fd);
    return unexpected(Error::io_errno(fd >= 0 ? EISDIR : errno));
  }
  const std::filesystem::path dir = directory_of(target);
  CRIVANE_ASSIGN_OR_RETURN(Draft draft, write_draft(dir, name.native(), 0666, fill));
  if (draft.temp.empty()) {
    CRIVANE_TRY(draft.file.link_unnamed(target));
  } else if (::link(draft.temp.c_str(), target.c_str()) == 0) {
    draft.temp.remove();
  } else {
    int err = errno;
    if (err == EPERM || err == EOPNOTSUPP) {
      // No hard links here (vfat, exFAT): a rename that never replaces
      // gives the name as well.
      if (::renameat2(AT_FDCWD, draft.temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) ==
          0) {
        draft.temp.disown();
        sync_directory(dir);
        return std::move(draft.file);
      }
      err = errno;
      if (err == EINVAL || err == ENOSYS || err == EOPNOTSUPP) {
        draft.temp.remove();
        return create_at_name(target, dir, fill);
      }
    }
    // Removed before the error is built, which may fail to allocate.
    draft.temp.remove();
    return unexpected(Error::io_errno(err));
  }
  // Only for durability: the file is whole under its name whatever this says.
  sync_directory(dir);
  return std::move(draft.file);
}

// Replaces the regular file at `path` (or at the end of its symbolic links)
// with a new one that `fill` writes: made in the same directory with the old
// file's permission bits, given a unique name only once written and synced,
// and renamed over the old name. Whoever holds the old file (a mapping, a
// handle) keeps its bytes; a new opener finds the old file or the whole new
// one, never a part. Returns the new file, open read-write.
template <class Fill>
Result<File> replace_file(const std::filesystem::path& path, Fill fill) {
  // Opening the old file for writing refuses what writing it in place
  // refused (a file this process may not write), with the same errors.
  // Its writer's lock is held until the new file has the name: a handle
  // writing the old file refuses the replacement, and one that would start
  // now waits for it and then finds its file gone from the directory.
  struct stat st;
  CRIVANE_ASSIGN_OR_RETURN(File old, File::open_regular(path, /*write=*/true));
  if (::fstat(old.fd(), &st) != 0) return unexpected(Error::io_errno(errno));
  CRIVANE_TRY(lock_for_writing(old, path));
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return unexpected(Error::io_errno(errno));
  const std::filesystem::path target(resolved);
  std::free(resolved);
  const std::filesystem::path dir = target.parent_path();
  const std::string stem = target.filename().native();

  auto fill_with_mode = [&](File& out) -> Result<void> {
    if (::fchmod(out.fd(), st.st_mode & 07777) != 0) return unexpected(Error::io_errno(errno));
    return fill(out);
  };
  CRIVANE_ASSIGN_OR_RETURN(Draft draft, write_draft(dir, stem, 0600, fill_with_mode));
  // rename() takes names only: an unnamed file gets one now, the moment
  // before it replaces the old file.
  if (draft.temp.empty()) {
    CRIVANE_TRY(draft.file.link_unnamed_unique(dir, stem, draft.temp.path()));
  }
  if (::rename(draft.temp.c_str(), target.c_str()) != 0) {
    const int err = errno;
    draft.temp.remove();
    return unexpected(Error::io_errno(err));
  }
  // The temporary name is the old file's name now.
  draft.temp.disown();
  sync_directory(dir);
  return std::move(draft.file);
}

}  // namespace

Result<AtomDatabase> AtomDatabase::create_with_format(const std::filesystem::path& path,
                                                      CompressionType compression,
                                                      Existing existing) {
  return catch_allocation_failure([&]() -> Result<AtomDatabase> {
    compression = normalized(compression);
    HeaderSlot slot;
    slot.compression = compression;
    const header::SlotBytes bytes = header::encode_header_slot(slot);
    auto write_empty = [&](File& out) -> Result<void> {
      // The creator is the database's first writer, locked before the file
      // has a name anyone else could open.
      CRIVANE_TRY(lock_for_writing(out, path));
      CRIVANE_TRY(write_all(out, bytes));
      CRIVANE_TRY(write_all(out, bytes));
      return fsync(out);
    };

    CRIVANE_TRY(check_path(path));
    // Copied now: once the file has its name, nothing may fail.
    std::filesystem::path db_path = path;
    std::optional<File> out;
    struct stat st;
    if (existing == Existing::Refuse || ::stat(path.c_str(), &st) != 0) {
      // Nothing there (or nothing that can be looked at): a new file, whose
      // own failure says why.
      auto made = create_new_file(path, write_empty);
      if (made) {
        out = std::move(made).value();
      } else if (existing == Existing::Refuse || made.error() != Error::io_errno(EEXIST)) {
        return unexpected(std::move(made).error());
      } else if (::stat(path.c_str(), &st) != 0) {
        // It came and went meanwhile.
        return unexpected(Error::io_errno(errno));
      }
    }
    if (!out) {
      // Checked before any open: a FIFO opened for writing waits for a reader.
      CRIVANE_TRY(check_regular(st.st_mode));
      CRIVANE_ASSIGN_OR_RETURN(out, replace_file(path, write_empty));
    }

    AtomDatabase db(std::move(db_path), std::move(*out), compression);
    db.writer_pid_ = ::getpid();
    db.committed_ = slot;
    db.committed_end_ = header::kDataStart;
    db.records_end_ = header::kDataStart;
    return db;
  });
}

Result<AtomDatabase> AtomDatabase::open_with_options(const std::filesystem::path& path, bool mmap,
                                                     bool populate) {
  return catch_allocation_failure([&]() -> Result<AtomDatabase> {
    CRIVANE_ASSIGN_OR_RETURN(File file, File::open_regular(path));
    std::uint8_t head[8];
    CRIVANE_TRY(read_exact(file, head));
    if (std::memcmp(head, header::kMagic.data(), header::kMagic.size()) != 0) {
      return unexpected(Error::invalid_data("Invalid file format"));
    }
    const std::uint32_t version = bytes::load_u32(head + 4);
    if (version != header::kVersion) {
      return unexpected(Error::invalid_data(fmt::format(
          "Unsupported file format version {} (expected {})", version, header::kVersion)));
    }
    return open_v1(path, std::move(file), mmap, populate);
  });
}

Result<AtomDatabase> AtomDatabase::open_v1(std::filesystem::path path, File file, bool mmap,
                                           bool populate) {
  CRIVANE_ASSIGN_OR_RETURN(const HeaderSlot slot, header::read_best_header(file));
  if (!soa::is_known_record_format(slot.record_format)) {
    return unexpected(
        Error::invalid_data(fmt::format("Unsupported record format {}.", slot.record_format)));
  }
  const std::uint64_t committed_end = committed_end_of(slot);
  CRIVANE_ASSIGN_OR_RETURN(const std::uint64_t file_len, file_length(file));

  AtomDatabase db(std::move(path), std::move(file), slot.compression);
  if (mmap) {
    CRIVANE_ASSIGN_OR_RETURN(db.data_mmap_, Mapping::map_fd(db.file_.fd()));
    if (populate) (void)db.data_mmap_->populate_read();  // only advice; old kernels refuse it
    if (names_index(slot)) {
      // A mapping of its own, so the index never depends on the data mapping's shares.
      CRIVANE_ASSIGN_OR_RETURN(auto index_mapping, Mapping::map_fd(db.file_.fd()));
      db.index_ = index::IndexStorage::Mapped{slot.index_offset, slot.record_count,
                                              std::move(index_mapping)};
    }
    // A mapped open never cuts: the mapping would lose the pages under it.
    db.has_uncommitted_tail_ = false;
  } else {
    db.has_uncommitted_tail_ = file_len > committed_end;
    if (names_index(slot)) {
      // The slot was validated against the file length, so the blob exists.
      Bytes blob;
      blob.resize(slot.index_len);
      CRIVANE_TRY(pread_exact(db.file_, blob, slot.index_offset));
      CRIVANE_ASSIGN_OR_RETURN(auto entries, index::decode_index(blob));
      db.index_ = index::IndexStorage::Owned{std::move(entries)};
    }
  }
  if (names_schema(slot)) {
    Bytes blob;
    blob.resize(slot.schema_len);
    CRIVANE_TRY(pread_exact(db.file_, blob, slot.schema_offset));
    CRIVANE_ASSIGN_OR_RETURN(db.schema_lock_, schema::decode_schema_lock(blob));
  }

  db.committed_ = slot;
  db.committed_end_ = committed_end;
  db.data_start_ = slot.data_start;
  db.records_end_ = committed_end;
  db.record_format_ = slot.record_format;
  return db;
}

Result<File*> AtomDatabase::become_writer() {
  const pid_t pid = ::getpid();
  if (writer_pid_ == pid) return &file_;
  // A description of its own, read-write: opening made a read-only one, and
  // a fork child shares its parent's, whose lock is the parent's. Reopened
  // through the open file, never by looking the path up again.
  CRIVANE_ASSIGN_OR_RETURN(File own, file_.reopen_read_write());
  CRIVANE_TRY(lock_for_writing(own, path_));
  // Refused here, `own` closes and its lock goes with it.
  CRIVANE_TRY(check_committed_state(own));
  std::uint64_t len = 0;
  if (!data_mmap_) {
    CRIVANE_ASSIGN_OR_RETURN(len, file_length(own));
  }
  file_ = std::move(own);
  writer_pid_ = pid;
  // Under the lock, bytes past what this database knows were appended by a
  // writer that is gone and never committed them. A mapped open never cuts:
  // its mapping would lose the pages under it.
  if (!data_mmap_) has_uncommitted_tail_ = len > records_end_;
  return &file_;
}

Result<void> AtomDatabase::check_committed_state(File& file) {
  CRIVANE_ASSIGN_OR_RETURN(const HeaderSlot now, header::read_best_header(file));
  if (attempted_ && now == *attempted_) {
    // This database's own commit, whose header write reported a failure
    // but reached the disk: it is what a reopen finds, so it stands.
    committed_ = now;
    committed_end_ = committed_end_of(now);
    records_end_ = std::max(records_end_, committed_end_);
  }
  attempted_.reset();
  if (now != committed_) {
    return unexpected(Error::io(fmt::format(
        "The database at '{}' was committed by another handle since this one opened it or "
        "last committed; writing now would cut or hide those records. Nothing was written; open "
        "the database again to write.",
        path_.native())));
  }
  struct stat st;
  if (::fstat(file.fd(), &st) != 0) return unexpected(Error::io_errno(errno));
  if (st.st_nlink == 0) {
    return unexpected(Error::io(fmt::format(
        "The database file at '{}' was removed or replaced since this handle opened it; what it "
        "writes would reach no one. Nothing was written; open the database again to write.",
        path_.native())));
  }
  return {};
}

Result<void> AtomDatabase::flush() {
  return catch_allocation_failure([&]() -> Result<void> {
    if (index_.is_mapped()) return unexpected(Error::invalid_data(detail::kMappedIndexFlush));
    // A slot at the largest generation cannot be outranked: a commit written
    // now would lose to it at the next open and its records would vanish.
    auto refuse_last_generation = [&]() -> Result<void> {
      constexpr std::uint64_t kMaxGeneration = std::numeric_limits<std::uint64_t>::max();
      if (committed_.generation != kMaxGeneration) return {};
      return unexpected(Error::invalid_data(fmt::format(
          "Cannot flush: the commit generation is already {}, the largest a header slot holds",
          kMaxGeneration)));
    };
    CRIVANE_TRY(refuse_last_generation());
    CRIVANE_TRY(truncate_uncommitted_tail_if_needed());

    const auto& entries = index_.owned()->entries;
    const Bytes index_blob = index::encode_index(entries);
    std::optional<Bytes> schema_blob;
    if (schema_lock_) {
      CRIVANE_ASSIGN_OR_RETURN(schema_blob, schema::encode_schema_lock(*schema_lock_));
    }

    CRIVANE_ASSIGN_OR_RETURN(File* const out, become_writer());
    HeaderSlot slot;
    slot.compression = compression_;
    slot.record_count = entries.size();
    slot.record_format = record_format_;
    CRIVANE_ASSIGN_OR_RETURN(const std::uint64_t schema_offset, seek_end(*out));
    if (schema_blob) {
      CRIVANE_TRY(write_all(*out, *schema_blob));
      slot.schema_offset = schema_offset;
      slot.schema_len = schema_blob->size();
    }
    CRIVANE_ASSIGN_OR_RETURN(slot.index_offset, seek_end(*out));
    CRIVANE_TRY(write_all(*out, index_blob));
    slot.index_len = index_blob.size();
    // Records and blobs must be on disk before a header names them.
    CRIVANE_TRY(fdatasync(*out));

    // The lock keeps other writers out; where the file system keeps no
    // locks, this is what stops a header naming this index over a commit
    // made elsewhere meanwhile.
    CRIVANE_TRY(check_committed_state(*out));
    CRIVANE_TRY(refuse_last_generation());
    slot.generation = committed_.generation + 1;
    // Alternate slots, so a torn write leaves the previous commit in the other.
    CRIVANE_TRY(seek(*out, (slot.generation % 2) * header::kSlotSize));
    const header::SlotBytes slot_bytes = header::encode_header_slot(slot);
    attempted_ = slot;
    CRIVANE_TRY(write_all(*out, slot_bytes));
    CRIVANE_TRY(fsync(*out));
    attempted_.reset();

    committed_ = slot;
    committed_end_ = slot.index_offset + slot.index_len;
    records_end_ = committed_end_;
    has_uncommitted_tail_ = false;
    return {};
  });
}

Result<void> AtomDatabase::truncate_uncommitted_tail_if_needed() {
  CRIVANE_ASSIGN_OR_RETURN(File* const out, become_writer());
  if (!has_uncommitted_tail_) return {};
  CRIVANE_ASSIGN_OR_RETURN(const std::uint64_t len, file_length(*out));
  if (len > records_end_) {
    CRIVANE_TRY(truncate(*out, records_end_));
    CRIVANE_TRY(fsync(*out));
  }
  has_uncommitted_tail_ = false;
  return {};
}

std::optional<std::uint8_t> AtomDatabase::positions_type() const {
  if (!schema_lock_) return std::nullopt;
  return schema_lock_->positions_type;
}

}  // namespace crivane::storage
