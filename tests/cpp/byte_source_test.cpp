// SPDX-License-Identifier: MIT
#include "core/byte_source.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#if defined(_WIN32)
#include <winioctl.h>
#else
#include <csignal>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace difral {
namespace {

using testing::TempFile;

std::string read_n(ByteSource &source, std::size_t n) {
  std::string out(n, '\0');
  ReadOutcome got = source.read(std::as_writable_bytes(std::span(out)));
  EXPECT_TRUE(got.ok());
  out.resize(got.ok() ? *got : 0);
  return out;
}

std::string read_at(ByteSource &source, std::uint64_t offset, std::size_t n) {
  std::string out(n, '\0');
  ReadOutcome got =
      source.read_at(offset, std::as_writable_bytes(std::span(out)));
  EXPECT_TRUE(got.ok());
  out.resize(got.ok() ? *got : 0);
  return out;
}

// The same operations on a buffer and on a file give the same bytes.
TEST(ByteSource, ReadAndSeekAgreeForBothKinds) {
  const std::string data = "0123456789";
  TempFile file("bytes.bin", data);
  std::vector<ByteSource> sources;
  sources.push_back(ByteSource::buffer(data));
  sources.push_back(testing::file_source(file));
  for (ByteSource &source : sources) {
    const auto seek = [&](std::int64_t offset, SeekFrom from) {
      const SeekOutcome at = source.seek(offset, from);
      return at.ok() ? *at : ~std::uint64_t{0};
    };
    SCOPED_TRACE(source.is_file() ? "file" : "buffer");
    EXPECT_EQ(read_n(source, 4), "0123");
    EXPECT_EQ(read_n(source, 100), "456789");
    EXPECT_EQ(read_n(source, 4), "");
    EXPECT_EQ(seek(-3, SeekFrom::End), 7u);
    EXPECT_EQ(read_n(source, 10), "789");
    EXPECT_EQ(seek(2, SeekFrom::Start), 2u);
    EXPECT_EQ(read_n(source, 1), "2");
    EXPECT_EQ(seek(50, SeekFrom::Start), 50u);
    EXPECT_EQ(read_n(source, 4), "");
    const SeekOutcome before_start = source.seek(-1, SeekFrom::Start);
    ASSERT_FALSE(before_start.ok());
    EXPECT_EQ(before_start.error().os_code(), platform::invalid_offset_code);
    EXPECT_EQ(read_at(source, 3, 4), "3456");
    EXPECT_EQ(read_at(source, 8, 10), "89");
    EXPECT_EQ(read_at(source, 10, 4), "");
    EXPECT_EQ(read_at(source, std::uint64_t{1} << 40, 4), "");
  }
}

TEST(ByteSource, BufferIsBorrowedNotCopied) {
  const std::string data = "abc";
  ByteSource source = ByteSource::buffer(data);
  EXPECT_EQ(static_cast<const void *>(source.bytes().data()),
            static_cast<const void *>(data.data()));
}

TEST(FileSource, ClosesOnDestructionAndMove) {
  TempFile file("f.txt", "x");
  const std::optional<int> before = testing::open_file_count();
  if (!before) {
    GTEST_SKIP() << testing::no_open_file_count;
  }
  {
    ByteSource first = testing::file_source(file);
    EXPECT_EQ(testing::open_file_count(), *before + 1);
    ByteSource second = std::move(first);
    ByteSource third = testing::file_source(file);
    third = std::move(second); // closes third's own file
    EXPECT_EQ(testing::open_file_count(), *before + 1);
  }
  EXPECT_EQ(testing::open_file_count(), before);
}

TEST(FileSource, CloseClosesNow) {
  TempFile file("f.txt", "x");
  const auto before = testing::open_file_count();
  ByteSource source = testing::file_source(file);
  source.close();
  EXPECT_EQ(testing::open_file_count(), before);
  for (const ReadOutcome &got : {source.read({}), source.read_at(0, {})}) {
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().os_code(), platform::closed_file_code);
  }
}

// Writes tail at offset into a new file, leaving a hole before it; false
// when the file system refuses.
bool write_sparse(const std::string &path, std::uint64_t offset,
                  std::string_view tail) {
#if defined(_WIN32)
  // NTFS writes out the zeros of a hole unless told the file is sparse.
  HANDLE file =
      CreateFileW(testing::path_of(path).c_str(), GENERIC_WRITE, 0, nullptr,
                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  DWORD unused = 0;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused,
                  nullptr);
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(offset);
  DWORD written = 0;
  const bool done =
      SetFilePointerEx(file, at, nullptr, FILE_BEGIN) &&
      WriteFile(file, tail.data(), static_cast<DWORD>(tail.size()), &written,
                nullptr) &&
      written == tail.size();
  CloseHandle(file);
  return done;
#else
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.seekp(static_cast<std::streamoff>(offset));
  out.write(tail.data(), static_cast<std::streamsize>(tail.size()));
  out.close();
  return !out.fail();
#endif
}

