// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace difral {

// True when the bytes are valid UTF-8 (no overlongs, surrogates or code
// points past U+10FFFF). ASCII runs are checked eight bytes at a time.
bool is_valid_utf8(std::string_view text) noexcept;

// ASCII white space: tab to carriage return, and space. Every other white-
// space character is past 0x7F.
constexpr bool is_ascii_blank(unsigned char c) noexcept {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// The byte length of the White_Space character that starts at p (0 when the
// character there is not white space). The 25 code points of the Unicode
// White_Space property; U+FEFF and U+200B are not among them.
std::size_t whitespace_length(const char *p, const char *end) noexcept;

// The text without leading and trailing white space.
std::string_view trim_line(std::string_view text) noexcept;

// A trimmed line whose first byte is '#' or '!'.
inline bool is_comment_line(std::string_view trimmed) noexcept {
  return !trimmed.empty() && (trimmed.front() == '#' || trimmed.front() == '!');
}

// The tokens of a text, in order; the second form stores the first max of
// them in out and returns how many it stored.
std::vector<std::string_view> whitespace_tokens(std::string_view text);
std::size_t whitespace_tokens(std::string_view text, std::string_view *out,
                              std::size_t max) noexcept;

// The value of a token that is entirely a number: an optional sign, then a
// decimal with an optional exponent, or INF, INFINITY or NAN in any case.
// Correctly rounded; overflow gives infinity and underflow zero, each with
// the token's sign. Never uses the locale, allocates or throws.
std::optional<double> parse_value(std::string_view token) noexcept;

} // namespace difral
