// SPDX-License-Identifier: MIT
#include "core/float_environment.h"
#include "paths.h"
#include "text/columns.h"
#include "text/short_decimal.h"
#include "text/text.h"

#include <gtest/gtest.h>

#include <ostream>

#include <bit>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace difral {
namespace {

std::vector<std::string_view> all_csv_tokens(std::string_view line) {
  std::string_view out[16];
  return {out, out + csv_tokens(line, out, 16)};
}

std::string hex_name(std::string_view text) {
  std::string name;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
        (c >= 'A' && c <= 'Z')) {
      name += static_cast<char>(c);
    } else {
      static const char digits[] = "0123456789abcdef";
      name += '_';
      name += digits[c >> 4];
      name += digits[c & 15];
    }
  }
  return name.empty() ? "empty" : name;
}

struct ValueCase {
  std::string token;
  std::optional<double> value;
  // The short-decimal converter is for this token (a sign and at most 16
  // digits around a point, in at most 16 bytes): it must take it, with the
  // same bits, or loads of such numbers fall back to the general path unseen.
  bool fast = false;
};

// Rows print as their token in test listings.
[[maybe_unused]] void PrintTo(const ValueCase &row, std::ostream *out) {
  *out << ::testing::PrintToString(std::string(row.token));
}

class ParseValueCases : public ::testing::TestWithParam<ValueCase> {};

TEST_P(ParseValueCases, Value) {
  const ValueCase &c = GetParam();
  const std::optional<double> got = parse_value(c.token);
  ASSERT_EQ(got.has_value(), c.value.has_value());
  if (!got) {
    return;
  }
  if (std::isnan(*c.value)) {
    EXPECT_TRUE(std::isnan(*got));
  } else {
    EXPECT_EQ(*got, *c.value);
  }
  EXPECT_EQ(std::signbit(*got), std::signbit(*c.value));
  // fast_float rounds to nearest whatever the environment it finds.
  for (const testing::FloatEnvironment &environment :
       testing::float_environments) {
    std::optional<double> again;
    {
      const SavedFloatEnvironment saved;
      environment.set();
      again = parse_value(c.token);
    }
    EXPECT_EQ(std::bit_cast<std::uint64_t>(again.value_or(0)),
              std::bit_cast<std::uint64_t>(*got))
        << environment.name;
  }
  if (c.fast) {
    // A separator and a block's padding follow a token.
    const std::string block = c.token + std::string(block_padding, ' ');
    detail::ShortDecimal decimal;
    ASSERT_TRUE(
        detail::scan_short_decimal(block.data(), c.token.size(), decimal));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(detail::to_double(decimal)),
              std::bit_cast<std::uint64_t>(*got));
  }
}

const double inf = std::numeric_limits<double>::infinity();
const double nan_value = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Numbers, ParseValueCases,
    ::testing::ValuesIn(std::vector<ValueCase>{
        {"1", 1.0, true},
        {"-1.5", -1.5, true},
        {"+.5", 0.5, true},
        {"5.", 5.0, true},
        {"1e3", 1000.0},
        {"1E-3", 0.001},
        {"1e+3", 1000.0},
        {"007", 7.0, true},
        {"-0", -0.0, true},
        {"0.1", 0.1, true},
        {"10.02", 10.02, true},
        {"+7", 7.0, true},
        {".5", 0.5, true},
        {"-.5", -0.5, true},
        {"+0.", 0.0, true},
        {"2065.458", 2065.458, true},
        {"12345678", 12345678.0, true},
        {"1234567.8", 1234567.8, true},
        {".12345678", 0.12345678, true},
        {"12345678.", 12345678.0, true},
        {"123456789", 123456789.0, true},
        {"00012.3400", 12.34, true},
        {"1234567890123456", 1234567890123456.0, true},
        {"-99999999.9999999", -99999999.9999999, true},
        {".000000000000001", 1e-15, true},
        {"123456789012345.", 123456789012345.0, true},
        {".123456789012345", 0.123456789012345, true},
        // Correct rounding where a naive conversion goes wrong.
        {"9007199254740992", 9007199254740992.0, true},
        {"9007199254740993", 9007199254740992.0},
        {"2.2250738585072011e-308", 2.2250738585072011e-308},
        {"0.1000000000000000055511151231257827021181583404541015625", 0.1},
        {"4.9e-324", 4.9e-324},
        {"1e400", inf},
        {"-1e400", -inf},
        {"-1e-400", -0.0},
        {"1e-400", 0.0},
        {"0e999999999999", 0.0},
        // Out of range: infinity or zero, whatever the exponent's digits.
        {"0.00000000000000000001e329", inf},
        {"1e000000000000000000000000400", inf},
        {"-1000000e-330", -0.0},
    }),
    [](const auto &row) { return hex_name(row.param.token); });

