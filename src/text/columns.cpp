// SPDX-License-Identifier: MIT
#include "text/columns.h"

#include "core/growth.h"
#include "text/line_reader.h"
#include "text/short_decimal.h"
#include "text/text.h"

#include <algorithm>

namespace difral {

namespace {

// Room for a small file's points from the start: growing one by one through
// eight reallocations costs a small load more than its parsing.
constexpr std::size_t initial_points = 256;

// The row rule on a line of a classified block. Blank and comment lines
// need no test of their own here: a comment's first token starts with '#'
// or '!', so it is not a number, and the line yields no point either way.
template <bool Comma>
void block_row(const BlockView &block, std::size_t begin, std::size_t end,
               ColumnRun &x, ColumnRun &y, ColumnRun &e) {
  LineTokens<Comma> walk(block, begin, end);
  std::size_t start, stop;
  // Inlined whole: a call per value costs more than the conversion saves.
  apply_row_rule(
      [&](double &value) __attribute__((always_inline)) {
        return walk.next(start, stop) &&
               detail::token_value(block, start, stop, value);
      },
      x, y, e);
}

// Reads lines of columns: blank and comment lines are skipped, every other
// line goes through the row rule. e is kept only when every point has one.
template <bool Comma> LoadResult read_columns(ByteSource source) {
  std::vector<double> x, y, e;
  x.reserve(initial_points);
  y.reserve(initial_points);
  e.reserve(initial_points);
  {
    LineReader reader(source);
    const bool fast = detail::rounds_to_nearest();
    // Points gather in runs. Whenever the vectors cannot take a run, the
    // lines so far show how many bytes a point takes, and the vectors are
    // sized for the rest of the input, sparing the copies and page faults
    // of doubling.
    ColumnRun xs, ys, es;
    const auto flush = [&] {
      if (x.capacity() - x.size() < xs.size()) {
        const std::size_t more = std::max(
            estimated_remaining(source.size_hint(), reader.consumed(),
                                reader.consumed(), x.size() + xs.size()),
            xs.size());
        reserve_ahead(x, more);
        reserve_ahead(y, more);
        if (e.size() + es.size() == x.size() + xs.size()) {
          reserve_ahead(e, more); // with two columns, e stays absent
        }
      }
      xs.append_to(x);
      ys.append_to(y);
      es.append_to(e);
    };
    for (;;) {
      if (fast) {
        reader.take_block_lines([&](std::size_t begin, std::size_t end) {
          block_row<Comma>(reader.block(), begin, end, xs, ys, es);
          if (xs.full()) {
            flush();
          }
          return true;
        });
      }
      LineOutcome got = reader.next_line();
      if (got.status == LineOutcome::Status::End) {
        break;
      }
      if (got.status == LineOutcome::Status::Failure) {
        return LoadError::io(std::move(*got.error));
      }
      const std::string_view line = trim_line(got.line);
      if (!line.empty() && !is_comment_line(line)) {
        std::string_view tokens[3];
        add_row(tokens,
                Comma ? csv_tokens(line, tokens, 3)
                      : whitespace_tokens(line, tokens, 3),
                xs, ys, es);
        if (xs.full()) {
          flush();
        }
      }
    }
    flush();
  }
  source.close();
  if (!e.empty() && e.size() == x.size()) {
    return Pattern(std::move(x), std::move(y), std::move(e));
  }
  return Pattern(std::move(x), std::move(y));
}

} // namespace

LoadResult read_xy(ByteSource source) {
  return read_columns<false>(std::move(source));
}

LoadResult read_csv(ByteSource source) {
  return read_columns<true>(std::move(source));
}

} // namespace difral
