// SPDX-License-Identifier: MIT
#include "text/line_reader.h"

#include "core/float_environment.h"
#include "text/text.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace difral {

namespace {

constexpr char byte_order_mark[] = {'\xEF', '\xBB', '\xBF'};

std::atomic<bool> general_path_forced{false};

} // namespace

void detail::force_general_path(bool on) noexcept {
  general_path_forced.store(on, std::memory_order_relaxed);
}

LineReader::LineReader(ByteStream &stream, std::size_t max_line) noexcept
    : stream_(&stream), max_line_(max_line),
      classifier_(detail::active_classifier()),
      general_only_(general_path_forced.load(std::memory_order_relaxed)) {}

void LineReader::refill() {
  before_block_ += fill_;
  pos_ = 0;
  fill_ = 0;
  fast_ = false;
  // At the start, gather three bytes if the stream has them, so that a
  // byte-order mark split over short reads is still seen whole.
  const std::size_t wanted = at_start_ ? sizeof byte_order_mark : 1;
  while (fill_ < wanted && !pending_ && !eof_) {
    ReadOutcome got = stream_->read(std::as_writable_bytes(
        std::span(buffer_).first(line_buffer_size).subspan(fill_)));
    if (!got.ok()) {
      pending_ = std::move(got.error());
    } else if (*got == 0) {
      eof_ = true;
    }
    fill_ += got.ok() ? *got : 0;
  }
  if (at_start_) {
    at_start_ = false;
    if (fill_ >= sizeof byte_order_mark &&
        std::memcmp(buffer_.data(), byte_order_mark, sizeof byte_order_mark) ==
            0) {
      pos_ = sizeof byte_order_mark;
    }
  }
  if (after_cr_) {
    after_cr_ = false;
    if (fill_ > 0 && buffer_[0] == '\n') {
      pos_ = 1; // the LF of a CR LF split between blocks
    }
  }
  // The classifier and the converter read into the padding: keep it
  // defined, and free of line ends.
  std::memset(buffer_.data() + fill_, 0, block_padding);
  chunks_ = (fill_ + chunk_size - 1) / chunk_size;
  block_ascii_ = classifier_.classify(buffer_.data(), chunks_, masks_);
  // Asked after the read, in which a signal handler may have changed the
  // rounding: the block's fast conversions happen before the next one.
  fast_ =
      pos_ < fill_ && block_ascii_ && !general_only_ && divides_to_nearest();
}

LineReader::Next LineReader::next_line() {
  spill_.clear();
  for (;;) {
    if (pos_ == fill_) {
      refill();
      if (fill_ == 0) {
        // A read failure wins over invalid bytes before it.
        if (pending_) {
          return Next::Failure;
        }
        if (spill_.empty()) {
          return Next::End;
        }
        line_ = spill_; // the last line, without a terminator
        break;
      }
      continue;
    }
    const std::size_t term = line_end();
    const std::string_view part(buffer_.data() + pos_, term - pos_);
    if (max_line_ != 0 && spill_.size() + part.size() > max_line_) {
      pending_ = IoError::with_text("line too long");
      return Next::Failure;
    }
    if (term == fill_) {
      spill_.append(part); // the line goes on past this block
      pos_ = fill_;
      continue;
    }
    pass_terminator(term);
    if (spill_.empty()) {
      line_ = part;
      if (block_ascii_) {
        return Next::Line; // no byte past 0x7F: valid UTF-8
      }
    } else {
      line_ = spill_.append(part);
    }
    break;
  }
  if (!is_valid_utf8(line_)) {
    pending_ = IoError::invalid_utf8();
    return Next::Failure;
  }
  return Next::Line;
}

std::size_t LineReader::line_end() const noexcept {
  std::size_t w = pos_ / chunk_size;
  std::uint64_t ends =
      masks_.ends[w] & (~std::uint64_t{0} << pos_ % chunk_size);
  while (ends == 0 && ++w < chunks_) {
    ends = masks_.ends[w];
  }
  return ends == 0 ? fill_
                   : w * chunk_size +
                         static_cast<std::size_t>(std::countr_zero(ends));
}

} // namespace difral
