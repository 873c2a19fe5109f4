// SPDX-License-Identifier: MIT
#pragma once

#include "core/byte_source.h"
#include "core/load_result.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace difral::testing {

// A path from UTF-8 text, and the UTF-8 text of a path: the plain string
// forms use the ANSI code page on Windows.
inline std::filesystem::path path_of(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
inline std::string utf8_of(const std::filesystem::path &path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// Writes the bytes to the file at the UTF-8 path, replacing it.
inline void write_file(std::string_view path, std::string_view contents) {
  std::ofstream out(path_of(path), std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

// A file with the given bytes in a fresh temporary folder, removed again at
// the end of the test. The name may be any UTF-8 text.
class TempFile {
public:
  TempFile(std::string_view name, std::string_view contents) {
    static std::mt19937_64 random{std::random_device{}()};
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100 && dir_.empty(); ++attempt) {
      const std::filesystem::path dir =
          base / ("difral-test-" + std::to_string(random()));
      std::error_code error;
      if (std::filesystem::create_directory(dir, error)) {
        dir_ = utf8_of(dir);
      }
    }
    path_ = dir_ + "/" + std::string(name);
    write_file(path_, contents);
  }
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;
  ~TempFile() {
    std::error_code ignored;
    std::filesystem::remove_all(path_of(dir_), ignored);
  }
  const std::string &path() const { return path_; }
  const std::string &dir() const { return dir_; }

private:
  std::string dir_;
  std::string path_;
};

// The number of files (descriptors, or handles on Windows) this process has
// open now, where the system says: not without /proc (macOS), and not under
// Wine, whose count is always 0.
inline std::optional<int> open_file_count() {
#if defined(_WIN32)
  DWORD count = 0;
  if (!GetProcessHandleCount(GetCurrentProcess(), &count) || count == 0) {
    return std::nullopt;
  }
  return static_cast<int>(count);
#else
  std::error_code error;
  std::filesystem::directory_iterator entries("/proc/self/fd", error);
  if (error) {
    return std::nullopt;
  }
  return static_cast<int>(std::distance(entries, {}));
#endif
}

// Why a test that counts open files cannot run here.
inline constexpr const char *no_open_file_count =
    "this system does not count a process's open files";

// A File source over a temporary file's contents.
inline ByteSource file_source(const TempFile &file,
                              InterruptCheck interrupted = nullptr) {
  auto opened = FileHandle::open_read_only(file.path());
  return ByteSource::file(std::move(*opened), interrupted);
}

// The texts of the system's failures that tests meet. Linux's are checked
// word for word; Windows words them otherwise than Wine, so there only the
// code is fixed.
#if defined(_WIN32)
inline constexpr int missing_folder_code = 3; // ERROR_PATH_NOT_FOUND
inline const std::string missing_folder_message =
    IoError::from_os_code(missing_folder_code).message();
// A directory cannot be opened as a file: ERROR_ACCESS_DENIED.
inline const std::string directory_message = IoError::from_os_code(5).message();
#else
inline constexpr int missing_folder_code = ENOENT;
inline const std::string missing_folder_message =
    "No such file or directory (os error 2)";
inline const std::string directory_message = "Is a directory (os error 21)";
#endif

// A stream that hands out its bytes at most chunk at a time and fails with
// the system's fail_code once they are used up (0: a clean end).
class ScriptedStream final : public ByteStream {
public:
  ScriptedStream(std::string data, std::size_t chunk, int fail_code = 0)
      : data_(std::move(data)), chunk_(chunk), fail_code_(fail_code) {}

  ReadOutcome read(std::span<std::byte> dest) override {
    if (pos_ == data_.size()) {
      if (fail_code_ != 0) {
        return IoError::from_os_code(fail_code_);
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
  int fail_code_;
  std::size_t pos_ = 0;
};

inline std::span<const std::byte> bytes_of(std::string_view text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

// The values as their bits, which compare as bits: NaN equals itself, -0
// differs from 0, and a subnormal differs from 0 under denormals-are-zero.
inline std::vector<std::uint64_t> bits(const std::vector<double> &values) {
  std::vector<std::uint64_t> out(values.size());
  if (!values.empty()) {
    std::memcpy(out.data(), values.data(), values.size() * sizeof(double));
  }
  return out;
}

// A load's outcome in words, for failure messages.
inline std::string describe(const LoadResult &result) {
  return result.ok()
             ? "a pattern of " + std::to_string(result->x.size()) + " points"
             : "error: " + result.error().message();
}

} // namespace difral::testing
