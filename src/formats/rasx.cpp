// SPDX-License-Identifier: MIT
#include "formats/rasx.h"

#include "text/line_reader.h"
#include "text/short_decimal.h"
#include "text/text.h"

#include <zip.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace difral {
namespace {

// No profile line comes near this; a member that inflates to one endless
// line (a decompression bomb) fails instead of being gathered whole.
constexpr std::size_t max_profile_line = std::size_t{16} << 20;

// Read-only archives are discarded, never closed: nothing is written back.
struct ZipDiscard {
  void operator()(zip_t *archive) const noexcept { zip_discard(archive); }
};
using ZipArchive = std::unique_ptr<zip_t, ZipDiscard>;

struct ZipFileClose {
  void operator()(zip_file_t *file) const noexcept { zip_fclose(file); }
};
using ZipMember = std::unique_ptr<zip_file_t, ZipFileClose>;

// Owned only until zip_open_from_source succeeds; the archive frees it then.
struct ZipSourceFree {
  void operator()(zip_source_t *source) const noexcept {
    zip_source_free(source);
  }
};
using ZipSource = std::unique_ptr<zip_source_t, ZipSourceFree>;

// Owned only until zip_source_filep_create succeeds.
struct StdioClose {
  void operator()(std::FILE *file) const noexcept { std::fclose(file); }
};
using StdioFile = std::unique_ptr<std::FILE, StdioClose>;

// A zip_error_t that is released on every path.
class ZipErrorValue {
public:
  ZipErrorValue() noexcept { zip_error_init(&error_); }
  explicit ZipErrorValue(int code) noexcept {
    zip_error_init_with_code(&error_, code);
  }
  ZipErrorValue(const ZipErrorValue &) = delete;
  ZipErrorValue &operator=(const ZipErrorValue &) = delete;
  ~ZipErrorValue() { zip_error_fini(&error_); }

  zip_error_t *get() noexcept { return &error_; }

private:
  zip_error_t error_;
};

// libzip's own message for a code, without any system part.
std::string zip_code_text(int code) {
  ZipErrorValue error(code);
  return zip_error_strerror(error.get());
}

// The errno that libzip recorded with an error, or 0.
int system_errno(const zip_error_t *error) noexcept {
  return zip_error_system_type(error) == ZIP_ET_SYS
             ? zip_error_code_system(error)
             : 0;
}

// Sorts libzip's failures to open or search an archive into the categories
// the user sees. Running out of memory is not a load failure.
ZipError to_zip_error(zip_error_t *error) {
  const int code = zip_error_code_zip(error);
  switch (code) {
  case ZIP_ER_MEMORY:
    throw std::bad_alloc();
  case ZIP_ER_OPEN:
  case ZIP_ER_READ:
  case ZIP_ER_SEEK:
  case ZIP_ER_TELL:
  case ZIP_ER_CLOSE:
    if (const int os_code = system_errno(error); os_code != 0) {
      return ZipError::io(IoError::from_errno(os_code));
    }
    return ZipError::io(IoError::with_text(zip_code_text(code)));
  case ZIP_ER_MULTIDISK:
  case ZIP_ER_COMPNOTSUPP:
  case ZIP_ER_ENCRNOTSUPP:
  case ZIP_ER_NOPASSWD:
  case ZIP_ER_WRONGPASSWD:
  case ZIP_ER_OPNOTSUPP:
    return ZipError::unsupported(zip_code_text(code));
  case ZIP_ER_NOENT:
    return ZipError::not_found();
  default:
    // Not a zip, inconsistent, CRC in the directory, premature end, bad
    // compressed data, and whatever else libzip can say about the bytes.
    return ZipError::invalid(zip_code_text(code));
  }
}

ZipError to_zip_error(int code) {
  ZipErrorValue error(code);
  return to_zip_error(error.get());
}

// The open archive, or why it could not be opened.
using OpenOutcome = std::variant<ZipArchive, ZipError>;

OpenOutcome open_from_source(ZipSource source) {
  ZipErrorValue error;
  zip_t *archive = zip_open_from_source(source.get(), ZIP_RDONLY, error.get());
  if (archive == nullptr) {
    return to_zip_error(error.get());
  }
  source.release();
  return ZipArchive(archive);
}

// libzip reads from its own duplicate of the descriptor, so the source's
// handle is closed by its owner alone on every path. Going through a stdio
// source rather than zip_fdopen keeps the errno of a failed read.
OpenOutcome open_file(int fd) {
  // libzip reports a directory as an unseekable source ("Operation not
  // supported"); reading it is what fails, so say so.
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    return ZipError::io(IoError::from_errno(errno));
  }
  if (S_ISDIR(status.st_mode)) {
    return ZipError::io(IoError::from_errno(EISDIR));
  }
  FileHandle copy(::dup(fd));
  if (!copy.valid()) {
    return ZipError::io(IoError::from_errno(errno));
  }
  StdioFile stream(::fdopen(copy.get(), "rb"));
  if (!stream) {
    return ZipError::io(IoError::from_errno(errno));
  }
  copy.release();
  ZipErrorValue error;
  zip_source_t *source =
      zip_source_filep_create(stream.get(), 0, -1, error.get());
  if (source == nullptr) {
    return to_zip_error(error.get());
  }
  stream.release();
  return open_from_source(ZipSource(source));
}

