// SPDX-License-Identifier: MIT
#include "text/columns.h"

#include "text/line_reader.h"
#include "text/text.h"

namespace difral {

namespace {

using Tokenizer = std::size_t (*)(std::string_view, std::string_view *,
                                  std::size_t) noexcept;

// Reads lines of columns: blank and comment lines are skipped, every other
// line goes through the row rule. e is kept only when every point has one.
// The tokenizer is a template argument so that it inlines into the loop.
template <Tokenizer Tokenize> LoadResult read_columns(ByteSource source) {
  std::vector<double> x;
  std::vector<double> y;
  std::vector<double> e;
  {
    LineReader reader(source);
    for (;;) {
      LineOutcome got = reader.next_line();
      if (got.status == LineOutcome::Status::End) {
        break;
      }
      if (got.status == LineOutcome::Status::Failure) {
        return LoadError::io(std::move(*got.error));
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
  source.release();
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
  return read_columns<whitespace_tokens>(std::move(source));
}

LoadResult read_csv(ByteSource source) {
  return read_columns<csv_tokens>(std::move(source));
}

} // namespace difral
