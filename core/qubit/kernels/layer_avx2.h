// The register operations of kernels_vector.h with 256-bit registers (AVX2):
// two amplitudes per register. Included only by files built with AVX2 (or
// wider) options; everything has internal linkage, for the reason
// kernels_vector.h gives.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "core/internal.h"
#include "core/qubit/kernels/layer.h"

namespace zentrova::core {
namespace {

struct Avx2Layer {
  using Reg = __m256d;
  using Mask = __m256d;  // all-ones bits in the chosen doubles
  using Perm = __m256i;  // 32-bit halves of the doubles
  using ReadOnly = Avx2Layer;
  static constexpr std::uint64_t kDoubles = 4;

  static Reg load(const double* p) { return _mm256_loadu_pd(p); }
  static void store(double* p, Reg x) { _mm256_storeu_pd(p, x); }
  static Reg broadcast(double v) { return _mm256_set1_pd(v); }
  static Reg set(const double* v) { return _mm256_setr_pd(v[0], v[1], v[2], v[3]); }
  static Reg zero() { return _mm256_setzero_pd(); }
  // A load the optimiser cannot fold into the instructions that use it (the
  // empty statement emits nothing and changes no bit). Built on an emulation
  // of these registers (the tests' portable layer) it is a plain load.
  static Reg load_once(const double* p) {
    Reg x = load(p);
#if (defined(__GNUC__) || defined(__clang__)) && defined(__AVX2__)
    __asm__("" : "+v"(x));
#endif
    return x;
  }

  static Reg add(Reg a, Reg b) { return _mm256_add_pd(a, b); }
  static Reg sub(Reg a, Reg b) { return _mm256_sub_pd(a, b); }
  static Reg mul(Reg a, Reg b) { return _mm256_mul_pd(a, b); }
  static Reg div(Reg a, Reg b) { return _mm256_div_pd(a, b); }
  static Reg bit_xor(Reg a, Reg b) { return _mm256_xor_pd(a, b); }

  static Mask mask(unsigned bits) {
    const auto all = [&](unsigned d) -> long long { return (bits >> d) & 1 ? -1 : 0; };
    return _mm256_castsi256_pd(_mm256_set_epi64x(all(3), all(2), all(1), all(0)));
  }
  static Reg blend(Mask m, Reg a, Reg b) { return _mm256_blendv_pd(a, b, m); }
  static Reg zero_unless(Mask m, Reg x) { return _mm256_and_pd(m, x); }

  template <unsigned kXor>
  static Reg flip(Reg x) {
    static_assert(kXor == 1 || kXor == 2);
    if constexpr (kXor == 1) {
      return _mm256_permute_pd(x, 0x5);
    } else {
      // One operation on Zen 3 where the 64-bit permute takes two.
      return _mm256_permute2f128_pd(x, x, 0x01);
    }
  }

  static Perm permutation(const std::uint64_t* source) {
    const auto half = [&](unsigned k) { return static_cast<int>(2 * source[k / 2] + k % 2); };
    return _mm256_set_epi32(half(7), half(6), half(5), half(4), half(3), half(2), half(1), half(0));
  }
  static Reg permute(Reg x, Perm p) {
    return _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(x), p));
  }

  static unsigned zero_doubles(Reg x) {
    return static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(x, _mm256_setzero_pd(), _CMP_EQ_OQ)));
  }

  static Reg pair_sums(Reg a, Reg b) {
    // Sums for doubles 0, 2, 1, 3 of the result, put in order by the permute.
    return _mm256_permute4x64_pd(_mm256_add_pd(_mm256_unpacklo_pd(a, b), _mm256_unpackhi_pd(a, b)), 0xD8);
  }

  static ZV_FORCE_INLINE void prefetch(const void* p) {
    _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
  }
};

static_assert(Layer<Avx2Layer>);

}  // namespace
}  // namespace zentrova::core
