// SPDX-License-Identifier: MIT
#pragma once

#include "core/load_error.h"
#include "core/platform.h"
#include "core/result.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

namespace difral {

// A move-only owner of an open file (a descriptor, or a HANDLE on Windows):
// empty is platform::no_file, a move empties the source, and the destructor
// closes. close() is never retried: on Linux the descriptor is gone after
// the first call, whatever it returns.
class FileHandle {
public:
  FileHandle() noexcept = default;
  explicit FileHandle(platform::NativeFile file) noexcept : file_(file) {}
  FileHandle(FileHandle &&other) noexcept : file_(other.release()) {}
  FileHandle &operator=(FileHandle &&other) noexcept;
  FileHandle(const FileHandle &) = delete;
  FileHandle &operator=(const FileHandle &) = delete;
  ~FileHandle() { reset(); }

  // Opens the UTF-8 path read-only. A path with a NUL byte fails here, never
  // cut short. An interrupted open is repeated unless interrupted() says
  // stop.
  static Result<FileHandle, IoError>
  open_read_only(std::string_view path, InterruptCheck interrupted = nullptr);

  platform::NativeFile get() const noexcept { return file_; }
  bool valid() const noexcept { return file_ != platform::no_file; }
  // Gives up ownership without closing.
  platform::NativeFile release() noexcept {
    const platform::NativeFile file = file_;
    file_ = platform::no_file;
    return file;
  }
  void reset() noexcept;

private:
  platform::NativeFile file_ = platform::no_file;
};

// Anything the line reader can pull bytes from. One virtual call per block,
// never per byte.
class ByteStream {
public:
  virtual ~ByteStream() = default;
  // Delivers between 0 and dest.size() bytes; 0 means end of input. An
  // interrupted read is the stream's own business: it is repeated there, or
  // ends in a failure, and never reaches the caller as EINTR.
  virtual ReadOutcome read(std::span<std::byte> dest) = 0;

protected:
  ByteStream() = default;
  ByteStream(const ByteStream &) = default;
  ByteStream(ByteStream &&) = default;
  ByteStream &operator=(const ByteStream &) = default;
  ByteStream &operator=(ByteStream &&) = default;
};

// The input of every reader: an open file that the source owns and closes, or
// a borrowed view of bytes with a read position. A Buffer never copies its
// bytes and its reads never fail but for an interruption.
//
// Every read of either kind asks the interrupt check first, and a File hands
// it to the platform layer, which repeats a read that a signal interrupted
// unless the check then says stop: the one place where Ctrl-C and EINTR are
// handled for every reader.
class ByteSource final : public ByteStream {
public:
  static ByteSource file(FileHandle handle,
                         InterruptCheck interrupted = nullptr) noexcept {
    return ByteSource(std::move(handle), {}, interrupted);
  }
  static ByteSource buffer(std::span<const std::byte> data,
                           InterruptCheck interrupted = nullptr) noexcept {
    return ByteSource(FileHandle(), data, interrupted);
  }
  static ByteSource buffer(std::string_view data,
                           InterruptCheck interrupted = nullptr) noexcept {
    return buffer(std::as_bytes(std::span(data.data(), data.size())),
                  interrupted);
  }

  ByteSource(ByteSource &&) noexcept = default;
  ByteSource &operator=(ByteSource &&) noexcept = default;
  ~ByteSource() override = default;

  bool is_file() const noexcept { return is_file_; }
  // The bytes of a Buffer source.
  std::span<const std::byte> bytes() const noexcept { return data_; }
  // Asks the interrupt check, for work between reads that may take long.
  bool interrupt_requested() const {
    return interrupted_ != nullptr && interrupted_();
  }

  ReadOutcome read(std::span<std::byte> dest) override;
  // Reads up to dest.size() bytes at offset, wherever the position is; 0 at
  // or past the end. Asks the interrupt check as read does. The position
  // that read and seek use is undefined afterwards: seek before reading on.
  ReadOutcome read_at(std::uint64_t offset, std::span<std::byte> dest);
  // Fails as the system does: a FIFO cannot seek (ESPIPE), and neither can a
  // closed File (EBADF). A Buffer may be positioned past its end, not
  // before its start.
  SeekOutcome seek(std::int64_t offset, SeekFrom from);
  // The size of the input when it is known (a buffer, a regular file), else
  // 0. Only a hint for sizing: a file may change while it is read.
  std::uint64_t size_hint() const noexcept;
  // Closes a File source now; its reads fail after, with the code of a
  // closed file (EBADF, ERROR_INVALID_HANDLE). A Buffer
  // source has nothing to close.
  void close() noexcept { file_.reset(); }

private:
  ByteSource(FileHandle file, std::span<const std::byte> data,
             InterruptCheck interrupted) noexcept
      : is_file_(file.valid()), file_(std::move(file)), data_(data),
        interrupted_(interrupted) {}

  // Copies a Buffer's bytes from offset on into dest, as many as fit.
  std::size_t copy_out(std::uint64_t offset,
                       std::span<std::byte> dest) const noexcept;

  bool is_file_;
  FileHandle file_;
  std::span<const std::byte> data_;
  std::uint64_t position_ = 0;
  InterruptCheck interrupted_ = nullptr;
};

} // namespace difral
