// SPDX-License-Identifier: MIT
#pragma once

#include "core/byte_source.h"
#include "core/load_error.h"
#include "text/block.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace difral {

namespace detail {

// Makes every later load read each line the general way, as text, instead
// of taking whole lines of a block on the fast path (for the tests and fuzz
// targets that compare the two).
void force_general_path(bool on) noexcept;

#if defined(__x86_64__) && defined(__GNUC__)
// read() with everything it calls that the compiler can see compiled again
// for BMI1 and BMI2.
template <class Read>
[[gnu::target("bmi,bmi2"), gnu::flatten]] auto
read_with_bit_instructions(Read read) {
  return read();
}
#endif

// read(), a reader's whole load: compiled again for the block loop of the
// active classifier's kernel where its CPUs have more instructions.
template <class Read> auto read_for_kernel(Read read) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (active_classifier().bit_instructions) {
    return read_with_bit_instructions(read);
  }
#endif
  return read();
}

} // namespace detail

// Reads UTF-8 lines from a stream through an 8192-byte buffer. LF, CR LF and
// a lone CR each end a line; a final line without a terminator is still a
// line, and a terminator at the very end gives no further empty line. A UTF-8
// byte-order mark at the very start of the input is skipped. Each line is
// checked for valid UTF-8.
//
// The reader borrows the stream; the stream's owner outlives the reader.
// max_line, when not 0, bounds the bytes of one line: a longer line fails
// with "line too long" instead of being gathered (an archive member can
// inflate to far more than the archive's own size).
class LineReader {
public:
  explicit LineReader(ByteStream &stream, std::size_t max_line = 0) noexcept;
  LineReader(const LineReader &) = delete;
  LineReader &operator=(const LineReader &) = delete;

  // Hands every line, in order, to one of two callables, each returning
  // whether to go on: a whole line of a classified all-ASCII block, read
  // while the arithmetic rounds to nearest (asked for each block), to
  // block_line(const BlockLine &); every other line to line(string_view),
  // valid until the call returns. Gives the read failure, if any; nothing
  // at the end of the input, or when a callable said stop, after which read
  // takes up the next line. After a failure, do not call again.
  template <class OnBlockLine, class OnLine>
  std::optional<IoError> read(OnBlockLine block_line, OnLine line) {
    for (;;) {
      if (pos_ == fill_) {
        refill();
      }
      if (fast_ && !read_block_lines(block_line)) {
        return std::nullopt;
      }
      switch (next_line()) {
      case Next::Line:
        if (!line(std::string_view(line_))) {
          return std::nullopt;
        }
        break;
      case Next::End:
        return std::nullopt;
      case Next::Failure:
        return std::move(pending_);
      }
    }
  }

  // Every line as text.
  template <class OnLine> std::optional<IoError> read(OnLine line) {
    return read([&](const BlockLine &block) { return line(block.text()); },
                line);
  }

  // How many bytes of the stream the lines so far have taken up.
  std::uint64_t consumed() const noexcept { return before_block_ + pos_; }

private:
  enum class Next { Line, End, Failure };

  // The lines that end in the buffered block, from pos_ on, as its end bits
  // give them; false when one said stop.
  template <class OnBlockLine> bool read_block_lines(OnBlockLine &block_line) {
    std::size_t w = pos_ / chunk_size;
    std::uint64_t ends =
        masks_.ends[w] & (~std::uint64_t{0} << pos_ % chunk_size);
    for (;;) {
      while (ends == 0) {
        if (++w == chunks_) {
          return true;
        }
        ends = masks_.ends[w];
      }
      // The padding holds no line end: term is in the block.
      const std::size_t term =
          w * chunk_size + static_cast<std::size_t>(std::countr_zero(ends));
      ends &= ends - 1;
      if (term < pos_) {
        continue; // the end of a terminator already passed
      }
      const BlockLine found{buffer_.data(), &masks_, pos_, term};
      if (pass_terminator(term)) {
        ends &= ends - 1; // its second byte, when in this word
      }
      if (!block_line(found)) {
        return false;
      }
    }
  }

  // Moves past the terminator at term; true when it is a CR LF whose LF is
  // in the block. The LF of a CR that ends the block is the next block's
  // first byte: refill passes it.
  bool pass_terminator(std::size_t term) noexcept {
    pos_ = term + 1;
    if (buffer_[term] != '\r') {
      return false;
    }
    after_cr_ = pos_ == fill_;
    if (after_cr_ || buffer_[pos_] != '\n') {
      return false;
    }
    ++pos_;
    return true;
  }

  // Reads and classifies the next block into the empty buffer. At the end
  // of the stream or on a failure, which it leaves in pending_, the buffer
  // stays empty.
  void refill();
  // The next line into line_ (gathered across blocks when it must be), or
  // the end, or the failure in pending_.
  Next next_line();
  // The first LF or CR from pos_ on, or fill_ when the block has none.
  std::size_t line_end() const noexcept;

  ByteStream *stream_;
  std::size_t max_line_;
  const Classifier &classifier_;
  const bool general_only_;
  std::size_t pos_ = 0;
  std::size_t fill_ = 0;
  std::size_t chunks_ = 0;
  // Bytes of the stream before the buffered block.
  std::uint64_t before_block_ = 0;
  // The buffered block is all ASCII: its lines need no UTF-8 check.
  bool block_ascii_ = false;
  // ... and its whole lines take the fast path.
  bool fast_ = false;
  bool at_start_ = true;
  bool eof_ = false;
  // The previous line ended in a CR that ended the block.
  bool after_cr_ = false;
  std::optional<IoError> pending_;
  // The line next_line found: a view into the buffer or into spill_.
  std::string_view line_;
  // Holds a line that does not fit in the buffer's unread bytes.
  std::string spill_;
  std::array<char, line_buffer_size + block_padding> buffer_;
  BlockMasks masks_{};
};

} // namespace difral
