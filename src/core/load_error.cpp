// SPDX-License-Identifier: MIT
#include "core/load_error.h"

#include "core/platform.h"

#include <string>

namespace difral {

namespace {

// The system's description of a code, without trailing white space (the
// line break that Windows ends its texts with included).
std::string os_description(int code) {
  std::string description = platform::describe_error(code);
  while (!description.empty() &&
         (description.back() == '\n' || description.back() == '\r' ||
          description.back() == ' ' || description.back() == '\t')) {
    description.pop_back();
  }
  return description;
}

// Lets std::visit take one lambda per alternative.
template <typename... F> struct Overloaded : F... { using F::operator()...; };
template <typename... F> Overloaded(F...) -> Overloaded<F...>;

} // namespace

std::string IoError::message() const {
  if (const std::string *text = std::get_if<std::string>(&value_)) {
    return *text;
  }
  if (is_interruption()) {
    return "operation interrupted";
  }
  const int code = std::get<int>(value_);
  return os_description(code) + " (os error " + std::to_string(code) + ")";
}

std::string ZipError::message() const {
  return std::visit(
      Overloaded{
          [](const IoError &io) { return "i/o error: " + io.message(); },
          [](const Invalid &v) { return "invalid Zip archive: " + v.text; },
          [](const Unsupported &v) {
            return "unsupported Zip archive: " + v.text;
          },
          [](const NotFound &) {
            return std::string("specified file not found in archive");
          },
      },
      value_);
}

std::string LoadError::message() const {
  return std::visit(
      Overloaded{
          [](const IoError &io) { return io.message(); },
          [](const ZipError &zip) { return zip.message(); },
          [](const Parse &parse) { return parse.text; },
          [](const UnknownFormat &) { return std::string("Unknown format"); },
          [](const MissingMember &missing) {
            return "File not found in archive: " + missing.text;
          },
      },
      value_);
}

} // namespace difral
