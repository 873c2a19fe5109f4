// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace difral {

// How a column of the record grows. Its memory follows the values it holds,
// never the size of the input: a guess from the input's size may reserve
// ahead, but only so far, and what a load did not use is given back.

// The most a guess reserves beyond the values a column holds (8 MiB of
// doubles): an input's size says little about its points when comments,
// other banks or lines a reader skips fill most of it.
inline constexpr std::size_t most_reserved_ahead = std::size_t{1} << 20;

// The room a finished column keeps beyond its values: a quarter of them
// plus this many, so that a small pattern keeps its first reservation.
inline constexpr std::size_t spare_values = 256;

// How many more items the rest of an input of input_size bytes likely holds,
// with consumed bytes read so far and sampled_items seen in sampled_bytes of
// them. Only a hint for reserving, which reserve_ahead bounds: 0 when there
// is nothing to judge from.
std::size_t estimated_remaining(std::uint64_t input_size,
                                std::uint64_t consumed,
                                std::uint64_t sampled_bytes,
                                std::size_t sampled_items) noexcept;

// Makes room for about more values after those the column holds, as a guess
// from the input's size suggests (0: no guess, nothing is reserved). The room
// ahead is at least an eighth of the values held, so that growth stays
// geometric however short the guesses fall, and at most most_reserved_ahead
// beyond that eighth. The whole huge pages of the reservation are asked for
// as such, which makes first touching a large record faster.
void reserve_ahead(std::vector<double> &column, std::size_t more);

// Gives back the room a finished column does not use: afterwards its
// capacity is at most size + size / 4 + spare_values. Keeps the larger block
// when memory for the copy cannot be had.
void release_spare(std::vector<double> &column) noexcept;

// A column's next values, stored without a capacity check each and appended
// to the column a run at a time.
class ColumnRun {
public:
  static constexpr std::size_t capacity = 256;

  void push_back(double value) noexcept { values_[size_++] = value; }
  std::size_t size() const noexcept { return size_; }
  bool full() const noexcept { return size_ == capacity; }
  // Moves the run's values to the end of column.
  void append_to(std::vector<double> &column) {
    column.insert(column.end(), values_.begin(), values_.begin() + size_);
    size_ = 0;
  }

private:
  std::array<double, capacity> values_;
  std::size_t size_ = 0;
};

} // namespace difral
