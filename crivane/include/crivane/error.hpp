// The one error type of the storage engine. Errors are values: every fallible
// engine call returns Result<T>; nothing in the engine throws.
#pragma once

#include <cstdint>
#include <string>

#include "crivane/expected.hpp"

namespace crivane {

class Error {
 public:
  enum class Kind : std::uint8_t { Io, Compression, InvalidData };

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

  Kind kind() const { return kind_; }
  // The payload: the I/O error's own text, or the message.
  const std::string& message() const { return message_; }

  // "IO error: {}", "Compression error: {}" or "Invalid data: {}".
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

// "<strerror text> (os error N)", the text an OS error carries everywhere.
std::string os_error_text(int errnum);

}  // namespace crivane
