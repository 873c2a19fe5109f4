// SPDX-License-Identifier: MIT
#pragma once

#include "core/byte_source.h"
#include "core/load_result.h"
#include "text/text.h"

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace difral {

// The row rule on a line's first tokens (count of them, at most three
// looked at): two numbers give a point, and a third number, when there is
// one, an uncertainty. Tokens after the first that is not a number are not
// looked at.
inline void add_row(const std::string_view *tokens, std::size_t count,
                    std::vector<double> &x, std::vector<double> &y,
                    std::vector<double> &e) {
  std::optional<double> first;
  std::optional<double> second;
  if (count < 2 || !(first = parse_value(tokens[0])) ||
      !(second = parse_value(tokens[1]))) {
    return;
  }
  x.push_back(*first);
  y.push_back(*second);
  if (std::optional<double> third;
      count > 2 && (third = parse_value(tokens[2]))) {
    e.push_back(*third);
  }
}

// Columns separated by white space (.xy and .xye).
LoadResult read_xy(ByteSource source);

// Columns separated by commas or white space (.csv).
LoadResult read_csv(ByteSource source);

// The tokens of a trimmed line for CSV, maximal runs of characters that are
// neither a comma nor white space: stores the first max of them in out and
// returns how many it stored.
std::size_t csv_tokens(std::string_view text, std::string_view *out,
                       std::size_t max) noexcept;

} // namespace difral
