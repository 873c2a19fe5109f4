// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace difral {

// A failure of reading: an operating-system error code, or a failure of the
// stream layer with a fixed text of its own.
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
  static IoError interrupted() { return IoError("operation interrupted"); }
  // Any other failure that carries its own description.
  static IoError with_text(std::string text) {
    return IoError(std::move(text));
  }

  // The code of an OS failure, 0 for a failure with its own text.
  int os_code() const noexcept {
    const int *code = std::get_if<int>(&value_);
    return code != nullptr ? *code : 0;
  }
  // "<system description> (os error N)" for an OS failure, else the text.
  std::string message() const;

  friend bool operator==(const IoError &, const IoError &) = default;

private:
  explicit IoError(int code) noexcept : value_(code) {}
  explicit IoError(std::string text) : value_(std::move(text)) {}
  std::variant<int, std::string> value_;
};

// What the ZIP layer reports, in the categories the user sees, in the order
// of ZipError's alternatives.
enum class ZipErrorCategory {
  Io,          // reading the archive failed: carries an IoError
  Invalid,     // the archive is malformed
  Unsupported, // the archive uses a feature that cannot be read
  NotFound,    // a member looked up by name does not exist
};

class ZipError {
public:
  static ZipError io(IoError error) { return ZipError(std::move(error)); }
  static ZipError invalid(std::string detail) {
    return ZipError(Invalid{std::move(detail)});
  }
  static ZipError unsupported(std::string detail) {
    return ZipError(Unsupported{std::move(detail)});
  }
  static ZipError not_found() { return ZipError(NotFound{}); }

  ZipErrorCategory category() const noexcept {
    return static_cast<ZipErrorCategory>(value_.index());
  }
  // The read failure of the Io category.
  const IoError *io_error() const noexcept {
    return std::get_if<IoError>(&value_);
  }
  std::string message() const;

  friend bool operator==(const ZipError &, const ZipError &) = default;

private:
  // The library's own description of what is wrong or not supported.
  struct Invalid {
    std::string detail;
    friend bool operator==(const Invalid &, const Invalid &) = default;
  };
  struct Unsupported {
    std::string detail;
    friend bool operator==(const Unsupported &, const Unsupported &) = default;
  };
  struct NotFound {
    friend bool operator==(const NotFound &, const NotFound &) = default;
  };
  using Value = std::variant<IoError, Invalid, Unsupported, NotFound>;

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
  // The carried failures, null for every other kind.
  const IoError *io_error() const noexcept {
    return std::get_if<IoError>(&value_);
  }
  const ZipError *zip_error() const noexcept {
    return std::get_if<ZipError>(&value_);
  }
  // The text the user sees.
  std::string message() const;

  friend bool operator==(const LoadError &, const LoadError &) = default;

private:
  // Shown as it is, with no prefix.
  struct Parse {
    std::string text;
    friend bool operator==(const Parse &, const Parse &) = default;
  };
  struct UnknownFormat {
    friend bool operator==(const UnknownFormat &,
                           const UnknownFormat &) = default;
  };
  // The member name that was looked for.
  struct MissingMember {
    std::string name;
    friend bool operator==(const MissingMember &,
                           const MissingMember &) = default;
  };
  using Value =
      std::variant<IoError, ZipError, Parse, UnknownFormat, MissingMember>;

  explicit LoadError(Value value) : value_(std::move(value)) {}
  Value value_;
};

} // namespace difral
