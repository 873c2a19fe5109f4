// SPDX-License-Identifier: MIT
#pragma once

// libzip over a ByteSource: the source libzip reads an archive through, the
// stream of a member's data, the owners of libzip's handles, and libzip's
// failures sorted into the categories users see.

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

// A failure to open or search an archive, in the categories the user sees.
// Running out of memory is not a load failure: it throws std::bad_alloc.
ZipError to_zip_error(zip_error_t *error);

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

// A member's uncompressed data as a byte stream, its end checked against the
// directory. libzip checks the CRC-32 and the size of what it inflates, but
// hands out a member without compressed bytes as empty, unchecked: the same
// two checks, in libzip's order, are made here, so that every member's end
// is checked. The CRC-32 of no bytes is 0; libzip has checked any other.
class MemberStream final : public ByteStream {
public:
  MemberStream(zip_file_t *file, const zip_stat_t &stat,
               const ArchiveSource &storage) noexcept;

  ReadOutcome read(std::span<std::byte> dest) override;

private:
  zip_file_t *file_;
  const ArchiveSource *storage_;
  std::uint64_t size_;
  std::uint32_t crc_;
  std::uint64_t delivered_ = 0;
};

} // namespace difral
