// SPDX-License-Identifier: MIT
// Loads each file named on the command line once through load_path and
// prints its point count: a driver for counting instructions with callgrind
// (--toggle-collect='difral::load_path*'), below the Python layer.
//
//   difral_load_path [--classifier NAME] FILE...
//
// --classifier picks the block classifier (avx2, sse2, neon or portable,
// as the CPU has them) instead of the best one the CPU runs.
#include "core/dispatch.h"
#include "text/block.h"

#include <cstdio>
#include <string>
#include <string_view>

int main(int argc, char **argv) {
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--classifier" && i + 1 < argc) {
      const std::string_view name = argv[++i];
      bool found = false;
      for (const difral::Classifier &c : difral::detail::classifiers()) {
        if (c.name == name && c.supported()) {
          difral::detail::set_active_classifier(c);
          found = true;
        }
      }
      if (!found) {
        std::fprintf(stderr, "no classifier %s on this CPU\n", argv[i]);
        return 2;
      }
      continue;
    }
    const difral::LoadResult result = difral::load_path(arg);
    if (!result.ok()) {
      std::fprintf(stderr, "%s: %s\n", argv[i],
                   result.error().message().c_str());
      status = 1;
      continue;
    }
    std::printf("%s: %zu points (%s)\n", argv[i], result->x.size(),
                std::string(difral::detail::active_classifier().name).c_str());
  }
  return status;
}
