// SPDX-License-Identifier: MIT
#pragma once

#include "core/load_error.h"
#include "core/pattern.h"

#include <utility>
#include <variant>

namespace difral {

// Exactly one of a Pattern or a LoadError. Test ok() before using * or ->.
class [[nodiscard]] LoadResult {
public:
  LoadResult(Pattern pattern) noexcept : value_(std::move(pattern)) {}
  LoadResult(LoadError error) noexcept : value_(std::move(error)) {}

  bool ok() const noexcept { return value_.index() == 0; }
  Pattern &operator*() &noexcept { return *std::get_if<Pattern>(&value_); }
  const Pattern &operator*() const &noexcept {
    return *std::get_if<Pattern>(&value_);
  }
  Pattern *operator->() noexcept { return std::get_if<Pattern>(&value_); }
  const Pattern *operator->() const noexcept {
    return std::get_if<Pattern>(&value_);
  }
  LoadError &error() &noexcept { return *std::get_if<LoadError>(&value_); }
  const LoadError &error() const &noexcept {
    return *std::get_if<LoadError>(&value_);
  }

private:
  std::variant<Pattern, LoadError> value_;
};

} // namespace difral
