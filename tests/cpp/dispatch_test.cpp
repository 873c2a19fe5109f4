// SPDX-License-Identifier: MIT
#include "core/dispatch.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <ostream>

#include <filesystem>
#include <string>
#include <vector>

namespace difral {
namespace {

using testing::TempFile;

struct NameCase {
  std::string name;
  std::optional<FormatKind> kind;
};

// Rows print as their name in test listings.
[[maybe_unused]] void PrintTo(const NameCase &row, std::ostream *out) {
  *out << ::testing::PrintToString(std::string(row.name));
}

class FormatFromName : public ::testing::TestWithParam<NameCase> {};

TEST_P(FormatFromName, Kind) {
  EXPECT_EQ(format_from_name(GetParam().name), GetParam().kind);
}

std::string case_name(const std::string &text) {
  std::string name;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    name += std::isalnum(c) ? static_cast<char>(c) : '_';
  }
  return name + "_" + std::to_string(std::hash<std::string>{}(text) % 100000);
}

INSTANTIATE_TEST_SUITE_P(
    Names, FormatFromName,
    ::testing::ValuesIn(std::vector<NameCase>{
        {"scan.xy", FormatKind::Columns},
        {"scan.XY", FormatKind::Columns},
        {"scan.Xye", FormatKind::Columns},
        {"scan.CSV", FormatKind::Csv},
        {"scan.Raw", FormatKind::GsasRaw},
        {"scan.RASX", FormatKind::Rasx},
        {"scan.xy.bak", std::nullopt},
        {"scan.bak.xy", FormatKind::Columns},
        {".xy", std::nullopt},
        {"dir/.xy", std::nullopt},
        {"scan", std::nullopt},
        {"scan.", std::nullopt},
        {"", std::nullopt},
        {"dir\\scan.csv", FormatKind::Csv},
        {"dir/scan.csv", FormatKind::Csv},
        {"a.xy/scan", std::nullopt},
        {"dir.xy\\scan", std::nullopt},
        {"scan.xy/", FormatKind::Columns},
        {"scan.xy\\\\", FormatKind::Columns},
        {"scan.xy/.", FormatKind::Columns},
        {"scan.xy/./", FormatKind::Columns},
        {"dir/..", std::nullopt},
        {"..", std::nullopt},
        {"/", std::nullopt},
        {"\\", std::nullopt},
        {"C:", std::nullopt},
        {"C:scan.xy", FormatKind::Columns},
        {"C:\\data\\scan.raw", FormatKind::GsasRaw},
        {"\\\\server\\share", std::nullopt},
        {"\\\\server\\share\\", std::nullopt},
        {"\\\\server\\share\\scan.xye", FormatKind::Columns},
        {"scan.x y", std::nullopt},
        {"scan.xy ", std::nullopt},
        {" scan.xy", FormatKind::Columns},
        {"scan.xyz", std::nullopt},
        {"scan.x", std::nullopt},
        {"scan.rasxx", std::nullopt},
        {"scan.\xC3\xA9", std::nullopt},
        {"scan\xFF.xy", std::nullopt},
    }),
    [](const auto &row) { return case_name(row.param.name); });

TEST(SniffRaw, NulWithinTheWindowOnly) {
  std::string head(2000, 'a');
  EXPECT_EQ(sniff_raw(testing::bytes_of(head)), FormatKind::GsasRaw);
  head[1023] = '\0';
  EXPECT_EQ(sniff_raw(testing::bytes_of(head)), FormatKind::BrukerRaw);
  head[1023] = 'a';
  head[1024] = '\0';
  EXPECT_EQ(sniff_raw(testing::bytes_of(head)), FormatKind::GsasRaw);
  EXPECT_EQ(sniff_raw({}), FormatKind::GsasRaw);
}

const std::string bank_file =
    "title\nBANK 1 4 1 CONST 1000.0 2.0 0 0 STD\n10 20 30 40\n";

// Each entry point under each name: file and memory agree.
std::vector<LoadResult> load_both_ways(const std::string &name,
                                       const std::string &data) {
  TempFile file(name, data);
  const auto before = testing::open_file_count();
  std::vector<LoadResult> results;
  results.push_back(load_path(file.path()));
  EXPECT_EQ(testing::open_file_count(), before) << "descriptor left open";
  results.push_back(load_buffer(testing::bytes_of(data), name));
  return results;
}

TEST(Dispatch, RawSniffBoundary) {
  std::string data = bank_file + std::string(2000, ' ');
  data[1023] = '\0';
  for (const LoadResult &got : load_both_ways("a.raw", data)) {
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind(), LoadErrorKind::Parse);
    EXPECT_EQ(got.error().message(),
              "Bruker binary RAW format not yet supported");
  }
  data[1023] = ' ';
  data[1024] = '\0';
  for (const LoadResult &got : load_both_ways("a.RAW", data)) {
    ASSERT_TRUE(got.ok()) << got.error().message();
    EXPECT_EQ(got->y, (std::vector<double>{10, 20, 30, 40}));
  }
}

