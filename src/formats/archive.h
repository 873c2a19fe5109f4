// SPDX-License-Identifier: MIT
#pragma once

// libzip over a ByteSource (zip_source.cpp): the source libzip reads an
// archive through, the owners of libzip's handles, and libzip's failures
// sorted into the categories users see. And the directory walked a second
// time (zip_directory.cpp), for what libzip 1.7.3 does not tell: where each
// member's local header lies. libzip reads a member's local header only to
// find where its data starts, does not check its signature, and does not
// read it at all for a member without compressed bytes.

#include "core/byte_source.h"
#include "core/load_error.h"
#include "core/load_result.h"

#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace difral {

// Read-only archives are discarded, never closed: nothing is written back.
struct ZipDiscard {
  void operator()(zip_t *archive) const noexcept { zip_discard(archive); }
};
using ZipArchive = std::unique_ptr<zip_t, ZipDiscard>;

struct ZipFileClose {
  void operator()(zip_file_t *file) const noexcept { zip_fclose(file); }
};
using ZipMember = std::unique_ptr<zip_file_t, ZipFileClose>;

// libzip's own message for a code, without any system part.
std::string zip_code_text(int code);

// A failure to open or search an archive, in the categories the user sees,
// and a failure to read a member's data. Running out of memory is not a
// load failure: it throws std::bad_alloc.
ZipError to_zip_error(zip_error_t *error);
IoError to_io_error(zip_error_t *error);

// What libzip reads an archive through: the ByteSource's positional reads,
// so the same interrupt check and EINTR handling as every other format, for
// a File and a Buffer alike, and no second descriptor. The input's end is
// found by seeking the source, so that a FIFO fails as it truly does
// (ESPIPE) rather than being called unsupported, and a device is as long as
// its end says. A File is read ahead in blocks: libzip reads a large
// directory a few bytes at a time.
class ArchiveSource {
public:
  explicit ArchiveSource(ByteSource source) noexcept;
  ArchiveSource(const ArchiveSource &) = delete;
  ArchiveSource &operator=(const ArchiveSource &) = delete;
  ~ArchiveSource();

  // The archive, read through this source, which must outlive it.
  Result<ZipArchive, LoadError> open();

  // A read was stopped by the interrupt check. libzip keeps only a system
  // code, and an interruption has none, so it is remembered here; every
  // later read fails at once, without asking the check again.
  bool was_interrupted() const noexcept { return interrupted_; }
  // Asks the interrupt check between reads, for work that reads little.
  bool stop_requested();
  // Exactly dest.size() bytes at offset, or false: a short read fails.
  bool read_exact(std::uint64_t offset, std::span<unsigned char> dest);
  // Where the input ends, by seeking the source there once.
  std::optional<std::uint64_t> size();

private:
  static zip_int64_t callback(void *self, void *data, zip_uint64_t length,
                              zip_source_cmd_t command) noexcept;
  zip_int64_t handle(void *data, zip_uint64_t length, zip_source_cmd_t command);
  // dest.size() bytes at offset, fewer only at the input's end; a File's
  // through the window.
  zip_int64_t read(std::uint64_t offset, std::span<std::byte> dest);
  // The same from the source itself.
  zip_int64_t read_source(std::uint64_t offset, std::span<std::byte> dest);
  zip_int64_t fail(int zip_code, const IoError &error);

  ByteSource source_;
  zip_error_t error_;
  bool interrupted_ = false;
  std::uint64_t position_ = 0;
  std::optional<std::uint64_t> size_;
  // The bytes of a File from window_start_ on, read ahead.
  std::vector<std::byte> window_;
  std::uint64_t window_start_ = 0;
};

// A failure of libzip's while it read through the storage: an interruption
// stops the load as it does for every format; anything else is libzip's.
LoadError archive_failure(const ArchiveSource &storage, zip_error_t *error);

// Where each member's local header lies, by index, from the end record that
// libzip would have found; nothing when the walk does not agree with what
// libzip read into the archive, or, without an archive, when no end record
// leads to a sound directory. An interruption stops the walk: nothing.
std::optional<std::vector<std::uint64_t>>
local_header_offsets(ArchiveSource &source, zip_t *archive);

// The member's local header can be read and begins with its signature.
bool local_header_sound(ArchiveSource &source, std::uint64_t offset);

// libzip 1.7.3 says "Not a zip archive" when an allocation fails while it
// reads the directory. When the input does hold a sound directory, ask for
// the memory that reading it takes: if that fails too, running out of memory
// is the true cause, and it throws. Never claims it otherwise.
void confirm_not_out_of_memory(ArchiveSource &source);

} // namespace difral