INSTANTIATE_TEST_SUITE_P(Words, ParseValueCases,
                         ::testing::ValuesIn(std::vector<ValueCase>{
                             {"INF", inf},
                             {"inf", inf},
                             {"-infinity", -inf},
                             {"+InFiNiTy", inf},
                             {"NaN", nan_value},
                             {"-nan", -nan_value},
                         }),
                         [](const auto &row) {
                           return hex_name(row.param.token);
                         });

INSTANTIATE_TEST_SUITE_P(
    NotNumbers, ParseValueCases,
    ::testing::ValuesIn(std::vector<ValueCase>{
        {"", std::nullopt},
        {".", std::nullopt},
        {"e5", std::nullopt},
        {"1e", std::nullopt},
        {"1e+", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"0x10", std::nullopt},
        {"1_000", std::nullopt},
        {"1,5", std::nullopt},
        {"1.2.3", std::nullopt},
        {"nan(1)", std::nullopt},
        {"--1", std::nullopt},
        {"+-1", std::nullopt},
        {" 1", std::nullopt},
        {"1 ", std::nullopt},
        {"infinit", std::nullopt},
        {"infinityy", std::nullopt},
        {"in", std::nullopt},
        {"1d5", std::nullopt},
        {"1.5D3", std::nullopt},
        {"12abc", std::nullopt},
        {".e1", std::nullopt},
        {"n/a", std::nullopt},
        {"#", std::nullopt},
        {std::string("1\0", 2), std::nullopt},
        {"\xEF\xBB\xBF"
         "1",
         std::nullopt},
        {"\xD9\xA1", std::nullopt}, // ARABIC-INDIC DIGIT ONE
    }),
    [](const auto &row) { return hex_name(row.param.token); });

// The converter's one division is correctly rounded only where doubles are
// computed as doubles (not in x87's 80-bit registers) and round to nearest,
// as they do unless a caller changes the mode: else it never runs.
TEST(ShortDecimal, RunsInTheDefaultEnvironment) {
  EXPECT_TRUE(divides_to_nearest());
}

// All 25 White_Space code points, as UTF-8.
const std::vector<std::string> white_space = {
    "\t",           "\n",           "\v",
    "\f",           "\r",           " ",
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80",
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
    "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
    "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
    "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
    "\xE3\x80\x80"};

// Neighbours of White_Space characters that are not white space.
const std::vector<std::string> not_white_space = {
    "\xEF\xBB\xBF", "\xE2\x80\x8B", "\xE2\x80\x8C", "\xE2\x80\xAE",
    "\xE2\x80\xB0", "\xE2\x81\xA0", "\xE3\x80\x81", "\xC2\x84",
    "\xC2\xA1",     "\xE1\x9A\x81", "\x1F",         std::string(1, '\0'),
    "\xC3\xA9"};

TEST(WhiteSpace, EveryCodePointSeparatesAndTrims) {
  ASSERT_EQ(white_space.size(), 25u);
  for (const std::string &ws : white_space) {
    SCOPED_TRACE(hex_name(ws));
    const std::string line = ws + "1" + ws + ws + "2" + ws;
    EXPECT_EQ(trim_line(line), "1" + ws + ws + "2");
    EXPECT_EQ(whitespace_tokens(line),
              (std::vector<std::string_view>{"1", "2"}));
    EXPECT_EQ(all_csv_tokens(line), (std::vector<std::string_view>{"1", "2"}));
    EXPECT_EQ(whitespace_length(ws.data(), ws.data() + ws.size()), ws.size());
  }
}

TEST(WhiteSpace, OtherCharactersStayInTokens) {
  for (const std::string &other : not_white_space) {
    SCOPED_TRACE(hex_name(other));
    const std::string line = other + "1" + other + "2" + other;
    EXPECT_EQ(trim_line(line), line);
    EXPECT_EQ(whitespace_tokens(line), (std::vector<std::string_view>{line}));
  }
}

