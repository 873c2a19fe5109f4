// SPDX-License-Identifier: MIT
#include "formats/gsas_raw.h"
#include "paths.h"
#include "test_util.h"
#include "text/text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <unistd.h>

namespace difral {
namespace {

using testing::bits;
using testing::describe;
using testing::for_each_path;
using testing::interrupt_check;

LoadResult load_text(std::string_view text) {
  return read_gsas_raw(ByteSource::buffer(text));
}

constexpr std::string_view header = "BANK 1 4 1 CONST 1000.0 2.0 0 0 STD\n";

// The positions that the header above gives, as the formula rounds them.
constexpr double x0 = 10.0;
constexpr double x1 = 10.02;
constexpr double x2 = 10.04;

struct GsasCase {
  std::string name;
  std::string input;
  std::vector<double> y;
  std::vector<double> x;
  // The Parse text; none for a successful load.
  std::optional<std::string> error;
};

GsasCase ok(std::string name, std::string input, std::vector<double> y,
            std::vector<double> x) {
  return {std::move(name), std::move(input), std::move(y), std::move(x),
          std::nullopt};
}

GsasCase refused(std::string name, std::string input, std::string error) {
  return {std::move(name), std::move(input), {}, {}, std::move(error)};
}

void PrintTo(const GsasCase &c, std::ostream *out) { *out << c.name; }

class GsasRaw : public ::testing::TestWithParam<GsasCase> {};

void check_case(const GsasCase &c) {
  const LoadResult result = load_text(c.input);
  if (c.error) {
    ASSERT_FALSE(result.ok()) << describe(result);
    EXPECT_EQ(result.error().kind(), LoadErrorKind::Parse);
    EXPECT_EQ(result.error().message(), *c.error);
    return;
  }
  ASSERT_TRUE(result.ok()) << describe(result);
  EXPECT_EQ(bits(result->y), bits(c.y));
  EXPECT_EQ(bits(result->x), bits(c.x));
  EXPECT_FALSE(result->e.has_value());
}

TEST_P(GsasRaw, Reads) {
  for_each_path([] { check_case(GetParam()); });
}

const std::string h(header);
const std::string not_found = "BANK header not found in RAW file";

const GsasCase gsas_cases[] = {
    ok("OneDataLine", h + "10 20 30 40\n", {10, 20, 30, 40},
       {10.0, 10.02, 10.04, 10.06}),
    ok("HeaderAtEnd", "title\n" + h, {}, {}),
    ok("HeaderWithoutTerminator", "BANK 1 4 1 CONST 1000.0 2.0", {}, {}),
    ok("DataOverLines", "title line 1 2\n" + h + "1 2\n\n3\n", {1, 2, 3},
       {x0, x1, x2}),
    ok("ShortBankLineSkipped", "BANK 1 2 3\n5 5\n" + h + "7\n", {7}, {x0}),
    ok("KeywordContinuation", "BANKS 1 4 1 CONST 1000.0 2.0\n7\n", {7}, {x0}),
    ok("SecondBankEndsData",
       h + "1 2\nBANK 2 4 1 CONST 0 1 0 0\n3 4\nBANK 3 1 1 CONST 0 1\n5\n",
       {1, 2}, {x0, x1}),
    ok("IndentedBankIsData", h + "1\n BANK 2 3\n", {1, 2, 3}, {x0, x1, x2}),
    ok("LowerCaseBankIsData", h + "1\nbank 2\n", {1, 2}, {x0, x1}),
    ok("ShortBankInDataEndsIt", h + "1\nBANK\n2\n", {1}, {x0}),
    ok("HashLineIsData", h + "# 1 2 #3\n", {1, 2}, {x0, x1}),
    ok("NonNumbersSkipped", h + "1 2x 3D2 1,5 4\n", {1, 4}, {x0, x1}),
    ok("CrLf", "title\r\nBANK 1 4 1 CONST 1000.0 2.0\r\n1 2\r\n3\r\n",
       {1, 2, 3}, {x0, x1, x2}),
    ok("TabsAndNoBreakSpaces",
       "BANK\t1\t4 1 CONST\xC2\xA0"
       "1000.0 2.0\n1\t2\n",
       {1, 2}, {x0, x1}),
    ok("ZeroStep", "BANK 1 3 1 CONST 1234 0 0 0\n1 2 3\n", {1, 2, 3},
       {12.34, 12.34, 12.34}),
    ok("NegativeStart", "BANK 1 2 1 CONST -50 100\n1 2\n", {1, 2}, {-0.5, 0.5}),
    // Subnormal positions: flushed to zero unless the reader keeps them.
    ok("SubnormalPositions", "BANK 1 2 1 CONST 1e-306 1e-306\n1 2\n", {1, 2},
       {1e-306 / 100, 2 * (1e-306 / 100)}),
    refused("EmptyInput", "", not_found),
    refused("NoBankLine", "title\n1 2 3\n", not_found),
    refused("OnlyShortBankLines", "BANK 1 2 3\nBANK 1 2 3 4 5\n1 2\n",
            not_found),
    refused("LowerCaseHeader", "bank 1 4 1 CONST 1000.0 2.0 0 0\n1 2\n",
            not_found),
    refused("IndentedHeader", " BANK 1 4 1 CONST 1000.0 2.0 0 0\n1 2\n",
            not_found),
    refused("StartIsWord", "BANK 1 4 1 CONST abc 2.0\n" + h, "Invalid start"),
    refused("StartWithThousandsComma", "BANK 1 4 1 CONST 1,000 2.0\n" + h,
            "Invalid start"),
    refused("StartBeforeStep", "BANK 1 4 1 CONST abc def\n", "Invalid start"),
    refused("StepIsWord", "BANK 1 4 1 CONST 1000 step\n1 2\n", "Invalid step"),
};

INSTANTIATE_TEST_SUITE_P(GsasRaw, GsasRaw, ::testing::ValuesIn(gsas_cases),
                         [](const auto &row) { return row.param.name; });

// Each position is i * (step / 100) + start / 100, the product rounded before
// the sum. Accumulating the step, dividing (start + i * step) by 100 or fusing
// the multiply and add each give a different last bit somewhere below.
TEST(GsasRaw, PositionsRoundedInOrder) {
  std::string input(header);
  for (int i = 0; i < 110; ++i) {
    input += "0 ";
  }
  for_each_path([&] {
    const LoadResult result = load_text(input);
    ASSERT_TRUE(result.ok()) << describe(result);
    ASSERT_EQ(result->x.size(), 110u);
    EXPECT_EQ(result->x[3], 10.06);
    EXPECT_EQ(result->x[4], 10.08);
    EXPECT_EQ(result->x[56], 0x1.63d70a3d70a3ep+3);
    EXPECT_EQ(result->x[102], 0x1.8147ae147ae14p+3);
  });
}

// A fractional start and step as a real file writes them.
TEST(GsasRaw, FractionalStartAndStep) {
  std::string input = "BANK 1 8378 838 CONST 1500.66 1.31303 0 0 STD\n";
  for (int i = 0; i < 12; ++i) {
    input += "1 ";
  }
  const LoadResult result = load_text(input);
  ASSERT_TRUE(result.ok()) << describe(result);
  ASSERT_EQ(result->x.size(), 12u);
  EXPECT_EQ(result->x[0], 15.0066);
  EXPECT_EQ(result->x[4], 0x1.e1e4522490024p+3);
  EXPECT_EQ(result->x[11], 0x1.e4d543c9836c3p+3);
}

TEST(GsasRaw, InvalidUtf8IsIoError) {
  for (const std::string &input :
       {"title \xB0\n" + h + "1\n", h + "1 2\n3 \xB0\n4\n"}) {
    const LoadResult result = load_text(input);
    ASSERT_FALSE(result.ok()) << describe(result);
    EXPECT_EQ(result.error().kind(), LoadErrorKind::Io);
    EXPECT_EQ(result.error().message(), "stream did not contain valid UTF-8");
  }
}

// ---------------------------------------------------------------------------
// Real GSAS files, read from disk.

struct SampleCase {
  std::string name;
  std::string file;
  std::size_t count;
  double first_x;
  double first_y;
};

void PrintTo(const SampleCase &c, std::ostream *out) { *out << c.file; }

class GsasRawSample : public ::testing::TestWithParam<SampleCase> {};

TEST_P(GsasRawSample, Loads) {
  const SampleCase &c = GetParam();
  const std::filesystem::path path =
      std::filesystem::path(DIFRAL_SAMPLES) / "gsas_raw" / c.file;
  if (!std::filesystem::exists(path)) {
    GTEST_SKIP() << "no sample " << path;
  }
  auto opened = FileHandle::open_read_only(path.string());
  ASSERT_TRUE(opened.ok());
  const LoadResult result = read_gsas_raw(ByteSource::file(std::move(*opened)));
  ASSERT_TRUE(result.ok()) << describe(result);
  EXPECT_EQ(result->y.size(), c.count);
  EXPECT_EQ(result->x.size(), c.count);
  EXPECT_FALSE(result->e.has_value());
  ASSERT_FALSE(result->y.empty());
  EXPECT_EQ(result->x.front(), c.first_x);
  EXPECT_EQ(result->y.front(), c.first_y);
}

// Every number of the first bank counts, so files with counts, sigmas or
// positions in their records give several values per point.
const SampleCase sample_cases[] = {
    {"Std", "PBSO4.XRA.raw", 6010, 10.0, 179},
    {"StdWithCounts", "PBSO4.CWN.raw", 5100, 10.0, 1},
    {"StdFractionalStart", "NIST660CBI.gsas.raw", 8378, 15.0066, 2364},
    {"Garnet", "garnet.raw", 4890, 24.0, 1},
    {"Esd", "Quinoli.gda.raw", 14722, 7.5, 345.2},
    {"FxyeCons", "11bmb_6231.fxye.raw", 148491, 0.5, 50.0},
    {"FxyeSlogTwoBanks", "489.gda.raw", 7461, 50.0, 5000.0},
    {"FxyeSlogMantid", "PG3_17541.gsa.raw", 20475, 67.76, 6777.081541902},
    {"RalfFourBanks", "gem05984.gss.raw", 8160, 817.43, 81743},
};

INSTANTIATE_TEST_SUITE_P(GsasRaw, GsasRawSample,
                         ::testing::ValuesIn(sample_cases),
                         [](const auto &row) { return row.param.name; });

} // namespace
} // namespace difral

