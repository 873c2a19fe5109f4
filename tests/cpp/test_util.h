// SPDX-License-Identifier: MIT
#pragma once

#include "core/byte_source.h"
#include "core/load_result.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace difral::testing {

// A file with the given bytes in a fresh temporary folder, removed again at
// the end of the test.
class TempFile {
public:
  TempFile(std::string_view name, std::string_view contents) {
    char pattern[] = "/tmp/difral-test-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    path_ = dir_ + "/" + std::string(name);
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::size_t done = 0;
    while (fd >= 0 && done < contents.size()) {
      const ssize_t n =
          ::write(fd, contents.data() + done, contents.size() - done);
      if (n <= 0) {
        break;
      }
      done += static_cast<std::size_t>(n);
    }
    if (fd >= 0) {
      ::close(fd);
    }
  }
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;
  ~TempFile() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  const std::string &path() const { return path_; }
  const std::string &dir() const { return dir_; }

private:
  std::string dir_;
  std::string path_;
};

// The number of descriptors this process has open now.
inline int open_descriptor_count() {
  int count = 0;
  for (const auto &entry :
       std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

// A File source over a temporary file's contents.
inline ByteSource file_source(const TempFile &file) {
  auto opened = FileHandle::open_read_only(file.path());
  return ByteSource::file(std::move(*opened));
}

// A stream that hands out its bytes at most chunk at a time and fails with
// fail_errno once they are used up (0: a clean end).
class ScriptedStream final : public ByteStream {
public:
  ScriptedStream(std::string data, std::size_t chunk, int fail_errno = 0)
      : data_(std::move(data)), chunk_(chunk), fail_errno_(fail_errno) {}

  ReadOutcome read(std::span<std::byte> dest) override {
    if (pos_ == data_.size()) {
      if (fail_errno_ != 0) {
        return IoError::from_os_code(fail_errno_);
      }
      return std::size_t{0};
    }
    std::size_t n = std::min({dest.size(), chunk_, data_.size() - pos_});
    std::memcpy(dest.data(), data_.data() + pos_, n);
    pos_ += n;
    return n;
  }

private:
  std::string data_;
  std::size_t chunk_;
  int fail_errno_;
  std::size_t pos_ = 0;
};

inline std::span<const std::byte> bytes_of(std::string_view text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

} // namespace difral::testing
