// SPDX-License-Identifier: MIT
#include "formats/gsas_raw.h"

#include "core/float_environment.h"
#include "core/growth.h"
#include "text/line_reader.h"
#include "text/short_decimal.h"
#include "text/text.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
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
  return line.size() >= 4 && std::memcmp(line.data(), "BANK", 4) == 0;
}

// Where the intensities go: a run, flushed into the column when it is full,
// and after a line when it has no room for as many fields as a line holds
// as a rule, so that the next line's fields can go straight into it.
class Intensities {
public:
  Intensities(PointSink<1> &sink, const LineReader &reader) noexcept
      : sink_(sink), reader_(reader) {}
  void push(double value) {
    sink_[0].push_back(value);
    if (sink_.full()) {
      sink_.flush(reader_.consumed());
    }
  }
  ColumnRun &run() noexcept { return sink_[0]; }
  void end_line() {
    constexpr std::size_t fields_of_a_line = 64;
    if (sink_[0].room() < fields_of_a_line) {
      sink_.flush(reader_.consumed());
    }
  }

private:
  PointSink<1> &sink_;
  const LineReader &reader_;
};

// Every number of a data line.
void add_intensities(std::string_view line, Intensities &y) {
  for (const std::string_view token : whitespace_tokens(line)) {
    if (std::optional<double> value = parse_value(token)) {
      y.push(*value);
    }
  }
}

// The same for a line of a classified block: its fields straight into the
// run, then the rest of the line token by token.
void add_intensities(const BlockLine &line, Intensities &y) {
  ColumnRun &run = y.run();
  const std::size_t fields = detail::gsas_fields(
      line.data + line.begin, line.end - line.begin, run.end(), run.room());
  run.keep(fields);
  LineTokens<false> walk(
      {line.data, line.masks, line.begin + 8 * fields, line.end});
  for (std::size_t start, stop; walk.next(start, stop);) {
    if (double value; detail::token_value(line.data, start, stop, value)) {
      y.push(value);
    }
  }
}

// x[i] = i * (step / 100) + start / 100 in round to nearest, whatever the
// caller's environment: each position computed on its own, never
// accumulated, and the product rounded before the sum. Separate statements
// do not stop a compiler from fusing them into one FMA; the build's
// -ffp-contract=off does.
std::vector<double> positions(double start, double step, std::size_t count) {
  std::vector<double> x(count);
  // Read after the rounding is set: a compiler may move arithmetic, but not
  // a volatile read, across the call.
  volatile double operands[] = {start, step};
  const NearestRounding nearest;
  const double origin = operands[0] / 100.0;
  const double increment = operands[1] / 100.0;
  for (std::size_t i = 0; i < count; ++i) {
    const double offset = static_cast<double>(i) * increment;
    x[i] = offset + origin;
  }
  return x;
}

// The GSAS reader itself.
LoadResult read_bank(ByteSource source) {
  LineReader reader(source);

  // Header search: a BANK line with too few tokens is part of the preamble.
  // The tokens point into the line, so start and step are parsed at once.
  bool found = false;
  std::optional<double> start;
  std::optional<double> step;
  std::optional<IoError> failure = reader.read([&](std::string_view line) {
    std::array<std::string_view, header_tokens> tokens;
    found =
        starts_with_bank(line) &&
        whitespace_tokens(line, tokens.data(), tokens.size()) == header_tokens;
    if (found) {
      start = parse_value(tokens[start_token]);
      step = parse_value(tokens[step_token]);
    }
    return !found;
  });
  if (failure) {
    return LoadError::io(std::move(*failure));
  }
  if (!found) {
    return LoadError::parse("BANK header not found in RAW file");
  }
  if (!start) {
    return LoadError::parse("Invalid start");
  }
  if (!step) {
    return LoadError::parse("Invalid step");
  }

  // Every number up to the next BANK line is an intensity, whatever the
  // record layout the header names.
  PointSink<1> sink(source.size_hint(), reader.consumed());
  Intensities y(sink, reader);
  failure = reader.read(
      [&](const BlockLine &line) {
        if (starts_with_bank(line.text())) {
          return false;
        }
        add_intensities(line, y);
        y.end_line();
        return true;
      },
      [&](std::string_view line) {
        if (starts_with_bank(line)) {
          return false;
        }
        add_intensities(line, y);
        y.end_line();
        return true;
      });
  if (failure) {
    return LoadError::io(std::move(*failure));
  }
  sink.flush(reader.consumed());
  source.close();
  std::vector<double> &intensities = sink.column(0);
  std::vector<double> x = positions(*start, *step, intensities.size());
  return Pattern(std::move(x), std::move(intensities));
}

} // namespace

// A field of eight bytes that is spaces and then digits up to its end
// converts from its one word, the spaces, 0x10 as digit values, masked to
// zeros. It is a whole token when a blank or the line's end follows it: the
// last field is kept only then.
std::size_t detail::gsas_fields(const char *line, std::size_t length,
                                double *out, std::size_t room) noexcept {
  constexpr std::uint64_t highs = 0x8080808080808080ULL;
  std::size_t count = 0;
  for (; length - 8 * count >= 8 && count < room; ++count) {
    const std::uint64_t values = detail::digit_values(line + 8 * count);
    // The bytes before the first digit, which must be spaces.
    const std::uint64_t others = detail::non_digits(values);
    const std::uint64_t padding =
        detail::low_bytes[static_cast<unsigned>(
                              std::countr_zero((others ^ highs) | 1ULL << 63)) /
                          8];
    if (padding == 0 || (others ^ (highs & padding)) != 0 ||
        ((values ^ (0x2020202020202020ULL ^ 0x3030303030303030ULL)) &
         padding) != 0) {
      break;
    }
    out[count] = detail::to_double(
        {detail::eight_digits(values & 0x0F0F0F0F0F0F0F0FULL), 0, false});
  }
  const std::size_t end = 8 * count;
  if (count > 0 && end != length &&
      !is_ascii_blank(static_cast<unsigned char>(line[end]))) {
    --count; // the last field's token goes on
  }
  return count;
}

LoadResult read_gsas_raw(ByteSource source) {
  return detail::read_for_kernel([&] { return read_bank(std::move(source)); });
}

} // namespace difral
