// SPDX-License-Identifier: MIT
#pragma once

// A buffered block of input and its classification: one pass over the block
// marks, for every byte, whether it ends a line or separates tokens, as
// bitmaps over 64-byte chunks, so that line and token bounds come from bit
// operations instead of a search per line.

#include "text/text.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace difral {

inline constexpr std::size_t line_buffer_size = 8192;
inline constexpr std::size_t chunk_size = 64;
inline constexpr std::size_t chunk_count = line_buffer_size / chunk_size;
// Defined bytes after the data of every block: the classifier loads whole
// chunks, and the number converter eight-byte words that end up to eighteen
// bytes past a token's start.
inline constexpr std::size_t block_padding = 64;
static_assert(line_buffer_size % chunk_size == 0 &&
                  block_padding >= chunk_size && block_padding >= 18,
              "every load past a block's data must stay in its padding");

// Bit i of word c describes byte 64c + i of the block. The last word of each
// map stays readable past the block's last chunk.
struct BlockMasks {
  std::array<std::uint64_t, chunk_count + 1> ends;   // LF and CR
  std::array<std::uint64_t, chunk_count + 1> blanks; // is_ascii_blank
  std::array<std::uint64_t, chunk_count + 1> commas;
};

// One implementation of the classification. classify fills the masks of
// the first chunks of data (chunks * 64 bytes readable) and returns whether
// every byte of them is ASCII. bit_instructions: the CPUs it runs on have
// x86's BMI1 and BMI2 too, so the readers' block loop is compiled for them.
struct Classifier {
  std::string_view name;
  bool (*supported)() noexcept;
  bool (*classify)(const char *data, std::size_t chunks,
                   BlockMasks &masks) noexcept;
  bool bit_instructions = false;
};

namespace detail {

// The eight bytes at p as a little-endian word: byte 0 lowest.
inline std::uint64_t load_word(const char *p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) {
    v = __builtin_bswap64(v);
  }
  return v;
}

// Every classifier built into this binary, the portable one last.
std::span<const Classifier> classifiers() noexcept;
// The best classifier the CPU runs, chosen once from its features.
const Classifier &active_classifier() noexcept;
// Makes every later load use this classifier (for tests and fuzzing).
void set_active_classifier(const Classifier &classifier) noexcept;

// The 64 bits of a map from position pos on.
inline std::uint64_t
bits_from(const std::array<std::uint64_t, chunk_count + 1> &map,
          std::size_t pos) noexcept {
  const std::size_t w = pos / chunk_size;
  const std::size_t shift = pos % chunk_size;
  // Two shifts, so that a shift of 0 does not shift by 64.
  return (map[w] >> shift) | ((map[w + 1] << 1) << (chunk_size - 1 - shift));
}

} // namespace detail

// A whole line of a classified all-ASCII block, as the line reader hands it
// to a reader: the block's bytes and masks, and the line's bounds in them,
// [begin, end) without its terminator. Valid until the next block is read.
struct BlockLine {
  const char *data;
  const BlockMasks *masks;
  std::size_t begin;
  std::size_t end;

  std::string_view text() const noexcept { return {data + begin, end - begin}; }
};

// The tokens of a block line, in order, found 64 bytes at a time from the
// separator masks: [start, stop) in the block's bytes. The byte before the
// line belongs to no token.
template <bool Comma> class LineTokens {
public:
  explicit LineTokens(const BlockLine &line) noexcept
      : masks_(*line.masks), end_(line.end) {
    window(line.begin, 0);
  }

  // The next token; false when none is left.
  bool next(std::size_t &start, std::size_t &stop) noexcept {
    while (edges_ == 0) {
      if (end_ - base_ <= chunk_size) {
        return false;
      }
      window(base_ + chunk_size, 0);
    }
    start = base_ + static_cast<std::size_t>(std::countr_zero(edges_));
    edges_ &= edges_ - 1;
    while (edges_ == 0) {
      window(base_ + chunk_size, 1); // the token runs past the window
    }
    stop = base_ + static_cast<std::size_t>(std::countr_zero(edges_));
    edges_ &= edges_ - 1;
    return true;
  }

private:
  // Looks at the 64 bytes from pos, those past the line counting as
  // separators; in_token is 1 when the byte before pos is a token's.
  void window(std::size_t pos, std::uint64_t in_token) noexcept {
    const std::size_t left = end_ - pos;
    base_ = pos;
    const std::uint64_t tokens =
        ~(detail::bits_from(masks_.blanks, pos) |
          (Comma ? detail::bits_from(masks_.commas, pos) : 0) |
          (left < chunk_size ? ~std::uint64_t{0} << left : 0));
    edges_ = tokens ^ (tokens << 1 | in_token);
  }

  const BlockMasks &masks_;
  std::size_t end_;
  std::size_t base_ = 0;
  // The first byte of each token of the window and the byte after it, those
  // not yet handed out.
  std::uint64_t edges_ = 0;
};

} // namespace difral
