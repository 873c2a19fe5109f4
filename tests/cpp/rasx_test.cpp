// SPDX-License-Identifier: MIT
#include "formats/rasx.h"

#include "classifiers.h"
#include "text/line_reader.h"
#include "text/text.h"

#include <gtest/gtest.h>
#include <zip.h>

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
#include <utility>
#include <variant>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace difral {
namespace {

// A temporary file that is removed when the test is done with it.
class TempFile {
public:
  TempFile() {
    std::string pattern = testing::TempDir() + "difral_rasx_XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd >= 0) {
      ::close(fd);
      path_ = pattern;
    }
  }
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;
  ~TempFile() {
    if (!path_.empty()) {
      std::remove(path_.c_str());
    }
  }
  const std::string &path() const { return path_; }

private:
  std::string path_;
};

std::string read_all(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_all(const std::string &path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
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
  TempFile file;
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
  TempFile file;
  write_all(file.path(), bytes);
  auto opened = FileHandle::open_read_only(file.path());
  if (auto *error = std::get_if<IoError>(&opened)) {
    return LoadError::io(std::move(*error));
  }
  return read_rasx(ByteSource::file(std::get<FileHandle>(std::move(opened))));
}

std::string describe(const LoadResult &result) {
  if (result.ok()) {
    return "a pattern of " + std::to_string(result->x.size()) + " points";
  }
  return "error " + std::to_string(static_cast<int>(result.error().kind())) +
         ": " + result.error().message();
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

class ChooseProfileMember : public testing::TestWithParam<ChoiceCase> {};

TEST_P(ChooseProfileMember, Chooses) {
  const ChoiceCase &c = GetParam();
  auto outcome = choose_profile_member(c.members);
  if (c.chosen) {
    ASSERT_TRUE(std::holds_alternative<std::string>(outcome));
    EXPECT_EQ(std::get<std::string>(outcome), *c.chosen);
  } else {
    ASSERT_TRUE(std::holds_alternative<LoadError>(outcome));
    const LoadError &error = std::get<LoadError>(outcome);
    EXPECT_EQ(error.kind(), LoadErrorKind::MissingArchiveMember);
    EXPECT_EQ(error.payload(), "Profile*.txt");
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
                         testing::ValuesIn(choice_cases),
                         [](const auto &row) { return row.param.name; });

// ---------------------------------------------------------------------------
// Whole archives, each read from a file and from memory with the same result.

struct ArchiveCase {
  std::string name;
  // Builds the archive's bytes.
  std::string (*bytes)();
  Expected expected;
};

void PrintTo(const ArchiveCase &c, std::ostream *out) { *out << c.name; }
void PrintTo(SourceKind kind, std::ostream *out) { *out << kind_name(kind); }

class RasxArchive
    : public testing::TestWithParam<std::tuple<ArchiveCase, SourceKind>> {};

TEST_P(RasxArchive, Loads) {
  const auto &[c, kind] = GetParam();
  const std::string bytes = c.bytes();
  for_each_classifier([&] { expect_outcome(load(bytes, kind), c.expected); });
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

// Points the member's central-directory entry past the end of the archive,
// so its local header cannot be read.
std::string local_header_lost(std::string zip, std::string_view name) {
  constexpr std::string_view central("PK\x01\x02", 4);
  for (std::size_t p = zip.find(central); p != std::string::npos;
       p = zip.find(central, p + 4)) {
    if (std::string_view(zip).substr(p + 46, le16(zip, p + 28)) == name) {
      zip[p + 45] = '\x7f';
    }
  }
  return zip;
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
       return build_archive({{"Data0/Profile0.txt", "1 1\n", ZIP_CM_BZIP2},
                             {"Data1/Profile1.txt", "1 2\n"}});
     },
     points({1}, {2})},
    {"OnlyProfileBzip2", [] { return profile_member("1 1\n", ZIP_CM_BZIP2); },
     failure(LoadErrorKind::MissingArchiveMember, missing)},
    {"UnreadableLocalHeaderSkipped",
     [] {
       return local_header_lost(
           build_archive({{"Data0/Profile0.txt", "1 1\n"},
                          {"Data1/Profile1.txt", "1 2\n"}}),
           "Data0/Profile0.txt");
     },
     points({1}, {2})},
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

INSTANTIATE_TEST_SUITE_P(Rasx, RasxArchive,
                         testing::Combine(testing::ValuesIn(archive_cases),
                                          testing::Values(SourceKind::File,
                                                          SourceKind::Buffer)),
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
// profile lines, with every classifier, it must give the general rule's bits:
// the first two tokens, when both are numbers, are a point.
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
                                           "\xC2\xA0",
                                           "\t",
                                           " ",
                                           "1,5",
                                           std::string(70, ' '),
                                           std::string(30, '4')};
  std::mt19937 random(4242);
  std::string text = "\xEF\xBB\xBF";
  std::vector<double> x;
  std::vector<double> y;
  for (int line = 0; line < 20000; ++line) {
    std::string data;
    const std::size_t count = random() % 6;
    for (std::size_t i = 0; i < count; ++i) {
      data += pieces[random() % pieces.size()];
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
  for_each_classifier([&] {
    const LoadResult got = load(zip, SourceKind::Buffer);
    ASSERT_TRUE(got.ok()) << describe(got);
    ASSERT_EQ(got->x.size(), x.size());
    EXPECT_EQ(std::memcmp(got->x.data(), x.data(), x.size() * 8), 0);
    EXPECT_EQ(std::memcmp(got->y.data(), y.data(), y.size() * 8), 0);
  });
}

std::size_t open_descriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto &entry :
       std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

// The descriptor handed over with a File source is closed when read_rasx
// returns, whether it loads or fails, and libzip keeps none of its own.
int reads_until_stop = 0;

bool stop_after_some_reads() { return --reads_until_stop < 0; }

TEST(Rasx, InterruptCheckStopsTheMemberRead) {
  std::string text;
  for (int i = 0; i < 20000; ++i) {
    text += std::to_string(i) + " 1\n";
  }
  TempFile file;
  write_all(file.path(), profile_member(text));
  const std::size_t before = open_descriptors();
  for (const int reads : {2, 1 << 30}) {
    reads_until_stop = reads;
    auto opened = FileHandle::open_read_only(file.path());
    ASSERT_TRUE(std::holds_alternative<FileHandle>(opened));
    const LoadResult got = read_rasx(ByteSource::file(
        std::move(std::get<FileHandle>(opened)), stop_after_some_reads));
    if (reads == 2) {
      ASSERT_FALSE(got.ok());
      EXPECT_EQ(got.error().kind(), LoadErrorKind::Io);
      EXPECT_EQ(got.error().message(), "operation interrupted");
    } else {
      ASSERT_TRUE(got.ok());
      EXPECT_EQ(got->x.size(), 20000u);
    }
  }
  EXPECT_EQ(open_descriptors(), before);
}

TEST(Rasx, ClosesFileOnEveryPath) {
  const std::string inputs[] = {profile_member("1 2\n"), "not a zip",
                                empty_archive};
  for (const std::string &bytes : inputs) {
    TempFile file;
    write_all(file.path(), bytes);
    const std::size_t before = open_descriptors();
    auto opened = FileHandle::open_read_only(file.path());
    ASSERT_TRUE(std::holds_alternative<FileHandle>(opened));
    const int fd = std::get<FileHandle>(opened).get();
    (void)read_rasx(ByteSource::file(std::get<FileHandle>(std::move(opened))));
    EXPECT_EQ(open_descriptors(), before);
    errno = 0;
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
  }
}

// libzip alone would call a directory an unsupported archive.
TEST(Rasx, DirectoryIsReadFailure) {
  auto opened = FileHandle::open_read_only(testing::TempDir());
  ASSERT_TRUE(std::holds_alternative<FileHandle>(opened));
  const LoadResult result =
      read_rasx(ByteSource::file(std::get<FileHandle>(std::move(opened))));
  ASSERT_FALSE(result.ok()) << describe(result);
  EXPECT_EQ(result.error().kind(), LoadErrorKind::Zip);
  EXPECT_EQ(result.error().message(),
            "i/o error: " + IoError::from_errno(EISDIR).message());
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

class RasxSample : public testing::TestWithParam<SampleCase> {};

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

INSTANTIATE_TEST_SUITE_P(Rasx, RasxSample, testing::ValuesIn(sample_cases),
                         [](const auto &row) { return row.param.name; });

} // namespace
} // namespace difral
