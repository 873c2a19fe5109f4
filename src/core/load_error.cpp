// SPDX-License-Identifier: MIT
#include "core/load_error.h"

#include <cstring>
#include <string>

namespace difral {

namespace {

// The system's description of an errno, without trailing white space.
std::string os_description(int code) {
  char scratch[256];
  // GNU strerror_r returns either scratch or a static string.
  const char *text = strerror_r(code, scratch, sizeof scratch);
  std::string description(text);
  while (!description.empty() &&
         (description.back() == '\n' || description.back() == '\r' ||
          description.back() == ' ' || description.back() == '\t')) {
    description.pop_back();
  }
  return description;
}

} // namespace

std::string IoError::message() const {
  if (code_ == 0) {
    return text_;
  }
  return os_description(code_) + " (os error " + std::to_string(code_) + ")";
}

std::string ZipError::message() const {
  switch (category_) {
  case ZipErrorCategory::Io:
    return "i/o error: " + io_.message();
  case ZipErrorCategory::Invalid:
    return "invalid Zip archive: " + detail_;
  case ZipErrorCategory::Unsupported:
    return "unsupported Zip archive: " + detail_;
  case ZipErrorCategory::NotFound:
    return "specified file not found in archive";
  }
  return {};
}

std::string LoadError::message() const {
  switch (kind_) {
  case LoadErrorKind::Io:
    return io_.message();
  case LoadErrorKind::Zip:
    return zip_.message();
  case LoadErrorKind::Parse:
    return payload_;
  case LoadErrorKind::UnknownFormat:
    return "Unknown format";
  case LoadErrorKind::MissingArchiveMember:
    return "File not found in archive: " + payload_;
  }
  return {};
}

} // namespace difral
