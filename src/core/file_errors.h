// The errors of the graph file's writer and loader that come from the
// operating system or from the path itself.
#pragma once

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "result.h"

namespace nuvel {

namespace file_errors_detail {
// strerror_r comes in two shapes (GNU returns the text, XSI fills the
// buffer); overloads pick whichever the C library declares.
[[maybe_unused]] inline const char* strerror_text(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] inline const char* strerror_text(const char* text, const char* /*buffer*/) {
  return text;
}
}  // namespace file_errors_detail

/// "{description} (os error {errno})", as Python words an OSError.
inline PendingError os_error(int error, ErrorKind kind = ErrorKind::IO) {
  char buffer[256] = {};
  const char* text =
      file_errors_detail::strerror_text(strerror_r(error, buffer, sizeof buffer), buffer);
  return {kind, std::string(text) + " (os error " + std::to_string(error) + ")"};
}

/// The error for a path that no system call can take: one holding a NUL.
inline std::optional<PendingError> refuse_nul(std::string_view path) {
  if (path.find('\0') == std::string_view::npos) return std::nullopt;
  return PendingError{ErrorKind::IO, "file name contained an unexpected NUL byte"};
}

}  // namespace nuvel
