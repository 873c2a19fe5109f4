// SPDX-License-Identifier: MIT
// The block classifiers: a portable one in every build and, on x86-64, AVX2
// and AVX-512 ones compiled for those instruction sets alone (no -march).
#include "text/block.h"

#include <atomic>
#include <bit>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define DIFRAL_X86_KERNELS 1
#endif

namespace difral::detail {

namespace {

constexpr std::uint64_t ones = 0x0101010101010101ULL;
constexpr std::uint64_t highs = 0x8080808080808080ULL;
constexpr std::uint64_t lows = 0x7F7F7F7F7F7F7F7FULL;

// The high bit of each byte of v that equals c. No carry crosses a byte.
std::uint64_t equal_bytes(std::uint64_t v, unsigned char c) noexcept {
  const std::uint64_t x = v ^ (ones * c);
  return ~(((x & lows) + lows) | x) & highs;
}

// The high bits of the eight bytes of v as eight bits, byte 0 lowest.
std::uint64_t byte_bits(std::uint64_t v) noexcept {
  return ((v >> 7) * 0x0102040810204080ULL) >> 56;
}

// Eight bytes at a time, in plain integer arithmetic.
bool classify_portable(const char *data, std::size_t chunks,
                       BlockMasks &masks) noexcept {
  std::uint64_t seen = 0;
  for (std::size_t c = 0; c < chunks; ++c) {
    std::uint64_t ends = 0, blanks = 0, commas = 0;
    for (std::size_t i = 0; i < chunk_size; i += 8) {
      std::uint64_t v;
      std::memcpy(&v, data + c * chunk_size + i, sizeof v);
      if constexpr (std::endian::native == std::endian::big) {
        v = __builtin_bswap64(v);
      }
      seen |= v;
      // Tab to CR, 9 to 13 and ASCII; LF and CR alternate in bits 0 to 2.
      const std::uint64_t low = v & lows;
      const std::uint64_t controls = (low + ones * (0x80 - '\t')) & highs &
                                     ~(v | (low + ones * (0x80 - '\r' - 1)));
      const std::uint64_t alternate = v ^ v >> 1;
      ends |= byte_bits(controls & (alternate & alternate >> 1) << 7) << i;
      blanks |= byte_bits(equal_bytes(v, ' ') | controls) << i;
      commas |= byte_bits(equal_bytes(v, ',')) << i;
    }
    masks.ends[c] = ends;
    masks.blanks[c] = blanks;
    masks.commas[c] = commas;
  }
  return (seen & highs) == 0;
}

#if defined(DIFRAL_X86_KERNELS)

// The classifier is chosen as the library loads, maybe before libgcc has
// read the CPU's features: each test asks it to.
bool has_avx2() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
bool has_avx512() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") &&
         __builtin_cpu_supports("avx512bw");
}

[[gnu::target("avx2")]] inline std::uint64_t bits(__m256i low,
                                                  __m256i high) noexcept {
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(low)) |
         (std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(high))}
          << 32);
}

[[gnu::target("avx2")]] bool classify_avx2(const char *data, std::size_t chunks,
                                           BlockMasks &masks) noexcept {
  __m256i seen = _mm256_setzero_si256();
  for (std::size_t c = 0; c < chunks; ++c) {
    __m256i ends[2], blanks[2], commas[2];
    for (std::size_t h = 0; h < 2; ++h) {
      const __m256i b = _mm256_loadu_si256(
          reinterpret_cast<const __m256i *>(data + c * 64 + h * 32));
      seen = _mm256_or_si256(seen, b);
      ends[h] = _mm256_or_si256(_mm256_cmpeq_epi8(b, _mm256_set1_epi8('\n')),
                                _mm256_cmpeq_epi8(b, _mm256_set1_epi8('\r')));
      blanks[h] = _mm256_or_si256(
          _mm256_cmpeq_epi8(b, _mm256_set1_epi8(' ')),
          _mm256_and_si256(_mm256_cmpgt_epi8(b, _mm256_set1_epi8(8)),
                           _mm256_cmpgt_epi8(_mm256_set1_epi8(14), b)));
      commas[h] = _mm256_cmpeq_epi8(b, _mm256_set1_epi8(','));
    }
    masks.ends[c] = bits(ends[0], ends[1]);
    masks.blanks[c] = bits(blanks[0], blanks[1]);
    masks.commas[c] = bits(commas[0], commas[1]);
  }
  return _mm256_movemask_epi8(seen) == 0;
}

[[gnu::target("avx512f,avx512bw")]] bool
classify_avx512(const char *data, std::size_t chunks,
                BlockMasks &masks) noexcept {
  __mmask64 seen = 0;
  for (std::size_t c = 0; c < chunks; ++c) {
    const __m512i b = _mm512_loadu_si512(data + c * 64);
    seen |= _mm512_movepi8_mask(b);
    masks.ends[c] = _mm512_cmpeq_epi8_mask(b, _mm512_set1_epi8('\n')) |
                    _mm512_cmpeq_epi8_mask(b, _mm512_set1_epi8('\r'));
    masks.blanks[c] =
        _mm512_cmpeq_epi8_mask(b, _mm512_set1_epi8(' ')) |
        _mm512_cmple_epu8_mask(_mm512_sub_epi8(b, _mm512_set1_epi8('\t')),
                               _mm512_set1_epi8('\r' - '\t'));
    masks.commas[c] = _mm512_cmpeq_epi8_mask(b, _mm512_set1_epi8(','));
  }
  return seen == 0;
}

#endif

constexpr Classifier all_classifiers[] = {
#if defined(DIFRAL_X86_KERNELS)
    {"avx512", has_avx512, classify_avx512},
    {"avx2", has_avx2, classify_avx2},
#endif
    {"portable", []() noexcept { return true; }, classify_portable},
};

// The first classifier the CPU runs, chosen once as the library loads.
std::atomic<const Classifier *> chosen{[] {
  const Classifier *best = all_classifiers;
  while (!best->supported()) {
    ++best;
  }
  return best;
}()};

} // namespace

std::span<const Classifier> classifiers() noexcept { return all_classifiers; }

const Classifier &active_classifier() noexcept {
  return *chosen.load(std::memory_order_relaxed);
}

void set_active_classifier(const Classifier &classifier) noexcept {
  chosen.store(&classifier, std::memory_order_relaxed);
}

} // namespace difral::detail
