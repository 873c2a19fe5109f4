// SPDX-License-Identifier: MIT
#include "formats/archive.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <new>
#include <string_view>

namespace difral {

namespace {

// The fixed part of a local header, and its signature.
constexpr std::size_t local_header_size = 30;
constexpr std::string_view local_header_magic("PK\x03\x04", 4);

// How often the walk asks the interrupt check.
constexpr std::uint64_t entries_between_checks = 4096;

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
read_exact(ArchiveSource &source, std::uint64_t offset, std::uint64_t size) {
  std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
  if (!source.read_exact(offset, bytes)) {
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
  const auto directory = read_exact(source, offset, size);
  if (!directory) {
    return std::nullopt;
  }
  std::vector<std::uint64_t> offsets;
  offsets.reserve(static_cast<std::size_t>(count));
  const unsigned char *p = directory->data();
  const unsigned char *const last = p + directory->size();
  for (std::uint64_t i = 0; i < count; ++i) {
    // A directory of a million entries takes a good part of a second.
    if (i % entries_between_checks == 0 && source.stop_requested()) {
      return std::nullopt;
    }
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

} // namespace

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
  const auto tail = read_exact(source, *end - tail_size, tail_size);
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
      const auto zip64 = read_exact(source, get64(record - locator + 8), 56);
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

bool local_header_sound(ArchiveSource &source, std::uint64_t offset) {
  std::array<unsigned char, local_header_size> header;
  return source.read_exact(offset, header) &&
         std::memcmp(header.data(), local_header_magic.data(),
                     local_header_magic.size()) == 0;
}

void confirm_not_out_of_memory(ArchiveSource &source) {
  // libzip's own entry, its directory record and its name, by and large.
  constexpr std::size_t per_member = 256;
  const auto members = local_header_offsets(source, nullptr);
  if (members && !source.was_interrupted()) {
    // A call, not a new-expression, so that it is never elided.
    ::operator delete(::operator new(members->size() * per_member));
  }
}

} // namespace difral
