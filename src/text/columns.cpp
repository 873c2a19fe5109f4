// SPDX-License-Identifier: MIT
#include "text/columns.h"

#include "core/growth.h"
#include "text/line_reader.h"
#include "text/scan.h"
#include "text/scan_lines.h"
#include "text/text.h"

namespace difral {

namespace {

using Tokenizer = std::size_t (*)(std::string_view, std::string_view *,
                                  std::size_t) noexcept;

// Room for a small file's points from the start: growing one by one through
// eight reallocations costs a small load more than its parsing.
constexpr std::size_t initial_points = 256;

// The row rule on a line's first values, count of them (at most three):
// two give a point, a third its uncertainty.
void push_row(const double *values, std::size_t count, std::vector<double> &x,
              std::vector<double> &y, std::vector<double> &e) {
  if (count < 2) {
    return;
  }
  x.push_back(values[0]);
  y.push_back(values[1]);
  if (count == 3) {
    e.push_back(values[2]);
  }
}

// The row rule for an ASCII line whose tokens are all short decimals, in one
// pass. Returns false, having changed nothing, for any line it cannot judge
// exactly as the general path would; that line then takes the general path.
template <bool Comma>
bool fast_row(const LineOutcome &got, std::vector<double> &x,
              std::vector<double> &y, std::vector<double> &e) {
  const std::string_view line = got.line;
  const char *end = line.data() + line.size();
  const char *limit = got.padded ? end + line_padding : end;
  // Leading white space only: a CSV line that starts with a comma, '#' or
  // '!' after it is for the general path, which knows comments.
  const char *p = detail::skip_separators<false>(line.data(), end);
  double values[3];
  std::size_t count = 0;
  while (p != end && count < 3) {
    p = detail::scan_token<Comma>(p, end, limit, values[count]);
    if (p == nullptr) {
      return false;
    }
    ++count;
    p = detail::skip_separators<Comma>(p, end);
  }
  push_row(values, count, x, y, e);
  return true;
}

#if defined(DIFRAL_HAS_LINE_MASKS)
// One token of a masked line: the masked conversion, else the scanner.
template <bool Comma>
bool masked_token(const char *base, std::size_t start, std::size_t stop,
                  const detail::LineMasks &masks, const char *limit,
                  double &value) {
  return detail::masked_decimal(base, start, stop, masks, value) ||
         detail::scan_token<Comma>(base + start, base + stop, limit, value) !=
             nullptr;
}

// The row rule for a short padded ASCII line, with the tokens' bounds taken
// from bit masks. Returns false, having changed nothing, where the general
// path must judge the line.
template <bool Comma>
bool masked_row(const char *base, std::size_t length, const char *limit,
                std::vector<double> &x, std::vector<double> &y,
                std::vector<double> &e) {
  const detail::LineMasks masks = detail::line_masks<Comma>(base, length);
  const std::uint64_t separators = masks.separators;
  std::uint64_t rest = ~separators;
  double values[3];
  std::size_t count = 0;
  while (rest != 0 && count < 3) {
    const auto start = static_cast<std::size_t>(__builtin_ctzll(rest));
    const auto stop =
        start + static_cast<std::size_t>(__builtin_ctzll(separators >> start));
    if (!masked_token<Comma>(base, start, stop, masks, limit, values[count])) {
      return false;
    }
    ++count;
    rest &= ~detail::bits_below(stop);
  }
  push_row(values, count, x, y, e);
  return true;
}
#endif

// The fast path for an ASCII line: masks for short padded lines, the
// scanner for the rest.
template <bool Comma>
bool quick_row(const LineOutcome &got, std::vector<double> &x,
               std::vector<double> &y, std::vector<double> &e) {
#if defined(DIFRAL_HAS_LINE_MASKS)
  // A line of mask_width bytes or more might have a token running past the
  // masks.
  if (got.padded && got.line.size() < detail::mask_width) {
    return masked_row<Comma>(got.line.data(), got.line.size(),
                             got.line.data() + got.line.size() + line_padding,
                             x, y, e);
  }
#endif
  return fast_row<Comma>(got, x, y, e);
}

// Whenever the vectors are full, the lines so far show how many bytes a
// point takes, and the vectors are sized for the rest of the input, sparing
// the copies and page faults of doubling.
void reserve_for_input(std::size_t more, std::vector<double> &x,
                       std::vector<double> &y, std::vector<double> &e) {
  reserve_ahead(x, more);
  reserve_ahead(y, more);
  // Two columns so far: e will most likely stay absent.
  if (!e.empty() && e.size() == x.size()) {
    reserve_ahead(e, more);
  }
}

// Reads lines of columns: blank and comment lines are skipped, every other
// line goes through the row rule. e is kept only when every point has one.
template <bool Comma, Tokenizer Tokenize>
LoadResult read_columns(ByteSource source) {
  std::vector<double> x;
  std::vector<double> y;
  std::vector<double> e;
  x.reserve(initial_points);
  y.reserve(initial_points);
  e.reserve(initial_points);
  {
    LineReader reader(source);
    const bool fast = detail::rounds_to_nearest();
    for (;;) {
      LineOutcome got = reader.next_line();
      if (got.status == LineOutcome::Status::End) {
        break;
      }
      if (got.status == LineOutcome::Status::Failure) {
        return LoadError::io(std::move(*got.error));
      }
      if (x.size() == x.capacity()) {
        reserve_for_input(estimated_remaining(source.size_hint(),
                                              reader.consumed(),
                                              reader.consumed(), x.size()),
                          x, y, e);
      }
      if (fast && got.ascii && quick_row<Comma>(got, x, y, e)) {
        continue;
      }
      const std::string_view line = trim_line(got.line);
      if (line.empty() || is_comment_line(line)) {
        continue;
      }
      std::string_view tokens[3];
      const std::size_t count = Tokenize(line, tokens, 3);
      add_row(tokens, count, x, y, e);
    }
  }
  source.close();
  if (!e.empty() && e.size() == x.size()) {
    return Pattern(std::move(x), std::move(y), std::move(e));
  }
  return Pattern(std::move(x), std::move(y));
}

} // namespace

void add_row(const std::string_view *tokens, std::size_t count,
             std::vector<double> &x, std::vector<double> &y,
             std::vector<double> &e) {
  if (count < 2) {
    return;
  }
  const std::optional<double> first = parse_value(tokens[0]);
  if (!first) {
    return;
  }
  const std::optional<double> second = parse_value(tokens[1]);
  if (!second) {
    return;
  }
  x.push_back(*first);
  y.push_back(*second);
  if (count == 2) {
    return;
  }
  if (const std::optional<double> third = parse_value(tokens[2])) {
    e.push_back(*third);
  }
}

LoadResult read_xy(ByteSource source) {
  return read_columns<false, whitespace_tokens>(std::move(source));
}

LoadResult read_csv(ByteSource source) {
  return read_columns<true, csv_tokens>(std::move(source));
}

} // namespace difral
