// SPDX-License-Identifier: MIT
#pragma once

// The archive's directory walked a second time, for what libzip 1.7.3 does
// not tell: where each member's local header lies. libzip reads a member's
// local header only to find where its data starts, does not check its
// signature, and does not read it at all for a member without compressed
// bytes.

#include "formats/zip_source.h"

#include <zip.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace difral {

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
