// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <utility>

namespace difral {

// A failure of reading: an operating-system error code, or a failure of the
// stream layer with a fixed text of its own.
class IoError {
public:
  // The OS code keeps its errno; the text is formed only when asked for.
  static IoError from_errno(int code) noexcept { return IoError(code, {}); }
  // A line that is not valid UTF-8.
  static IoError invalid_utf8() {
    return IoError(0, "stream did not contain valid UTF-8");
  }
  // The load was stopped from outside (a signal handler asked for it).
  static IoError interrupted() { return IoError(0, "operation interrupted"); }
  // Any other failure that carries its own description.
  static IoError with_text(std::string text) {
    return IoError(0, std::move(text));
  }

  // The errno of an OS failure, 0 for a failure with its own text.
  int os_code() const noexcept { return code_; }
  // "<system description> (os error N)" for an OS failure, else the text.
  std::string message() const;

  friend bool operator==(const IoError &, const IoError &) = default;

private:
  IoError(int code, std::string text) : code_(code), text_(std::move(text)) {}
  int code_;
  std::string text_;
};

// What the ZIP layer reports, in the categories the user sees.
enum class ZipErrorCategory {
  Io,          // reading the archive failed: carries an IoError
  Invalid,     // the archive is malformed
  Unsupported, // the archive uses a feature that cannot be read
  NotFound,    // a member looked up by name does not exist
};

class ZipError {
public:
  static ZipError io(IoError error) {
    return ZipError(ZipErrorCategory::Io, std::move(error), {});
  }
  static ZipError invalid(std::string detail) {
    return ZipError(ZipErrorCategory::Invalid, IoError::from_errno(0),
                    std::move(detail));
  }
  static ZipError unsupported(std::string detail) {
    return ZipError(ZipErrorCategory::Unsupported, IoError::from_errno(0),
                    std::move(detail));
  }
  static ZipError not_found() {
    return ZipError(ZipErrorCategory::NotFound, IoError::from_errno(0), {});
  }

  ZipErrorCategory category() const noexcept { return category_; }
  const IoError &io_error() const noexcept { return io_; }
  const std::string &detail() const noexcept { return detail_; }
  std::string message() const;

  friend bool operator==(const ZipError &, const ZipError &) = default;

private:
  ZipError(ZipErrorCategory category, IoError io, std::string detail)
      : category_(category), io_(std::move(io)), detail_(std::move(detail)) {}
  ZipErrorCategory category_;
  IoError io_;
  std::string detail_;
};

// The kinds of load failure, in declaration order; the Python layer picks
// the exception class by kind.
enum class LoadErrorKind {
  Io,                   // reading failed, or the text is not UTF-8: OSError
  Zip,                  // the ZIP layer refused the archive: ValueError
  Parse,                // a reader refused the content: ValueError
  UnknownFormat,        // the name's extension selects no reader
  MissingArchiveMember, // no profile member in the archive
};

// The one failure type of the loading core. Created where the failure happens
// and passed outward unchanged.
class LoadError {
public:
  static LoadError io(IoError error) {
    return LoadError(LoadErrorKind::Io, std::move(error), ZipError::not_found(),
                     {});
  }
  static LoadError zip(ZipError error) {
    return LoadError(LoadErrorKind::Zip, IoError::from_errno(0),
                     std::move(error), {});
  }
  static LoadError parse(std::string text) {
    return LoadError(LoadErrorKind::Parse, IoError::from_errno(0),
                     ZipError::not_found(), std::move(text));
  }
  static LoadError unknown_format() {
    return LoadError(LoadErrorKind::UnknownFormat, IoError::from_errno(0),
                     ZipError::not_found(), {});
  }
  static LoadError missing_archive_member(std::string name) {
    return LoadError(LoadErrorKind::MissingArchiveMember,
                     IoError::from_errno(0), ZipError::not_found(),
                     std::move(name));
  }

  LoadErrorKind kind() const noexcept { return kind_; }
  // The carried failures; meaningful only for their own kind.
  const IoError &io_error() const noexcept { return io_; }
  const ZipError &zip_error() const noexcept { return zip_; }
  // The Parse text or the missing member's name.
  const std::string &payload() const noexcept { return payload_; }
  // The text the user sees.
  std::string message() const;

  friend bool operator==(const LoadError &, const LoadError &) = default;

private:
  LoadError(LoadErrorKind kind, IoError io, ZipError zip, std::string payload)
      : kind_(kind), io_(std::move(io)), zip_(std::move(zip)),
        payload_(std::move(payload)) {}
  LoadErrorKind kind_;
  IoError io_;
  ZipError zip_;
  std::string payload_;
};

} // namespace difral
