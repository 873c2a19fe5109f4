// SPDX-License-Identifier: MIT
#pragma once

#include <algorithm>
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
// when items were found between byte data_start and byte consumed. Only a
// hint for reserving, which reserve_ahead bounds: 0 when there is nothing to
// judge from.
std::size_t estimated_remaining(std::uint64_t input_size,
                                std::uint64_t data_start,
                                std::uint64_t consumed,
                                std::size_t items) noexcept;

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
  // For a writer that stores values after the run's own and then keeps the
  // first count of them: room() of them at most.
  double *end() noexcept { return values_.data() + size_; }
  std::size_t room() const noexcept { return capacity - size_; }
  void keep(std::size_t count) noexcept { size_ += count; }
  // Moves the run's values to the end of column.
  void append_to(std::vector<double> &column) {
    column.insert(column.end(), values_.begin(), values_.begin() + size_);
    size_ = 0;
  }

private:
  std::array<double, capacity> values_;
  std::size_t size_ = 0;
};

// The points of one load, column by column: values go into runs, and a flush
// moves the runs into the columns. The columns start with room for a run,
// enough for a small input. Before the first column would outgrow its room,
// the bytes read so far show how many a point takes, and every column that
// keeps pace with it is sized for the rest of the input, sparing the copies
// and page faults of doubling.
template <std::size_t Columns> class PointSink {
public:
  // input_size: the whole input's bytes, 0 when unknown; data_start: the
  // bytes before the data, which say nothing about the points.
  PointSink(std::uint64_t input_size, std::uint64_t data_start)
      : input_size_(input_size), data_start_(data_start) {
    for (std::vector<double> &column : columns_) {
      column.reserve(ColumnRun::capacity);
    }
  }

  ColumnRun &operator[](std::size_t column) noexcept { return runs_[column]; }
  // The first column's run can take no more: flush first.
  bool full() const noexcept { return runs_[0].full(); }

  // consumed: the input's bytes read so far.
  void flush(std::uint64_t consumed) {
    const std::size_t points = columns_[0].size() + runs_[0].size();
    if (columns_[0].capacity() < points) {
      const std::size_t more = std::max(
          estimated_remaining(input_size_, data_start_, consumed, points),
          runs_[0].size());
      for (std::size_t c = 0; c < Columns; ++c) {
        if (columns_[c].size() + runs_[c].size() == points) {
          reserve_ahead(columns_[c], more);
        }
      }
    }
    for (std::size_t c = 0; c < Columns; ++c) {
      runs_[c].append_to(columns_[c]);
    }
  }

  // The columns, once the last values are flushed.
  std::vector<double> &column(std::size_t column) noexcept {
    return columns_[column];
  }

private:
  std::array<ColumnRun, Columns> runs_;
  std::array<std::vector<double>, Columns> columns_;
  std::uint64_t input_size_;
  std::uint64_t data_start_;
};

} // namespace difral
