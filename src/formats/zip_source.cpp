// SPDX-License-Identifier: MIT
#include "formats/archive.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace difral {

namespace {

// Owned only until zip_open_from_source succeeds; the archive frees it then.
struct ZipSourceFree {
  void operator()(zip_source_t *source) const noexcept {
    zip_source_free(source);
  }
};
using ZipSource = std::unique_ptr<zip_source_t, ZipSourceFree>;

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

// The system's code that libzip recorded with an error, or 0.
int system_code(const zip_error_t *error) noexcept {
  return zip_error_system_type(error) == ZIP_ET_SYS
             ? zip_error_code_system(error)
             : 0;
}

// A File is read ahead in blocks of this size.
constexpr std::size_t read_ahead = std::size_t{64} << 10;

} // namespace

std::string zip_code_text(int code) {
  ZipErrorValue error(code);
  return zip_error_strerror(error.get());
}

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
    if (const int os_code = system_code(error); os_code != 0) {
      return ZipError::io(IoError::from_os_code(os_code));
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

LoadError archive_failure(const ArchiveSource &storage, zip_error_t *error) {
  if (storage.was_interrupted()) {
    return LoadError::io(IoError::interrupted());
  }
  return LoadError::zip(to_zip_error(error));
}

ArchiveSource::ArchiveSource(ByteSource source) noexcept
    : source_(std::move(source)) {
  zip_error_init(&error_);
}

ArchiveSource::~ArchiveSource() { zip_error_fini(&error_); }

bool ArchiveSource::stop_requested() {
  interrupted_ = interrupted_ || source_.interrupt_requested();
  return interrupted_;
}

bool ArchiveSource::read_exact(std::uint64_t offset,
                               std::span<unsigned char> dest) {
  return read(offset, std::as_writable_bytes(dest)) ==
         static_cast<zip_int64_t>(dest.size());
}

std::optional<std::uint64_t> ArchiveSource::size() {
  if (!size_) {
    const SeekOutcome end = source_.seek(0, SeekFrom::End);
    if (!end.ok()) {
      fail(ZIP_ER_SEEK, end.error());
      return std::nullopt;
    }
    size_ = *end;
  }
  return size_;
}

Result<ZipArchive, LoadError> ArchiveSource::open() {
  // libzip would call a directory an unseekable source ("Operation not
  // supported"); reading it is what fails, so say so.
  if (source_.is_file()) {
    const ReadOutcome probe = source_.read({});
    if (!probe.ok()) {
      if (probe.error().is_interruption()) {
        return LoadError::io(probe.error());
      }
      return LoadError::zip(ZipError::io(probe.error()));
    }
  }
  ZipErrorValue error;
  ZipSource source(zip_source_function_create(callback, this, error.get()));
  if (!source) {
    return LoadError::zip(to_zip_error(error.get()));
  }
  zip_t *archive = zip_open_from_source(source.get(), ZIP_RDONLY, error.get());
  if (archive == nullptr) {
    const int code = zip_error_code_zip(error.get());
    // While the directory is read, libzip says "no such file" only for a
    // ZIP64 field that a 0xFFFFFFFF size or offset promises and that is not
    // there: the directory contradicts itself.
    if (!interrupted_ && code == ZIP_ER_NOENT) {
      return LoadError::zip(ZipError::invalid(zip_code_text(ZIP_ER_INCONS)));
    }
    if (!interrupted_ && code == ZIP_ER_NOZIP) {
      confirm_not_out_of_memory(*this);
    }
    return archive_failure(*this, error.get());
  }
  source.release();
  ZipArchive owned(archive);
  // libzip may have tried another end record after a read failed, and it
  // hashes the names without reading: ask now.
  if (stop_requested()) {
    return LoadError::io(IoError::interrupted());
  }
  return owned;
}

zip_int64_t ArchiveSource::callback(void *self, void *data, zip_uint64_t length,
                                    zip_source_cmd_t command) noexcept {
  auto *source = static_cast<ArchiveSource *>(self);
  try {
    return source->handle(data, length, command);
  } catch (const std::bad_alloc &) {
    // Becomes MemoryError where libzip hands the failure back.
    zip_error_set(&source->error_, ZIP_ER_MEMORY, 0);
  } catch (...) {
    zip_error_set(&source->error_, ZIP_ER_INTERNAL, 0);
  }
  return -1;
}

zip_int64_t ArchiveSource::handle(void *data, zip_uint64_t length,
                                  zip_source_cmd_t command) {
  switch (command) {
  case ZIP_SOURCE_SUPPORTS:
    return ZIP_SOURCE_SUPPORTS_SEEKABLE |
           ZIP_SOURCE_MAKE_COMMAND_BITMASK(ZIP_SOURCE_ACCEPT_EMPTY);
  case ZIP_SOURCE_OPEN:
    position_ = 0;
    return size() ? 0 : -1;
  case ZIP_SOURCE_READ: {
    constexpr zip_uint64_t most = std::numeric_limits<std::ptrdiff_t>::max();
    const zip_int64_t got =
        read(position_, {static_cast<std::byte *>(data),
                         static_cast<std::size_t>(std::min(length, most))});
    position_ += got > 0 ? static_cast<std::uint64_t>(got) : 0;
    return got;
  }
  case ZIP_SOURCE_CLOSE:
  case ZIP_SOURCE_FREE:
    // The source is closed by its owner, after the archive is gone.
    return 0;
  case ZIP_SOURCE_STAT: {
    auto *stat = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &error_);
    const std::optional<std::uint64_t> end = size();
    if (stat == nullptr || !end) {
      return -1;
    }
    zip_stat_init(stat);
    stat->size = *end;
    stat->valid |= ZIP_STAT_SIZE;
    return sizeof *stat;
  }
  case ZIP_SOURCE_ERROR:
    return zip_error_to_data(&error_, data, length);
  case ZIP_SOURCE_SEEK: {
    // Within the input, as for libzip's own sources.
    const zip_int64_t at = zip_source_seek_compute_offset(
        position_, size_.value_or(0), data, length, &error_);
    position_ = at < 0 ? position_ : static_cast<std::uint64_t>(at);
    return at < 0 ? -1 : 0;
  }
  case ZIP_SOURCE_TELL:
    return static_cast<zip_int64_t>(position_);
  case ZIP_SOURCE_ACCEPT_EMPTY:
    // An empty input is not an archive, from a file or from memory.
    return 0;
  default:
    zip_error_set(&error_, ZIP_ER_OPNOTSUPP, 0);
    return -1;
  }
}

