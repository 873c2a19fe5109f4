// SPDX-License-Identifier: MIT
// The block classifiers: a portable one in every build, NEON on aarch64, and
// SSE2 and AVX2 on x86 (32-bit builds require SSE2), each compiled for its
// own instruction set alone (no -march).
#include "text/block.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>

#if (defined(__x86_64__) || (defined(__i386__) && defined(__SSE2__))) &&       \
    (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define DIFRAL_X86_KERNELS 1
#elif defined(__aarch64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#include <arm_neon.h>
#define DIFRAL_NEON_KERNEL 1
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
      const std::uint64_t v = load_word(data + c * chunk_size + i);
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

bool always() noexcept { return true; }

// Vectors of bytes, compared with GCC's vector extensions.
using Bytes16 = signed char __attribute__((vector_size(16)));
using Bytes32 = signed char __attribute__((vector_size(32)));

// Classifies with vectors of V, bits giving a chunk's compare results as
// its 64 bits. SSE2 and NEON are their CPUs' baseline and use it as it is;
// AVX2 inlines it into a function compiled for AVX2. Bytes past 0x7F are
// negative and so never blanks.
template <class V, std::uint64_t (*bits)(const V *) noexcept>
[[gnu::always_inline]] inline bool
classify_vectors(const char *data, std::size_t chunks,
                 BlockMasks &masks) noexcept {
  constexpr std::size_t n = chunk_size / sizeof(V);
  V seen{};
  for (std::size_t c = 0; c < chunks; ++c) {
    V ends[n], blanks[n], commas[n];
    for (std::size_t h = 0; h < n; ++h) {
      V b;
      std::memcpy(&b, data + c * chunk_size + h * sizeof b, sizeof b);
      seen |= b;
      ends[h] = (b == '\n') | (b == '\r');
      blanks[h] = (b == ' ') | ((b > 8) & (b < 14));
      commas[h] = b == ',';
    }
    masks.ends[c] = bits(ends);
    masks.blanks[c] = bits(blanks);
    masks.commas[c] = bits(commas);
  }
  const V tops[n]{seen < 0};
  return bits(tops) == 0;
}

#if defined(DIFRAL_X86_KERNELS)

// The classifier is chosen as the library loads, maybe before libgcc has
// read the CPU's features: each test asks it to. The block loop that goes
// with it uses BMI1 and BMI2, which come with AVX2 on every CPU that has it
// in practice, and are asked for all the same.
bool has_avx2() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
         __builtin_cpu_supports("bmi2");
}

// A 16-byte movemask has 16 bits, never a sign.
std::uint64_t sse2_bits(const Bytes16 *m) noexcept {
  std::uint64_t bits = 0;
  for (std::size_t h = 0; h < 4; ++h) {
    bits |= static_cast<std::uint64_t>(_mm_movemask_epi8((__m128i)m[h]))
            << 16 * h;
  }
  return bits;
}

[[gnu::target("avx2")]] std::uint64_t avx2_bits(const Bytes32 *m) noexcept {
  return static_cast<std::uint32_t>(_mm256_movemask_epi8((__m256i)m[0])) |
         std::uint64_t{
             static_cast<std::uint32_t>(_mm256_movemask_epi8((__m256i)m[1]))}
             << 32;
}

[[gnu::target("avx2")]] bool classify_avx2(const char *data, std::size_t chunks,
                                           BlockMasks &masks) noexcept {
  return classify_vectors<Bytes32, avx2_bits>(data, chunks, masks);
}

#elif defined(DIFRAL_NEON_KERNEL)

// Each byte of a compare result keeps its own bit, and three pairwise adds
// gather eight bytes in one.
std::uint64_t neon_bits(const Bytes16 *m) noexcept {
  const uint8x16_t w = vreinterpretq_u8_u64(vdupq_n_u64(0x8040201008040201));
  uint8x16_t v[4];
  for (std::size_t h = 0; h < 4; ++h) {
    v[h] = vandq_u8((uint8x16_t)m[h], w);
  }
  const uint8x16_t sum =
      vpaddq_u8(vpaddq_u8(v[0], v[1]), vpaddq_u8(v[2], v[3]));
  return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(sum, sum)), 0);
}

#endif

constexpr Classifier all_classifiers[] = {
#if defined(DIFRAL_X86_KERNELS)
    {"avx2", has_avx2, classify_avx2, true},
    {"sse2", always, classify_vectors<Bytes16, sse2_bits>},
#elif defined(DIFRAL_NEON_KERNEL)
    {"neon", always, classify_vectors<Bytes16, neon_bits>},
#endif
    {"portable", always, classify_portable},
};

// The first classifier the CPU runs, chosen once as the library loads.
std::atomic<const Classifier *> chosen{
    std::find_if(std::begin(all_classifiers), std::end(all_classifiers),
                 [](const Classifier &c) { return c.supported(); })};

} // namespace

std::span<const Classifier> classifiers() noexcept { return all_classifiers; }

const Classifier &active_classifier() noexcept {
  return *chosen.load(std::memory_order_relaxed);
}

void set_active_classifier(const Classifier &classifier) noexcept {
  chosen.store(&classifier, std::memory_order_relaxed);
}

} // namespace difral::detail
