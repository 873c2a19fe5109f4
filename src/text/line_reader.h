// SPDX-License-Identifier: MIT
#pragma once

#include "core/byte_source.h"
#include "core/load_error.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace difral {

inline constexpr std::size_t line_buffer_size = 8192;

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
// checked for valid UTF-8. Interrupted reads are repeated.
//
// The reader borrows the stream; the stream's owner outlives the reader.
class LineReader {
public:
  explicit LineReader(ByteStream &stream) noexcept : stream_(&stream) {}
  LineReader(const LineReader &) = delete;
  LineReader &operator=(const LineReader &) = delete;

  // After End or Failure the reader is finished: do not call again.
  LineOutcome next_line();

private:
  // Refills the empty buffer. Returns false at the end of the stream or on
  // a failure, which it leaves in pending_.
  bool refill();
  // Checks a finished line for valid UTF-8.
  LineOutcome finish(std::string_view line);
  // The outcome once the stream has ended or failed: the last unterminated
  // line, the pending failure, or the end.
  LineOutcome finish_at_end();

  ByteStream *stream_;
  std::size_t pos_ = 0;
  std::size_t fill_ = 0;
  bool at_start_ = true;
  bool eof_ = false;
  // The previous line ended in CR: an LF right after it belongs to it.
  bool after_cr_ = false;
  std::optional<IoError> pending_;
  // Holds a line that does not fit in the buffer's unread bytes.
  std::string spill_;
  std::array<char, line_buffer_size> buffer_;
};

} // namespace difral
