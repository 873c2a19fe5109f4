// SPDX-License-Identifier: MIT
#include "core/byte_source.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

namespace difral {

FileHandle &FileHandle::operator=(FileHandle &&other) noexcept {
  if (this != &other) {
    reset();
    file_ = other.release();
  }
  return *this;
}

void FileHandle::reset() noexcept {
  if (valid()) {
    platform::close(file_);
    file_ = platform::no_file;
  }
}

Result<FileHandle, IoError>
FileHandle::open_read_only(std::string_view path, InterruptCheck interrupted) {
  if (path.find('\0') != std::string_view::npos) {
    return IoError::with_text("file name contained an unexpected NUL byte");
  }
  auto opened = platform::open_read_only(path, interrupted);
  if (!opened.ok()) {
    return std::move(opened.error());
  }
  return FileHandle(*opened);
}

std::size_t ByteSource::copy_out(std::uint64_t offset,
                                 std::span<std::byte> dest) const noexcept {
  if (offset >= data_.size()) {
    return 0;
  }
  const auto at = static_cast<std::size_t>(offset);
  const std::size_t n = std::min(dest.size(), data_.size() - at);
  if (n > 0) {
    std::memcpy(dest.data(), data_.data() + at, n);
  }
  return n;
}

ReadOutcome ByteSource::read(std::span<std::byte> dest) {
  // Asked before every read too: an endless input never interrupts a read,
  // and a buffer may inflate to far more than its own size.
  if (interrupt_requested()) {
    return IoError::interrupted();
  }
  if (is_file_) {
    if (!file_.valid()) {
      return IoError::from_os_code(platform::closed_file_code);
    }
    return platform::read(file_.get(), dest, interrupted_);
  }
  const std::size_t n = copy_out(position_, dest);
  position_ += n;
  return n;
}

ReadOutcome ByteSource::read_at(std::uint64_t offset,
                                std::span<std::byte> dest) {
  if (interrupt_requested()) {
    return IoError::interrupted();
  }
  if (is_file_) {
    if (!file_.valid()) {
      return IoError::from_os_code(platform::closed_file_code);
    }
    return platform::read_at(file_.get(), offset, dest, interrupted_);
  }
  return copy_out(offset, dest);
}

SeekOutcome ByteSource::seek(std::int64_t offset, SeekFrom from) {
  if (is_file_) {
    if (!file_.valid()) {
      return IoError::from_os_code(platform::closed_file_code);
    }
    return platform::seek(file_.get(), offset, from);
  }
  const std::uint64_t base = from == SeekFrom::Start ? 0 : data_.size();
  constexpr auto most =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (offset < 0 ? static_cast<std::uint64_t>(-(offset + 1)) >= base
                 : base > most - static_cast<std::uint64_t>(offset)) {
    return IoError::from_os_code(platform::invalid_offset_code);
  }
  position_ = offset < 0 ? base - static_cast<std::uint64_t>(-(offset + 1)) - 1
                         : base + static_cast<std::uint64_t>(offset);
  return position_;
}

std::uint64_t ByteSource::size_hint() const noexcept {
  if (!is_file_) {
    return data_.size();
  }
  return file_.valid() ? platform::regular_file_size(file_.get()) : 0;
}

} // namespace difral
