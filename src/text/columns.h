// SPDX-License-Identifier: MIT
#pragma once

#include "core/byte_source.h"
#include "core/load_result.h"

#include <cstddef>
#include <string_view>
#include <vector>

namespace difral {

// The row rule: two numbers give a point, and a third number, when there is
// one, an uncertainty. tokens holds the first count tokens of the line (at
// most three are looked at; count is the line's token count, capped at 3).
void add_row(const std::string_view *tokens, std::size_t count,
             std::vector<double> &x, std::vector<double> &y,
             std::vector<double> &e);

// Columns separated by white space (.xy and .xye).
LoadResult read_xy(ByteSource source);

// Columns separated by commas or white space (.csv).
LoadResult read_csv(ByteSource source);

// The tokens of a trimmed line for CSV: maximal runs of characters that are
// neither a comma nor white space.
std::vector<std::string_view> csv_tokens(std::string_view text);

// Stores up to max CSV tokens of text in out; returns how many it stored.
std::size_t csv_tokens(std::string_view text, std::string_view *out,
                       std::size_t max) noexcept;

} // namespace difral
