// SPDX-License-Identifier: MIT
#pragma once

#include "text/block.h"

#include <gtest/gtest.h>

#include <string>

namespace difral {

// Runs check once with every block classifier this CPU can run, each named
// in the trace, and leaves the best one active again.
template <class Check> void for_each_classifier(Check check) {
  const Classifier &best = detail::active_classifier();
  for (const Classifier &classifier : detail::classifiers()) {
    if (!classifier.supported()) {
      continue;
    }
    SCOPED_TRACE("classifier " + std::string(classifier.name));
    detail::set_active_classifier(classifier);
    check();
  }
  detail::set_active_classifier(best);
}

} // namespace difral
