// SPDX-License-Identifier: MIT
#pragma once

// The readers' one fast number path, in two steps as fast_float's: a scanner
// finds a token's sign, digits and point, and a plain decimal of at most 16
// digits becomes a ShortDecimal; one correctly rounded division of exact
// doubles (the fast path of Clinger's algorithm) turns that into
// parse_value's bits. GSAS fields feed the same division. Every other token
// goes to parse_value, the one definition of the grammar.

#include "text/block.h"
#include "text/text.h"

#include <array>
#include <bit>
#include <cstdint>
#include <optional>

namespace difral::detail {

inline constexpr std::array<double, 17> exact_powers_of_ten = {
    1e0, 1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7, 1e8,
    1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16};

// The eight bytes at p as digit values: a digit's byte xor '0' is its value,
// 0 to 9; every other ASCII byte gives a value from 10 to 0x7F.
inline std::uint64_t digit_values(const char *p) noexcept {
  return load_word(p) ^ 0x3030303030303030ULL;
}

// The value of eight digit values or zero bytes, byte 0 the most
// significant: pairs, quads and the two halves combine, none carrying.
inline std::uint64_t eight_digits(std::uint64_t v) noexcept {
  v = (v * (1 + (10 << 8))) >> 8;
  v = ((v & 0x00FF00FF00FF00FFULL) * (1 + (100 << 16))) >> 16;
  return ((v & 0x0000FFFF0000FFFFULL) * (1 + (10000ULL << 32))) >> 32;
}

// The high bit of each byte of digit values v that is not a digit's: adding
// 0x76 to a value below 0x80 never carries into the next byte.
inline std::uint64_t non_digits(std::uint64_t v) noexcept {
  return (v + 0x7676767676767676ULL) & 0x8080808080808080ULL;
}

// The low count (0 to 8) bytes of a word.
inline constexpr auto low_bytes = [] {
  std::array<std::uint64_t, 9> table{};
  for (std::size_t i = 1; i < table.size(); ++i) {
    table[i] = table[i - 1] << 8 | 0xFF;
  }
  return table;
}();

// The low count (0 to 8) bytes of word, the rest from the digit values one
// byte further on: a point at offset count removed.
inline std::uint64_t without_point(std::uint64_t word, const char *next,
                                   std::size_t count) noexcept {
  return (word & low_bytes[count]) | (digit_values(next) & ~low_bytes[count]);
}

// A decimal whose value is exactly mantissa / 10^scale, with its sign.
struct ShortDecimal {
  std::uint64_t mantissa; // at most 2^53, so a double holds it exactly
  std::size_t scale;      // at most 16
  bool negative;
};

// The one conversion: both operands are exact doubles, so the quotient is
// the correctly rounded value while divides_to_nearest(). It is never
// subnormal, so flush-to-zero cannot change it.
inline double to_double(const ShortDecimal &decimal) noexcept {
  // Below 2^53: the signed conversion is exact and a single instruction.
  const double magnitude =
      static_cast<double>(static_cast<std::int64_t>(decimal.mantissa)) /
      exact_powers_of_ten[decimal.scale];
  return decimal.negative ? -magnitude : magnitude;
}

// The scanner: the token [p, p + length) as a ShortDecimal when it is an
// optional sign and at most 16 digits around an optional point, in at most
// 16 bytes after the sign; false for every other token. The token is ASCII,
// and a separator and a block's padding follow it, so a run of digits ends
// at its end.
inline bool scan_short_decimal(const char *p, std::size_t length,
                               ShortDecimal &decimal) noexcept {
  std::uint64_t low = digit_values(p);
  std::uint64_t marks = non_digits(low);
  // A sign is a first byte that is not a digit, which most tokens lack.
  decimal.negative = false;
  if ((marks & 0x80) != 0 && (*p == '-' || *p == '+')) {
    decimal.negative = *p == '-';
    low = digit_values(++p);
    marks = non_digits(low);
    --length;
  }
  if (length - 1 >= 16) {
    return false; // the sign alone, or more than 16 bytes
  }
  std::size_t whole; // the digits before the first other byte
  std::size_t digits;
  if (length <= 9 && marks != 0) {
    // At most eight digits: one word.
    whole = static_cast<std::size_t>(std::countr_zero(marks)) / 8;
    digits = whole;
    if (whole != length) {
      // One point, and only digits after it.
      digits = length - 1;
      if (p[whole] != '.' || digits == 0) {
        return false;
      }
      low = without_point(low, p + 1, whole);
      if ((non_digits(low) & low_bytes[digits]) != 0) {
        return false;
      }
    }
    // The bytes after the digits read as trailing zeros; scale undoes them.
    decimal.mantissa = eight_digits(low & low_bytes[digits]);
    decimal.scale = 8 - whole;
    return true;
  }
  // Eight digits or more: two words, the point removed the same way.
  std::uint64_t high = digit_values(p + 8);
  const std::uint64_t rest = non_digits(high);
  whole = marks != 0  ? static_cast<std::size_t>(std::countr_zero(marks)) / 8
          : rest != 0 ? 8 + static_cast<std::size_t>(std::countr_zero(rest)) / 8
                      : 16;
  digits = whole;
  if (whole != length) {
    digits = length - 1;
    if (p[whole] != '.') {
      return false;
    }
    if (whole < 8) {
      low = without_point(low, p + 1, whole);
      high = digit_values(p + 9);
    } else {
      high = without_point(high, p + 9, whole - 8);
    }
    if ((non_digits(low) | (non_digits(high) & low_bytes[digits - 8])) != 0) {
      return false;
    }
  }
  decimal.mantissa = eight_digits(low);
  decimal.scale = digits - whole;
  if (digits > 8) {
    decimal.mantissa = decimal.mantissa * static_cast<std::uint64_t>(
                                              exact_powers_of_ten[digits - 8]) +
                       eight_digits(high << 8 * (16 - digits));
  }
  return decimal.mantissa <= std::uint64_t{1} << 53;
}

// The value of the token [start, stop) of a block's bytes, as parse_value
// gives it; false when it is not a number. Only while divides_to_nearest().
inline bool token_value(const char *data, std::size_t start, std::size_t stop,
                        double &value) noexcept {
  if (ShortDecimal decimal;
      scan_short_decimal(data + start, stop - start, decimal)) {
    value = to_double(decimal);
    return true;
  }
  const std::optional<double> parsed =
      parse_value({data + start, stop - start});
  value = parsed.value_or(0);
  return parsed.has_value();
}

} // namespace difral::detail
