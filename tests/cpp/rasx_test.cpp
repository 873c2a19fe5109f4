// SPDX-License-Identifier: MIT
#include "formats/rasx.h"

#include "paths.h"
#include "test_util.h"
#include "text/line_reader.h"
#include "text/text.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace difral {
namespace {

using testing::describe;
using testing::for_each_path;

std::string read_all(const std::string &path) {
  std::ifstream in(testing::path_of(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Member {
  std::string name;
  std::string data;
  zip_int32_t method = ZIP_CM_DEFLATE;
  bool encrypted = false;
};

std::uint32_t le32(std::string_view bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 4; i-- > 0;) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

std::uint16_t le16(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint16_t>(
      static_cast<unsigned char>(bytes[at]) |
      (static_cast<unsigned char>(bytes[at + 1]) << 8));
}

// Sets the encryption flag of a member in its central and local headers.
// No password is ever needed: the reader must skip the member unread.
void mark_encrypted(std::string &zip, std::string_view name) {
  constexpr std::string_view central("PK\x01\x02", 4);
  for (std::size_t p = zip.find(central); p != std::string::npos;
       p = zip.find(central, p + 4)) {
    const std::uint16_t length = le16(zip, p + 28);
    if (std::string_view(zip).substr(p + 46, length) == name) {
      zip[p + 8] = static_cast<char>(zip[p + 8] | 1);
      const std::uint32_t local = le32(zip, p + 42);
      zip[local + 6] = static_cast<char>(zip[local + 6] | 1);
    }
  }
}

// Writes the members with libzip, in order, and returns the archive's bytes.
std::string build_archive(const std::vector<Member> &members) {
  testing::TempFile file("archive.zip", "");
  int error = 0;
  zip_t *archive =
      zip_open(file.path().c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (archive == nullptr) {
    ADD_FAILURE() << "zip_open failed: " << error;
    return {};
  }
  for (const Member &member : members) {
    zip_source_t *source =
        zip_source_buffer(archive, member.data.data(), member.data.size(), 0);
    const zip_int64_t index =
        zip_file_add(archive, member.name.c_str(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0 ||
        zip_set_file_compression(archive, static_cast<zip_uint64_t>(index),
                                 member.method, 0) != 0) {
      ADD_FAILURE() << "cannot add " << member.name;
    }
  }
  if (zip_close(archive) != 0) {
    ADD_FAILURE() << "zip_close failed: " << zip_strerror(archive);
    zip_discard(archive);
    return {};
  }
  std::string bytes = read_all(file.path());
  for (const Member &member : members) {
    if (member.encrypted) {
      mark_encrypted(bytes, member.name);
    }
  }
  return bytes;
}

// libzip writes no file for an archive without members; this is the bare
// end-of-central-directory record.
const std::string empty_archive =
    std::string("PK\x05\x06", 4) + std::string(18, '\0');

enum class SourceKind { File, Buffer };

std::string kind_name(SourceKind kind) {
  return kind == SourceKind::File ? "File" : "Buffer";
}

// Reads the bytes as a rasx archive from a file or from memory.
LoadResult load(std::string_view bytes, SourceKind kind) {
  if (kind == SourceKind::Buffer) {
    return read_rasx(ByteSource::buffer(bytes));
  }
  testing::TempFile file("archive.rasx", bytes);
  return read_rasx(testing::file_source(file));
}

// One line of an expected outcome: either the points or the error.
struct Expected {
  std::vector<double> x;
  std::vector<double> y;
  std::optional<LoadErrorKind> kind;
  std::string message;
};

Expected points(std::vector<double> x, std::vector<double> y) {
  return {std::move(x), std::move(y), std::nullopt, {}};
}
Expected failure(LoadErrorKind kind, std::string message) {
  return {{}, {}, kind, std::move(message)};
}

void expect_outcome(const LoadResult &result, const Expected &expected) {
  if (expected.kind) {
    ASSERT_FALSE(result.ok()) << describe(result);
    EXPECT_EQ(result.error().kind(), *expected.kind) << describe(result);
    EXPECT_EQ(result.error().message(), expected.message);
    return;
  }
  ASSERT_TRUE(result.ok()) << describe(result);
  EXPECT_EQ(result->x, expected.x);
  EXPECT_EQ(result->y, expected.y);
  EXPECT_FALSE(result->e.has_value());
}

const std::string missing = "File not found in archive: Profile*.txt";

// ---------------------------------------------------------------------------
// Member choice over name lists.

struct ChoiceCase {
  std::string name;
  std::vector<std::string> members;
  std::optional<std::string> chosen;
};

void PrintTo(const ChoiceCase &c, std::ostream *out) { *out << c.name; }

class ChooseProfileMember : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(ChooseProfileMember, Chooses) {
  const ChoiceCase &c = GetParam();
  auto outcome = choose_profile_member(c.members);
  if (c.chosen) {
    ASSERT_TRUE(outcome.ok());
    EXPECT_EQ(*outcome, *c.chosen);
  } else {
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error(),
              LoadError::missing_archive_member("Profile*.txt"));
  }
}

const ChoiceCase choice_cases[] = {
    {"PreferredLast",
     {"Data1/Profile0.txt", "Data0/Profile1.txt", "Data0/Profile0.txt"},
     "Data0/Profile0.txt"},
    {"PreferredFirst",
     {"Data0/Profile0.txt", "Data1/Profile0.txt"},
     "Data0/Profile0.txt"},
    {"FallbackFirstInOrder",
     {"root.xml", "Data1/Profile0.txt", "Data0/MyProfile.txt"},
     "Data1/Profile0.txt"},
    {"FallbackInDirectoryPart",
     {"a.txt", "Profiles/notes.txt"},
     "Profiles/notes.txt"},
    {"FallbackBareName", {"Profile.txt"}, "Profile.txt"},
    {"PreferredNameMustMatchWhole",
     {"Data0/Profile0.txt.bak", "XData0/Profile0.txt"},
     "XData0/Profile0.txt"},
    {"LowerCaseKeyword", {"Data0/profile0.txt"}, std::nullopt},
    {"UpperCaseExtension", {"Data0/Profile0.TXT"}, std::nullopt},
    {"OtherExtension", {"Data0/Profile0.csv", "Profile.txt/x"}, std::nullopt},
    {"ExtensionWithoutKeyword", {"Data0/Data0.txt", "root.xml"}, std::nullopt},
    {"Empty", {}, std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Rasx, ChooseProfileMember,
                         ::testing::ValuesIn(choice_cases),
                         [](const auto &row) { return row.param.name; });

// ---------------------------------------------------------------------------
// Whole archives, each read from a file and from memory with the same result.

struct ArchiveCase {
  std::string name;
  // Builds the archive's bytes.
  std::string (*bytes)();
  Expected expected;
  // False for the large rows, which are about the directory or the line
  // cap, not the conversion: one path is enough for them.
  bool every_path = true;
};

void PrintTo(const ArchiveCase &c, std::ostream *out) { *out << c.name; }
void PrintTo(SourceKind kind, std::ostream *out) { *out << kind_name(kind); }

class RasxArchive
    : public ::testing::TestWithParam<std::tuple<ArchiveCase, SourceKind>> {};

TEST_P(RasxArchive, Loads) {
  // Not a structured binding: clang 14 cannot capture one in a lambda.
  const ArchiveCase &c = std::get<0>(GetParam());
  const SourceKind kind = std::get<1>(GetParam());
  const std::string bytes = c.bytes();
  if (!c.every_path) {
    expect_outcome(load(bytes, kind), c.expected);
    return;
  }
  for_each_path([&] { expect_outcome(load(bytes, kind), c.expected); });
}

std::string profile_member(std::string data,
                           zip_int32_t method = ZIP_CM_DEFLATE) {
  return build_archive({{"Data0/Profile0.txt", std::move(data), method}});
}

// The index of the first byte of needle in the archive, for patching.
std::size_t find_bytes(const std::string &zip, std::string_view needle) {
  const std::size_t at = zip.find(needle);
  EXPECT_NE(at, std::string::npos) << needle;
  return at == std::string::npos ? 0 : at;
}

void put(std::string &zip, std::size_t at, std::uint32_t value,
         std::size_t size) {
  for (std::size_t i = 0; i < size; ++i, value >>= 8) {
    zip[at + i] = static_cast<char>(value & 0xFF);
  }
}

// Patches a field of size bytes at the given offset into the member's
// central-directory entry and at the given offset into its local header;
// npos leaves that header alone.
std::string patched(std::string zip, std::string_view name, std::size_t central,
                    std::size_t local, std::size_t size, std::uint32_t value) {
  constexpr std::string_view magic("PK\x01\x02", 4);
  for (std::size_t p = zip.find(magic); p != std::string::npos;
       p = zip.find(magic, p + 4)) {
    if (std::string_view(zip).substr(p + 46, le16(zip, p + 28)) == name) {
      if (local != std::string::npos) {
        put(zip, le32(zip, p + 42) + local, value, size);
      }
      if (central != std::string::npos) {
        put(zip, p + central, value, size);
      }
    }
  }
  return zip;
}

constexpr std::size_t unpatched = std::string::npos;
const std::string profile_name = "Data0/Profile0.txt";

// Points the member's central-directory entry past the end of the archive,
// so its local header cannot be read.
std::string local_header_lost(std::string zip, std::string_view name) {
  return patched(std::move(zip), name, 42, unpatched, 4, 0x7F000000);
}

// A stored profile member with the given data, patched, and after it another
// profile to fall back on.
std::string before_fallback(std::string data, std::size_t central,
                            std::size_t local, std::size_t size,
                            std::uint32_t value) {
  return patched(build_archive({{profile_name, std::move(data), ZIP_CM_STORE},
                                {"Data1/Profile1.txt", "1 2\n"}}),
                 profile_name, central, local, size, value);
}

// The profile member marked as compressed with bzip2, which a libzip built
// with bzip2 would open; its bytes stay stored, so no such libzip is needed
// to write it.
std::string claims_bzip2(std::string zip) {
  return patched(std::move(zip), profile_name, 10, 8, 2, ZIP_CM_BZIP2);
}

// "PK\3\5" where a local header's signature belongs.
constexpr std::uint32_t wrong_signature = 0x05034B50;

// A profile of one line of length bytes: "1 2" and spaces.
std::string line_of(std::size_t length) {
  std::string line = "1 2";
  line.resize(length, ' ');
  return profile_member(line + "\n");
}

std::string end_record_patched(std::size_t field, char value) {
  std::string zip = profile_member("1 2\n");
  zip[zip.size() - 22 + field] = value;
  return zip;
}

const ArchiveCase archive_cases[] = {
    {"PreferredAfterAnotherProfile",
     [] {
       return build_archive(
           {{"Data1/Profile0.txt", "1 1\n"}, {"Data0/Profile0.txt", "1 2\n"}});
     },
     points({1}, {2})},
    {"FallbackInDirectoryOrder",
     [] {
       return build_archive({{"root.xml", "<x/>"},
                             {"Data1/Profile0.txt", "1 1\n"},
                             {"Data0/MyProfile.txt", "1 2\n"}});
     },
     points({1}, {1})},
    {"CaseMismatchesNeverChosen",
     [] {
       return build_archive({{"Data0/profile0.txt", "1 1\n"},
                             {"Data0/Profile0.TXT", "1 2\n"},
                             {"Data0/Profile0.csv", "1 3\n"}});
     },
     failure(LoadErrorKind::MissingArchiveMember, missing)},
    {"StoredMember", [] { return profile_member("1 2\n", ZIP_CM_STORE); },
     points({1}, {2})},
    {"EncryptedPreferredSkipped",
     [] {
       return build_archive(
           {{"Data0/Profile0.txt", "1 1\n", ZIP_CM_STORE, true},
            {"Data1/Profile1.txt", "1 2\n"}});
     },
     points({1}, {2})},
    {"OnlyProfileEncrypted",
     [] {
       return build_archive(
           {{"Data0/Profile0.txt", "1 1\n", ZIP_CM_DEFLATE, true}});
     },
     failure(LoadErrorKind::MissingArchiveMember, missing)},
    {"Bzip2PreferredSkipped",
     [] {
       return claims_bzip2(
           build_archive({{"Data0/Profile0.txt", "1 1\n", ZIP_CM_STORE},
                          {"Data1/Profile1.txt", "1 2\n"}}));
     },
     points({1}, {2})},
    {"OnlyProfileBzip2",
     [] { return claims_bzip2(profile_member("1 1\n", ZIP_CM_STORE)); },
     failure(LoadErrorKind::MissingArchiveMember, missing)},
    {"UnreadableLocalHeaderSkipped",
     [] {
       return local_header_lost(
           build_archive({{"Data0/Profile0.txt", "1 1\n"},
                          {"Data1/Profile1.txt", "1 2\n"}}),
           "Data0/Profile0.txt");
     },
     points({1}, {2})},
    {"EmptyMemberLocalHeaderLost",
     [] {
       return local_header_lost(profile_member("", ZIP_CM_STORE), profile_name);
     },
     failure(LoadErrorKind::MissingArchiveMember, missing)},
    {"LocalSignatureWrongSkipped",
     [] { return before_fallback("1 1\n", unpatched, 0, 4, wrong_signature); },
     points({1}, {2})},
    {"EmptyMemberLocalSignatureWrongSkipped",
     [] { return before_fallback("", unpatched, 0, 4, wrong_signature); },
     points({1}, {2})},
    // The 0xFFFFFFFF promises a ZIP64 field; libzip refuses the directory.
    {"LocalHeaderOffsetAllOnesWithoutZip64",
     [] { return before_fallback("1 1\n", 42, unpatched, 4, 0xFFFFFFFF); },
     failure(LoadErrorKind::Zip,
             "invalid Zip archive: Zip archive inconsistent")},
    {"EmptyStoredMemberCrcMismatch",
     [] {
       return patched(profile_member("", ZIP_CM_STORE), profile_name, 16, 14, 4,
                      0x12345678);
     },
     failure(LoadErrorKind::Io, "CRC error")},
    {"EmptyStoredMemberClaimsSize",
     [] {
       return patched(profile_member("", ZIP_CM_STORE), profile_name, 24, 22, 4,
                      8);
     },
     failure(LoadErrorKind::Io, "Zip archive inconsistent")},
    // No compressed bytes, but 8 bytes and their CRC in the directory.
    {"EmptyDeflatedMemberClaimsBytes",
     [] {
       std::string zip = patched(profile_member("1 2\n3 4\n", ZIP_CM_STORE),
                                 profile_name, 10, 8, 2, ZIP_CM_DEFLATE);
       return patched(std::move(zip), profile_name, 20, 18, 4, 0);
     },
     failure(LoadErrorKind::Io, "CRC error")},
    {"LineAtTheCap", [] { return line_of(std::size_t{16} << 20); },
     points({1}, {2}), false},
    {"LineOverTheCap", [] { return line_of((std::size_t{16} << 20) + 1); },
     failure(LoadErrorKind::Io, "line too long"), false},
    // A directory larger than the reader's read-ahead, which libzip reads
    // entry by entry, and many local headers close together.
    {"ManyMembersProfileLast",
     [] {
       std::vector<Member> members(3000, Member{"", "x", ZIP_CM_STORE});
       for (std::size_t i = 0; i < members.size(); ++i) {
         members[i].name = std::to_string(i);
       }
       members.push_back({"Data0/Profile0.txt", "1 2\n"});
       return build_archive(members);
     },
     points({1}, {2})},
    // More than 65535 members take ZIP64 end records, which lead the reader
    // to the local headers as well.
    {"Zip64LocalSignatureWrongSkipped",
     [] {
       std::vector<Member> members(70000, Member{"", "", ZIP_CM_STORE});
       for (std::size_t i = 0; i < members.size(); ++i) {
         members[i].name = std::to_string(i);
       }
       members.front() = {profile_name, "1 1\n", ZIP_CM_STORE};
       members.push_back({"Data1/Profile1.txt", "1 2\n"});
       std::string zip = patched(build_archive(members), profile_name,
                                 unpatched, 0, 4, wrong_signature);
       EXPECT_NE(zip.find(std::string_view("PK\x06\x06", 4)),
                 std::string::npos);
       return zip;
     },
     points({1}, {2}), false},
    {"EmptyArchive", [] { return empty_archive; },
     failure(LoadErrorKind::MissingArchiveMember, missing)},
    {"NoProfileName",
     [] {
       return build_archive({{"root.xml", "1 2\n"}});
     },
     failure(LoadErrorKind::MissingArchiveMember, missing)},
    {"EmptyInput", [] { return std::string(); },
     failure(LoadErrorKind::Zip, "invalid Zip archive: Not a zip archive")},
    {"TextInput", [] { return std::string("10 20\n11 21\n"); },
     failure(LoadErrorKind::Zip, "invalid Zip archive: Not a zip archive")},
    {"TruncatedEndRecord",
     [] {
       std::string zip = profile_member("1 2\n");
       zip.resize(zip.size() - 10);
       return zip;
     },
     failure(LoadErrorKind::Zip, "invalid Zip archive: Not a zip archive")},
    {"MultiDisk", [] { return end_record_patched(4, 1); },
     failure(LoadErrorKind::Zip,
             "unsupported Zip archive: Multi-disk zip archives not supported")},
    {"CrcMismatch",
     [] {
       std::string zip = profile_member("1 2\n3 4\n", ZIP_CM_STORE);
       zip[find_bytes(zip, "3 4\n")] = '5';
       return zip;
     },
     failure(LoadErrorKind::Io, "CRC error")},
    {"InvalidUtf8", [] { return profile_member("1 2\n\xB0\n3 4\n"); },
     failure(LoadErrorKind::Io, "stream did not contain valid UTF-8")},
    {"ThreeColumnsTabSeparated",
     [] { return profile_member("10.5\t1234\t1.0\n"); },
     points({10.5}, {1234})},
    {"CrLfLikeLf", [] { return profile_member("1 2\r\n3 4\r\n5 6"); },
     points({1, 3, 5}, {2, 4, 6})},
    {"NonDataLinesSkipped",
     [] {
       return profile_member("\n  \n5\nword\n# two words\n10,0 20,0\n1 x\n"
                             "x 1\n1 2 # note\n  7\t8  \n");
     },
     points({1, 7}, {2, 8})},
    {"NoDataLines", [] { return profile_member("# header\n\n"); },
     points({}, {})},
};

INSTANTIATE_TEST_SUITE_P(
    Rasx, RasxArchive,
    ::testing::Combine(::testing::ValuesIn(archive_cases),
                       ::testing::Values(SourceKind::File, SourceKind::Buffer)),
    [](const auto &row) {
      return std::get<0>(row.param).name + "_" +
             kind_name(std::get<1>(row.param));
    });

// A profile far longer than one read block, deflated, comes through whole.
TEST(Rasx, LongProfileStreams) {
  std::string text;
  std::vector<double> x;
  std::vector<double> y;
  for (int i = 0; i < 20000; ++i) {
    text += std::to_string(i) + ".25\t" + std::to_string(2 * i) + "\t1\r\n";
    x.push_back(i + 0.25);
    y.push_back(2.0 * i);
  }
  const std::string zip = profile_member(text);
  ASSERT_GT(text.size(), 8 * line_buffer_size);
  for (SourceKind kind : {SourceKind::File, SourceKind::Buffer}) {
    SCOPED_TRACE(kind_name(kind));
    expect_outcome(load(zip, kind), points(x, y));
  }
}

// Whole ASCII lines of a classified block take a fast path; over random
// profile lines, on every path, it must give the general rule's bits: the
// first two tokens, when both are numbers, are a point. The non-ASCII piece
// comes last, and only in the first half, so that the later blocks are ASCII.
TEST(Rasx, FastPathAgreesWithGeneralRule) {
  const std::vector<std::string> pieces = {"0",
                                           "10.25",
                                           "-1.5",
                                           "+.5",
                                           "5.",
                                           "1e3",
                                           "abc",
                                           "#",
                                           "nan",
                                           "12345678.",
                                           "1234567.89",
                                           ".",
                                           "-",
                                           "\t",
                                           " ",
                                           "1,5",
                                           std::string(70, ' '),
                                           std::string(30, '4'),
                                           "\xC2\xA0"};
  std::mt19937 random(4242);
  std::string text = "\xEF\xBB\xBF";
  std::vector<double> x;
  std::vector<double> y;
  for (int line = 0; line < 20000; ++line) {
    std::string data;
    const std::size_t count = random() % 6;
    for (std::size_t i = 0; i < count; ++i) {
      data += pieces[random() % (pieces.size() - (line < 10000 ? 0 : 1))];
      if (random() % 3 != 0) {
        data += random() % 2 ? " " : "\t";
      }
    }
    const std::vector<std::string_view> tokens =
        whitespace_tokens(trim_line(data));
    if (tokens.size() >= 2) {
      const std::optional<double> position = parse_value(tokens[0]);
      const std::optional<double> intensity = parse_value(tokens[1]);
      if (position && intensity) {
        x.push_back(*position);
        y.push_back(*intensity);
      }
    }
    text += data + (random() % 2 ? "\r\n" : "\n");
  }
  const std::string zip = profile_member(text, ZIP_CM_STORE);
  for_each_path([&] {
    const LoadResult got =
        read_rasx(ByteSource::buffer(zip, testing::interrupt_check));
    ASSERT_TRUE(got.ok()) << describe(got);
    ASSERT_EQ(got->x.size(), x.size());
    EXPECT_EQ(std::memcmp(got->x.data(), x.data(), x.size() * 8), 0);
    EXPECT_EQ(std::memcmp(got->y.data(), y.data(), y.size() * 8), 0);
  });
}

// The interrupt check is asked from the directory's first read to the
// member's last, between members too, and one stop is never lost. Like the
// signal handlers, the check says stop once, then carries on. Meanwhile a
// File source holds its one descriptor and libzip opens none.
int checks_until_stop = 0;
int checks = 0;
std::optional<int> most_files;

bool stop_once() {
  ++checks;
  if (const std::optional<int> now = testing::open_file_count()) {
    most_files = std::max(most_files.value_or(0), *now);
  }
  return --checks_until_stop == 0;
}

TEST(Rasx, InterruptCheckStopsEveryStage) {
  std::vector<Member> members;
  for (int i = 0; i < 50; ++i) {
    // Appended: GCC 12 warns wrongly about "m" + ... (-Wrestrict).
    std::string name("m");
    name += std::to_string(i);
    name += ".txt";
    members.push_back({name, "", ZIP_CM_STORE});
  }
  std::string text;
  for (int i = 0; i < 20000; ++i) {
    text += std::to_string(i) + " 1\n";
  }
  members.push_back({"Data0/Profile0.txt", text});
  const std::string zip = build_archive(members);
  testing::TempFile file("archive.rasx", zip);
  for (SourceKind kind : {SourceKind::File, SourceKind::Buffer}) {
    SCOPED_TRACE(kind_name(kind));
    const auto read = [&] {
      if (kind == SourceKind::Buffer) {
        return read_rasx(ByteSource::buffer(zip, stop_once));
      }
      auto opened = FileHandle::open_read_only(file.path());
      return opened.ok()
                 ? read_rasx(ByteSource::file(std::move(*opened), stop_once))
                 : LoadError::io(opened.error());
    };
    const std::optional<int> before = testing::open_file_count();
    checks_until_stop = -1;
    checks = 0;
    most_files.reset();
    const LoadResult whole = read();
    ASSERT_TRUE(whole.ok()) << describe(whole);
    EXPECT_EQ(whole->x.size(), 20000u);
    if (before) {
      EXPECT_EQ(most_files, *before + (kind == SourceKind::File ? 1 : 0));
    }
    EXPECT_EQ(testing::open_file_count(), before);
    // The listing asks once for each member, the reads ask more.
    const int total = checks;
    ASSERT_GT(total, 51);
    for (int stop = 1; stop <= total; ++stop) {
      checks_until_stop = stop;
      const LoadResult stopped = read();
      ASSERT_FALSE(stopped.ok()) << "stop at check " << stop;
      EXPECT_EQ(stopped.error(), LoadError::io(IoError::interrupted()))
          << "stop at check " << stop;
    }
  }
}

// The system no longer knows the file: it was closed.
bool is_closed(platform::NativeFile file) {
#if defined(_WIN32)
  DWORD flags = 0;
  return !GetHandleInformation(file, &flags) &&
         GetLastError() == ERROR_INVALID_HANDLE;
#else
  errno = 0;
  return ::fcntl(file, F_GETFD) == -1 && errno == EBADF;
#endif
}

TEST(Rasx, ClosesFileOnEveryPath) {
  const std::string inputs[] = {profile_member("1 2\n"), "not a zip",
                                empty_archive};
  for (const std::string &bytes : inputs) {
    testing::TempFile file("archive.rasx", bytes);
    const std::optional<int> before = testing::open_file_count();
    auto opened = FileHandle::open_read_only(file.path());
    ASSERT_TRUE(opened.ok());
    const platform::NativeFile handle = (*opened).get();
    (void)read_rasx(ByteSource::file(std::move(*opened)));
    EXPECT_EQ(testing::open_file_count(), before);
    EXPECT_TRUE(is_closed(handle));
  }
}

// Paths that are not regular files fail as reading them does: libzip alone
// would call each an unsupported archive.
TEST(Rasx, FilesThatAreNotRegular) {
  struct Case {
    std::string path;
    int flags;
    std::string message;
  };
#if defined(_WIN32)
  // Windows opens no directory as a file (Dispatch checks the refusal) and
  // has no FIFO among its files; NUL is its empty device.
  const Case cases[] = {
      {"NUL", 0, "invalid Zip archive: Not a zip archive"},
  };
  const auto open = [](const Case &c) {
    auto opened = FileHandle::open_read_only(c.path);
    return opened.ok() ? std::move(*opened) : FileHandle();
  };
#else
  const std::string fifo = ::testing::TempDir() + "difral_rasx_fifo";
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const Case cases[] = {
      {::testing::TempDir(), O_RDONLY,
       "i/o error: " + IoError::from_os_code(EISDIR).message()},
      // Opened without waiting for a writer; it cannot seek in any case.
      {fifo, O_RDONLY | O_NONBLOCK,
       "i/o error: " + IoError::from_os_code(ESPIPE).message()},
      // An empty device is an empty input, as an empty file is.
      {"/dev/null", O_RDONLY, "invalid Zip archive: Not a zip archive"},
  };
  const auto open = [](const Case &c) {
    return FileHandle(::open(c.path.c_str(), c.flags | O_CLOEXEC));
  };
#endif
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    FileHandle handle = open(c);
    ASSERT_TRUE(handle.valid());
    const LoadResult result = read_rasx(ByteSource::file(std::move(handle)));
    ASSERT_FALSE(result.ok()) << describe(result);
    EXPECT_EQ(result.error().kind(), LoadErrorKind::Zip);
    EXPECT_EQ(result.error().message(), c.message);
  }
#if !defined(_WIN32)
  ::unlink(fifo.c_str());
#endif
}

// ---------------------------------------------------------------------------
// Real instrument files.

struct SampleCase {
  std::string name;
  std::string file;
  std::size_t count;
  double first_x;
  double first_y;
};

void PrintTo(const SampleCase &c, std::ostream *out) { *out << c.file; }

class RasxSample : public ::testing::TestWithParam<SampleCase> {};

TEST_P(RasxSample, Loads) {
  const SampleCase &c = GetParam();
  const std::filesystem::path path =
      std::filesystem::path(DIFRAL_SAMPLES) / "rasx" / c.file;
  if (!std::filesystem::exists(path)) {
    GTEST_SKIP() << "no sample " << path;
  }
  const std::string bytes = read_all(path.string());
  for (SourceKind kind : {SourceKind::File, SourceKind::Buffer}) {
    SCOPED_TRACE(kind_name(kind));
    const LoadResult result = load(bytes, kind);
    ASSERT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(result->x.size(), c.count);
    EXPECT_EQ(result->y.size(), c.count);
    EXPECT_FALSE(result->e.has_value());
    ASSERT_FALSE(result->x.empty());
    EXPECT_EQ(result->x.front(), c.first_x);
    EXPECT_EQ(result->y.front(), c.first_y);
  }
}

// Each profile begins with a byte-order mark, which the line reader drops.
const SampleCase sample_cases[] = {
    {"Si", "RM20220915Si01.rasx", 2151, 8.5, 591},
    {"ReciprocalSpaceMap", "RSM_111_sdd=350.rasx", 301, 36.544, 0},
    {"TwoTheta", "TwoTheta_scan_powder.rasx", 2726, 10.0, 170.55354309082},
    {"ZnO", "ZnO-ALD-training_001_1_0-000_0-000.rasx", 7001, 20.0, 253},
};

INSTANTIATE_TEST_SUITE_P(Rasx, RasxSample, ::testing::ValuesIn(sample_cases),
                         [](const auto &row) { return row.param.name; });

} // namespace
} // namespace difral
