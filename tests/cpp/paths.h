// SPDX-License-Identifier: MIT
#pragma once

#include "core/byte_source.h"
#include "core/float_environment.h"
#include "text/block.h"
#include "text/line_reader.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <string>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

namespace difral::testing {

// What a caller may leave in the floating-point environment, set before a
// load or, for the last row, by the interrupt check (as a Python signal
// handler may) at the third read. Loads must give the same values under
// each. On x86, SSE rounding alone is what fegetround does not show.
struct FloatEnvironment {
  const char *name;
  void (*set)();
  InterruptCheck check;
};

inline int reads_seen = 0;

inline void sse_or_all_upward() {
#if defined(__SSE2__)
  _MM_SET_ROUNDING_MODE(_MM_ROUND_UP);
#else
  std::fesetround(FE_UPWARD);
#endif
}

inline const FloatEnvironment float_environments[] = {
    {"downward", [] { std::fesetround(FE_DOWNWARD); }, nullptr},
#if defined(__SSE2__)
    {"SSE toward zero", [] { _MM_SET_ROUNDING_MODE(_MM_ROUND_TOWARD_ZERO); },
     nullptr},
    {"flush to zero, denormals are zero",
     [] { _mm_setcsr(_mm_getcsr() | 0x8040); }, nullptr},
#endif
#if defined(__x86_64__) || defined(__i386__)
    {"x87 downward",
     [] {
       unsigned short control;
       asm volatile("fnstcw %0" : "=m"(control));
       control = static_cast<unsigned short>((control & ~0x0C00) | 0x0400);
       asm volatile("fldcw %0" : : "m"(control));
     },
     nullptr},
#endif
#if defined(__aarch64__)
    {"flush to zero",
     [] {
       unsigned long control;
       asm volatile("mrs %0, fpcr" : "=r"(control));
       asm volatile("msr fpcr, %0" : : "r"(control | 1ul << 24));
     },
     nullptr},
#endif
    {"upward from the third read", [] {},
     [] {
       if (++reads_seen == 3) {
         sse_or_all_upward();
       }
       return false;
     }},
};

// The controls of the environment, without its flags, which arithmetic
// raises: a load must leave them as the caller set them.
inline unsigned float_controls() {
#if defined(__SSE2__)
  return _mm_getcsr() & ~0x3Fu;
#else
  return static_cast<unsigned>(std::fegetround());
#endif
}

// The interrupt check of the row being run, for tests that build their
// sources themselves; null outside the environment rows.
inline InterruptCheck interrupt_check = nullptr;

// Runs check once with every block classifier this CPU runs, each named in
// the trace, and leaves the best one active again.
template <class Check> void for_each_classifier(Check check) {
  const Classifier &best = detail::active_classifier();
  for (const Classifier &classifier : detail::classifiers()) {
    if (classifier.supported()) {
      SCOPED_TRACE("classifier " + std::string(classifier.name));
      detail::set_active_classifier(classifier);
      check();
    }
  }
  detail::set_active_classifier(best);
}

// Runs check on every way a load can go: the general path, each block
// classifier, and the best one under each floating-point environment above,
// each named in the trace. Leaves the environment as it was. Values compared
// under an environment row are compared as bits: denormals-are-zero makes
// every subnormal equal zero.
template <class Check> void for_each_path(Check check) {
  {
    SCOPED_TRACE("general path");
    detail::force_general_path(true);
    check();
    detail::force_general_path(false);
  }
  for_each_classifier(check);
  for (const FloatEnvironment &environment : float_environments) {
    SCOPED_TRACE(environment.name);
    const SavedFloatEnvironment saved;
    reads_seen = 0;
    interrupt_check = environment.check;
    environment.set();
    const unsigned controls = float_controls();
    check();
    interrupt_check = nullptr;
    if (environment.check == nullptr) {
      EXPECT_EQ(float_controls(), controls) << "the caller's environment";
    }
  }
}

} // namespace difral::testing
