// SPDX-License-Identifier: MIT
#include "text/line_reader.h"

#include "paths.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <ostream>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace difral {
namespace {

using testing::ScriptedStream;
using testing::TempFile;

struct Read {
  std::vector<std::string> lines;
  std::optional<std::string> failure;
};

Read read_all(ByteStream &stream, std::size_t max_line = 0) {
  LineReader reader(stream, max_line);
  Read out;
  if (std::optional<IoError> failure = reader.read([&](std::string_view line) {
        out.lines.emplace_back(line);
        return true;
      })) {
    out.failure = failure->message();
  }
  return out;
}

// Every way the same bytes can reach the reader.
std::vector<std::pair<std::string, Read>>
read_every_way(const std::string &data) {
  std::vector<std::pair<std::string, Read>> results;
  {
    ByteSource source = ByteSource::buffer(data);
    results.emplace_back("buffer", read_all(source));
  }
  {
    TempFile file("lines.txt", data);
    ByteSource source = testing::file_source(file);
    results.emplace_back("file", read_all(source));
  }
  for (std::size_t chunk : {1u, 2u, 7u}) {
    ScriptedStream stream(data, chunk);
    results.emplace_back("chunks of " + std::to_string(chunk),
                         read_all(stream));
  }
  return results;
}

struct LineCase {
  std::string name;
  std::string input;
  std::vector<std::string> lines;
  bool invalid_utf8 = false;
};

// Rows print as their name in test listings.
[[maybe_unused]] void PrintTo(const LineCase &row, std::ostream *out) {
  *out << ::testing::PrintToString(std::string(row.name));
}

class LineReaderCases : public ::testing::TestWithParam<LineCase> {};

TEST_P(LineReaderCases, SameLinesFromEverySource) {
  const LineCase &c = GetParam();
  for (const auto &[how, got] : read_every_way(c.input)) {
    SCOPED_TRACE(how);
    EXPECT_EQ(got.lines, c.lines);
    if (c.invalid_utf8) {
      EXPECT_EQ(got.failure, "stream did not contain valid UTF-8");
    } else {
      EXPECT_EQ(got.failure, std::nullopt);
    }
  }
}

const std::string bom = "\xEF\xBB\xBF";

INSTANTIATE_TEST_SUITE_P(
    Terminators, LineReaderCases,
    ::testing::ValuesIn(std::vector<LineCase>{
        {"Lf", "1 2\n", {"1 2"}},
        {"CrLf", "1 2\r\n", {"1 2"}},
        {"NoTerminator", "1 2", {"1 2"}},
        {"Empty", "", {}},
        {"TwoEmptyLines", "\n\n", {"", ""}},
        {"LoneCrEndsLine", "1 2\r3 4\r\n", {"1 2", "3 4"}},
        {"CrOnlyFile", "a\rb\rc\r", {"a", "b", "c"}},
        {"CrCrLf", "\r\r\n", {"", ""}},
        {"LineCrCrLf", "a\r\r\nb", {"a", "", "b"}},
        {"LfCr", "a\n\rb", {"a", "", "b"}},
        {"FinalCr", "a\r", {"a"}},
        {"NulIsOrdinary", std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
        {"MultiByte",
         "\xC3\xA9t\xC3\xA9\n\xE2\x82\xAC",
         {"\xC3\xA9t\xC3\xA9", "\xE2\x82\xAC"}},
    }),
    [](const auto &row) { return row.param.name; });

INSTANTIATE_TEST_SUITE_P(
    ByteOrderMark, LineReaderCases,
    ::testing::ValuesIn(std::vector<LineCase>{
        {"SkippedAtStart", bom + "1 2\n3 4", {"1 2", "3 4"}},
        {"AloneGivesNothing", bom, {}},
        {"OnlyOneSkipped", bom + bom + "1", {bom + "1"}},
        {"KeptAfterStart", "\n" + bom + "1", {"", bom + "1"}},
        {"KeptInsideLine", "x" + bom + "\n", {"x" + bom}},
        {"BeforeCrLf", bom + "\r\n1", {"", "1"}},
        {"TruncatedIsInvalid", "\xEF\xBB", {}, true},
    }),
    [](const auto &row) { return row.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Utf8, LineReaderCases,
    ::testing::ValuesIn(std::vector<LineCase>{
        {"LatinOneInComment", "1 2\n# 45\xB0\n3 4\n", {"1 2"}, true},
        {"InvalidLastLine", "1 2\n\xFF", {"1 2"}, true},
        {"InvalidFirstLine", "\xC0\x80\n1 2\n", {}, true},
        {"Surrogate", "\xED\xA0\x80\n", {}, true},
        {"TruncatedSequenceBeforeLf", "\xE2\x82\n1", {}, true},
    }),
    [](const auto &row) { return row.param.name; });

// The lines of an all-ASCII block are what the readers' block path is for:
// with every classifier, it must take each line that the block holds whole,
// and leave the rest to the text lines, or every load falls back to the
// general path unseen.
struct BlockCase {
  std::string name;
  std::string input;
  std::vector<std::string> taken;
};

[[maybe_unused]] void PrintTo(const BlockCase &row, std::ostream *out) {
  *out << ::testing::PrintToString(std::string(row.name));
}

class BlockLines : public ::testing::TestWithParam<BlockCase> {};

TEST_P(BlockLines, TakesWholeAsciiLines) {
  const BlockCase &c = GetParam();
  testing::for_each_classifier([&] {
    ByteSource source = ByteSource::buffer(c.input);
    LineReader reader(source);
    std::vector<std::string> taken;
    EXPECT_EQ(reader.read(
                  [&](const BlockLine &line) {
                    taken.emplace_back(line.text());
                    return true;
                  },
                  [](std::string_view) { return true; }),
              std::nullopt);
    EXPECT_EQ(taken, c.taken);
  });
}

INSTANTIATE_TEST_SUITE_P(Block, BlockLines,
                         ::testing::ValuesIn(std::vector<BlockCase>{
                             {"Lf", "1 2\n3 4\n", {"1 2", "3 4"}},
                             {"CrLf", "1 2\r\n3 4\r\n", {"1 2", "3 4"}},
                             {"LoneCr", "1 2\r3 4\r\n5\n", {"1 2", "3 4", "5"}},
                             {"EmptyLines", "\n\n1\n", {"", "", "1"}},
                             {"LastLineUnterminated", "1 2\n3 4", {"1 2"}},
                             {"LongerThanAChunk",
                              std::string(100, '7') + "\n1\n",
                              {std::string(100, '7'), "1"}},
                             {"NotAscii",
                              "1 2\n3\xC2\xA0"
                              "4\n",
                              {}},
                         }),
                         [](const auto &row) { return row.param.name; });

TEST(LineReader, LinesAroundTheBufferSize) {
  for (std::size_t length :
       {line_buffer_size - 2, line_buffer_size - 1, line_buffer_size,
        line_buffer_size + 1, 3 * line_buffer_size + 5}) {
    SCOPED_TRACE(length);
    const std::string long_line(length, 'x');
    for (const char *end : {"\n", "\r\n", "\r"}) {
      const std::string data = "a\n" + long_line + end + "b" + end + "c";
      for (const auto &[how, got] : read_every_way(data)) {
        SCOPED_TRACE(how);
        EXPECT_EQ(got.lines,
                  (std::vector<std::string>{"a", long_line, "b", "c"}));
        EXPECT_EQ(got.failure, std::nullopt);
      }
    }
  }
}

TEST(LineReader, CrLfSplitByRefillIsOneLineEnd) {
  // The CR is the last byte of the first block and the LF the first of the
  // next one.
  const std::string first(line_buffer_size - 1, 'y');
  const std::string data = first + "\r\nnext\r\n";
  ByteSource source = ByteSource::buffer(data);
  Read got = read_all(source);
  EXPECT_EQ(got.lines, (std::vector<std::string>{first, "next"}));
}

TEST(LineReader, MultiByteCharacterSplitByRefill) {
  const std::string data =
      std::string(line_buffer_size - 1, 'z') + "\xC3\xA9\n";
  ByteSource source = ByteSource::buffer(data);
  Read got = read_all(source);
  ASSERT_EQ(got.failure, std::nullopt);
  EXPECT_EQ(got.lines.size(), 1u);
}

TEST(LineReader, ReadFailureAfterLines) {
  ScriptedStream stream("1 2\n3 4\n5", 3, EIO);
  Read got = read_all(stream);
  EXPECT_EQ(got.lines, (std::vector<std::string>{"1 2", "3 4"}));
  EXPECT_EQ(got.failure, IoError::from_os_code(EIO).message());
}

TEST(LineReader, ReadFailureWinsOverInvalidUtf8) {
  ScriptedStream stream("\xB0", 1, EIO);
  EXPECT_EQ(read_all(stream).failure, IoError::from_os_code(EIO).message());
}

TEST(LineReader, DirectoryFailsWithOsText) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows refuses to open a directory, so no read fails; "
                  "Dispatch.DirectoryWithKnownExtension checks the refusal";
#endif
  auto opened = FileHandle::open_read_only("/tmp");
  ASSERT_TRUE(opened.ok());
  ByteSource source = ByteSource::file(std::move(*opened));
  EXPECT_EQ(read_all(source).failure, testing::directory_message);
}

} // namespace
} // namespace difral

