// SPDX-License-Identifier: MIT
#pragma once

#include "core/byte_source.h"
#include "core/load_result.h"

#include <cstddef>
#include <string_view>
#include <vector>

namespace difral {

// GSAS text RAW: the first BANK header with at least seven tokens gives start
// and step (in hundredths), and every number up to the next BANK line is an
// intensity. Never yields e.
LoadResult read_gsas_raw(ByteSource source);

namespace detail {

// The fast path of an ASCII data line: appends to y the values of its
// leading fields of eight bytes, spaces and then digits, each a whole token,
// and returns how many it took. The rest of the line is left to the tokens.
std::size_t add_gsas_fields(std::string_view line, std::vector<double> &y);

} // namespace detail

} // namespace difral
