// SPDX-License-Identifier: MIT
#pragma once

#include "core/growth.h"

#include <optional>
#include <vector>

namespace difral {

// One loaded diffraction pattern. x and y always have the same length; e, when
// present, is as long as x and never empty. The record is moved from the
// reader to the Python object and never copied, so copying does not compile.
// Building one gives back the room its columns do not use.
struct Pattern {
  std::vector<double> x;
  std::vector<double> y;
  std::optional<std::vector<double>> e;

  Pattern() = default;
  Pattern(std::vector<double> xs, std::vector<double> ys) noexcept
      : x(std::move(xs)), y(std::move(ys)) {
    release_spare(x);
    release_spare(y);
  }
  Pattern(std::vector<double> xs, std::vector<double> ys,
          std::vector<double> es) noexcept
      : Pattern(std::move(xs), std::move(ys)) {
    e = std::move(es);
    release_spare(*e);
  }
  Pattern(const Pattern &) = delete;
  Pattern &operator=(const Pattern &) = delete;
  Pattern(Pattern &&) noexcept = default;
  Pattern &operator=(Pattern &&) noexcept = default;
  ~Pattern() = default;
};

} // namespace difral