TEST(Dispatch, EmptyRawGoesToGsasReader) {
  for (const LoadResult &got : load_both_ways("empty.raw", "")) {
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().message(), "BANK header not found in RAW file");
  }
}

TEST(Dispatch, NulUnderOtherExtensionsIsNotSniffed) {
  const std::string data("1 2\n\0\n3 4\n", 10);
  for (const LoadResult &got : load_both_ways("a.xy", data)) {
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(got->x, (std::vector<double>{1, 3}));
  }
}

TEST(Dispatch, UnknownExtension) {
  for (const LoadResult &got : load_both_ways("scan.txt", "1 2\n")) {
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind(), LoadErrorKind::UnknownFormat);
    EXPECT_EQ(got.error().message(), "Unknown format");
  }
  const LoadResult empty = load_buffer({}, "scan");
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().kind(), LoadErrorKind::UnknownFormat);
}

TEST(Dispatch, MissingFileFailsBeforeTheName) {
  for (const char *path : {"/nonexistent-dir-difral/scan.xy",
                           "/nonexistent-dir-difral/scan.unknown",
                           "/nonexistent-dir-difral/scan"}) {
    SCOPED_TRACE(path);
    const LoadResult got = load_path(path);
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind(), LoadErrorKind::Io);
    EXPECT_EQ(got.error().message(), testing::missing_folder_message);
  }
}

TEST(Dispatch, PathWithNulIsNotCutShort) {
  TempFile file("scan.xy", "1 2\n");
  const std::string path = file.path() + std::string("\0.csv", 5);
  const LoadResult got = load_path(path);
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().kind(), LoadErrorKind::Io);
}

// Linux opens a directory and fails to read it; Windows refuses to open it.
// Either way the system's own text.
TEST(Dispatch, DirectoryWithKnownExtension) {
  TempFile file("x", "");
  const auto before = testing::open_file_count();
  for (const std::string &path :
       {file.dir() + "/folder.xy", file.dir() + "/folder.raw"}) {
    ASSERT_TRUE(std::filesystem::create_directory(testing::path_of(path)));
    const LoadResult got = load_path(path);
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().message(), testing::directory_message);
  }
  EXPECT_EQ(testing::open_file_count(), before);
}

// Paths are UTF-8 on every system; Windows is given them as UTF-16.
TEST(Dispatch, NonAsciiPaths) {
  for (const char *name : {
           "donn\xC3\xA9"
           "es.xy",                                   // données.xy
           "\xE6\x95\xB0\xE6\x8D\xAE.XY",             // 数据.XY
           "\xF0\x9F\x93\x88 \xCE\xB8-2\xCE\xB8.csv", // 📈 θ-2θ.csv
       }) {
    SCOPED_TRACE(name);
    TempFile file(name, "1 2\n3 4\n");
    const LoadResult got = load_path(file.path());
    ASSERT_TRUE(got.ok()) << got.error().message();
    EXPECT_EQ(got->x, (std::vector<double>{1, 3}));
  }
}

TEST(Dispatch, EveryPathClosesTheFile) {
  const std::vector<std::pair<std::string, std::string>> inputs = {
      {"a.xy", "1 2\n"},
      {"a.csv", "1,2\n"},
      {"a.xye", "\xB0"},
      {"a.raw", bank_file},
      {"a.raw", std::string(1, '\0')},
      {"a.raw", "no header"},
      {"a.rasx", "not a zip"},
      {"a.rasx", ""},
      {"a.dat", "1 2\n"},
  };
  const auto before = testing::open_file_count();
  for (int round = 0; round < 50; ++round) {
    for (const auto &[name, data] : inputs) {
      TempFile file(name, data);
      (void)load_path(file.path());
    }
  }
  EXPECT_EQ(testing::open_file_count(), before);
}

} // namespace
} // namespace difral

namespace difral {
namespace {

int checks_until_stop = 0;

bool stop_after_a_few() { return --checks_until_stop < 0; }

TEST(Dispatch, InterruptCheckStopsALoadBetweenReads) {
  std::string data;
  for (int i = 0; i < 20000; ++i) {
    data += "1.5 2.5\n";
  }
  TempFile file("big.xy", data);
  checks_until_stop = 3;
  const LoadResult stopped = load_path(file.path(), stop_after_a_few);
  ASSERT_FALSE(stopped.ok());
  EXPECT_EQ(stopped.error().kind(), LoadErrorKind::Io);
  EXPECT_EQ(stopped.error().message(), "operation interrupted");
  checks_until_stop = 1 << 30;
  const LoadResult loaded = load_path(file.path(), stop_after_a_few);
  ASSERT_TRUE(loaded.ok());
  EXPECT_EQ(loaded->x.size(), 20000u);
}

} // namespace
} // namespace difral
