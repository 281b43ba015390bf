#include "crivane/error.hpp"

#include <cstring>

#include <fmt/format.h>

namespace crivane {

std::string os_error_text(int errnum) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(errnum, buf, sizeof buf);
  return fmt::format("{} (os error {})", text, errnum);
}

Error Error::io_errno(int errnum) { return Error(Kind::Io, os_error_text(errnum)); }

std::string Error::to_string() const {
  switch (kind_) {
    case Kind::Io:
      return fmt::format("IO error: {}", message_);
    case Kind::Compression:
      return fmt::format("Compression error: {}", message_);
    case Kind::OutOfMemory:
      return "Out of memory";
    case Kind::Decode:
      return message_;
    case Kind::InvalidData:
      break;
  }
  return fmt::format("Invalid data: {}", message_);
}

std::string Error::debug() const {
  std::string quoted;
  quoted.reserve(message_.size() + 2);
  quoted += '"';
  for (char c : message_) {
    switch (c) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '\t':
        quoted += "\\t";
        break;
      default:
        quoted += c;
    }
  }
  quoted += '"';
  const char* name = kind_ == Kind::Io            ? "Io"
                     : kind_ == Kind::Compression ? "Compression"
                     : kind_ == Kind::OutOfMemory ? "OutOfMemory"
                     : kind_ == Kind::Decode      ? "Decode"
                                                  : "InvalidData";
  return fmt::format("{}({})", name, quoted);
}

}  // namespace crivane
