// SPDX-License-Identifier: MIT
#include "core/dispatch.h"

#include "formats/gsas_raw.h"
#include "formats/rasx.h"
#include "text/columns.h"
#include "text/text.h"

#include <algorithm>
#include <array>
#include <string>

namespace difral {

namespace {

inline bool is_separator(char c) noexcept { return c == '/' || c == '\\'; }

inline bool is_ascii_letter(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The part of a name after a drive ("C:") or share ("\\server\share")
// prefix, which belongs to no component.
std::string_view strip_prefix(std::string_view name) noexcept {
  if (name.size() >= 2 && is_separator(name[0]) && is_separator(name[1])) {
    // \\server\share, \\?\C:, \\.\device: the server and share parts are
    // the prefix.
    std::size_t i = 2;
    for (int part = 0; part < 2 && i <= name.size(); ++part) {
      while (i < name.size() && !is_separator(name[i])) {
        ++i;
      }
      if (part == 0 && i < name.size()) {
        ++i;
      }
    }
    return name.substr(std::min(i, name.size()));
  }
  if (name.size() >= 2 && is_ascii_letter(name[0]) && name[1] == ':') {
    return name.substr(2);
  }
  return name;
}

// The last component that is neither empty nor ".", or an empty view.
std::string_view final_component(std::string_view name) noexcept {
  name = strip_prefix(name);
  std::size_t end = name.size();
  while (end > 0) {
    while (end > 0 && is_separator(name[end - 1])) {
      --end;
    }
    std::size_t start = end;
    while (start > 0 && !is_separator(name[start - 1])) {
      --start;
    }
    const std::string_view component = name.substr(start, end - start);
    if (component != ".") {
      return component;
    }
    end = start;
  }
  return {};
}

std::optional<FormatKind> kind_of_extension(std::string_view extension) {
  // Only ASCII letters can lower-case to the letters of a known extension,
  // and each known extension is ASCII, so an extension holding any other
  // byte matches nothing.
  if (extension.size() > 4) {
    return std::nullopt;
  }
  std::array<char, 4> lower{};
  for (std::size_t i = 0; i < extension.size(); ++i) {
    char c = extension[i];
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
    lower[i] = c;
  }
  const std::string_view folded(lower.data(), extension.size());
  if (folded == "xy" || folded == "xye") {
    return FormatKind::Columns;
  }
  if (folded == "csv") {
    return FormatKind::Csv;
  }
  if (folded == "raw") {
    return FormatKind::GsasRaw;
  }
  if (folded == "rasx") {
    return FormatKind::Rasx;
  }
  return std::nullopt;
}

LoadResult read_with(FormatKind kind, ByteSource source) {
  switch (kind) {
  case FormatKind::Columns:
    return read_xy(std::move(source));
  case FormatKind::Csv:
    return read_csv(std::move(source));
  case FormatKind::GsasRaw:
    return read_gsas_raw(std::move(source));
  case FormatKind::BrukerRaw:
    return refuse_bruker_raw(std::move(source));
  case FormatKind::Rasx:
    return read_rasx(std::move(source));
  }
  return LoadError::unknown_format();
}

} // namespace

std::optional<FormatKind> format_from_name(std::string_view name) {
  const std::string_view component = final_component(name);
  if (component.empty() || component == "..") {
    return std::nullopt;
  }
  if (!is_valid_utf8(component)) {
    return std::nullopt;
  }
  const std::size_t dot = component.rfind('.');
  if (dot == std::string_view::npos || dot == 0) {
    return std::nullopt;
  }
  return kind_of_extension(component.substr(dot + 1));
}

FormatKind sniff_raw(std::span<const std::byte> head) noexcept {
  const auto *first = head.data();
  const auto *last = first + std::min(head.size(), sniff_window);
  return std::find(first, last, std::byte{0}) != last ? FormatKind::BrukerRaw
                                                      : FormatKind::GsasRaw;
}

LoadResult refuse_bruker_raw(ByteSource source) {
  source.close();
  return LoadError::parse("Bruker binary RAW format not yet supported");
}

LoadResult load_path(std::string_view path, InterruptCheck interrupted) {
  auto opened = FileHandle::open_read_only(path, interrupted);
  if (!opened.ok()) {
    return LoadError::io(std::move(opened.error()));
  }
  ByteSource source = ByteSource::file(std::move(*opened), interrupted);
  const std::optional<FormatKind> kind = format_from_name(path);
  if (!kind) {
    return LoadError::unknown_format();
  }
  if (*kind != FormatKind::GsasRaw) {
    return read_with(*kind, std::move(source));
  }
  // One read of the head: a short read is all that is examined.
  std::array<std::byte, sniff_window> head{};
  ReadOutcome got = source.read(head);
  if (!got.ok()) {
    return LoadError::io(std::move(got.error()));
  }
  SeekOutcome rewound = source.seek(0, SeekFrom::Start);
  if (!rewound.ok()) {
    return LoadError::io(std::move(rewound.error()));
  }
  return read_with(sniff_raw(std::span(head).first(*got)), std::move(source));
}

LoadResult load_buffer(std::span<const std::byte> data, std::string_view name,
                       InterruptCheck interrupted) {
  const std::optional<FormatKind> kind = format_from_name(name);
  if (!kind) {
    return LoadError::unknown_format();
  }
  ByteSource source = ByteSource::buffer(data, interrupted);
  if (*kind == FormatKind::GsasRaw) {
    return read_with(sniff_raw(data), std::move(source));
  }
  return read_with(*kind, std::move(source));
}

} // namespace difral
