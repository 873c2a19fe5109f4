// SPDX-License-Identifier: MIT
#pragma once

#include "core/byte_source.h"
#include "core/load_error.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace difral {

namespace detail {

// The first LF or CR in [p, end), or end.
inline const char *find_line_end(const char *p, const char *end) noexcept {
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  while (end - p >= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const int mask = _mm_movemask_epi8(
        _mm_or_si128(_mm_cmpeq_epi8(block, lf), _mm_cmpeq_epi8(block, cr)));
    if (mask != 0) {
      return p + __builtin_ctz(static_cast<unsigned>(mask));
    }
    p += 16;
  }
#endif
  for (; p < end; ++p) {
    if (*p == '\n' || *p == '\r') {
      return p;
    }
  }
  return end;
}

} // namespace detail

inline constexpr std::size_t line_buffer_size = 8192;
// Readable bytes after every line that lies in the buffer, so that scanners
// may load eight bytes at a time near a line's end.
inline constexpr std::size_t line_padding = 64;

// How many more items the rest of an input of input_size bytes likely holds,
// with consumed bytes read so far and sampled_items seen in sampled_bytes of
// them. Only a hint for reserving, which reserve_ahead bounds: 0 when there
// is nothing to judge from.
std::size_t estimated_remaining(std::uint64_t input_size,
                                std::uint64_t consumed,
                                std::uint64_t sampled_bytes,
                                std::size_t sampled_items) noexcept;

// What next_line gives: a line, the end of input, or a failure.
struct LineOutcome {
  enum class Status { Line, End, Failure };
  Status status = Status::End;
  // The line without its terminator. Valid until the next call of next_line.
  std::string_view line;
  // The line is all ASCII, which lets readers take their fast path.
  bool ascii = false;
  // At least line_padding readable bytes follow the line.
  bool padded = false;
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

  // After End or Failure the reader is finished: do not call again.
  LineOutcome next_line() {
    // The common case, inline: an ASCII block holding the whole next line.
    if (pos_ < fill_ && block_ascii_ && !after_cr_) {
      const char *start = buffer_.data() + pos_;
      const char *end = buffer_.data() + fill_;
      const char *term = detail::find_line_end(start, end);
      if (term != end) {
        const auto length = static_cast<std::size_t>(term - start);
        step_over_line(term, length);
        return {LineOutcome::Status::Line, std::string_view(start, length),
                true, true, std::nullopt};
      }
    }
    return next_line_slow();
  }

  // How many bytes of the stream the lines so far have taken up.
  std::uint64_t consumed() const noexcept { return before_block_ + pos_; }

private:
  // Everything else: refills, long lines, a CR LF split by a refill, the
  // UTF-8 check, the end of the stream.
  LineOutcome next_line_slow();
  // Moves past a line of length bytes ended at term, and past the LF of a
  // CR LF; a CR that ends the block leaves its LF to the next call.
  void step_over_line(const char *term, std::size_t length) noexcept {
    pos_ += length + 1;
    if (*term == '\r') {
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
  std::size_t pos_ = 0;
  std::size_t fill_ = 0;
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
  std::array<char, line_buffer_size + line_padding> buffer_;
};

} // namespace difral
