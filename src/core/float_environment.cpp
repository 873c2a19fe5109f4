// SPDX-License-Identifier: MIT
#include "core/float_environment.h"

#include <cfloat>
#include <cstdint>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

namespace difral {

namespace {

// Subnormal results flushed to zero, and subnormal operands read as zero:
// MXCSR's FTZ and DAZ bits, FPCR's FZ bit.
#if defined(__SSE2__)
constexpr unsigned flush_bits = 1u << 15 | 1u << 6;
// MXCSR's rounding control, and its six exception masks.
constexpr unsigned rounding_bits = 3u << 13;
constexpr unsigned exception_masks = 0x3Fu << 7;
#elif defined(__aarch64__)
constexpr std::uint64_t flush_bits = std::uint64_t{1} << 24;
#endif

// The control register of the unit that does double arithmetic set to round
// to nearest, trap nothing and keep subnormals: on SSE in MXCSR itself, which
// fesetround and feholdexcept need not reach; on aarch64 FPCR's FZ cleared,
// the rest being standard there.
void set_nearest_controls() noexcept {
#if defined(__SSE2__)
  _mm_setcsr((_mm_getcsr() | exception_masks) & ~(rounding_bits | flush_bits));
#elif defined(__aarch64__)
  std::uint64_t control;
  asm volatile("mrs %0, fpcr" : "=r"(control));
  asm volatile("msr fpcr, %0" : : "r"(control & ~flush_bits));
#endif
}

} // namespace

bool divides_to_nearest() noexcept {
  if constexpr (FLT_EVAL_METHOD != 0) {
    return false; // quotients carry excess precision: two roundings
  }
  // The operands are read at run time, so the divisions are too. Downward
  // and toward zero round 1/10 down; upward rounds 1/3 up.
  volatile double one = 1.0;
  volatile double three = 3.0;
  volatile double ten = 10.0;
  return one / ten == 0x1.999999999999ap-4 &&
         one / three == 0x1.5555555555555p-2;
}

SavedFloatEnvironment::SavedFloatEnvironment() noexcept {
  std::fegetenv(&saved_);
#if defined(__SSE2__)
  control_status_ = _mm_getcsr();
#endif
}

SavedFloatEnvironment::~SavedFloatEnvironment() {
  std::fesetenv(&saved_);
#if defined(__SSE2__)
  _mm_setcsr(control_status_);
#endif
}

// feholdexcept clears the flags and masks every trap; fesetround sets the
// rounding of every unit (x87 and SSE alike on x86, where the C runtime
// reaches SSE at all).
NearestRounding::NearestRounding() noexcept {
  std::fenv_t held;
  std::feholdexcept(&held);
  std::fesetround(FE_TONEAREST);
  set_nearest_controls();
}

} // namespace difral
