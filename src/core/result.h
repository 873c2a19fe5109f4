// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <variant>

namespace difral {

// Exactly one of a value or an error: the one shape of every fallible
// operation in the loading core. Test ok() before using * or ->, and error()
// only when it is false: the other way round is a broken invariant, and
// throws std::logic_error.
template <typename T, typename E> class [[nodiscard]] Result {
public:
  Result(T value) noexcept(std::is_nothrow_move_constructible_v<T>)
      : value_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) noexcept(std::is_nothrow_move_constructible_v<E>)
      : value_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return value_.index() == 0; }
  T &operator*() & { return get<0>(*this); }
  const T &operator*() const & { return get<0>(*this); }
  T *operator->() { return &get<0>(*this); }
  const T *operator->() const { return &get<0>(*this); }
  E &error() & { return get<1>(*this); }
  const E &error() const & { return get<1>(*this); }

private:
  template <std::size_t I, class Self> static auto &get(Self &self) {
    if (self.value_.index() != I) {
      throw std::logic_error(I == 0
                                 ? "a failed Result used as a value"
                                 : "a successful Result asked for its error");
    }
    return *std::get_if<I>(&self.value_);
  }

  std::variant<T, E> value_;
};

} // namespace difral
