// SPDX-License-Identifier: MIT
#pragma once

#include "core/load_error.h"
#include "core/result.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#if !defined(_WIN32)
#include <cerrno>
#endif

namespace difral {

// Asked before every read and after every interrupted system call: true
// means the caller wants the load to stop (a signal handler raised). Lets a
// blocking or endless input, such as a FIFO, be interrupted.
using InterruptCheck = bool (*)();

// The bytes one read delivered (0 at the end), or its failure.
using ReadOutcome = Result<std::size_t, IoError>;

// Seeks from the start or from the end.
enum class SeekFrom { Start, End };

// The position after a seek, counted from the start.
using SeekOutcome = Result<std::uint64_t, IoError>;

// Every call the core makes to the operating system: files, the texts of
// its error codes and memory advice. One declaration here, one definition
// for each system (platform_posix.cpp, platform_windows.cpp); nothing above
// this layer sees a descriptor, a HANDLE or errno. Offsets and sizes are
// 64-bit on every target, and a failure carries the system's own code.
namespace platform {

#if defined(_WIN32)
using NativeFile = void *; // a HANDLE; CreateFileW never gives null
inline constexpr NativeFile no_file = nullptr;
// The codes the system gives for what the core finds itself: a read of a
// closed file, and an offset before the start or past the largest one.
inline constexpr int closed_file_code = 6;      // ERROR_INVALID_HANDLE
inline constexpr int invalid_offset_code = 131; // ERROR_NEGATIVE_SEEK
#else
using NativeFile = int; // a file descriptor
inline constexpr NativeFile no_file = -1;
inline constexpr int closed_file_code = EBADF;
inline constexpr int invalid_offset_code = EINVAL;
#endif

// Opens the file at the UTF-8 path, which holds no NUL, for reading only,
// sharing it so that others keep read, write and delete access. Binary on
// every system, never inherited by a child process. An interrupted open is
// repeated unless interrupted() says stop.
Result<NativeFile, IoError> open_read_only(std::string_view path,
                                           InterruptCheck interrupted);

// Closes the file once; the outcome is not reported, and never retried.
void close(NativeFile file) noexcept;

// Reads up to dest.size() bytes at the file's position; 0 is the end. An
// interrupted read is repeated unless interrupted() says stop.
ReadOutcome read(NativeFile file, std::span<std::byte> dest,
                 InterruptCheck interrupted);

// Reads up to dest.size() bytes at offset, as read does. Where the file's
// own position is afterwards is not defined: seek before the next read.
ReadOutcome read_at(NativeFile file, std::uint64_t offset,
                    std::span<std::byte> dest, InterruptCheck interrupted);

// Moves the file's position; a pipe cannot seek.
SeekOutcome seek(NativeFile file, std::int64_t offset, SeekFrom from);

// The size of a regular file, else 0.
std::uint64_t regular_file_size(NativeFile file) noexcept;

// The system's description of one of its error codes, as it gives it.
std::string describe_error(int code);

// Asks the system to back the whole huge pages inside [data, data + bytes)
// with huge pages when they are first touched. Only advice, where the
// system takes it.
void advise_huge_pages(void *data, std::size_t bytes) noexcept;

} // namespace platform
} // namespace difral
