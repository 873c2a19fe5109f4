// SPDX-License-Identifier: MIT
// Helpers shared by the fuzz targets: a failed check prints what broke and
// aborts, so libFuzzer keeps the input as a crash.
#pragma once

#include "core/load_result.h"
#include "text/block.h"
#include "text/line_reader.h"

#include <cfenv>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

namespace difral::fuzz {

[[noreturn]] inline void fail(const char *what) {
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

inline void require(bool condition, const char *what) {
  if (!condition) {
    fail(what);
  }
}

inline std::span<const std::byte> as_bytes(std::string_view text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

// A straightforward UTF-8 check, written apart from the core's fast one so
// that the two can disagree: no overlongs, no surrogates, nothing past
// U+10FFFF, no truncated sequence.
inline bool valid_utf8(std::string_view text) {
  const auto *p = reinterpret_cast<const unsigned char *>(text.data());
  const auto *end = p + text.size();
  while (p < end) {
    const unsigned lead = *p;
    std::size_t length;
    unsigned code;
    if (lead < 0x80) {
      ++p;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < length) {
      return false;
    }
    for (std::size_t i = 1; i < length; ++i) {
      if ((p[i] & 0xC0) != 0x80) {
        return false;
      }
      code = (code << 6) | (p[i] & 0x3F);
    }
    if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) ||
        (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
      return false;
    }
    p += length;
  }
  return true;
}

// The shape every successful load has: x and y of one length, and e either
// absent or exactly as long as x and never empty.
inline void check_shape(const LoadResult &result) {
  if (!result.ok()) {
    require(!result.error().message().empty(), "an error without a message");
    return;
  }
  require(result->x.size() == result->y.size(), "x and y differ in length");
  if (result->e) {
    require(!result->e->empty(), "e present but empty");
    require(result->e->size() == result->x.size(), "e and x differ in length");
  }
}

// Bit for bit, so that NaNs compare equal to themselves.
inline bool same_values(const std::vector<double> &a,
                        const std::vector<double> &b) {
  return a.size() == b.size() &&
         (a.empty() ||
          std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// The same points, or failures of the same kind (and, when asked, the same
// text).
inline bool same_result(const LoadResult &a, const LoadResult &b,
                        bool compare_messages) {
  if (a.ok() != b.ok()) {
    return false;
  }
  if (!a.ok()) {
    return a.error().kind() == b.error().kind() &&
           (!compare_messages || a.error().message() == b.error().message());
  }
  if (!same_values(a->x, b->x) || !same_values(a->y, b->y) ||
      a->e.has_value() != b->e.has_value()) {
    return false;
  }
  return !a->e || same_values(*a->e, *b->e);
}

// Loads the bytes on the general path (every line as text, every token
// through parse_value), then with every block classifier the CPU runs, then
// with the best one under a directed rounding mode and with subnormals
// flushed; each must give the general path's result, bit for bit. Leaves
// the best classifier active and the environment as it was.
template <class Load> void require_every_path_agrees(Load load) {
  detail::force_general_path(true);
  const LoadResult general = load();
  detail::force_general_path(false);
  const Classifier &best = detail::active_classifier();
  for (const Classifier &classifier : detail::classifiers()) {
    if (classifier.supported()) {
      detail::set_active_classifier(classifier);
      require(same_result(load(), general, true),
              "a classifier's fast path differs from the general path");
    }
  }
  detail::set_active_classifier(best);
  std::fenv_t saved;
  std::fegetenv(&saved);
  std::fesetround(FE_UPWARD);
#if defined(__SSE2__)
  _mm_setcsr(_mm_getcsr() | 0x8040); // flush-to-zero, denormals-are-zero
#endif
  const bool same = same_result(load(), general, true);
  std::fesetenv(&saved);
  require(same, "a load under another floating-point environment differs");
}

inline bool is_io_utf8(const LoadResult &result) {
  return !result.ok() && result.error().kind() == LoadErrorKind::Io &&
         result.error().message() == "stream did not contain valid UTF-8";
}

// One file per process, rewritten for every input, so that the same bytes
// can go through load_path. It lives in a fresh directory on a RAM file
// system when there is one, and is removed at exit.
class ScratchFile {
public:
  explicit ScratchFile(std::string_view extension) {
    const char *base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr;
    if (base == nullptr) {
      base = std::getenv("TMPDIR");
    }
    std::string pattern = std::string(base ? base : "/tmp") + "/difral-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      fail("cannot create the scratch directory");
    }
    directory_ = pattern;
    path_ = directory_ + "/input." + std::string(extension);
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      fail("cannot create the scratch file");
    }
  }
  ScratchFile(const ScratchFile &) = delete;
  ScratchFile &operator=(const ScratchFile &) = delete;
  ~ScratchFile() {
    ::close(fd_);
    ::unlink(path_.c_str());
    ::rmdir(directory_.c_str());
  }

  const std::string &path() const { return path_; }

  void write(std::span<const std::byte> data) {
    require(::ftruncate(fd_, 0) == 0, "cannot truncate the scratch file");
    std::size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = ::pwrite(fd_, data.data() + done, data.size() - done,
                                 static_cast<off_t>(done));
      require(n > 0, "cannot write the scratch file");
      done += static_cast<std::size_t>(n);
    }
  }

private:
  std::string directory_;
  std::string path_;
  int fd_ = -1;
};

} // namespace difral::fuzz
