// SPDX-License-Identifier: MIT
#pragma once

#include "core/byte_source.h"
#include "core/load_result.h"

namespace difral {

// GSAS text RAW: the first BANK header with at least seven tokens gives start
// and step (in hundredths), and every number up to the next BANK line is an
// intensity. Never yields e.
LoadResult read_gsas_raw(ByteSource source);

} // namespace difral
