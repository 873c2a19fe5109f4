// SPDX-License-Identifier: MIT
#include "core/platform.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/mman.h>
#endif

// A 32-bit build must see the 64-bit file calls, or a file of 2 GiB or more
// fails with EOVERFLOW; the build defines _FILE_OFFSET_BITS=64 for that.
static_assert(sizeof(off_t) == 8, "file offsets must be 64-bit");

namespace difral::platform {

namespace {

// Linux moves at most about 2 GiB in one call anyway; beyond SSIZE_MAX the
// result of read is not defined.
std::size_t one_call(std::size_t size) noexcept {
  return std::min(size, static_cast<std::size_t>(SSIZE_MAX));
}

// GNU strerror_r returns the text, in scratch or a static string; XSI
// strerror_r (macOS, musl, or glibc asked for it) returns 0 and fills
// scratch. The overload that the result's type picks reads either.
[[maybe_unused]] const char *strerror_text(const char *text, const char *) {
  return text;
}
[[maybe_unused]] const char *strerror_text(int failed, const char *scratch) {
  return failed == 0 ? scratch : nullptr;
}

// Makes a system call that fails with -1 and errno, and repeats it when a
// signal interrupted it, unless interrupted() then says stop.
template <typename T, typename Call>
Result<T, IoError> retrying(Call call, InterruptCheck interrupted) {
  for (;;) {
    const auto got = call();
    if (got >= 0) {
      return static_cast<T>(got);
    }
    const int code = errno;
    if (code != EINTR) {
      return IoError::from_os_code(code);
    }
    if (interrupted != nullptr && interrupted()) {
      return IoError::interrupted();
    }
  }
}

} // namespace

Result<NativeFile, IoError> open_read_only(std::string_view path,
                                           InterruptCheck interrupted) {
  const std::string terminated(path);
  // Opening a FIFO blocks until it has a writer.
  return retrying<NativeFile>(
      [&] { return ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC); },
      interrupted);
}

void close(NativeFile file) noexcept { ::close(file); }

ReadOutcome read(NativeFile file, std::span<std::byte> dest,
                 InterruptCheck interrupted) {
  return retrying<std::size_t>(
      [&] { return ::read(file, dest.data(), one_call(dest.size())); },
      interrupted);
}

ReadOutcome read_at(NativeFile file, std::uint64_t offset,
                    std::span<std::byte> dest, InterruptCheck interrupted) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return IoError::from_os_code(invalid_offset_code);
  }
  return retrying<std::size_t>(
      [&] {
        return ::pread(file, dest.data(), one_call(dest.size()),
                       static_cast<off_t>(offset));
      },
      interrupted);
}

SeekOutcome seek(NativeFile file, std::int64_t offset, SeekFrom from) {
  const int whence = from == SeekFrom::Start ? SEEK_SET : SEEK_END;
  const off_t at = ::lseek(file, static_cast<off_t>(offset), whence);
  if (at < 0) {
    return IoError::from_os_code(errno);
  }
  return static_cast<std::uint64_t>(at);
}

std::uint64_t regular_file_size(NativeFile file) noexcept {
  struct stat status {};
  if (::fstat(file, &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_size < 0) {
    return 0;
  }
  return static_cast<std::uint64_t>(status.st_size);
}

std::string describe_error(int code) {
  char scratch[256] = {};
  const char *text =
      strerror_text(strerror_r(code, scratch, sizeof scratch), scratch);
  if (text == nullptr) {
    return "Unknown error " + std::to_string(code);
  }
  return text;
}

void advise_huge_pages(void *data, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Whole huge pages only: one fault then backs 2 MiB instead of 4 KiB. A
  // kernel without transparent huge pages, or one that refuses, leaves
  // normal pages.
  constexpr std::uintptr_t huge_page = std::uintptr_t{2} << 20;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + huge_page - 1) & ~(huge_page - 1);
  const std::uintptr_t last = (begin + bytes) & ~(huge_page - 1);
  if (first < last) {
    ::madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
  }
#else
  (void)data;
  (void)bytes;
#endif
}

} // namespace difral::platform
