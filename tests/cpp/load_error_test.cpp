// SPDX-License-Identifier: MIT
#include "core/load_error.h"
#include "core/load_result.h"

#include <gtest/gtest.h>

#include <ostream>

#include <cerrno>

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

INSTANTIATE_TEST_SUITE_P(
    Kinds, LoadErrorMessages,
    ::testing::ValuesIn(std::vector<MessageCase>{
        {"OsError", LoadError::io(IoError::from_os_code(ENOENT)),
         LoadErrorKind::Io, "No such file or directory (os error 2)"},
        {"PermissionDenied", LoadError::io(IoError::from_os_code(EACCES)),
         LoadErrorKind::Io, "Permission denied (os error 13)"},
        {"InvalidUtf8", LoadError::io(IoError::invalid_utf8()),
         LoadErrorKind::Io, "stream did not contain valid UTF-8"},
        {"OwnText", LoadError::io(IoError::with_text("inflate failed")),
         LoadErrorKind::Io, "inflate failed"},
        {"ZipIo", LoadError::zip(ZipError::io(IoError::from_os_code(EIO))),
         LoadErrorKind::Zip, "i/o error: Input/output error (os error 5)"},
        {"ZipInvalid", LoadError::zip(ZipError::invalid("Not a zip archive")),
         LoadErrorKind::Zip, "invalid Zip archive: Not a zip archive"},
        {"ZipUnsupported",
         LoadError::zip(
             ZipError::unsupported("Compression method not supported")),
         LoadErrorKind::Zip,
         "unsupported Zip archive: Compression method not supported"},
        {"ZipNotFound", LoadError::zip(ZipError::not_found()),
         LoadErrorKind::Zip, "specified file not found in archive"},
        {"Parse", LoadError::parse("Invalid step"), LoadErrorKind::Parse,
         "Invalid step"},
        {"Unknown", LoadError::unknown_format(), LoadErrorKind::UnknownFormat,
         "Unknown format"},
        {"Missing", LoadError::missing_archive_member("Profile*.txt"),
         LoadErrorKind::MissingArchiveMember,
         "File not found in archive: Profile*.txt"},
    }),
    [](const auto &row) { return row.param.name; });

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