namespace difral {
namespace {

// Lines of eight-byte fields, as GSAS writes intensities, are what the
// field path is for: it must take each field that is spaces and then digits
// and a whole token, and hand back the rest, or the loads that count on it
// fall back to the token path unseen.
struct FieldCase {
  std::string name;
  std::string line;
  std::vector<double> taken;
};

void PrintTo(const FieldCase &c, std::ostream *out) { *out << c.name; }

class GsasFields : public ::testing::TestWithParam<FieldCase> {};

TEST_P(GsasFields, TakesWholeFields) {
  const std::string &line = GetParam().line;
  std::vector<double> y(line.size() / 8);
  y.resize(detail::gsas_fields(line.data(), line.size(), y.data(), y.size()));
  EXPECT_EQ(y, GetParam().taken);
}

const FieldCase field_cases[] = {
    {"StdRecord",
     "       0       1      12     123    1234   12345  123456 1234567",
     {0, 1, 12, 123, 1234, 12345, 123456, 1234567}},
    {"LeadingZeros", "   00042 0000000", {42, 0}},
    {"FieldsThenTokens", "     179     183   12.5 7", {179, 183}},
    {"FieldsThenBlank", "      10      20\t30", {10, 20}},
    {"PartialFieldAtEnd", "      10  20", {10}},
    {"TokenRunsOn", "      101234567.5", {}},
    {"SecondTokenRunsOn", "      10    20.5", {10}},
    {"NoPadding", "12345678", {}},
    {"SignedField", "   -1234", {}},
    {"TabPadding", "\t   1234", {}},
    {"DecimalField", "  1234.5", {}},
    {"AllSpaces", "        ", {}},
    {"Empty", "", {}},
};

INSTANTIATE_TEST_SUITE_P(GsasRaw, GsasFields, ::testing::ValuesIn(field_cases),
                         [](const auto &row) { return row.param.name; });

// Whole ASCII lines of a classified block take a fast path; over random data
// lines, with every classifier, they must equal every token's parse_value,
// to the bit. The non-ASCII piece comes last, and only in the first half,
// so that the later blocks are ASCII.
TEST(GsasRaw, FastPathAgreesWithTokenRule) {
  const std::vector<std::string> pieces = {"       0",
                                           "    1234",
                                           "   -1234",
                                           "\t   1234",
                                           "    12.5",
                                           "       ",
                                           "12345678",
                                           "123456789012345678901",
                                           "-5",
                                           "+.5",
                                           "5.",
                                           "1e3",
                                           "1e400",
                                           "abc",
                                           "12abc",
                                           "1D3",
                                           "nan",
                                           "-inf",
                                           ".",
                                           "\t",
                                           "  ",
                                           "0.1",
                                           "1,5",
                                           "1234.5678",
                                           "-12.5",
                                           "12345678.",
                                           std::string(70, ' '),
                                           std::string(30, '3'),
                                           "\xC2\xA0"};
  std::mt19937 random(777);
  std::string text = "title\nBANK 1 10 1 CONST 1000.0 2.0 0 0 STD\n";
  std::vector<double> expected;
  for (int line = 0; line < 5000; ++line) {
    std::string data;
    const std::size_t count = random() % 12;
    for (std::size_t i = 0; i < count; ++i) {
      data += pieces[random() % (pieces.size() - (line < 2500 ? 0 : 1))];
      if (random() % 4 != 0) {
        data += ' ';
      }
    }
    for (const std::string_view token : whitespace_tokens(data)) {
      if (const std::optional<double> value = parse_value(token)) {
        expected.push_back(*value);
      }
    }
    text += data + "\n";
  }
  for_each_path([&] {
    const LoadResult got =
        read_gsas_raw(ByteSource::buffer(text, interrupt_check));
    ASSERT_TRUE(got.ok());
    ASSERT_EQ(got->y.size(), expected.size());
    EXPECT_EQ(std::memcmp(got->y.data(), expected.data(), expected.size() * 8),
              0);
  });
}

} // namespace
} // namespace difral
