// SPDX-License-Identifier: MIT
#pragma once

#include "core/byte_source.h"
#include "core/load_result.h"

#include <cstddef>

namespace difral {

// GSAS text RAW: the first BANK header with at least seven tokens gives start
// and step (in hundredths), and every number up to the next BANK line is an
// intensity. Never yields e.
LoadResult read_gsas_raw(ByteSource source);

namespace detail {

// The fast path of an ASCII data line, [line, line + length) with readable
// bytes after it: stores in out the values of its leading fields of eight
// bytes, spaces and then digits, each a whole token, at most room of them,
// and returns how many it took. The rest of the line is left to the tokens.
std::size_t gsas_fields(const char *line, std::size_t length, double *out,
                        std::size_t room) noexcept;

} // namespace detail

} // namespace difral
