// SPDX-License-Identifier: MIT
#pragma once

#include <cfenv>

namespace difral {

// True while one division of two exact doubles gives the quotient rounded to
// nearest in the unit that does this library's arithmetic: on x86-64 that is
// SSE, whose rounding the x87 control word read by fegetround does not show.
// Asked afresh wherever the caller's code may have run since (a signal
// handler runs between reads). Flush-to-zero and denormals-are-zero do not
// matter to a quotient whose operands and result are all normal.
bool divides_to_nearest() noexcept;

// The caller's floating-point environment, flags included, saved when it is
// made and given back when it goes. On SSE the MXCSR register is saved and
// restored by itself as well: mingw-w64's fesetenv leaves it as it is.
class SavedFloatEnvironment {
public:
  SavedFloatEnvironment() noexcept;
  SavedFloatEnvironment(const SavedFloatEnvironment &) = delete;
  SavedFloatEnvironment &operator=(const SavedFloatEnvironment &) = delete;
  ~SavedFloatEnvironment();

private:
  std::fenv_t saved_;
#if defined(__SSE2__)
  unsigned control_status_;
#endif
};

// While it lives, arithmetic rounds to nearest with subnormals kept (no
// flush-to-zero, no denormals-are-zero) and traps nothing, whatever the
// caller had set; the caller's environment, flags included, comes back when
// it goes. Only for values computed rather than parsed: the parser is exact
// in any environment.
class NearestRounding {
public:
  NearestRounding() noexcept;
  NearestRounding(const NearestRounding &) = delete;
  NearestRounding &operator=(const NearestRounding &) = delete;

private:
  SavedFloatEnvironment saved_;
};

} // namespace difral
