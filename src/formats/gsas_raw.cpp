// SPDX-License-Identifier: MIT
#include "formats/gsas_raw.h"

#include "text/line_reader.h"
#include "text/text.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace difral {
namespace {

// The header needs tokens 5 and 6; more are allowed and not looked at.
constexpr std::size_t header_tokens = 7;
constexpr std::size_t start_token = 5;
constexpr std::size_t step_token = 6;

// The keyword test is on raw bytes: no leading white space, upper case, and
// any continuation (BANK1, BANKS) still counts.
bool starts_with_bank(std::string_view line) noexcept {
  return line.size() >= 4 && line.substr(0, 4) == "BANK";
}

} // namespace

LoadResult read_gsas_raw(ByteSource source) {
  LineReader reader(source);

  // Header search: a BANK line with too few tokens is part of the preamble.
  std::array<std::string_view, header_tokens> tokens;
  for (;;) {
    LineOutcome outcome = reader.next_line();
    if (outcome.status == LineOutcome::Status::Failure) {
      return LoadError::io(std::move(*outcome.error));
    }
    if (outcome.status == LineOutcome::Status::End) {
      return LoadError::parse("BANK header not found in RAW file");
    }
    if (starts_with_bank(outcome.line) &&
        whitespace_tokens(outcome.line, tokens.data(), tokens.size()) ==
            header_tokens) {
      break;
    }
  }
  // The tokens point into the header line, which the next call replaces.
  const std::optional<double> start = parse_value(tokens[start_token]);
  if (!start) {
    return LoadError::parse("Invalid start");
  }
  const std::optional<double> step = parse_value(tokens[step_token]);
  if (!step) {
    return LoadError::parse("Invalid step");
  }

  // Every number up to the next BANK line is an intensity, whatever the
  // record layout the header names.
  std::vector<double> y;
  for (;;) {
    LineOutcome outcome = reader.next_line();
    if (outcome.status == LineOutcome::Status::Failure) {
      return LoadError::io(std::move(*outcome.error));
    }
    if (outcome.status == LineOutcome::Status::End ||
        starts_with_bank(outcome.line)) {
      break;
    }
    TokenCursor cursor(outcome.line);
    while (std::optional<std::string_view> token = cursor.next()) {
      if (std::optional<double> value = parse_value(*token)) {
        y.push_back(*value);
      }
    }
  }
  source.release();

  // Each position is computed on its own, never accumulated, and the product
  // is rounded before the sum: the two steps stay separate statements so the
  // compiler cannot fuse them.
  const double origin = *start / 100.0;
  const double increment = *step / 100.0;
  std::vector<double> x(y.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double offset = static_cast<double>(i) * increment;
    x[i] = offset + origin;
  }
  return Pattern(std::move(x), std::move(y));
}

} // namespace difral
