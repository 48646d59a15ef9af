// Small facts the engine's kernels, passes and arithmetic share: the
// force-inline macro, bit helpers, the probability of an amplitude and the
// compensated sum's step, each written once.
//
// Vector files include this too (through the vector kernels), so everything
// below has internal linkage: each file gets its own copy built with its own
// options, and no copy built with one set's instructions can be chosen by the
// linker for another file's callers (kernels_vector.h says more).
#pragma once

#include <cstdint>
#include <cstring>

// Helpers that walk an array and call a lambda per register, and the
// multi-word arithmetic's innermost steps: left out of line, the constants a
// lambda uses no longer stay in registers (GCC also takes a function that only
// prefetches for one without effects and drops the calls to it).
#if defined(__GNUC__) || defined(__clang__)
#define ZV_FORCE_INLINE __attribute__((always_inline)) inline
#elif defined(_MSC_VER)
#define ZV_FORCE_INLINE __forceinline
#else
#define ZV_FORCE_INLINE inline
#endif

namespace zentrova::core {
namespace {

constexpr std::uint64_t bit(std::uint64_t p) { return std::uint64_t{1} << p; }
constexpr std::uint64_t lowest_bit(std::uint64_t x) { return x & (~x + 1); }

inline std::uint64_t bits_of(double x) {
  std::uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

// Each product rounded on its own, then added: the fixed definition of an
// outcome probability, whatever the compiler could contract.
inline double probability(double re, double im) {
  const double rr = re * re;
  const double ii = im * im;
  return rr + ii;
}

// The compensated (Kahan) sum of observe_one, one term at a time, in the
// order the terms come.
struct KahanSum {
  double sum = 0.0;
  double c = 0.0;

  void add(double x) {
    const double y = x - c;
    const double t = sum + y;
    c = (t - sum) - y;
    sum = t;
  }

  // Whether adding +0.0 leaves both values bit for bit as they are. A step is
  // a function of (sum, c, x) alone, so then any run of zeros does too.
  bool zero_is_fixed_point() const {
    KahanSum next = *this;
    next.add(0.0);
    return bits_of(next.sum) == bits_of(sum) && bits_of(next.c) == bits_of(c);
  }
};

}  // namespace
}  // namespace zentrova::core