// Offsets and sizes are 64-bit on every target: past 4 GiB, where 32-bit
// ones would wrap, every operation of a File finds the same bytes.
TEST(FileSource, OffsetsPast4GiB) {
  constexpr std::uint64_t tail_at = (std::uint64_t{1} << 32) + 3;
  TempFile file("sparse.bin", "");
  if (!write_sparse(file.path(), tail_at, "tail")) {
    GTEST_SKIP() << "this file system holds no sparse file of 4 GiB";
  }
  ByteSource source = testing::file_source(file);
  EXPECT_EQ(source.size_hint(), tail_at + 4);
  const SeekOutcome end = source.seek(0, SeekFrom::End);
  ASSERT_TRUE(end.ok());
  EXPECT_EQ(*end, tail_at + 4);
  const SeekOutcome back = source.seek(-4, SeekFrom::End);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(*back, tail_at);
  EXPECT_EQ(read_n(source, 16), "tail");
  const SeekOutcome at =
      source.seek(static_cast<std::int64_t>(tail_at + 1), SeekFrom::Start);
  ASSERT_TRUE(at.ok());
  EXPECT_EQ(*at, tail_at + 1);
  EXPECT_EQ(read_n(source, 16), "ail");
  EXPECT_EQ(read_at(source, tail_at + 2, 16), "il");
  EXPECT_EQ(read_at(source, tail_at - 2, 4), std::string("\0\0ta", 4));
}

// While a File is open, others keep writing, renaming and deleting it, and
// a file that another program holds open for writing opens: on Windows the
// handle must share all three.
TEST(FileSource, OthersKeepWriteRenameAndDelete) {
  TempFile file("shared.xy", "1 2\n");
  std::ofstream writer(testing::path_of(file.path()),
                       std::ios::binary | std::ios::app);
  ASSERT_TRUE(writer.is_open());
  auto opened = FileHandle::open_read_only(file.path());
  ASSERT_TRUE(opened.ok()) << opened.error().message();
  ByteSource source = ByteSource::file(std::move(*opened));
  writer << "3 4\n" << std::flush;
  EXPECT_EQ(read_n(source, 16), "1 2\n3 4\n");
  writer.close();
  const std::filesystem::path renamed = testing::path_of(file.dir()) / "b.xy";
  std::error_code error;
  std::filesystem::rename(testing::path_of(file.path()), renamed, error);
  EXPECT_FALSE(error) << "rename: " << error.message();
  std::filesystem::remove(renamed, error);
  EXPECT_FALSE(error) << "remove: " << error.message();
  EXPECT_EQ(read_at(source, 0, 16), "1 2\n3 4\n");
}

#if defined(_WIN32)
TEST(FileSource, InterruptedReadAsksTheCheck) {
  GTEST_SKIP() << "Windows has no signals that interrupt a read (EINTR)";
}
#else
// A read that a signal interrupts asks the interrupt check, then is repeated
// unless the check says stop. The check, asked before the read and again
// after the signal, writes the byte the repeated read gets.
int pipe_writer = -1;
int checks = 0;
bool stop_after_signal = false;

bool check_after_signal() {
  if (++checks == 2) {
    if (stop_after_signal) {
      return true;
    }
    EXPECT_EQ(::write(pipe_writer, "x", 1), 1);
  }
  return false;
}

void ignore_signal(int) {}

TEST(FileSource, InterruptedReadAsksTheCheck) {
  struct sigaction action {};
  action.sa_handler = ignore_signal; // no SA_RESTART: read fails with EINTR
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGALRM, &action, &previous), 0);
  const itimerval every_10ms{{0, 10000}, {0, 10000}};
  const itimerval off{};
  for (const bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "stopped" : "repeated");
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    FileHandle writer(ends[1]);
    pipe_writer = writer.get();
    checks = 0;
    stop_after_signal = stop;
    ByteSource source =
        ByteSource::file(FileHandle(ends[0]), check_after_signal);
    ASSERT_EQ(::setitimer(ITIMER_REAL, &every_10ms, nullptr), 0);
    char byte = 0;
    const ReadOutcome got =
        source.read(std::as_writable_bytes(std::span(&byte, 1)));
    ::setitimer(ITIMER_REAL, &off, nullptr);
    if (stop) {
      ASSERT_FALSE(got.ok());
      EXPECT_EQ(got.error(), IoError::interrupted());
    } else {
      ASSERT_TRUE(got.ok());
      EXPECT_EQ(*got, 1u);
      EXPECT_EQ(byte, 'x');
    }
  }
  ::sigaction(SIGALRM, &previous, nullptr);
}
#endif

TEST(FileHandle, OpenFailuresKeepTheSystemsCode) {
  auto missing = FileHandle::open_read_only("/nonexistent-difral/x");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().os_code(), testing::missing_folder_code);
#if defined(_WIN32)
  // Not UTF-8, so the path has no UTF-16 form.
  auto invalid = FileHandle::open_read_only("\xFF.xy");
  ASSERT_FALSE(invalid.ok());
  EXPECT_EQ(invalid.error().os_code(), ERROR_NO_UNICODE_TRANSLATION);
#endif
  auto nul = FileHandle::open_read_only(std::string_view("/tmp\0x", 6));
  ASSERT_FALSE(nul.ok());
}

} // namespace
} // namespace difral
