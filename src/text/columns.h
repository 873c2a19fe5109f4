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

// The row rule, on a line of count tokens whose values value(i, v) gives
// (false when token i is not a number): two numbers give a point, and a
// third number, when there is one, an uncertainty. Tokens after the third,
// and tokens after the first that is not a number, are not looked at.
template <class Value>
void add_row(std::size_t count, Value value, std::vector<double> &x,
             std::vector<double> &y, std::vector<double> &e) {
  double first;
  double second;
  if (count < 2 || !value(0, first) || !value(1, second)) {
    return;
  }
  x.push_back(first);
  y.push_back(second);
  if (double third; count > 2 && value(2, third)) {
    e.push_back(third);
  }
}

// The row rule on a line's first tokens (count of them, at most three
// looked at), each parsed by parse_value.
inline void add_row(const std::string_view *tokens, std::size_t count,
                    std::vector<double> &x, std::vector<double> &y,
                    std::vector<double> &e) {
  const auto value = [tokens](std::size_t i, double &out) {
    const std::optional<double> parsed = parse_value(tokens[i]);
    out = parsed.value_or(0);
    return parsed.has_value();
  };
  add_row(count, value, x, y, e);
}

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
