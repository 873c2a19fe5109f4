// SPDX-License-Identifier: MIT
// Feeds arbitrary bytes to load_buffer under one extension (a compile-time
// choice, one binary per reader), then checks more than "no crash": the
// shape of the Pattern, that the failure is one this format can give at all,
// that every block classifier, and a floating-point environment other than
// the default, give the general path's result, and that
// load_path over the same bytes in a file gives the same result without
// leaving a descriptor open.
#include "core/dispatch.h"
#include "fuzz_support.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#ifndef DIFRAL_FUZZ_EXTENSION
#error "define DIFRAL_FUZZ_EXTENSION to the extension to load under"
#endif

namespace {

using namespace difral;
using namespace difral::fuzz;

constexpr std::string_view extension = DIFRAL_FUZZ_EXTENSION;

int lowest_free_descriptor() {
  const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ::close(fd);
  return fd;
}

// The column readers read every line and never refuse content, so only
// text that is not UTF-8 can fail, and it always does.
void check_columns(std::string_view text, const LoadResult &result) {
  if (valid_utf8(text)) {
    require(result.ok(), "valid UTF-8 column text failed to load");
  } else {
    require(is_io_utf8(result), "text that is not UTF-8 did not fail as such");
  }
}

// With no comment marks about, a comma separates exactly like a blank.
void check_csv(std::string_view text, const LoadResult &result) {
  check_columns(text, result);
  if (text.find_first_of("#!") != std::string_view::npos) {
    return;
  }
  std::string blanks(text);
  std::replace(blanks.begin(), blanks.end(), ',', ' ');
  const LoadResult as_xy = load_buffer(as_bytes(blanks), "input.xy");
  require(same_result(result, as_xy, true),
          "csv differs from xy with its commas made blanks");
}

void check_raw(std::string_view text, const LoadResult &result) {
  if (result.ok()) {
    require(!result->e, "a RAW file gave e");
    require(text.find("BANK") != std::string_view::npos,
            "RAW text without BANK loaded");
    return;
  }
  const LoadError &error = result.error();
  if (text.substr(0, sniff_window).find('\0') != std::string_view::npos) {
    require(error.kind() == LoadErrorKind::Parse &&
                error.message() == "Bruker binary RAW format not yet supported",
            "a NUL in the first 1024 bytes was not refused as Bruker RAW");
    return;
  }
  if (error.kind() == LoadErrorKind::Io) {
    require(is_io_utf8(result) && !valid_utf8(text),
            "RAW text failed with an I/O error other than invalid UTF-8");
    return;
  }
  const std::string message = error.message();
  require(error.kind() == LoadErrorKind::Parse &&
              (message == "BANK header not found in RAW file" ||
               message == "Invalid start" || message == "Invalid step"),
          "RAW text failed in a way the format does not have");
  if (text.find("BANK") == std::string_view::npos) {
    require(message == "BANK header not found in RAW file",
            "RAW text without BANK failed otherwise");
  }
}

void check_rasx(std::string_view text, const LoadResult &result) {
  if (result.ok()) {
    require(!result->e, "a RASX archive gave e");
  } else {
    const LoadError &error = result.error();
    require(error.kind() == LoadErrorKind::Zip ||
                error.kind() == LoadErrorKind::Io ||
                (error.kind() == LoadErrorKind::MissingArchiveMember &&
                 error == LoadError::missing_archive_member("Profile*.txt")),
            "a RASX archive failed in a way the format does not have");
  }
  // Without an end-of-central-directory record there is no archive.
  if (text.find(std::string_view("PK\x05\x06", 4)) == std::string_view::npos) {
    require(!result.ok() && result.error().kind() == LoadErrorKind::Zip,
            "bytes without an end-of-central-directory record were not a "
            "Zip error");
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  static ScratchFile scratch(extension);
  static const std::string name = "input." + std::string(extension);

  const auto bytes = std::as_bytes(std::span(data, size));
  const std::string_view text(reinterpret_cast<const char *>(data), size);

  const LoadResult memory = load_buffer(bytes, name);
  check_shape(memory);
  if (extension == "xy" || extension == "xye") {
    check_columns(text, memory);
  } else if (extension == "csv") {
    check_csv(text, memory);
  } else if (extension == "raw") {
    check_raw(text, memory);
  } else if (extension == "rasx") {
    check_rasx(text, memory);
  }

  require_every_path_agrees([&] { return load_buffer(bytes, name); });

  scratch.write(bytes);
  // Measured right before: libFuzzer itself may open descriptors between
  // inputs (its symbolizer pipes, for one).
  const int free_descriptor = lowest_free_descriptor();
  const LoadResult file = load_path(scratch.path());
  check_shape(file);
  require(same_result(memory, file, true),
          "load_path and load_buffer differ on the same bytes");
  require(lowest_free_descriptor() == free_descriptor,
          "load_path left a descriptor open");
  return 0;
}
