// SPDX-License-Identifier: MIT
#include "core/platform.h"

// Neither the rarely used parts of windows.h nor its min and max macros
// (libstdc++ already asks for the latter).
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>

namespace difral::platform {

namespace {

IoError last_error() {
  return IoError::from_os_code(static_cast<int>(GetLastError()));
}

// One ReadFile moves at most a DWORD's worth; a shorter read is allowed.
DWORD one_call(std::size_t size) noexcept {
  return static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
}

// SetFilePointerEx and a read at an offset mean nothing on a pipe, where
// they may even appear to work: refuse them, as lseek does with ESPIPE.
bool is_pipe(HANDLE file) noexcept {
  return GetFileType(file) == FILE_TYPE_PIPE;
}

// The UTF-16 form of UTF-8 text, or the system's failure to convert it.
Result<std::wstring, IoError> to_utf16(std::string_view text) {
  std::wstring wide;
  if (text.empty()) {
    return wide;
  }
  if (text.size() > INT_MAX) {
    return IoError::from_os_code(ERROR_FILENAME_EXCED_RANGE);
  }
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS,
                                         text.data(), size, nullptr, 0);
  if (length == 0) {
    return last_error();
  }
  wide.resize(static_cast<std::size_t>(length));
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size,
                          wide.data(), length) == 0) {
    return last_error();
  }
  return wide;
}

struct LocalFreeDeleter {
  void operator()(wchar_t *text) const noexcept { LocalFree(text); }
};

} // namespace

Result<NativeFile, IoError> open_read_only(std::string_view path,
                                           InterruptCheck) {
  auto wide = to_utf16(path);
  if (!wide.ok()) {
    return std::move(wide.error());
  }
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory is refused here, with the
  // system's own code. No security attributes: the handle is not inherited.
  HANDLE file =
      CreateFileW(wide->c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return last_error();
  }
  return file;
}

void close(NativeFile file) noexcept { CloseHandle(file); }

ReadOutcome read(NativeFile file, std::span<std::byte> dest, InterruptCheck) {
  DWORD got = 0;
  if (!ReadFile(file, dest.data(), one_call(dest.size()), &got, nullptr)) {
    // A pipe whose writer has gone is at its end.
    if (GetLastError() == ERROR_BROKEN_PIPE) {
      return std::size_t{0};
    }
    return last_error();
  }
  return std::size_t{got};
}

ReadOutcome read_at(NativeFile file, std::uint64_t offset,
                    std::span<std::byte> dest, InterruptCheck) {
  if (offset > static_cast<std::uint64_t>(LLONG_MAX)) {
    return IoError::from_os_code(invalid_offset_code);
  }
  if (is_pipe(file)) {
    return IoError::from_os_code(ERROR_SEEK_ON_DEVICE);
  }
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  if (!ReadFile(file, dest.data(), one_call(dest.size()), &got, &at)) {
    // At or past the end, a read at an offset fails where read gives 0.
    if (GetLastError() == ERROR_HANDLE_EOF) {
      return std::size_t{0};
    }
    return last_error();
  }
  return std::size_t{got};
}

SeekOutcome seek(NativeFile file, std::int64_t offset, SeekFrom from) {
  if (is_pipe(file)) {
    return IoError::from_os_code(ERROR_SEEK_ON_DEVICE);
  }
  const DWORD method = from == SeekFrom::Start ? FILE_BEGIN : FILE_END;
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER at;
  if (!SetFilePointerEx(file, distance, &at, method)) {
    return last_error();
  }
  return static_cast<std::uint64_t>(at.QuadPart);
}

std::uint64_t regular_file_size(NativeFile file) noexcept {
  LARGE_INTEGER size;
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size) ||
      size.QuadPart < 0) {
    return 0;
  }
  return static_cast<std::uint64_t>(size.QuadPart);
}

std::string describe_error(int code) {
  wchar_t *buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0,
      reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
  const std::unique_ptr<wchar_t, LocalFreeDeleter> text(buffer);
  if (length == 0 || length > INT_MAX) {
    return "Unknown error " + std::to_string(code);
  }
  const int wide = static_cast<int>(length);
  const int size = WideCharToMultiByte(CP_UTF8, 0, buffer, wide, nullptr, 0,
                                       nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(std::max(size, 0)), '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, buffer, wide, utf8.data(), size, nullptr,
                        nullptr);
  }
  return utf8;
}

// Windows has no advice of this kind for memory that is already reserved.
void advise_huge_pages(void *, std::size_t) noexcept {}

} // namespace difral::platform
