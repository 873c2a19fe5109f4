// SPDX-License-Identifier: MIT
#include "core/load_error.h"
#include "core/load_result.h"
#include "core/platform.h"

#include <gtest/gtest.h>

#include <ostream>

#include <cerrno>
#include <stdexcept>

namespace difral {
namespace {

struct MessageCase {
  std::string name;
  LoadError error;
  LoadErrorKind kind;
  std::string message;
};

// Rows print as their name in test listings.
[[maybe_unused]] void PrintTo(const MessageCase &row, std::ostream *out) {
  *out << ::testing::PrintToString(std::string(row.name));
}

class LoadErrorMessages : public ::testing::TestWithParam<MessageCase> {};

TEST_P(LoadErrorMessages, KindAndText) {
  EXPECT_EQ(GetParam().error.kind(), GetParam().kind);
  EXPECT_EQ(GetParam().error.message(), GetParam().message);
}

const std::vector<MessageCase> message_cases = {
#if !defined(_WIN32)
    // Windows words its texts otherwise than Wine: SystemTextThenCode checks
    // their form there.
    {"OsError", LoadError::io(IoError::from_os_code(ENOENT)), LoadErrorKind::Io,
     "No such file or directory (os error 2)"},
    {"PermissionDenied", LoadError::io(IoError::from_os_code(EACCES)),
     LoadErrorKind::Io, "Permission denied (os error 13)"},
    {"ZipIo", LoadError::zip(ZipError::io(IoError::from_os_code(EIO))),
     LoadErrorKind::Zip, "i/o error: Input/output error (os error 5)"},
#endif
    {"UnknownOsCode", LoadError::io(IoError::from_os_code(0x20000001)),
     LoadErrorKind::Io, "Unknown error 536870913 (os error 536870913)"},
    {"InvalidUtf8", LoadError::io(IoError::invalid_utf8()), LoadErrorKind::Io,
     "stream did not contain valid UTF-8"},
    {"OwnText", LoadError::io(IoError::with_text("inflate failed")),
     LoadErrorKind::Io, "inflate failed"},
    {"ZipInvalid", LoadError::zip(ZipError::invalid("Not a zip archive")),
     LoadErrorKind::Zip, "invalid Zip archive: Not a zip archive"},
    {"ZipUnsupported",
     LoadError::zip(ZipError::unsupported("Compression method not supported")),
     LoadErrorKind::Zip,
     "unsupported Zip archive: Compression method not supported"},
    {"ZipNotFound", LoadError::zip(ZipError::not_found()), LoadErrorKind::Zip,
     "specified file not found in archive"},
    {"Parse", LoadError::parse("Invalid step"), LoadErrorKind::Parse,
     "Invalid step"},
    {"Unknown", LoadError::unknown_format(), LoadErrorKind::UnknownFormat,
     "Unknown format"},
    {"Missing", LoadError::missing_archive_member("Profile*.txt"),
     LoadErrorKind::MissingArchiveMember,
     "File not found in archive: Profile*.txt"},
};

INSTANTIATE_TEST_SUITE_P(Kinds, LoadErrorMessages,
                         ::testing::ValuesIn(message_cases),
                         [](const auto &row) { return row.param.name; });

// The system's words, then the code, with nothing between them: Windows
// ends its texts with a line break.
TEST(IoError, SystemTextThenCode) {
  for (const int code :
       {ENOENT, platform::closed_file_code, platform::invalid_offset_code}) {
    const std::string message = IoError::from_os_code(code).message();
    const std::string suffix = " (os error " + std::to_string(code) + ")";
    ASSERT_GT(message.size(), suffix.size()) << message;
    EXPECT_EQ(message.substr(message.size() - suffix.size()), suffix);
    EXPECT_EQ(message.find_first_of("\r\n"), std::string::npos) << message;
    EXPECT_NE(message[message.size() - suffix.size() - 1], ' ') << message;
  }
}

TEST(LoadErrorKind, DeclarationOrder) {
  EXPECT_EQ(static_cast<int>(LoadErrorKind::Io), 0);
  EXPECT_EQ(static_cast<int>(LoadErrorKind::Zip), 1);
  EXPECT_EQ(static_cast<int>(LoadErrorKind::Parse), 2);
  EXPECT_EQ(static_cast<int>(LoadErrorKind::UnknownFormat), 3);
  EXPECT_EQ(static_cast<int>(LoadErrorKind::MissingArchiveMember), 4);
}

TEST(LoadResult, HoldsExactlyOne) {
  LoadResult good = Pattern({1.0}, {2.0});
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(good->x, std::vector<double>{1.0});
  EXPECT_FALSE(good->e.has_value());
  LoadResult bad = LoadError::unknown_format();
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind(), LoadErrorKind::UnknownFormat);
  // The other way round is a broken invariant, which the Python layer
  // raises as PanicException.
  EXPECT_THROW((void)*bad, std::logic_error);
  EXPECT_THROW((void)bad->x, std::logic_error);
  EXPECT_THROW((void)good.error(), std::logic_error);
}

TEST(Pattern, MovesWithoutCopyingStorage) {
  Pattern from({1.0, 2.0}, {3.0, 4.0}, std::vector<double>{5.0, 6.0});
  const double *storage = from.x.data();
  Pattern to = std::move(from);
  EXPECT_EQ(to.x.data(), storage);
  static_assert(!std::is_copy_constructible_v<Pattern>);
  static_assert(std::is_nothrow_move_constructible_v<Pattern>);
}

} // namespace
} // namespace difral
