// SPDX-License-Identifier: MIT
// Micro-benchmarks of the loading core, below the Python layer: the number
// parser on typical tokens, a whole 3-column load from memory, and the fixed
// cost of one small load. For profiling changes to src/text; not a test.
#include "core/dispatch.h"
#include "text/text.h"

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Lines like the generator's .xye: "%.4f %.4f %.4f", a slowly rising x.
std::string column_text(std::size_t points) {
  std::string text = "# 2theta intensity esd\n";
  char line[64];
  for (std::size_t i = 0; i < points; ++i) {
    const double x =
        10.0 + 100.0 * static_cast<double>(i) / static_cast<double>(points);
    const double y = 150.0 + static_cast<double>((i * 7919) % 20000);
    std::snprintf(line, sizeof line, "%.4f %.4f %.4f\n", x, y, y / 40.0);
    text += line;
  }
  return text;
}

void parse_typical_tokens(benchmark::State &state) {
  const std::vector<std::string_view> tokens = {
      "10.0001", "2065.4586", "45.4473", "109.9999", "150", "-0.5", "1e3"};
  for (auto _ : state) {
    for (const std::string_view token : tokens) {
      benchmark::DoNotOptimize(difral::parse_value(token));
    }
  }
  state.SetItemsProcessed(state.iterations() *
                          static_cast<std::int64_t>(tokens.size()));
}
BENCHMARK(parse_typical_tokens);

void load_columns_from_memory(benchmark::State &state) {
  const std::string text =
      column_text(static_cast<std::size_t>(state.range(0)));
  const auto bytes = std::as_bytes(std::span(text.data(), text.size()));
  for (auto _ : state) {
    difral::LoadResult result = difral::load_buffer(bytes, "pattern.xye");
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(text.size()));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(load_columns_from_memory)
    ->Arg(100)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
