// SPDX-License-Identifier: MIT
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace difral {

// Exactly one of a value or an error: the one shape of every fallible
// operation in the loading core. Test ok() before using * or ->, and error()
// only when it is false.
template <typename T, typename E> class [[nodiscard]] Result {
public:
  Result(T value) noexcept(std::is_nothrow_move_constructible_v<T>)
      : value_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) noexcept(std::is_nothrow_move_constructible_v<E>)
      : value_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return value_.index() == 0; }
  T &operator*() &noexcept { return *std::get_if<0>(&value_); }
  const T &operator*() const &noexcept { return *std::get_if<0>(&value_); }
  T *operator->() noexcept { return std::get_if<0>(&value_); }
  const T *operator->() const noexcept { return std::get_if<0>(&value_); }
  E &error() &noexcept { return *std::get_if<1>(&value_); }
  const E &error() const &noexcept { return *std::get_if<1>(&value_); }

private:
  std::variant<T, E> value_;
};

} // namespace difral