// The bytes are borrowed, never copied. An empty buffer would open as an
// empty archive while an empty file is not an archive at all; both refuse.
OpenOutcome open_buffer(std::span<const std::byte> bytes) {
  if (bytes.empty()) {
    return to_zip_error(ZIP_ER_NOZIP);
  }
  ZipErrorValue error;
  zip_source_t *source =
      zip_source_buffer_create(bytes.data(), bytes.size(), 0, error.get());
  if (source == nullptr) {
    return to_zip_error(error.get());
  }
  return open_from_source(ZipSource(source));
}

// Only stored and deflated members without encryption are readable here.
// libzip itself may open more (bzip2, for one), and such a member must stay
// out of the list all the same.
bool readable_method(const zip_stat_t &stat) noexcept {
  constexpr zip_uint64_t needed =
      ZIP_STAT_NAME | ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
  return (stat.valid & needed) == needed &&
         (stat.comp_method == ZIP_CM_STORE ||
          stat.comp_method == ZIP_CM_DEFLATE) &&
         stat.encryption_method == ZIP_EM_NONE;
}

// The names of the members that can be opened, in central-directory order.
// A member that cannot be opened is left out without a trace.
std::vector<std::string> list_member_names(zip_t *archive) {
  std::vector<std::string> names;
  const zip_int64_t count = zip_get_num_entries(archive, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    const auto index = static_cast<zip_uint64_t>(i);
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive, index, 0, &stat) != 0 ||
        !readable_method(stat)) {
      continue;
    }
    // Opening reads the local header, which may be damaged.
    if (ZipMember member(zip_fopen_index(archive, index, 0)); !member) {
      continue;
    }
    names.emplace_back(stat.name);
  }
  return names;
}

// A member's uncompressed data as a byte stream. libzip checks the CRC-32
// when the end is reached, so a mismatch surfaces as the last read failing.
class MemberStream final : public ByteStream {
public:
  MemberStream(zip_file_t *file, InterruptCheck interrupted) noexcept
      : file_(file), interrupted_(interrupted) {}

  ReadOutcome read(std::span<std::byte> dest) override {
    // A member may inflate for a long time: let the caller stop it.
    if (interrupted_ != nullptr && interrupted_()) {
      return {0, IoError::interrupted()};
    }
    const zip_int64_t count = zip_fread(file_, dest.data(), dest.size());
    if (count >= 0) {
      return {static_cast<std::size_t>(count), std::nullopt};
    }
    zip_error_t *error = zip_file_get_error(file_);
    if (zip_error_code_zip(error) == ZIP_ER_MEMORY) {
      throw std::bad_alloc();
    }
    // libzip's read errors are sticky, so an interrupted read cannot be
    // repeated: it keeps libzip's text rather than asking for a retry.
    if (const int os_code = system_errno(error);
        os_code != 0 && os_code != EINTR) {
      return {0, IoError::from_errno(os_code)};
    }
    return {0, IoError::with_text(zip_error_strerror(error))};
  }

private:
  zip_file_t *file_;
  InterruptCheck interrupted_;
};

