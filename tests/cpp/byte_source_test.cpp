// SPDX-License-Identifier: MIT
#include "core/byte_source.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <string>

#include <csignal>
#include <sys/time.h>
#include <unistd.h>

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
    EXPECT_FALSE(source.seek(-1, SeekFrom::Start).ok());
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
  const int before = testing::open_descriptor_count();
  {
    ByteSource first = testing::file_source(file);
    EXPECT_EQ(testing::open_descriptor_count(), before + 1);
    ByteSource second = std::move(first);
    ByteSource third = testing::file_source(file);
    third = std::move(second); // closes third's own file
    EXPECT_EQ(testing::open_descriptor_count(), before + 1);
  }
  EXPECT_EQ(testing::open_descriptor_count(), before);
}

TEST(FileSource, CloseClosesNow) {
  TempFile file("f.txt", "x");
  const int before = testing::open_descriptor_count();
  ByteSource source = testing::file_source(file);
  source.close();
  EXPECT_EQ(testing::open_descriptor_count(), before);
  ReadOutcome got = source.read({});
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().os_code(), EBADF);
}

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

TEST(FileHandle, OpenFailuresKeepErrno) {
  auto missing = FileHandle::open_read_only("/nonexistent-difral/x");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().os_code(), ENOENT);
  auto nul = FileHandle::open_read_only(std::string_view("/tmp\0x", 6));
  ASSERT_FALSE(nul.ok());
}

} // namespace
} // namespace difral
