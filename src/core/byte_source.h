// SPDX-License-Identifier: MIT
#pragma once

#include "core/load_error.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

namespace difral {

// Asked before every read of a file and after every interrupted system call:
// true means the caller wants the load to stop (a signal handler raised).
// Lets a blocking or endless input, such as a FIFO, be interrupted.
using InterruptCheck = bool (*)();

// A move-only owner of a file descriptor: -1 is empty, a move empties the
// source, and the destructor closes. close() is never retried: on Linux the
// descriptor is gone after the first call, whatever it returns.
class FileHandle {
public:
  FileHandle() noexcept = default;
  explicit FileHandle(int fd) noexcept : fd_(fd) {}
  FileHandle(FileHandle &&other) noexcept : fd_(other.release()) {}
  FileHandle &operator=(FileHandle &&other) noexcept;
  FileHandle(const FileHandle &) = delete;
  FileHandle &operator=(const FileHandle &) = delete;
  ~FileHandle() { reset(); }

  // Opens path read-only. A path with a NUL byte fails here, never cut short.
  // An interrupted open is repeated unless interrupted() says stop.
  static std::variant<FileHandle, IoError>
  open_read_only(std::string_view path, InterruptCheck interrupted = nullptr);

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  // Gives up ownership without closing.
  int release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset() noexcept;

private:
  int fd_ = -1;
};

// The outcome of one read: count bytes delivered (0 at the end), or error.
struct ReadOutcome {
  std::size_t count = 0;
  std::optional<IoError> error;
};

enum class SeekFrom { Start, End };

struct SeekOutcome {
  std::uint64_t position = 0;
  std::optional<IoError> error;
};

// Anything the line reader can pull bytes from. One virtual call per block,
// never per byte.
class ByteStream {
public:
  virtual ~ByteStream() = default;
  // Delivers between 0 and dest.size() bytes; 0 means end of input. An
  // interrupted read may come back as an IoError with EINTR for the caller
  // to repeat.
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
// bytes and its reads never fail.
class ByteSource final : public ByteStream {
public:
  static ByteSource file(FileHandle handle,
                         InterruptCheck interrupted = nullptr) noexcept {
    ByteSource source(std::move(handle), {});
    source.interrupted_ = interrupted;
    return source;
  }
  static ByteSource buffer(std::span<const std::byte> data) noexcept {
    return ByteSource(FileHandle(), data);
  }
  static ByteSource buffer(std::string_view data) noexcept {
    return buffer(std::as_bytes(std::span(data.data(), data.size())));
  }

  ByteSource(ByteSource &&) noexcept = default;
  ByteSource &operator=(ByteSource &&) noexcept = default;
  ~ByteSource() override = default;

  bool is_file() const noexcept { return is_file_; }
  // The descriptor of a File source (-1 once released), for the ZIP layer.
  FileHandle &file_handle() noexcept { return file_; }
  // The bytes of a Buffer source.
  std::span<const std::byte> bytes() const noexcept { return data_; }
  // The check a File source asks before each read, for readers that read
  // the file through another layer.
  InterruptCheck interrupt_check() const noexcept { return interrupted_; }

  ReadOutcome read(std::span<std::byte> dest) override;
  SeekOutcome seek(std::int64_t offset, SeekFrom from);
  // The size of the input when it is known (a buffer, a regular file), else
  // 0. Only a hint for sizing: a file may change while it is read.
  std::uint64_t size_hint() const noexcept;
  // Closes a File source now; a Buffer source has nothing to release.
  void release() noexcept { file_.reset(); }

private:
  ByteSource(FileHandle file, std::span<const std::byte> data) noexcept
      : is_file_(file.valid()), file_(std::move(file)), data_(data) {}

  bool is_file_;
  FileHandle file_;
  std::span<const std::byte> data_;
  std::uint64_t position_ = 0;
  InterruptCheck interrupted_ = nullptr;
};

} // namespace difral
