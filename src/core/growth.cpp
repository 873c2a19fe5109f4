// SPDX-License-Identifier: MIT
#include "core/growth.h"

#include "core/platform.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>

namespace difral {

void reserve_ahead(std::vector<double> &column, std::size_t more) {
  if (more == 0) {
    return;
  }
  const std::size_t eighth = column.size() / 8;
  const std::size_t wanted =
      column.size() + std::clamp(more, eighth, eighth + most_reserved_ahead);
  if (wanted <= column.capacity()) {
    return;
  }
  column.reserve(wanted);
  // One fault then backs 2 MiB, not 4 KiB, when the record is first written.
  platform::advise_huge_pages(column.data(),
                              column.capacity() * sizeof(double));
}

void release_spare(std::vector<double> &column) noexcept {
  const std::size_t size = column.size();
  if (column.capacity() <= size + size / 4 + spare_values) {
    return;
  }
  try {
    std::vector<double>(column.begin(), column.end()).swap(column);
  } catch (const std::bad_alloc &) {
    // The values stay where they are, in the larger block.
  }
}

std::size_t estimated_remaining(std::uint64_t input_size,
                                std::uint64_t data_start,
                                std::uint64_t consumed,
                                std::size_t items) noexcept {
  if (input_size <= consumed || consumed <= data_start || items == 0) {
    return 0;
  }
  const double per_item =
      static_cast<double>(consumed - data_start) / static_cast<double>(items);
  const double more = static_cast<double>(input_size - consumed) / per_item;
  // Past the range of size_t (only 2^32 - 1 on 32-bit targets) the
  // conversion is undefined; reserve_ahead takes far less anyway.
  const double most = static_cast<double>(std::min<std::uint64_t>(
      std::uint64_t{1} << 40, std::numeric_limits<std::size_t>::max()));
  return static_cast<std::size_t>(std::min(more * 1.05 + 16, most));
}

} // namespace difral
