// SPDX-License-Identifier: MIT
#include "formats/rasx.h"

#include "core/growth.h"
#include "formats/archive.h"
#include "text/line_reader.h"
#include "text/short_decimal.h"
#include "text/text.h"

#include <zip.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace difral {
namespace {

// No profile line comes near this; a member that inflates to one endless
// line (a decompression bomb) fails instead of being gathered whole.
constexpr std::size_t max_profile_line = std::size_t{16} << 20;

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
// A member that cannot be opened, or whose local header cannot be read or
// has the wrong signature, is left out without a trace. Only an
// interruption, asked for between members too, ends the listing.
Result<std::vector<std::string>, LoadError>
list_member_names(ArchiveSource &storage, zip_t *archive) {
  const std::optional<std::vector<std::uint64_t>> locals =
      local_header_offsets(storage, archive);
  std::vector<std::string> names;
  const zip_int64_t count = zip_get_num_entries(archive, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    if (storage.stop_requested()) {
      return LoadError::io(IoError::interrupted());
    }
    const auto index = static_cast<zip_uint64_t>(i);
    // A failure to allocate says nothing about the member: it is not a
    // reason to leave the member out.
    const auto failed = [archive] {
      if (zip_error_code_zip(zip_get_error(archive)) == ZIP_ER_MEMORY) {
        throw std::bad_alloc();
      }
      return true;
    };
    zip_error_clear(archive);
    zip_stat_t stat;
    zip_stat_init(&stat);
    if ((zip_stat_index(archive, index, 0, &stat) != 0 && failed()) ||
        !readable_method(stat)) {
      continue;
    }
    // The local header is read here, or else by libzip while it opens the
    // member, which it can do only for a member with compressed bytes.
    if (locals ? !local_header_sound(storage,
                                     (*locals)[static_cast<std::size_t>(i)])
               : !ZipMember(zip_fopen_index(archive, index, 0)) && failed()) {
      continue;
    }
    names.emplace_back(stat.name);
  }
  if (storage.was_interrupted()) {
    return LoadError::io(IoError::interrupted());
  }
  return names;
}

// A member's uncompressed data as a byte stream, its end checked against the
// directory. libzip checks the CRC-32 and the size of what it inflates, but
// hands out a member without compressed bytes as empty, unchecked: the same
// two checks, in libzip's order, are made here, so that every member's end
// is checked. The CRC-32 of no bytes is 0; libzip has checked any other.
class MemberStream final : public ByteStream {
public:
  MemberStream(zip_file_t *file, const zip_stat_t &stat,
               const ArchiveSource &storage) noexcept
      : file_(file), storage_(&storage),
        size_((stat.valid & ZIP_STAT_SIZE) != 0 ? stat.size : 0),
        crc_((stat.valid & ZIP_STAT_CRC) != 0 ? stat.crc : 0) {}

  ReadOutcome read(std::span<std::byte> dest) override {
    const zip_int64_t count = zip_fread(file_, dest.data(), dest.size());
    if (count > 0) {
      delivered_ += static_cast<std::uint64_t>(count);
      return static_cast<std::size_t>(count);
    }
    if (count < 0) {
      return storage_->was_interrupted()
                 ? IoError::interrupted()
                 : to_io_error(zip_file_get_error(file_));
    }
    if (delivered_ == 0 && crc_ != 0) {
      return IoError::with_text(zip_code_text(ZIP_ER_CRC));
    }
    if (delivered_ != size_) {
      return IoError::with_text(zip_code_text(ZIP_ER_INCONS));
    }
    return std::size_t{0};
  }

private:
  zip_file_t *file_;
  const ArchiveSource *storage_;
  std::uint64_t size_;
  std::uint32_t crc_;
  std::uint64_t delivered_ = 0;
};

// The points of a profile: a position and an intensity each.
using Points = PointSink<2>;

void add_point(double position, double intensity, Points &points,
               const LineReader &reader) {
  points[0].push_back(position);
  points[1].push_back(intensity);
  if (points.full()) {
    points.flush(reader.consumed());
  }
}

// Data lines are a position and an intensity; later columns, and every line
// that does not start with two numbers, are ignored. member_size guesses the
// number of points.
LoadResult read_profile(MemberStream &stream, std::uint64_t member_size) {
  LineReader reader(stream, max_profile_line);
  Points points(member_size, 0);
  std::optional<IoError> failure = reader.read(
      [&](const BlockLine &line) {
        LineTokens<false> walk(line);
        std::size_t starts[2];
        std::size_t stops[2];
        double position;
        double intensity;
        if (walk.next(starts[0], stops[0]) && walk.next(starts[1], stops[1]) &&
            detail::token_value(line.data, starts[0], stops[0], position) &&
            detail::token_value(line.data, starts[1], stops[1], intensity)) {
          add_point(position, intensity, points, reader);
        }
        return true;
      },
      [&](std::string_view text) {
        std::array<std::string_view, 2> tokens;
        if (whitespace_tokens(trim_line(text), tokens.data(), tokens.size()) ==
            2) {
          const std::optional<double> position = parse_value(tokens[0]);
          const std::optional<double> intensity = parse_value(tokens[1]);
          if (position && intensity) {
            add_point(*position, *intensity, points, reader);
          }
        }
        return true;
      });
  if (failure) {
    return LoadError::io(std::move(*failure));
  }
  points.flush(reader.consumed());
  return Pattern(std::move(points.column(0)), std::move(points.column(1)));
}

} // namespace

Result<std::string, LoadError>
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
  // Declared first, so that it outlives the archive that reads through it;
  // the file is closed when it goes.
  ArchiveSource storage(std::move(source));
  Result<ZipArchive, LoadError> opened = storage.open();
  if (!opened.ok()) {
    return std::move(opened.error());
  }
  const ZipArchive archive = std::move(*opened);

  Result<std::vector<std::string>, LoadError> names =
      list_member_names(storage, archive.get());
  if (!names.ok()) {
    return std::move(names.error());
  }
  Result<std::string, LoadError> chosen = choose_profile_member(*names);
  if (!chosen.ok()) {
    return std::move(chosen.error());
  }

  const zip_int64_t index = zip_name_locate(archive.get(), chosen->c_str(), 0);
  if (index < 0) {
    return archive_failure(storage, zip_get_error(archive.get()));
  }
  zip_stat_t stat;
  zip_stat_init(&stat);
  const ZipMember member(
      zip_stat_index(archive.get(), static_cast<zip_uint64_t>(index), 0,
                     &stat) == 0
          ? zip_fopen_index(archive.get(), static_cast<zip_uint64_t>(index), 0)
          : nullptr);
  if (!member) {
    return archive_failure(storage, zip_get_error(archive.get()));
  }
  MemberStream stream(member.get(), stat, storage);
  return detail::read_for_kernel([&] {
    return read_profile(stream,
                        (stat.valid & ZIP_STAT_SIZE) != 0 ? stat.size : 0);
  });
}

} // namespace difral
