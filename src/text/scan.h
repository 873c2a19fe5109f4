// SPDX-License-Identifier: MIT
#pragma once

// The fast path of the text readers: tokens of ASCII lines found and
// converted in one pass. It only ever accepts what the general path
// (whitespace_tokens or csv_tokens, then parse_value) gives the same value
// for, and says so by returning nullptr for anything else, so a reader can
// always fall back to the general path for the line.

#include <array>
#include <cfenv>
#include <cstdint>
#include <cstring>

namespace difral::detail {

// The ASCII separators that can occur inside a line: LF and CR end lines.
template <bool Comma> inline bool is_separator(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || (Comma && c == ',');
}

template <bool Comma>
inline const char *skip_separators(const char *p, const char *end) noexcept {
  while (p < end && is_separator<Comma>(*p)) {
    ++p;
  }
  return p;
}

// A double whose value is exact is scaled by an exact power of ten in one
// correctly rounded operation only while the rounding mode is to nearest.
inline bool rounds_to_nearest() noexcept {
  return std::fegetround() == FE_TONEAREST;
}

inline constexpr std::array<double, 23> exact_powers_of_ten = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline bool is_digit(char c) noexcept {
  return static_cast<unsigned char>(c - '0') < 10;
}

inline constexpr std::array<std::uint64_t, 9> powers_of_ten_u64 = {
    1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// The number of leading decimal digits of the eight bytes at p, and their
// value, without a branch per digit. Bytes past the first non-digit may be
// anything: a carry or borrow out of a byte only reaches later bytes, which
// are dropped.
inline std::size_t eight_digits(const char *p, std::uint64_t &value) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  const std::uint64_t high = v & 0xF0F0F0F0F0F0F0F0ULL;
  const std::uint64_t shifted =
      (v + 0x0606060606060606ULL) & 0xF0F0F0F0F0F0F0F0ULL;
  const std::uint64_t other =
      (high ^ 0x3030303030303030ULL) | (shifted ^ 0x3030303030303030ULL);
  const std::size_t count =
      other == 0 ? 8 : static_cast<std::size_t>(__builtin_ctzll(other)) / 8;
  if (count == 0) {
    value = 0;
    return 0;
  }
  // Keep the digits, as the high bytes, so that the dropped bytes act as
  // leading zeros; then combine pairs, quads and the two halves.
  std::uint64_t d = (v - 0x3030303030303030ULL) << (8 * (8 - count));
  d = d * 10 + (d >> 8);
  d = (((d & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
       (((d >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
      32;
  value = d;
  return count;
}

// Appends the run of digits at p to digits; returns the end of the run.
// Loads eight bytes at a time while limit allows.
inline const char *digit_run(const char *p, const char *end, const char *limit,
                             std::uint64_t &digits) noexcept {
  while (limit - p >= 8) {
    std::uint64_t chunk;
    const std::size_t count = eight_digits(p, chunk);
    if (count > static_cast<std::size_t>(end - p)) {
      break; // digits past the line's end: count the rest one by one
    }
    digits = digits * powers_of_ten_u64[count] + chunk;
    p += count;
    if (count < 8) {
      return p;
    }
  }
  while (p < end && is_digit(*p)) {
    digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
    ++p;
  }
  return p;
}

// A short decimal at p: an optional sign, at most 19 digits around an
// optional point, an optional exponent of at most four digits. Whenever the
// digits fit in 53 bits and the power of ten is exact, the value is one
// correctly rounded multiplication or division of two exact doubles (the
// fast path of Clinger's algorithm). Returns the end of the number, or
// nullptr when the token needs the general conversion. Bytes up to limit
// (at least end) may be loaded but never decide the result.
inline const char *scan_short_decimal(const char *p, const char *end,
                                      const char *limit,
                                      double &value) noexcept {
  bool negative = false;
  if (p < end && (*p == '-' || *p == '+')) {
    negative = *p == '-';
    ++p;
  }
  std::uint64_t digits = 0;
  const char *first = p;
  p = digit_run(p, end, limit, digits);
  std::ptrdiff_t count = p - first;
  std::ptrdiff_t fraction = 0;
  if (p < end && *p == '.') {
    ++p;
    const char *point = p;
    p = digit_run(p, end, limit, digits);
    fraction = p - point;
    count += fraction;
  }
  if (count == 0 || count > 19) {
    return nullptr;
  }
  std::ptrdiff_t exponent = 0;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool negative_exponent = false;
    if (p < end && (*p == '-' || *p == '+')) {
      negative_exponent = *p == '-';
      ++p;
    }
    const char *start = p;
    while (p < end && is_digit(*p) && p - start < 4) {
      exponent = exponent * 10 + (*p - '0');
      ++p;
    }
    if (p == start || (p < end && is_digit(*p))) {
      return nullptr;
    }
    if (negative_exponent) {
      exponent = -exponent;
    }
  }
  const std::ptrdiff_t scale = exponent - fraction;
  if (digits > (std::uint64_t{1} << 53) || scale < -22 || scale > 22) {
    return nullptr;
  }
  double magnitude = static_cast<double>(digits);
  if (scale < 0) {
    magnitude /= exact_powers_of_ten[static_cast<std::size_t>(-scale)];
  } else {
    magnitude *= exact_powers_of_ten[static_cast<std::size_t>(scale)];
  }
  value = negative ? -magnitude : magnitude;
  return p;
}

// A whole token of an ASCII line: a short decimal followed by a separator
// or the end of the line. nullptr when the token is anything else.
template <bool Comma>
inline const char *scan_token(const char *p, const char *end, const char *limit,
                              double &value) noexcept {
  const char *after = scan_short_decimal(p, end, limit, value);
  if (after == nullptr || (after < end && !is_separator<Comma>(*after))) {
    return nullptr;
  }
  return after;
}

} // namespace difral::detail
