// SPDX-License-Identifier: MIT
#pragma once

// Short ASCII lines classified sixteen bytes at a time: the positions of
// separators, digits and points become bit masks, so that every token's
// bounds come from bit operations instead of a walk byte by byte, and the
// tokens of a line convert independently of each other.

#include "text/scan.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#define DIFRAL_HAS_LINE_MASKS 1
#endif

namespace difral::detail {

#if defined(DIFRAL_HAS_LINE_MASKS)

// How many bytes of a line the masks cover.
inline constexpr std::size_t mask_width = 64;

struct LineMasks {
  std::uint64_t separators; // separators, and every byte past the line
  std::uint64_t digits;
  std::uint64_t points;
};

inline std::uint64_t bits_below(std::size_t n) noexcept {
  return n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
}

// The masks of the line of length bytes at p (less than mask_width). The
// blocks of sixteen bytes that hold the line are loaded, so they must be
// readable.
template <bool Comma>
inline LineMasks line_masks(const char *p, std::size_t length) noexcept {
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i tab = _mm_set1_epi8('\t');
  const __m128i vtab = _mm_set1_epi8('\v');
  const __m128i feed = _mm_set1_epi8('\f');
  const __m128i comma = _mm_set1_epi8(',');
  const __m128i point = _mm_set1_epi8('.');
  const __m128i below_zero = _mm_set1_epi8('0' - 1);
  const __m128i above_nine = _mm_set1_epi8('9' + 1);
  LineMasks masks{0, 0, 0};
  // Only the blocks of sixteen that hold the line.
  const std::size_t width = (length + 15) & ~std::size_t{15};
  for (std::size_t i = 0; i < width; i += 16) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
    __m128i sep = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(b, space), _mm_cmpeq_epi8(b, tab)),
        _mm_or_si128(_mm_cmpeq_epi8(b, vtab), _mm_cmpeq_epi8(b, feed)));
    if constexpr (Comma) {
      sep = _mm_or_si128(sep, _mm_cmpeq_epi8(b, comma));
    }
    const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(b, below_zero),
                                        _mm_cmplt_epi8(b, above_nine));
    masks.separators |= static_cast<std::uint64_t>(
                            static_cast<unsigned>(_mm_movemask_epi8(sep)))
                        << i;
    masks.digits |= static_cast<std::uint64_t>(
                        static_cast<unsigned>(_mm_movemask_epi8(digit)))
                    << i;
    masks.points |= static_cast<std::uint64_t>(static_cast<unsigned>(
                        _mm_movemask_epi8(_mm_cmpeq_epi8(b, point))))
                    << i;
  }
  const std::uint64_t inside = bits_below(length);
  masks.separators |= ~inside;
  masks.digits &= inside;
  masks.points &= inside;
  return masks;
}

// The value of the first count (1 to 8) bytes of v, all digits.
inline std::uint64_t word_digits(std::uint64_t v, std::size_t count) noexcept {
  std::uint64_t d = (v - 0x3030303030303030ULL) << (8 * (8 - count));
  d = d * 10 + (d >> 8);
  d = (((d & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
       (((d >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
      32;
  return d;
}

// The value of count (0 to 8) digits at p; eight bytes at p are readable.
inline std::uint64_t known_digits(const char *p, std::size_t count) noexcept {
  if (count == 0) {
    return 0;
  }
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return word_digits(v, count);
}

// The token [start, stop) of the line at base, when it is a sign, at most
// eight digits, a point and at most eight digits: its value, without a
// branch per digit. Returns false for any other token (an exponent, more
// digits), which then takes scan_token.
inline bool masked_decimal(const char *base, std::size_t start,
                           std::size_t stop, const LineMasks &masks,
                           double &value) noexcept {
  bool negative = false;
  const char lead = base[start];
  if (lead == '-' || lead == '+') {
    negative = lead == '-';
    ++start;
  }
  const std::uint64_t token = bits_below(stop) & ~bits_below(start);
  const std::uint64_t points = masks.points & token;
  if ((token & ~(masks.digits | points)) != 0 || (points & (points - 1)) != 0) {
    return false; // another character, or two points
  }
  const std::size_t point =
      points == 0 ? stop : static_cast<std::size_t>(__builtin_ctzll(points));
  const std::size_t whole = point - start;
  const std::size_t fraction = points == 0 ? 0 : stop - point - 1;
  if (whole > 8 || fraction > 8 || whole + fraction == 0) {
    return false;
  }
  std::uint64_t digits;
  if (whole + fraction <= 8) {
    // One conversion for both parts: the bytes after the point move down
    // over it.
    std::uint64_t head;
    std::uint64_t tail;
    std::memcpy(&head, base + start, sizeof head);
    std::memcpy(&tail, base + start + 1, sizeof tail);
    const std::uint64_t keep =
        whole >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * whole)) - 1;
    digits = word_digits(points == 0 ? head : (head & keep) | (tail & ~keep),
                         whole + fraction);
  } else {
    digits = known_digits(base + start, whole) * powers_of_ten_u64[fraction] +
             known_digits(base + point + 1, fraction);
  }
  // At most sixteen digits: below 2^53 unless it has sixteen.
  if (digits > (std::uint64_t{1} << 53)) {
    return false;
  }
  const double magnitude =
      static_cast<double>(digits) / exact_powers_of_ten[fraction];
  value = negative ? -magnitude : magnitude;
  return true;
}

#endif

} // namespace difral::detail
