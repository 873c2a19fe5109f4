// SPDX-License-Identifier: MIT
#include "formats/rasx.h"

#include "text/line_reader.h"
#include "text/short_decimal.h"
#include "text/text.h"

#include <zip.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace difral {
namespace {

// No profile line comes near this; a member that inflates to one endless
// line (a decompression bomb) fails instead of being gathered whole.
constexpr std::size_t max_profile_line = std::size_t{16} << 20;

// The fixed part of a local header, and its signature.
constexpr std::size_t local_header_size = 30;
constexpr std::string_view local_header_magic("PK\x03\x04", 4);

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

// The system's code that libzip recorded with an error, or 0.
int system_code(const zip_error_t *error) noexcept {
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

// libzip reads the archive through this callback source, and so through the
// ByteSource's own read: the same interrupt check and EINTR handling as every
// other format, for a File and a Buffer alike, and no second descriptor. The
// input's end is found by seeking the source, so that a FIFO fails as it
// truly does (ESPIPE) rather than being called unsupported, and a device is
// as long as its end says. Like stdio, the source keeps its own position and
// reads a File ahead in blocks: libzip reads a large directory a few bytes
// at a time.
class ArchiveSource {
public:
  explicit ArchiveSource(ByteSource source) noexcept
      : source_(std::move(source)) {
    zip_error_init(&error_);
  }
  ArchiveSource(const ArchiveSource &) = delete;
  ArchiveSource &operator=(const ArchiveSource &) = delete;
  ~ArchiveSource() { zip_error_fini(&error_); }

  ByteSource &source() noexcept { return source_; }
  // A read was stopped by the interrupt check. libzip keeps only a system code,
  // and an interruption has none, so it is remembered here; every later read
  // fails at once, without asking the check again.
  bool was_interrupted() const noexcept { return interrupted_; }
  // Asks the interrupt check between reads, for work that reads little.
  bool stop_requested() {
    interrupted_ = interrupted_ || source_.interrupt_requested();
    return interrupted_;
  }
  // Exactly dest.size() bytes at offset, or false: a short read fails.
  bool read_at(std::uint64_t offset, std::span<unsigned char> dest) {
    position_ = offset;
    return read(reinterpret_cast<std::byte *>(dest.data()), dest.size()) ==
           static_cast<zip_int64_t>(dest.size());
  }
  // Where the input ends, by seeking the source there once.
  std::optional<std::uint64_t> size();

  static zip_int64_t callback(void *self, void *data, zip_uint64_t length,
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

private:
  static constexpr std::size_t read_ahead = std::size_t{64} << 10;

  zip_int64_t handle(void *data, zip_uint64_t length, zip_source_cmd_t command);
  zip_int64_t read(std::byte *dest, zip_uint64_t length);
  zip_int64_t seek(const zip_source_args_seek_t &args);
  // Reads up to size bytes at position_ from the source itself.
  zip_int64_t read_source(std::byte *dest, std::size_t size);
  zip_int64_t fail(int zip_code, const IoError &error) {
    interrupted_ = interrupted_ || error == IoError::interrupted();
    zip_error_set(&error_, zip_code, error.os_code());
    return -1;
  }

  ByteSource source_;
  zip_error_t error_;
  bool interrupted_ = false;
  std::uint64_t position_ = 0;
  std::optional<std::uint64_t> size_;
  // The bytes of a File from window_start_ on, read ahead.
  std::vector<std::byte> window_;
  std::uint64_t window_start_ = 0;
};

zip_int64_t ArchiveSource::handle(void *data, zip_uint64_t length,
                                  zip_source_cmd_t command) {
  switch (command) {
  case ZIP_SOURCE_SUPPORTS:
    return ZIP_SOURCE_SUPPORTS_SEEKABLE |
           ZIP_SOURCE_MAKE_COMMAND_BITMASK(ZIP_SOURCE_ACCEPT_EMPTY);
  case ZIP_SOURCE_OPEN:
    position_ = 0;
    return size() ? 0 : -1;
  case ZIP_SOURCE_READ:
    return read(static_cast<std::byte *>(data), length);
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
    auto *args =
        ZIP_SOURCE_GET_ARGS(zip_source_args_seek_t, data, length, &error_);
    return args == nullptr ? -1 : seek(*args);
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

// Past the end is allowed, as for a file; before the start is not.
zip_int64_t ArchiveSource::seek(const zip_source_args_seek_t &args) {
  std::uint64_t base = 0;
  switch (args.whence) {
  case SEEK_SET:
    break;
  case SEEK_CUR:
    base = position_;
    break;
  case SEEK_END:
    if (const std::optional<std::uint64_t> end = size()) {
      base = *end;
      break;
    }
    return -1;
  default:
    zip_error_set(&error_, ZIP_ER_INVAL, 0);
    return -1;
  }
  constexpr auto most =
      static_cast<std::uint64_t>(std::numeric_limits<zip_int64_t>::max());
  const auto magnitude =
      args.offset < 0 ? static_cast<std::uint64_t>(-(args.offset + 1)) + 1
                      : static_cast<std::uint64_t>(args.offset);
  if (args.offset < 0 ? magnitude > base
                      : base > most || magnitude > most - base) {
    zip_error_set(&error_, ZIP_ER_INVAL, 0);
    return -1;
  }
  position_ = args.offset < 0 ? base - magnitude : base + magnitude;
  return 0;
}

// Fills dest up to length bytes, or to the end of the input.
zip_int64_t ArchiveSource::read(std::byte *dest, zip_uint64_t length) {
  if (interrupted_) {
    return fail(ZIP_ER_READ, IoError::interrupted());
  }
  constexpr zip_uint64_t most = std::numeric_limits<std::ptrdiff_t>::max();
  const auto wanted = static_cast<std::size_t>(std::min(length, most));
  if (!source_.is_file() || wanted >= read_ahead) {
    return read_source(dest, wanted);
  }
  const auto in_window = [&] {
    return position_ >= window_start_ &&
           position_ - window_start_ <= window_.size() &&
           wanted <= window_.size() - (position_ - window_start_);
  };
  if (!in_window()) {
    window_.resize(read_ahead);
    window_start_ = position_;
    const zip_int64_t got = read_source(window_.data(), read_ahead);
    position_ = window_start_;
    window_.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    if (got < 0) {
      return got;
    }
  }
  // Short only at the end of the input.
  const auto at = static_cast<std::size_t>(position_ - window_start_);
  const std::size_t count = std::min(wanted, window_.size() - at);
  if (count > 0) {
    std::memcpy(dest, window_.data() + at, count);
  }
  position_ += count;
  return static_cast<zip_int64_t>(count);
}

zip_int64_t ArchiveSource::read_source(std::byte *dest, std::size_t size) {
  if (position_ >
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return fail(ZIP_ER_SEEK,
                IoError::from_os_code(platform::invalid_offset_code));
  }
  const SeekOutcome at =
      source_.seek(static_cast<std::int64_t>(position_), SeekFrom::Start);
  if (!at.ok()) {
    return fail(ZIP_ER_SEEK, at.error());
  }
  std::size_t done = 0;
  while (done < size) {
    const ReadOutcome got = source_.read({dest + done, size - done});
    if (!got.ok()) {
      return fail(ZIP_ER_READ, got.error());
    }
    if (*got == 0) {
      break;
    }
    done += *got;
  }
  position_ += done;
  return static_cast<zip_int64_t>(done);
}

// ---------------------------------------------------------------------------
// The local headers. libzip 1.7.3 reads a member's local header only to find
// where its data starts, does not check its signature, and does not read it
// at all for a member without compressed bytes; nor does it tell where the
// header lies. The directory is walked here a second time for those offsets.

std::uint16_t get16(const unsigned char *p) noexcept {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t get32(const unsigned char *p) noexcept {
  return static_cast<std::uint32_t>(get16(p)) |
         (static_cast<std::uint32_t>(get16(p + 2)) << 16);
}
std::uint64_t get64(const unsigned char *p) noexcept {
  return static_cast<std::uint64_t>(get32(p)) |
         (static_cast<std::uint64_t>(get32(p + 4)) << 32);
}

// Exactly size bytes at offset, or nothing: a short read is a failed one.
std::optional<std::vector<unsigned char>>
read_at(ArchiveSource &source, std::uint64_t offset, std::uint64_t size) {
  std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
  if (!source.read_at(offset, bytes)) {
    return std::nullopt;
  }
  return bytes;
}

// The central directory of count entries at offset: each entry's local
// header offset, if every entry is sound and, given the archive, where
// libzip found it under the same raw name. Anything else gives nothing.
std::optional<std::vector<std::uint64_t>>
walk_directory(ArchiveSource &source, zip_t *archive, std::uint64_t offset,
               std::uint64_t size, std::uint64_t count, std::uint64_t end) {
  constexpr std::size_t entry_size = 46;
  if (offset > end || size > end - offset || count > size / entry_size ||
      (archive != nullptr &&
       count != static_cast<std::uint64_t>(zip_get_num_entries(archive, 0)))) {
    return std::nullopt;
  }
  const auto directory = read_at(source, offset, size);
  if (!directory) {
    return std::nullopt;
  }
  std::vector<std::uint64_t> offsets;
  offsets.reserve(static_cast<std::size_t>(count));
  const unsigned char *p = directory->data();
  const unsigned char *const last = p + directory->size();
  for (std::uint64_t i = 0; i < count; ++i) {
    if (static_cast<std::size_t>(last - p) < entry_size ||
        std::memcmp(p, "PK\x01\x02", 4) != 0) {
      return std::nullopt;
    }
    const std::size_t name_size = get16(p + 28);
    const std::size_t extra_size = get16(p + 30);
    const std::size_t entry =
        entry_size + name_size + extra_size + get16(p + 32);
    if (static_cast<std::size_t>(last - p) < entry) {
      return std::nullopt;
    }
    const char *name =
        archive == nullptr ? nullptr : zip_get_name(archive, i, ZIP_FL_ENC_RAW);
    if (archive != nullptr &&
        (name == nullptr ||
         std::string_view(name) !=
             std::string_view(reinterpret_cast<const char *>(p) + entry_size,
                              name_size))) {
      return std::nullopt;
    }
    std::uint64_t local = get32(p + 42);
    if (local == 0xFFFFFFFF) {
      // The ZIP64 field holds, in order, whichever of the sizes and the
      // offset are 0xFFFFFFFF in the entry.
      const std::size_t skip =
          (get32(p + 24) == 0xFFFFFFFF ? std::size_t{8} : 0) +
          (get32(p + 20) == 0xFFFFFFFF ? std::size_t{8} : 0);
      const unsigned char *field = p + entry_size + name_size;
      const unsigned char *const fields_end = field + extra_size;
      bool found = false;
      while (!found && fields_end - field >= 4) {
        const std::size_t field_size = get16(field + 2);
        if (static_cast<std::size_t>(fields_end - field - 4) < field_size) {
          break;
        }
        if (get16(field) == 0x0001 && field_size >= skip + 8) {
          local = get64(field + 4 + skip);
          found = true;
        }
        field += 4 + field_size;
      }
      if (!found) {
        return std::nullopt;
      }
    }
    offsets.push_back(local);
    p += entry;
  }
  return offsets;
}

// Where each member's local header lies, by index, from the end record that
// libzip would have found; nothing when the walk does not agree with libzip,
// or, without an archive, when no end record leads to a sound directory.
std::optional<std::vector<std::uint64_t>>
local_header_offsets(ArchiveSource &source, zip_t *archive) {
  const std::optional<std::uint64_t> end = source.size();
  if (!end) {
    return std::nullopt;
  }
  constexpr std::uint64_t end_record = 22;
  constexpr std::uint64_t locator = 20;
  constexpr std::uint64_t search = end_record + 0xFFFF + locator;
  const std::uint64_t tail_size = std::min(*end, search);
  const auto tail = read_at(source, *end - tail_size, tail_size);
  if (!tail || tail_size < end_record) {
    return std::nullopt;
  }
  // The last end record first: the one that ends the input.
  for (std::size_t at = static_cast<std::size_t>(tail_size - end_record) + 1;
       at-- > 0;) {
    const unsigned char *record = tail->data() + at;
    if (std::memcmp(record, "PK\x05\x06", 4) != 0) {
      continue;
    }
    std::uint64_t count = get16(record + 10);
    std::uint64_t size = get32(record + 12);
    std::uint64_t offset = get32(record + 16);
    if ((count == 0xFFFF || size == 0xFFFFFFFF || offset == 0xFFFFFFFF) &&
        at >= locator && std::memcmp(record - locator, "PK\x06\x07", 4) == 0) {
      const auto zip64 = read_at(source, get64(record - locator + 8), 56);
      if (zip64 && std::memcmp(zip64->data(), "PK\x06\x06", 4) == 0) {
        count = get64(zip64->data() + 32);
        size = get64(zip64->data() + 40);
        offset = get64(zip64->data() + 48);
      }
    }
    if (auto offsets =
            walk_directory(source, archive, offset, size, count, *end)) {
      return offsets;
    }
  }
  return std::nullopt;
}

// A failure of libzip's while it read through the source: an interruption
// stops the load as it does for every format; anything else is libzip's.
LoadError archive_failure(const ArchiveSource &storage, zip_error_t *error) {
  if (storage.was_interrupted()) {
    return LoadError::io(IoError::interrupted());
  }
  return LoadError::zip(to_zip_error(error));
}

// libzip 1.7.3 says "Not a zip archive" when an allocation fails while it
// reads the directory. When the input does hold a sound directory, ask for
// the memory that reading it takes: if that fails too, running out of memory
// is the true cause, and it throws. Never claims it otherwise.
void confirm_not_out_of_memory(ArchiveSource &storage) {
  // libzip's own entry, its directory record and its name, by and large.
  constexpr std::size_t per_member = 256;
  const auto members = local_header_offsets(storage, nullptr);
  if (members && !storage.was_interrupted()) {
    // A call, not a new-expression, so that it is never elided.
    ::operator delete(::operator new(members->size() * per_member));
  }
}

// The archive over the storage, which must outlive it.
Result<ZipArchive, LoadError> open_archive(ArchiveSource &storage) {
  // libzip would call a directory an unseekable source ("Operation not
  // supported"); reading it is what fails, so say so.
  if (storage.source().is_file()) {
    const ReadOutcome probe = storage.source().read({});
    if (!probe.ok()) {
      if (probe.error() == IoError::interrupted()) {
        return LoadError::io(probe.error());
      }
      return LoadError::zip(ZipError::io(probe.error()));
    }
  }
  ZipErrorValue error;
  ZipSource source(zip_source_function_create(ArchiveSource::callback, &storage,
                                              error.get()));
  if (!source) {
    return LoadError::zip(to_zip_error(error.get()));
  }
  zip_t *archive = zip_open_from_source(source.get(), ZIP_RDONLY, error.get());
  if (archive == nullptr) {
    // While the directory is read, libzip says "no such file" only for a
    // ZIP64 field that a 0xFFFFFFFF size or offset promises and that is not
    // there: the directory contradicts itself.
    if (!storage.was_interrupted() &&
        zip_error_code_zip(error.get()) == ZIP_ER_NOENT) {
      return LoadError::zip(ZipError::invalid(zip_code_text(ZIP_ER_INCONS)));
    }
    if (!storage.was_interrupted() &&
        zip_error_code_zip(error.get()) == ZIP_ER_NOZIP) {
      confirm_not_out_of_memory(storage);
    }
    return archive_failure(storage, error.get());
  }
  source.release();
  ZipArchive owned(archive);
  // libzip may try another end record after a read failed.
  if (storage.was_interrupted()) {
    return LoadError::io(IoError::interrupted());
  }
  return owned;
}

// The member's local header can be read and begins with its signature.
bool local_header_sound(ArchiveSource &source, std::uint64_t offset) {
  std::array<unsigned char, local_header_size> header;
  return source.read_at(offset, header) &&
         std::memcmp(header.data(), local_header_magic.data(),
                     local_header_magic.size()) == 0;
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
    if (count == 0) {
      if (delivered_ == 0 && crc_ != 0) {
        return IoError::with_text(zip_code_text(ZIP_ER_CRC));
      }
      if (delivered_ != size_) {
        return IoError::with_text(zip_code_text(ZIP_ER_INCONS));
      }
      return std::size_t{0};
    }
    if (storage_->was_interrupted()) {
      return IoError::interrupted();
    }
    zip_error_t *error = zip_file_get_error(file_);
    if (zip_error_code_zip(error) == ZIP_ER_MEMORY) {
      throw std::bad_alloc();
    }
    if (const int os_code = system_code(error); os_code != 0) {
      return IoError::from_os_code(os_code);
    }
    return IoError::with_text(zip_error_strerror(error));
  }

private:
  zip_file_t *file_;
  const ArchiveSource *storage_;
  std::uint64_t size_;
  std::uint32_t crc_;
  std::uint64_t delivered_ = 0;
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
LoadResult read_profile(MemberStream &stream) {
  LineReader reader(stream, max_profile_line);
  const bool fast = detail::rounds_to_nearest();
  std::vector<double> x;
  std::vector<double> y;
  for (;;) {
    if (fast) {
      reader.take_block_lines([&](std::size_t begin, std::size_t end) {
        add_point(reader.block(), begin, end, x, y);
        return true;
      });
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
  Result<ZipArchive, LoadError> opened = open_archive(storage);
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
  return read_profile(stream);
}

} // namespace difral
