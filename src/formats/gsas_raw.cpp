// SPDX-License-Identifier: MIT
#include "formats/gsas_raw.h"

#include "core/growth.h"
#include "text/line_reader.h"
#include "text/short_decimal.h"
#include "text/text.h"

#include <array>
#include <cstddef>
#include <cstdint>
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

// Every number of a data line, appended to y.
void add_intensities(std::string_view line, std::vector<double> &y) {
  for (const std::string_view token : whitespace_tokens(line)) {
    if (std::optional<double> value = parse_value(token)) {
      y.push_back(*value);
    }
  }
}

// The same for a line of a classified block: its leading eight-byte fields
// on their own path, then the rest token by token.
void add_intensities(const BlockView &block, const std::size_t begin,
                     const std::size_t end, std::vector<double> &y) {
  const std::size_t fields =
      detail::add_gsas_fields({block.data + begin, end - begin}, y);
  LineTokens<false> walk(block, begin + 8 * fields, end);
  for (std::size_t start, stop; walk.next(start, stop);) {
    if (double value; detail::token_value(block, start, stop, value)) {
      y.push_back(value);
    }
  }
}

// Once the first data lines show how many bytes a value takes, y is sized
// for the rest of the input, sparing the copies and page faults of growth.
constexpr std::size_t reserve_after_lines = 64;

} // namespace

// A field of eight bytes that is spaces and then digits up to its end
// converts from its one word, the spaces, 0x10 as digit values, masked to
// zeros; it is a whole token when a blank or the line's end follows it.
std::size_t detail::add_gsas_fields(std::string_view line,
                                    std::vector<double> &y) {
  constexpr std::uint64_t highs = 0x8080808080808080ULL;
  std::size_t field = 0;
  for (; line.size() - field >= 8; field += 8) {
    const std::uint64_t values = detail::digit_values(line.data() + field);
    // The bytes before the first digit, which must be spaces.
    const std::uint64_t others = detail::non_digits(values);
    const std::uint64_t padding =
        detail::low_bytes[static_cast<unsigned>(
                              __builtin_ctzll((others ^ highs) | 1ULL << 63)) /
                          8];
    if (padding == 0 || (others ^ (highs & padding)) != 0 ||
        ((values ^ (0x2020202020202020ULL ^ 0x3030303030303030ULL)) &
         padding) != 0) {
      break;
    }
    y.push_back(static_cast<double>(
        detail::eight_digits(values & 0x0F0F0F0F0F0F0F0FULL)));
  }
  if (field != 0 && field != line.size() &&
      !is_ascii_blank(static_cast<unsigned char>(line[field]))) {
    y.pop_back(); // the last field's token goes on
    field -= 8;
  }
  return field / 8;
}

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
  const bool fast = detail::rounds_to_nearest();
  const std::uint64_t data_start = reader.consumed();
  std::size_t lines = 0;
  const auto make_room = [&] {
    if (++lines == reserve_after_lines) {
      const std::uint64_t consumed = reader.consumed();
      reserve_ahead(y, estimated_remaining(source.size_hint(), consumed,
                                           consumed - data_start, y.size()));
    }
  };
  for (bool bank = false;;) {
    if (fast) {
      reader.take_block_lines([&](std::size_t begin, std::size_t end) {
        const BlockView block = reader.block();
        bank = starts_with_bank({block.data + begin, end - begin});
        if (!bank) {
          add_intensities(block, begin, end, y);
          make_room();
        }
        return !bank;
      });
      if (bank) {
        break;
      }
    }
    LineOutcome outcome = reader.next_line();
    if (outcome.status == LineOutcome::Status::Failure) {
      return LoadError::io(std::move(*outcome.error));
    }
    if (outcome.status == LineOutcome::Status::End ||
        starts_with_bank(outcome.line)) {
      break;
    }
    add_intensities(outcome.line, y);
    make_room();
  }
  source.close();

  // Each position is computed on its own, never accumulated, and the product
  // is rounded before the sum. Separate statements do not stop a compiler
  // from fusing them into one FMA; the build's -ffp-contract=off does.
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
