// SPDX-License-Identifier: MIT
#include "text/columns.h"

#include "core/growth.h"
#include "paths.h"
#include "test_util.h"
#include "text/text.h"

#include <gtest/gtest.h>

#include <ostream>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace difral {
namespace {

using testing::TempFile;

struct ColumnCase {
  std::string name;
  std::string input;
  std::vector<double> x;
  std::vector<double> y;
  std::optional<std::vector<double>> e;
};

// Rows print as their name in test listings.
[[maybe_unused]] void PrintTo(const ColumnCase &row, std::ostream *out) {
  *out << ::testing::PrintToString(std::string(row.name));
}

// At most what a finished column may keep beyond its values.
void expect_little_spare(const std::vector<double> &column) {
  EXPECT_LE(column.capacity(),
            column.size() + column.size() / 4 + spare_values);
}

void expect_pattern(const LoadResult &got, const ColumnCase &c) {
  ASSERT_TRUE(got.ok()) << got.error().message();
  EXPECT_EQ(testing::bits(got->x), testing::bits(c.x));
  EXPECT_EQ(testing::bits(got->y), testing::bits(c.y));
  ASSERT_EQ(got->e.has_value(), c.e.has_value());
  if (c.e) {
    EXPECT_EQ(testing::bits(*got->e), testing::bits(*c.e));
  }
  // Memory follows the points, not the size of the input.
  expect_little_spare(got->x);
  expect_little_spare(got->y);
  if (got->e) {
    expect_little_spare(*got->e);
  }
}

using Reader = LoadResult (*)(ByteSource);

void check_both_sources(Reader read, const ColumnCase &c) {
  testing::for_each_path([&] {
    SCOPED_TRACE("buffer");
    expect_pattern(read(ByteSource::buffer(c.input)), c);
  });
  {
    SCOPED_TRACE("file");
    TempFile file("data.txt", c.input);
    const auto before = testing::open_file_count();
    expect_pattern(read(testing::file_source(file)), c);
    EXPECT_EQ(testing::open_file_count(), before);
  }
}

class XyCases : public ::testing::TestWithParam<ColumnCase> {};
TEST_P(XyCases, Reads) { check_both_sources(read_xy, GetParam()); }

class CsvCases : public ::testing::TestWithParam<ColumnCase> {};
TEST_P(CsvCases, Reads) { check_both_sources(read_csv, GetParam()); }

using V = std::vector<double>;

// count points, then about 1 MiB of comment lines: a rest of input that
// suggests far more points than there are.
ColumnCase points_then_comments(std::string name, int count) {
  ColumnCase c{std::move(name), "", {}, {}, V{}};
  for (int i = 0; i < count; ++i) {
    c.input += std::to_string(i) + " 1 2\n";
    c.x.push_back(i);
    c.y.push_back(1);
    c.e->push_back(2);
  }
  for (int i = 0; i < 65536; ++i) {
    c.input += "# no point here\n";
  }
  if (count == 0) {
    c.e.reset();
  }
  return c;
}

// The row rule and the rule for keeping e hold for both column readers.
const std::vector<ColumnCase> shared_cases = {
    {"Empty", "", {}, {}, std::nullopt},
    {"CommentsAndBlanksOnly", "# a\n\n!b\n   \n", {}, {}, std::nullopt},
    {"TwoColumns",
     "10 100\n10.02 120\n",
     {10, 10.02},
     {100, 120},
     std::nullopt},
    {"ThreeColumns",
     "10 100 3\n10.02 120 4\n",
     {10, 10.02},
     {100, 120},
     V{3, 4}},
    {"OneShortRowDropsE",
     "1 2 3\n4 5\n6 7 8\n",
     {1, 4, 6},
     {2, 5, 7},
     std::nullopt},
    {"UnparsedThirdDropsE",
     "10 100 3\n10.04 130 n/a\n",
     {10, 10.04},
     {100, 130},
     std::nullopt},
    {"BadSecondSkipsRow", "10 abc 3\n11 110 4\n", {11}, {110}, V{4}},
    {"ExtraColumnsIgnored", "10 100 3 7 8\n", {10}, {100}, V{3}},
    {"SingleNumberSkipped", "10\n", {}, {}, std::nullopt},
    {"HeaderSkipped", "2theta intensity\nx y e\n1 2\n", {1}, {2}, std::nullopt},
    {"Comments",
     "# 10 100\n!10 100\n   # 10 100\n1 2\n",
     {1},
     {2},
     std::nullopt},
    {"TrailingCommentToken", "10 100 # peak\n", {10}, {100}, std::nullopt},
    {"TabsAndRuns", "\t10   100  \n", {10}, {100}, std::nullopt},
    {"NoBreakAndIdeographicSpace",
     "1\xC2\xA0"
     "2\n3\xE3\x80\x80"
     "4\n",
     {1, 3},
     {2, 4},
     std::nullopt},
    {"CrLf", "1 2 3\r\n4 5 6\r\n", {1, 4}, {2, 5}, V{3, 6}},
    {"LoneCr", "1\t2\r3\t4\r5\t6\r", {1, 3, 5}, {2, 4, 6}, std::nullopt},
    {"ByteOrderMark",
     "\xEF\xBB\xBF"
     "1 2\n3 4\n",
     {1, 3},
     {2, 4},
     std::nullopt},
    {"NulInToken", std::string("1\0 2\n3 4\n", 9), {3}, {4}, std::nullopt},
    // Text mode of the C runtime on Windows would end the input there.
    {"CtrlZIsAnOrdinaryByte", "1 2\n\x1A\n3 4\n", {1, 3}, {2, 4}, std::nullopt},
    {"OrderKept", "3 1\n1 2\n3 1\n", {3, 1, 3}, {1, 2, 1}, std::nullopt},
    {"Infinities", "inf -INF\n", {HUGE_VAL}, {-HUGE_VAL}, std::nullopt},
    {"NoFinalNewline", "1 2", {1}, {2}, std::nullopt},
    // Each rounds another way than to nearest under a directed mode.
    {"RoundingSensitive", "0.1 0.3 0.7\n", {0.1}, {0.3}, V{0.7}},
    points_then_comments("PointsThenLongComments", 256),
    points_then_comments("LongCommentsOnly", 0),
    {"ShortDecimalEdges",
     "12345678. 1234567.8 .12345678\n-.5 +5. -0\n"
     "123456789 9007199254740993 0.0000000000000001\n",
     {12345678.0, -0.5, 123456789.0},
     {1234567.8, 5.0, 9007199254740993.0},
     V{.12345678, -0.0, 1e-16}},
    {"SignsAndPointsAlone",
     "- 1\n1 +\n. 1\n1 .\n+.5 -.\n",
     {},
     {},
     std::nullopt},
    {"LineLongerThanAChunk",
     std::string(70, ' ') + "1.5 2.5 " + std::string(60, '\t') + "3.5\n",
     {1.5},
     {2.5},
     V{3.5}},
    {"TokenAcrossChunks",
     std::string(60, ' ') + "1234.5678 " + std::string(100, '9') + " 1\n",
     {1234.5678},
     {1e100},
     V{1}},
};

INSTANTIATE_TEST_SUITE_P(Shared, XyCases, ::testing::ValuesIn(shared_cases),
                         [](const auto &row) { return row.param.name; });
INSTANTIATE_TEST_SUITE_P(Shared, CsvCases, ::testing::ValuesIn(shared_cases),
                         [](const auto &row) { return row.param.name; });

INSTANTIATE_TEST_SUITE_P(
    WhitespaceOnly, XyCases,
    ::testing::ValuesIn(std::vector<ColumnCase>{
        {"CommaIsNotSeparator", "10,100\n", {}, {}, std::nullopt},
    }),
    [](const auto &row) { return row.param.name; });

INSTANTIATE_TEST_SUITE_P(
    CommaSeparated, CsvCases,
    ::testing::ValuesIn(std::vector<ColumnCase>{
        {"Commas", "10,100,3\n", {10}, {100}, V{3}},
        {"CommaAndSpace", "10, 100, 3\n", {10}, {100}, V{3}},
        {"SpacedCommas", "10 , 100 , 3\n", {10}, {100}, V{3}},
        {"EmptyField", "10,,100\n", {10}, {100}, std::nullopt},
        {"OuterCommas", ",10,100,\n", {10}, {100}, std::nullopt},
        {"Tab", "10\t100\n", {10}, {100}, std::nullopt},
        {"Header", "2theta,intensity\nx,y,e\n1,2\n", {1}, {2}, std::nullopt},
        {"Semicolons", "10;100\n", {}, {}, std::nullopt},
        {"Quoted", "\"10\",\"100\"\n", {}, {}, std::nullopt},
        {"DecimalComma", "10,5 100,2\n", {10}, {5}, V{100}},
        {"DecimalCommaSemicolon", "10,5;100,2\n", {}, {}, std::nullopt},
        {"CommentLines", "# 10,100\n!10,100\n", {}, {}, std::nullopt},
    }),
    [](const auto &row) { return row.param.name; });

struct FailureCase {
  std::string name;
  std::string input;
};

// Rows print as their name in test listings.
[[maybe_unused]] void PrintTo(const FailureCase &row, std::ostream *out) {
  *out << ::testing::PrintToString(std::string(row.name));
}

class ColumnFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ColumnFailures, InvalidUtf8FailsWholeLoad) {
  for (Reader read : {read_xy, read_csv}) {
    TempFile file("bad.xy", GetParam().input);
    const auto before = testing::open_file_count();
    std::vector<LoadResult> results;
    results.push_back(read(ByteSource::buffer(GetParam().input)));
    results.push_back(read(testing::file_source(file)));
    for (const LoadResult &got : results) {
      ASSERT_FALSE(got.ok());
      EXPECT_EQ(got.error().kind(), LoadErrorKind::Io);
      EXPECT_EQ(got.error().message(), "stream did not contain valid UTF-8");
    }
    EXPECT_EQ(testing::open_file_count(), before);
  }
}

