// SPDX-License-Identifier: MIT
#pragma once

#include "core/byte_source.h"
#include "core/load_error.h"
#include "text/block.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace difral {

// What next_line gives: a line, the end of input, or a failure.
struct LineOutcome {
  enum class Status { Line, End, Failure };
  Status status = Status::End;
  // The line without its terminator. Valid until the next call of next_line.
  std::string_view line;
  std::optional<IoError> error;
};

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
  explicit LineReader(ByteStream &stream, std::size_t max_line = 0) noexcept
      : stream_(&stream), max_line_(max_line) {}
  LineReader(const LineReader &) = delete;
  LineReader &operator=(const LineReader &) = delete;

  // Hands each line that lies wholly in the classified all-ASCII block,
  // from the next one on, to take(begin, end): the line without its
  // terminator at [begin, end) of block(), already consumed. Stops after a
  // line for which take returns false, and at the first line that
  // next_line must read. May refill the buffer, and so may throw what the
  // stream throws.
  template <class Take> void take_block_lines(Take take) {
    if ((pos_ == fill_ && !refill()) || !block_ascii_ || after_cr_) {
      return;
    }
    std::size_t w = pos_ / chunk_size;
    std::uint64_t ends =
        masks_.ends[w] & (~std::uint64_t{0} << pos_ % chunk_size);
    for (;;) {
      while (ends == 0) {
        if (++w == chunks_) {
          return;
        }
        ends = masks_.ends[w];
      }
      // The padding holds no line end: term is in the block.
      const std::size_t term =
          w * chunk_size + static_cast<std::size_t>(__builtin_ctzll(ends));
      ends &= ends - 1;
      if (term < pos_) {
        continue; // the LF of a CR LF, the first bit of its word
      }
      const std::size_t begin = pos_;
      step_over_line(term);
      if (pos_ == term + 2) {
        ends &= ends - 1; // and the LF of a CR LF
      }
      if (!take(begin, term) || after_cr_) {
        return;
      }
    }
  }
  BlockView block() const noexcept { return {buffer_.data(), &masks_}; }

  // Any line. After End or Failure the reader is finished: do not call
  // again.
  LineOutcome next_line();

  // How many bytes of the stream the lines so far have taken up.
  std::uint64_t consumed() const noexcept { return before_block_ + pos_; }

private:
  // The first LF or CR at or after pos; at or past fill_ when none.
  std::size_t line_end(std::size_t pos) const noexcept {
    std::size_t w = pos / chunk_size;
    std::uint64_t ends =
        masks_.ends[w] & (~std::uint64_t{0} << pos % chunk_size);
    while (ends == 0 && ++w < chunks_) {
      ends = masks_.ends[w];
    }
    return w * chunk_size +
           (ends == 0 ? 0 : static_cast<std::size_t>(__builtin_ctzll(ends)));
  }
  // Moves past the line ended at term, and past the LF of a CR LF; a CR
  // that ends the block leaves its LF to the next call.
  void step_over_line(std::size_t term) noexcept {
    pos_ = term + 1;
    if (buffer_[term] == '\r') {
      if (pos_ == fill_) {
        after_cr_ = true;
      } else if (buffer_[pos_] == '\n') {
        ++pos_;
      }
    }
  }
  // Refills the empty buffer. Returns false at the end of the stream or on
  // a failure, which it leaves in pending_.
  bool refill();
  // Checks a finished line for valid UTF-8; in_block says that it lies
  // wholly in the buffered block.
  LineOutcome finish(std::string_view line, bool in_block);
  // The outcome once the stream has ended or failed: the last unterminated
  // line, the pending failure, or the end.
  LineOutcome finish_at_end();

  ByteStream *stream_;
  std::size_t max_line_;
  const Classifier &classifier_ = detail::active_classifier();
  std::size_t pos_ = 0;
  std::size_t fill_ = 0;
  std::size_t chunks_ = 0;
  // Bytes of the stream before the buffered block.
  std::uint64_t before_block_ = 0;
  // The buffered block holds no byte past 0x7F: its lines need no check.
  bool block_ascii_ = false;
  bool at_start_ = true;
  bool eof_ = false;
  // The previous line ended in CR: an LF right after it belongs to it.
  bool after_cr_ = false;
  std::optional<IoError> pending_;
  // Holds a line that does not fit in the buffer's unread bytes.
  std::string spill_;
  std::array<char, line_buffer_size + block_padding> buffer_;
  BlockMasks masks_{};
};

} // namespace difral
