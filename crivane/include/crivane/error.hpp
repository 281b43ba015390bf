// The one error type of the storage engine. Errors are values: every fallible
// engine call returns Result<T>; nothing in the engine throws on purpose, and
// allocation failure inside parallel work comes back as an OutOfMemory error.
#pragma once

#include <cstdint>
#include <new>
#include <string>

#include "crivane/expected.hpp"

namespace crivane {

class Error {
 public:
  // OutOfMemory is no user-facing error text: the Python layer raises it as
  // MemoryError. Decode is a stored value that a reader of one record cannot
  // decode as asked; its text is shown bare, without a kind prefix.
  enum class Kind : std::uint8_t { Io, Compression, InvalidData, OutOfMemory, Decode };

  Error(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  // An I/O failure with a fixed text ("failed to fill whole buffer", ...).
  static Error io(std::string message) { return Error(Kind::Io, std::move(message)); }
  // An I/O failure the operating system reported: "<description> (os error N)".
  static Error io_errno(int errnum);
  static Error compression(std::string message) {
    return Error(Kind::Compression, std::move(message));
  }
  static Error invalid_data(std::string message) {
    return Error(Kind::InvalidData, std::move(message));
  }

  // A section or payload that does not decode ("Invalid pbc payload length").
  static Error decode(std::string message) { return Error(Kind::Decode, std::move(message)); }

  // Allocation failure. Carries no text, so making one allocates nothing.
  static Error out_of_memory() { return Error(Kind::OutOfMemory, std::string()); }

  Kind kind() const { return kind_; }
  bool is_out_of_memory() const { return kind_ == Kind::OutOfMemory; }
  // The payload: the I/O error's own text, or the message.
  const std::string& message() const { return message_; }

  // "IO error: {}", "Compression error: {}" or "Invalid data: {}"; the bare
  // message for Decode ("Out of memory" for allocation failure).
  std::string to_string() const;
  // The kind's name with its payload: InvalidData("...").
  std::string debug() const;

  friend bool operator==(const Error&, const Error&) = default;

 private:
  Kind kind_;
  std::string message_;
};

template <class T>
using Result = Expected<T, Error>;

// Runs f() -> Result<T>, turning std::bad_alloc thrown inside into
// Error::out_of_memory().
template <class F>
auto catch_allocation_failure(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return unexpected(Error::out_of_memory());
  }
}

// "<strerror text> (os error N)", the text an OS error carries everywhere.
std::string os_error_text(int errnum);

}  // namespace crivane