zip_int64_t ArchiveSource::read(std::uint64_t offset,
                                std::span<std::byte> dest) {
  if (interrupted_) {
    return fail(ZIP_ER_READ, IoError::interrupted());
  }
  if (!source_.is_file() || dest.size() >= read_ahead) {
    return read_source(offset, dest);
  }
  if (offset < window_start_ || offset - window_start_ > window_.size() ||
      dest.size() > window_.size() - (offset - window_start_)) {
    window_.resize(read_ahead);
    const zip_int64_t got = read_source(offset, window_);
    window_.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    window_start_ = offset;
    if (got < 0) {
      return got;
    }
  }
  // Short only at the end of the input.
  const auto at = static_cast<std::size_t>(offset - window_start_);
  const std::size_t count = std::min(dest.size(), window_.size() - at);
  if (count > 0) {
    std::memcpy(dest.data(), window_.data() + at, count);
  }
  return static_cast<zip_int64_t>(count);
}

zip_int64_t ArchiveSource::read_source(std::uint64_t offset,
                                       std::span<std::byte> dest) {
  std::size_t done = 0;
  while (done < dest.size()) {
    const ReadOutcome got = source_.read_at(offset + done, dest.subspan(done));
    if (!got.ok()) {
      return fail(ZIP_ER_READ, got.error());
    }
    if (*got == 0) {
      break;
    }
    done += *got;
  }
  return static_cast<zip_int64_t>(done);
}

zip_int64_t ArchiveSource::fail(int zip_code, const IoError &error) {
  interrupted_ = interrupted_ || error.is_interruption();
  zip_error_set(&error_, zip_code, error.os_code());
  return -1;
}

IoError to_io_error(zip_error_t *error) {
  if (zip_error_code_zip(error) == ZIP_ER_MEMORY) {
    throw std::bad_alloc();
  }
  if (const int os_code = system_code(error); os_code != 0) {
    return IoError::from_os_code(os_code);
  }
  return IoError::with_text(zip_error_strerror(error));
}

} // namespace difral
