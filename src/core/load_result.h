// SPDX-License-Identifier: MIT
#pragma once

#include "core/load_error.h"
#include "core/pattern.h"
#include "core/result.h"

namespace difral {

// What every loading operation returns: a Pattern or a LoadError.
using LoadResult = Result<Pattern, LoadError>;

} // namespace difral
