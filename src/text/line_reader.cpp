// SPDX-License-Identifier: MIT
#include "text/line_reader.h"

#include "text/text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace difral {

namespace {

constexpr char byte_order_mark[] = {'\xEF', '\xBB', '\xBF'};

} // namespace

bool LineReader::refill() {
  before_block_ += fill_;
  pos_ = 0;
  fill_ = 0;
  if (pending_ || eof_) {
    return false;
  }
  // At the start, gather three bytes if the stream has them, so that a
  // byte-order mark split over short reads is still seen whole.
  const std::size_t wanted = at_start_ ? sizeof byte_order_mark : 1;
  while (fill_ < wanted) {
    ReadOutcome got = stream_->read(std::as_writable_bytes(
        std::span(buffer_).first(line_buffer_size).subspan(fill_)));
    if (!got.ok()) {
      pending_ = std::move(got.error());
      break;
    }
    if (*got == 0) {
      eof_ = true;
      break;
    }
    fill_ += *got;
  }
  if (at_start_) {
    at_start_ = false;
    if (fill_ >= sizeof byte_order_mark &&
        std::memcmp(buffer_.data(), byte_order_mark, sizeof byte_order_mark) ==
            0) {
      pos_ = sizeof byte_order_mark;
    }
  }
  // The classifier and the converter read into the padding: keep it
  // defined, and free of line ends.
  std::memset(buffer_.data() + fill_, 0, block_padding);
  chunks_ = (fill_ + chunk_size - 1) / chunk_size;
  block_ascii_ = classifier_.classify(buffer_.data(), chunks_, masks_);
  return fill_ > 0;
}

[[gnu::always_inline]] inline LineOutcome
LineReader::finish(std::string_view line, bool in_block) {
  if (!(in_block && block_ascii_) && !is_valid_utf8(line)) {
    return {LineOutcome::Status::Failure, {}, IoError::invalid_utf8()};
  }
  return {LineOutcome::Status::Line, line, std::nullopt};
}

LineOutcome LineReader::next_line() {
  spill_.clear();
  for (;;) {
    while (pos_ == fill_) {
      if (!refill()) {
        return finish_at_end();
      }
    }
    if (after_cr_) {
      // The LF of a CR LF whose CR ended the previous line.
      after_cr_ = false;
      if (buffer_[pos_] == '\n') {
        ++pos_;
        continue;
      }
    }
    const char *start = buffer_.data() + pos_;
    const std::size_t term = std::min(line_end(pos_), fill_);
    const std::size_t length = term - pos_;
    if (max_line_ != 0 && spill_.size() + length > max_line_) {
      return {LineOutcome::Status::Failure,
              {},
              IoError::with_text("line too long")};
    }
    if (term == fill_ || !spill_.empty()) {
      spill_.append(start, length); // the line goes on past this block
    }
    if (term == fill_) {
      pos_ = fill_;
      continue;
    }
    step_over_line(term);
    return spill_.empty() ? finish({start, length}, true)
                          : finish(spill_, false);
  }
}

LineOutcome LineReader::finish_at_end() {
  if (pending_) {
    // A read failure wins over invalid bytes before it.
    return {LineOutcome::Status::Failure, {}, std::move(pending_)};
  }
  if (spill_.empty()) {
    return {LineOutcome::Status::End, {}, std::nullopt};
  }
  return finish(spill_, false);
}

} // namespace difral
