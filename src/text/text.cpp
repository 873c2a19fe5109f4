// SPDX-License-Identifier: MIT
#include "text/text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fast_float/fast_float.h>
#include <limits>

namespace difral {

namespace {

inline unsigned char byte_at(const char *p) noexcept {
  return static_cast<unsigned char>(*p);
}

inline bool is_continuation(unsigned char c) noexcept {
  return (c & 0xC0) == 0x80;
}

// Validates one multi-byte sequence at p; returns its length, or 0. The
// range of the second byte rules out overlongs, surrogates and code points
// past U+10FFFF.
std::size_t utf8_sequence_length(const unsigned char *p,
                                 const unsigned char *end) noexcept {
  const unsigned char c = p[0];
  const std::size_t n = c < 0xC2    ? 0
                        : c <= 0xDF ? 2
                        : c <= 0xEF ? 3
                        : c <= 0xF4 ? 4
                                    : 0;
  const unsigned char low = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
  const unsigned char high = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
  if (n == 0 || static_cast<std::size_t>(end - p) < n || p[1] < low ||
      p[1] > high) {
    return 0;
  }
  for (std::size_t i = 2; i < n; ++i) {
    if (!is_continuation(p[i])) {
      return 0;
    }
  }
  return n;
}

inline bool ascii_lower_equals(std::string_view text,
                               std::string_view lower) noexcept {
  return std::equal(text.begin(), text.end(), lower.begin(), lower.end(),
                    [](char c, char l) {
                      return (c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) == l;
                    });
}

// Tokens are maximal runs of bytes that start no separator. A byte past
// 0x7F never starts a separator in the middle of a character: continuation
// bytes are never the lead byte of a white-space character.
template <bool CommaSeparates>
inline std::size_t separator_length(const char *p, const char *end) noexcept {
  return CommaSeparates && *p == ',' ? 1 : whitespace_length(p, end);
}

template <bool CommaSeparates>
inline std::optional<std::string_view> next_token(const char *&p,
                                                  const char *end) noexcept {
  while (p < end) {
    const std::size_t n = separator_length<CommaSeparates>(p, end);
    if (n == 0) {
      break;
    }
    p += n;
  }
  if (p == end) {
    return std::nullopt;
  }
  const char *start = p;
  while (p < end && separator_length<CommaSeparates>(p, end) == 0) {
    ++p;
  }
  return std::string_view(start, static_cast<std::size_t>(p - start));
}

template <bool CommaSeparates>
std::size_t first_tokens(std::string_view text, std::string_view *out,
                         std::size_t max) noexcept {
  const char *p = text.data();
  std::size_t count = 0;
  for (; count < max; ++count) {
    auto token = next_token<CommaSeparates>(p, text.data() + text.size());
    if (!token) {
      break;
    }
    out[count] = *token;
  }
  return count;
}

} // namespace

bool is_valid_utf8(std::string_view text) noexcept {
  const auto *p = reinterpret_cast<const unsigned char *>(text.data());
  const auto *end = p + text.size();
  while (p < end) {
    // Eight ASCII bytes at a time while the high bits stay clear.
    while (end - p >= 8) {
      std::uint64_t block;
      std::memcpy(&block, p, sizeof block);
      if ((block & 0x8080808080808080ULL) != 0) {
        break;
      }
      p += 8;
    }
    if (p == end) {
      break;
    }
    if (*p < 0x80) {
      ++p;
      continue;
    }
    const std::size_t n = utf8_sequence_length(p, end);
    if (n == 0) {
      return false;
    }
    p += n;
  }
  return true;
}

std::size_t whitespace_length(const char *p, const char *end) noexcept {
  const unsigned char c = byte_at(p);
  const std::ptrdiff_t left = end - p;
  if (c < 0x80) {
    return is_ascii_blank(c) ? 1 : 0;
  }
  if (c == 0xC2) { // U+0085, U+00A0
    return left >= 2 && (byte_at(p + 1) == 0x85 || byte_at(p + 1) == 0xA0) ? 2
                                                                           : 0;
  }
  if (c < 0xE1 || c > 0xE3 || left < 3 || !is_continuation(byte_at(p + 1)) ||
      !is_continuation(byte_at(p + 2))) {
    return 0;
  }
  const unsigned code = (c & 0x0Fu) << 12 | (byte_at(p + 1) & 0x3Fu) << 6 |
                        (byte_at(p + 2) & 0x3Fu);
  return code == 0x1680 || (code >= 0x2000 && code <= 0x200A) ||
                 code == 0x2028 || code == 0x2029 || code == 0x202F ||
                 code == 0x205F || code == 0x3000
             ? 3
             : 0;
}

std::string_view trim_line(std::string_view text) noexcept {
  const char *p = text.data();
  const char *end = p + text.size();
  while (p < end) {
    const std::size_t n = whitespace_length(p, end);
    if (n == 0) {
      break;
    }
    p += n;
  }
  while (end > p) {
    const unsigned char last = byte_at(end - 1);
    if (last < 0x80) {
      if (!is_ascii_blank(last)) {
        break;
      }
      --end;
      continue;
    }
    // Step back to the lead byte of the last character.
    const char *lead = end - 1;
    while (lead > p && is_continuation(byte_at(lead)) && end - lead < 4) {
      --lead;
    }
    if (whitespace_length(lead, end) != static_cast<std::size_t>(end - lead)) {
      break;
    }
    end = lead;
  }
  return std::string_view(p, static_cast<std::size_t>(end - p));
}

std::vector<std::string_view> whitespace_tokens(std::string_view text) {
  std::vector<std::string_view> tokens;
  const char *p = text.data();
  while (auto token = next_token<false>(p, text.data() + text.size())) {
    tokens.push_back(*token);
  }
  return tokens;
}

std::size_t whitespace_tokens(std::string_view text, std::string_view *out,
                              std::size_t max) noexcept {
  return first_tokens<false>(text, out, max);
}

std::size_t csv_tokens(std::string_view text, std::string_view *out,
                       std::size_t max) noexcept {
  return first_tokens<true>(text, out, max);
}

std::optional<double> parse_value(std::string_view token) noexcept {
  const char *p = token.data();
  const char *end = p + token.size();
  if (p == end) {
    return std::nullopt;
  }
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
    if (p == end) {
      return std::nullopt;
    }
  }
  const char c = *p;
  if ((c >= '0' && c <= '9') || c == '.') {
    // fast_float's decimal grammar is exactly ours once the sign is gone and
    // the whole token must be consumed. Out of range, it gives infinity or
    // zero: 3.9 silently, later releases with result_out_of_range.
    double value = 0;
    const auto result = fast_float::from_chars(p, end, value);
    if (result.ptr != end || (result.ec != std::errc() &&
                              result.ec != std::errc::result_out_of_range)) {
      return std::nullopt;
    }
    return negative ? -value : value;
  }
  const std::string_view word(p, static_cast<std::size_t>(end - p));
  if (ascii_lower_equals(word, "inf") || ascii_lower_equals(word, "infinity")) {
    const double inf = std::numeric_limits<double>::infinity();
    return negative ? -inf : inf;
  }
  if (ascii_lower_equals(word, "nan")) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return negative ? -nan : nan;
  }
  return std::nullopt;
}

} // namespace difral
