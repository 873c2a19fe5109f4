// SPDX-License-Identifier: MIT
#include "core/byte_source.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace difral {

FileHandle &FileHandle::operator=(FileHandle &&other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

void FileHandle::reset() noexcept {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

Result<FileHandle, IoError>
FileHandle::open_read_only(std::string_view path, InterruptCheck interrupted) {
  if (path.find('\0') != std::string_view::npos) {
    return IoError::with_text("file name contained an unexpected NUL byte");
  }
  const std::string terminated(path);
  for (;;) {
    // Opening a FIFO blocks until it has a writer.
    const int fd = ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      return FileHandle(fd);
    }
    const int code = errno;
    if (code != EINTR) {
      return IoError::from_errno(code);
    }
    if (interrupted != nullptr && interrupted()) {
      return IoError::interrupted();
    }
  }
}

ReadOutcome ByteSource::read(std::span<std::byte> dest) {
  // Asked before every read too: an endless input never interrupts a read,
  // and a buffer may inflate to far more than its own size.
  if (interrupt_requested()) {
    return IoError::interrupted();
  }
  if (is_file_) {
    if (!file_.valid()) {
      return IoError::from_errno(EBADF);
    }
    for (;;) {
      const ssize_t n = ::read(file_.get(), dest.data(), dest.size());
      if (n >= 0) {
        return static_cast<std::size_t>(n);
      }
      const int code = errno;
      if (code != EINTR) {
        return IoError::from_errno(code);
      }
      if (interrupt_requested()) {
        return IoError::interrupted();
      }
    }
  }
  if (position_ >= data_.size()) {
    return std::size_t{0};
  }
  const std::size_t available = data_.size() - position_;
  const std::size_t n = dest.size() < available ? dest.size() : available;
  std::memcpy(dest.data(), data_.data() + position_, n);
  position_ += n;
  return n;
}

SeekOutcome ByteSource::seek(std::int64_t offset, SeekFrom from) {
  if (is_file_) {
    const int whence = from == SeekFrom::Start ? SEEK_SET : SEEK_END;
    const off_t at = ::lseek(file_.get(), static_cast<off_t>(offset), whence);
    if (at < 0) {
      return IoError::from_errno(errno);
    }
    return static_cast<std::uint64_t>(at);
  }
  const std::uint64_t base = from == SeekFrom::Start ? 0 : data_.size();
  constexpr auto most =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (offset < 0 ? static_cast<std::uint64_t>(-(offset + 1)) >= base
                 : base > most - static_cast<std::uint64_t>(offset)) {
    return IoError::from_errno(EINVAL);
  }
  position_ = offset < 0 ? base - static_cast<std::uint64_t>(-(offset + 1)) - 1
                         : base + static_cast<std::uint64_t>(offset);
  return position_;
}

std::uint64_t ByteSource::size_hint() const noexcept {
  if (!is_file_) {
    return data_.size();
  }
  struct stat status {};
  if (!file_.valid() || ::fstat(file_.get(), &status) != 0 ||
      !S_ISREG(status.st_mode) || status.st_size < 0) {
    return 0;
  }
  return static_cast<std::uint64_t>(status.st_size);
}

} // namespace difral