INSTANTIATE_TEST_SUITE_P(Utf8, ColumnFailures,
                         ::testing::ValuesIn(std::vector<FailureCase>{
                             {"LatinOneInComment", "1 2\n# 45\xB0\n3 4\n"},
                             {"InvalidInDataLine", "1 2\n3\xFF 4\n"},
                             {"InvalidAfterLongData",
                              std::string(20000, '\n') + "1 2\n\xC0"},
                         }),
                         [](const auto &row) { return row.param.name; });

TEST(Columns, ReadFailureGivesIoAndNoPattern) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows refuses to open a directory, so no read fails; "
                  "Dispatch.DirectoryWithKnownExtension checks the refusal";
#endif
  auto opened = FileHandle::open_read_only("/tmp");
  ASSERT_TRUE(opened.ok());
  const LoadResult got = read_xy(ByteSource::file(std::move(*opened)));
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().kind(), LoadErrorKind::Io);
  EXPECT_EQ(got.error().message(), testing::directory_message);
}

// A guess from an input far larger than memory is large, not wrapped, also
// where size_t has 32 bits; reserve_ahead bounds what it takes.
TEST(Growth, GuessForAHugeInputStaysLarge) {
  const std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();
  EXPECT_GE(estimated_remaining(huge, 0, 100, 10), std::size_t{1} << 31);
}

