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

// The row rule, over a line's values as next(value) gives them in order
// until it finds no number: two numbers give a point, and a third, when
// there is one, an uncertainty. Values after the third are not asked for.
template <class Next, class Column>
[[gnu::always_inline]] inline void apply_row_rule(Next next, Column &x,
                                                  Column &y, Column &e) {
  double first, second, third;
  if (!next(first) || !next(second)) {
    return;
  }
  x.push_back(first);
  y.push_back(second);
  if (next(third)) {
    e.push_back(third);
  }
}

// The row rule on a line's first tokens (count of them, at most three
// looked at).
template <class Column>
void add_row(const std::string_view *tokens, std::size_t count, Column &x,
             Column &y, Column &e) {
  std::size_t i = 0;
  apply_row_rule(
      [&](double &value) {
        const std::optional<double> parsed =
            i < count ? parse_value(tokens[i++]) : std::nullopt;
        value = parsed.value_or(0);
        return parsed.has_value();
      },
      x, y, e);
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
