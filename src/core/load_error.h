// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace difral {

namespace detail {

// The alternatives of the error types below, told apart by their tags: one
// that carries a text, and one that carries nothing.
template <class Tag> struct Text {
  std::string text;
  friend bool operator==(const Text &, const Text &) = default;
};
template <class Tag> struct Mark {
  friend bool operator==(const Mark &, const Mark &) = default;
};

} // namespace detail

// A failure of reading: an operating-system error code, a failure of the
// stream layer with a fixed text of its own, or an interruption.
class IoError {
public:
  // A failure the system reported with its own code (errno on POSIX,
  // GetLastError() on Windows); the text is formed only when asked for.
  static IoError from_os_code(int code) noexcept { return IoError(code); }
  // A line that is not valid UTF-8.
  static IoError invalid_utf8() {
    return IoError("stream did not contain valid UTF-8");
  }
  // The load was stopped from outside (a signal handler asked for it).
  static IoError interrupted() noexcept { return IoError(Interruption{}); }
  // Any other failure that carries its own description.
  static IoError with_text(std::string text) {
    return IoError(std::move(text));
  }

  // The code of an OS failure, 0 for every other kind.
  int os_code() const noexcept {
    const int *code = std::get_if<int>(&value_);
    return code != nullptr ? *code : 0;
  }
  bool is_interruption() const noexcept {
    return std::holds_alternative<Interruption>(value_);
  }
  // "<system description> (os error N)" for an OS failure, else the text.
  std::string message() const;

  friend bool operator==(const IoError &, const IoError &) = default;

private:
  using Interruption = detail::Mark<struct InterruptionTag>;
  using Value = std::variant<int, std::string, Interruption>;

  explicit IoError(int code) noexcept : value_(code) {}
  explicit IoError(std::string text) : value_(std::move(text)) {}
  explicit IoError(Interruption) noexcept
      : value_(std::in_place_type<Interruption>) {}
  Value value_;
};

// What the ZIP layer reports, in the categories the user sees: reading the
// archive failed (an IoError), the archive is malformed, it uses a feature
// that cannot be read, or a member looked up by name does not exist.
class ZipError {
  // The library's own description of what is wrong or not supported.
  using Invalid = detail::Text<struct InvalidTag>;
  using Unsupported = detail::Text<struct UnsupportedTag>;
  using NotFound = detail::Mark<struct NotFoundTag>;
  using Value = std::variant<IoError, Invalid, Unsupported, NotFound>;

public:
  static ZipError io(IoError error) { return ZipError(std::move(error)); }
  static ZipError invalid(std::string detail) {
    return ZipError(Invalid{std::move(detail)});
  }
  static ZipError unsupported(std::string detail) {
    return ZipError(Unsupported{std::move(detail)});
  }
  static ZipError not_found() { return ZipError(NotFound{}); }

  std::string message() const;

  friend bool operator==(const ZipError &, const ZipError &) = default;

private:
  explicit ZipError(Value value) : value_(std::move(value)) {}
  Value value_;
};

// The kinds of load failure, in declaration order, which is also the order
// of LoadError's alternatives; the Python layer picks the exception class by
// kind.
enum class LoadErrorKind {
  Io,                   // reading failed, or the text is not UTF-8: OSError
  Zip,                  // the ZIP layer refused the archive: ValueError
  Parse,                // a reader refused the content: ValueError
  UnknownFormat,        // the name's extension selects no reader
  MissingArchiveMember, // no profile member in the archive
};

// The one failure type of the loading core. Created where the failure happens
// and passed outward unchanged; it holds only what its kind needs.
class LoadError {
  // Shown as it is, with no prefix.
  using Parse = detail::Text<struct ParseTag>;
  using UnknownFormat = detail::Mark<struct UnknownFormatTag>;
  // The member name that was looked for.
  using MissingMember = detail::Text<struct MissingMemberTag>;
  using Value =
      std::variant<IoError, ZipError, Parse, UnknownFormat, MissingMember>;

public:
  static LoadError io(IoError error) { return LoadError(std::move(error)); }
  static LoadError zip(ZipError error) { return LoadError(std::move(error)); }
  static LoadError parse(std::string text) {
    return LoadError(Parse{std::move(text)});
  }
  static LoadError unknown_format() { return LoadError(UnknownFormat{}); }
  static LoadError missing_archive_member(std::string name) {
    return LoadError(MissingMember{std::move(name)});
  }

  LoadErrorKind kind() const noexcept {
    return static_cast<LoadErrorKind>(value_.index());
  }
  // The text the user sees.
  std::string message() const;

  friend bool operator==(const LoadError &, const LoadError &) = default;

private:
  explicit LoadError(Value value) : value_(std::move(value)) {}
  Value value_;
};

} // namespace difral
