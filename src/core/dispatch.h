// SPDX-License-Identifier: MIT
#pragma once

#include "core/byte_source.h"
#include "core/load_result.h"

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace difral {

// The reader a file name selects.
enum class FormatKind {
  Columns,   // .xy and .xye
  Csv,       // .csv
  GsasRaw,   // .raw without a NUL in its first bytes
  BrukerRaw, // .raw with a NUL in its first bytes: refused
  Rasx,      // .rasx ZIP archives
};

// How many leading bytes decide between GSAS text and Bruker binary RAW.
inline constexpr std::size_t sniff_window = 1024;

// The lower-cased extension of the final path component, looked up among the
// known ones. "raw" gives GsasRaw before sniffing; none for anything else.
std::optional<FormatKind> format_from_name(std::string_view name);

// BrukerRaw if any of the given bytes is NUL, else GsasRaw.
FormatKind sniff_raw(std::span<const std::byte> head) noexcept;

// Takes the source, reads nothing, closes it and refuses the input.
LoadResult refuse_bruker_raw(ByteSource source);

// Opens the file read-only, then picks the reader by the name's extension.
// The file is closed exactly once on every path. interrupted, when given, is
// asked before each read and after each interrupted system call; when it says
// stop, the load fails with IoError::interrupted().
LoadResult load_path(std::string_view path,
                     InterruptCheck interrupted = nullptr);

// Loads borrowed bytes; the name serves only to choose the reader.
// interrupted, when given, is asked before each read of the bytes, and so
// while an archive member inflates.
LoadResult load_buffer(std::span<const std::byte> data, std::string_view name,
                       InterruptCheck interrupted = nullptr);

} // namespace difral