TEST(WhiteSpace, WhiteSpaceOnlyTrimsToEmpty) {
  std::string all;
  for (const std::string &ws : white_space) {
    all += ws;
  }
  EXPECT_EQ(trim_line(all), "");
  EXPECT_TRUE(whitespace_tokens(all).empty());
  EXPECT_EQ(trim_line(""), "");
}

TEST(Tokens, CappedFormStopsAtMax) {
  std::string_view out[3];
  EXPECT_EQ(whitespace_tokens("a b c d e", out, 3), 3u);
  EXPECT_EQ(out[2], "c");
  EXPECT_EQ(csv_tokens(",,x,,", out, 3), 1u);
  EXPECT_EQ(out[0], "x");
}

struct CsvCase {
  std::string line;
  std::vector<std::string_view> tokens;
};

// Rows print as their line in test listings.
[[maybe_unused]] void PrintTo(const CsvCase &row, std::ostream *out) {
  *out << ::testing::PrintToString(std::string(row.line));
}

class CsvTokenCases : public ::testing::TestWithParam<CsvCase> {};

TEST_P(CsvTokenCases, Tokens) {
  EXPECT_EQ(all_csv_tokens(GetParam().line), GetParam().tokens);
}

INSTANTIATE_TEST_SUITE_P(Csv, CsvTokenCases,
                         ::testing::ValuesIn(std::vector<CsvCase>{
                             {"10,100,3", {"10", "100", "3"}},
                             {"10, 100, 3", {"10", "100", "3"}},
                             {"10 , 100 , 3", {"10", "100", "3"}},
                             {"10,,100", {"10", "100"}},
                             {",10,100,", {"10", "100"}},
                             {"10\t100", {"10", "100"}},
                             {"10;100", {"10;100"}},
                             {"10,5 100,2", {"10", "5", "100", "2"}},
                             {"10,5;100,2", {"10", "5;100", "2"}},
                             {"\"10\",\"20\"", {"\"10\"", "\"20\""}},
                             {",,,", {}},
                         }),
                         [](const auto &row) {
                           return hex_name(row.param.line);
                         });

struct Utf8Case {
  std::string name;
  std::string bytes;
  bool valid;
};

// Rows print as their name in test listings.
[[maybe_unused]] void PrintTo(const Utf8Case &row, std::ostream *out) {
  *out << ::testing::PrintToString(std::string(row.name));
}

class Utf8Cases : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Cases, Validity) {
  // Each case also sits after a run of ASCII longer than the eight-byte
  // fast path, so both paths see it.
  EXPECT_EQ(is_valid_utf8(GetParam().bytes), GetParam().valid);
  EXPECT_EQ(is_valid_utf8("0123456789abcdef" + GetParam().bytes + "xyz"),
            GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(Sequences, Utf8Cases,
                         ::testing::ValuesIn(std::vector<Utf8Case>{
                             {"Ascii", "plain text", true},
                             {"TwoBytes", "\xC3\xA9", true},
                             {"ThreeBytes", "\xE2\x82\xAC", true},
                             {"FourBytes", "\xF0\x9F\x98\x80", true},
                             {"LastCodePoint", "\xF4\x8F\xBF\xBF", true},
                             {"LoneContinuation", "\x80", false},
                             {"OverlongTwo", "\xC0\x80", false},
                             {"OverlongC1", "\xC1\xBF", false},
                             {"OverlongThree", "\xE0\x80\x80", false},
                             {"OverlongFour", "\xF0\x80\x80\x80", false},
                             {"Surrogate", "\xED\xA0\x80", false},
                             {"PastMaximum", "\xF4\x90\x80\x80", false},
                             {"F5", "\xF5\x80\x80\x80", false},
                             {"FF", "\xFF", false},
                             {"LatinOneDegree", "45\xB0", false},
                             {"TruncatedTwo", "\xC3", false},
                             {"TruncatedFour", "\xF0\x9F\x98", false},
                             {"BadContinuation", "\xE2\x28\xA1", false},
                         }),
                         [](const auto &row) { return row.param.name; });

} // namespace
} // namespace difral