TEST(Columns, ManyRowsAcrossRefills) {
  std::string data;
  std::vector<double> x;
  for (int i = 0; i < 5000; ++i) {
    data += std::to_string(i) + ".25 " + std::to_string(2 * i) + " 0.5\r\n";
    x.push_back(i + 0.25);
  }
  const LoadResult got = read_xy(ByteSource::buffer(data));
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(got->x, x);
  ASSERT_TRUE(got->e.has_value());
  EXPECT_EQ(got->e->size(), x.size());
}

} // namespace
} // namespace difral

namespace difral {
namespace {

// The general rule, line by line, with nothing but the text helpers.
Pattern reference_columns(const std::string &text, bool comma) {
  std::vector<double> x, y, e;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t stop = text.find('\n', start);
    if (stop == std::string::npos) {
      stop = text.size();
    }
    const std::string_view line =
        trim_line(std::string_view(text).substr(start, stop - start));
    start = stop + 1;
    if (line.empty() || is_comment_line(line)) {
      continue;
    }
    std::string_view tokens[3];
    const std::size_t count = comma ? csv_tokens(line, tokens, 3)
                                    : whitespace_tokens(line, tokens, 3);
    add_row(tokens, count, x, y, e);
  }
  if (!e.empty() && e.size() == x.size()) {
    return Pattern(std::move(x), std::move(y), std::move(e));
  }
  return Pattern(std::move(x), std::move(y));
}

// The readers take whole ASCII lines of a classified block on a fast path of
// their own; over random lines built from the pieces that decide between the
// paths, every path must give the general rule's bits. The non-ASCII piece
// comes last, and only in the first half, so that the later blocks are ASCII.
TEST(Columns, FastPathAgreesWithGeneralRule) {
  const std::vector<std::string> pieces = {"0",
                                           "1",
                                           "9",
                                           "12",
                                           "12345678",
                                           "123456789",
                                           "1234567890123456",
                                           "12345678901234567890",
                                           "0.5",
                                           ".5",
                                           "5.",
                                           "-",
                                           "+",
                                           "e",
                                           "E",
                                           "e5",
                                           "1e-3",
                                           "2.5E+2",
                                           "1e400",
                                           "-1e-400",
                                           "-0",
                                           "00012.3400",
                                           ".",
                                           ",",
                                           "#",
                                           "!",
                                           "abc",
                                           "inf",
                                           "-NaN",
                                           "\t",
                                           " ",
                                           "  ",
                                           "1.2.3",
                                           "9007199254740993",
                                           "0.000000000001234",
                                           "12.3456",
                                           "-0.0001",
                                           "110.0000",
                                           "1e22",
                                           "1e23",
                                           "8e-23",
                                           "1_0",
                                           "0x1",
                                           std::string(1, '\0'),
                                           "\v",
                                           "\f",
                                           "1,5",
                                           "99999999.99999999",
                                           "3.14159265358979",
                                           "12345678.",
                                           "1234567.8",
                                           ".12345678",
                                           "123456789.5",
                                           "-.0",
                                           "+0.",
                                           "00000000000000001",
                                           "1.000000000000001",
                                           "2065.45849609375",
                                           "12345678.1234567",
                                           "-1234567.12345678",
                                           "123456789012345.",
                                           ".123456789012345",
                                           "12345678.9",
                                           "9007199254740992",
                                           std::string(40, '7'),
                                           std::string(70, ' '),
                                           "\xC2\xA0"};
  std::mt19937 random(12345);
  for (bool comma : {false, true}) {
    std::string text;
    for (int line = 0; line < 20000; ++line) {
      const std::size_t count = random() % 9;
      for (std::size_t i = 0; i < count; ++i) {
        text += pieces[random() % (pieces.size() - (line < 10000 ? 0 : 1))];
        if (random() % 3 != 0) {
          text += random() % 2 ? " " : (comma ? "," : "\t");
        }
      }
      text += random() % 5 == 0 ? "\r\n" : "\n";
    }
    const Pattern expected = reference_columns(text, comma);
    TempFile file("random.txt", text);
    testing::for_each_path([&] {
      for (const bool from_file : {false, true}) {
        SCOPED_TRACE(std::string(comma ? "csv" : "xy") +
                     (from_file ? " file" : " buffer"));
        ByteSource source =
            from_file ? testing::file_source(file, testing::interrupt_check)
                      : ByteSource::buffer(text, testing::interrupt_check);
        const LoadResult got = (comma ? read_csv : read_xy)(std::move(source));
        ASSERT_TRUE(got.ok());
        EXPECT_EQ(testing::bits(got->x), testing::bits(expected.x));
        EXPECT_EQ(testing::bits(got->y), testing::bits(expected.y));
        ASSERT_EQ(got->e.has_value(), expected.e.has_value());
        if (expected.e) {
          EXPECT_EQ(testing::bits(*got->e), testing::bits(*expected.e));
        }
      }
    });
  }
}

} // namespace
} // namespace difral
