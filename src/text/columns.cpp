// SPDX-License-Identifier: MIT
#include "text/columns.h"

#include "core/growth.h"
#include "text/line_reader.h"
#include "text/short_decimal.h"
#include "text/text.h"

#include <optional>
#include <string_view>
#include <vector>

namespace difral {

namespace {

// The row rule on a line of a classified block. Blank and comment lines
// need no test of their own here: a comment's first token starts with '#'
// or '!', so it is not a number, and the line yields no point either way.
template <bool Comma>
void block_row(const BlockLine &line, PointSink<3> &points) {
  LineTokens<Comma> walk(line);
  std::size_t start, stop;
  // Inlined whole: a call per value costs more than the conversion saves.
  apply_row_rule(
      [&](double &value) __attribute__((always_inline)) {
        return walk.next(start, stop) &&
               detail::token_value(line.data, start, stop, value);
      },
      points[0], points[1], points[2]);
}

// Reads lines of columns: blank and comment lines are skipped, every other
// line goes through the row rule. e is kept only when every point has one.
template <bool Comma> LoadResult read_columns(ByteSource source) {
  PointSink<3> points(source.size_hint(), 0);
  LineReader reader(source);
  const auto flush_full = [&] {
    if (points.full()) {
      points.flush(reader.consumed());
    }
    return true;
  };
  std::optional<IoError> failure = reader.read(
      [&](const BlockLine &line) {
        block_row<Comma>(line, points);
        return flush_full();
      },
      [&](std::string_view text) {
        const std::string_view line = trim_line(text);
        if (line.empty() || is_comment_line(line)) {
          return true;
        }
        std::string_view tokens[3];
        add_row(tokens,
                Comma ? csv_tokens(line, tokens, 3)
                      : whitespace_tokens(line, tokens, 3),
                points[0], points[1], points[2]);
        return flush_full();
      });
  if (failure) {
    return LoadError::io(std::move(*failure));
  }
  points.flush(reader.consumed());
  source.close();
  std::vector<double> &x = points.column(0);
  std::vector<double> &e = points.column(2);
  if (!e.empty() && e.size() == x.size()) {
    return Pattern(std::move(x), std::move(points.column(1)), std::move(e));
  }
  return Pattern(std::move(x), std::move(points.column(1)));
}

} // namespace

LoadResult read_xy(ByteSource source) {
  return detail::read_for_kernel(
      [&] { return read_columns<false>(std::move(source)); });
}

LoadResult read_csv(ByteSource source) {
  return detail::read_for_kernel(
      [&] { return read_columns<true>(std::move(source)); });
}

} // namespace difral