namespace difral {
namespace {

TEST(LineReader, LineLongerThanTheLimitFails) {
  const std::string data = "short\n" + std::string(50000, '0') + "\nafter\n";
  ScriptedStream stream(data, 4096);
  const Read limited = read_all(stream, 20000);
  EXPECT_EQ(limited.lines, std::vector<std::string>{"short"});
  EXPECT_EQ(limited.failure, "line too long");

  ByteSource unlimited = ByteSource::buffer(data);
  EXPECT_EQ(read_all(unlimited).lines.size(), 3u);
}

} // namespace
} // namespace difral

namespace difral {
namespace {

// Every classifier marks the bytes that the definitions name, and says the
// same about ASCII, over all byte values at every position of a chunk.
TEST(Classifier, EveryKernelMarksWhatTheDefinitionsName) {
  std::vector<char> data(line_buffer_size + block_padding);
  std::mt19937 random(99);
  for (const int range : {256, 128, 256, 256}) {
    for (std::size_t i = 0; i < line_buffer_size; ++i) {
      data[i] = static_cast<char>(random() % static_cast<unsigned>(range));
    }
    BlockMasks expected{};
    bool ascii = true;
    for (std::size_t i = 0; i < line_buffer_size; ++i) {
      const auto b = static_cast<unsigned char>(data[i]);
      const std::uint64_t bit = std::uint64_t{1} << (i % chunk_size);
      expected.ends[i / chunk_size] |= b == '\n' || b == '\r' ? bit : 0;
      expected.blanks[i / chunk_size] |= is_ascii_blank(b) ? bit : 0;
      expected.commas[i / chunk_size] |= b == ',' ? bit : 0;
      ascii = ascii && b < 0x80;
    }
    for (const Classifier &classifier : detail::classifiers()) {
      if (!classifier.supported()) {
        continue;
      }
      SCOPED_TRACE(std::string(classifier.name));
      BlockMasks got{};
      EXPECT_EQ(classifier.classify(data.data(), chunk_count, got), ascii);
      EXPECT_EQ(got.ends, expected.ends);
      EXPECT_EQ(got.blanks, expected.blanks);
      EXPECT_EQ(got.commas, expected.commas);
    }
  }
}

// Every x86 CPU that difral builds for has SSE2 and every aarch64 one NEON:
// a build for either that falls back to the portable classifier has lost its
// vector kernel. Other CPUs have the portable one only.
TEST(Classifier, BaselineCpusChooseAVectorKernel) {
  const std::string_view chosen = detail::active_classifier().name;
#if defined(__x86_64__) || defined(__i386__)
  EXPECT_TRUE(chosen == "avx2" || chosen == "sse2") << chosen;
#elif defined(__aarch64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  EXPECT_EQ(chosen, "neon");
#else
  EXPECT_EQ(chosen, "portable");
#endif
}

} // namespace
} // namespace difral