// A data line of a classified block: its first two tokens, when both are
// numbers, are a point.
void add_point(const BlockView &block, std::size_t begin, std::size_t end,
               std::vector<double> &x, std::vector<double> &y) {
  LineTokens<false> walk(block, begin, end);
  std::size_t starts[2];
  std::size_t stops[2];
  if (!walk.next(starts[0], stops[0]) || !walk.next(starts[1], stops[1])) {
    return;
  }
  double position;
  double intensity;
  if (detail::token_value(block, starts[0], stops[0], position) &&
      detail::token_value(block, starts[1], stops[1], intensity)) {
    x.push_back(position);
    y.push_back(intensity);
  }
}

// Data lines are a position and an intensity; later columns, and every line
// that does not start with two numbers, are ignored.
LoadResult read_profile(zip_file_t *file, InterruptCheck interrupted) {
  MemberStream stream(file, interrupted);
  LineReader reader(stream, max_profile_line);
  const bool fast = detail::rounds_to_nearest();
  std::vector<double> x;
  std::vector<double> y;
  for (;;) {
    std::size_t begin;
    std::size_t end;
    if (fast && reader.next_block_line(begin, end)) {
      add_point(reader.block(), begin, end, x, y);
      continue;
    }
    LineOutcome outcome = reader.next_line();
    if (outcome.status == LineOutcome::Status::Failure) {
      return LoadError::io(std::move(*outcome.error));
    }
    if (outcome.status == LineOutcome::Status::End) {
      break;
    }
    const std::string_view line = trim_line(outcome.line);
    if (line.empty()) {
      continue;
    }
    std::array<std::string_view, 2> tokens;
    if (whitespace_tokens(line, tokens.data(), tokens.size()) < 2) {
      continue;
    }
    const std::optional<double> position = parse_value(tokens[0]);
    const std::optional<double> intensity = parse_value(tokens[1]);
    if (position && intensity) {
      x.push_back(*position);
      y.push_back(*intensity);
    }
  }
  return Pattern(std::move(x), std::move(y));
}

} // namespace

std::variant<std::string, LoadError>
choose_profile_member(const std::vector<std::string> &names) {
  for (const std::string &name : names) {
    if (name == preferred_profile_member) {
      return name;
    }
  }
  for (const std::string &name : names) {
    if (name.find("Profile") != std::string::npos && name.ends_with(".txt")) {
      return name;
    }
  }
  return LoadError::missing_archive_member(std::string(profile_member_pattern));
}

LoadResult read_rasx(ByteSource source) {
  const InterruptCheck interrupted = source.interrupt_check();
  OpenOutcome opened = source.is_file() ? open_file(source.file_handle().get())
                                        : open_buffer(source.bytes());
  // libzip holds its own descriptor now, if it holds one at all.
  source.release();
  if (ZipError *error = std::get_if<ZipError>(&opened)) {
    return LoadError::zip(std::move(*error));
  }
  const ZipArchive archive = std::move(std::get<ZipArchive>(opened));

  std::variant<std::string, LoadError> chosen =
      choose_profile_member(list_member_names(archive.get()));
  if (LoadError *error = std::get_if<LoadError>(&chosen)) {
    return std::move(*error);
  }
  const std::string &name = std::get<std::string>(chosen);

  const zip_int64_t index = zip_name_locate(archive.get(), name.c_str(), 0);
  if (index < 0) {
    return LoadError::zip(to_zip_error(zip_get_error(archive.get())));
  }
  const ZipMember member(
      zip_fopen_index(archive.get(), static_cast<zip_uint64_t>(index), 0));
  if (!member) {
    return LoadError::zip(to_zip_error(zip_get_error(archive.get())));
  }
  return read_profile(member.get(), interrupted);
}

} // namespace difral
