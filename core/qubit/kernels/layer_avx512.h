// The register operations of kernels_vector.h with 512-bit registers
// (AVX-512F only: no DQ, VL or BW instructions): four amplitudes per register.
// Included only by files built with AVX-512 options; everything has internal
// linkage, for the reason kernels_vector.h gives.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "core/internal.h"
#include "core/qubit/kernels/layer.h"
#include "core/qubit/kernels/layer_avx2.h"

namespace zentrova::core {
namespace {

struct Avx512Layer {
  using Reg = __m512d;
  using Mask = __mmask8;
  using Perm = __m512i;
  // A pass that only reads streams from memory faster with 32-byte loads than
  // with 64-byte ones on Zen 4 (bench/README.md).
  using ReadOnly = Avx2Layer;
  static constexpr std::uint64_t kDoubles = 8;

  static Reg load(const double* p) { return _mm512_loadu_pd(p); }
  static void store(double* p, Reg x) { _mm512_storeu_pd(p, x); }
  static Reg broadcast(double v) { return _mm512_set1_pd(v); }
  static Reg set(const double* v) {
    return _mm512_setr_pd(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
  }
  static Reg zero() { return _mm512_setzero_pd(); }
  // As Avx2Layer::load_once, on this width's registers.
  static Reg load_once(const double* p) {
    Reg x = load(p);
#if (defined(__GNUC__) || defined(__clang__)) && defined(__AVX512F__)
    __asm__("" : "+v"(x));
#endif
    return x;
  }

  static Reg add(Reg a, Reg b) { return _mm512_add_pd(a, b); }
  static Reg sub(Reg a, Reg b) { return _mm512_sub_pd(a, b); }
  static Reg mul(Reg a, Reg b) { return _mm512_mul_pd(a, b); }
  static Reg div(Reg a, Reg b) { return _mm512_div_pd(a, b); }
  // The double forms of these need AVX-512DQ.
  static Reg bit_xor(Reg a, Reg b) {
    return _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(a), _mm512_castpd_si512(b)));
  }

  static Mask mask(unsigned bits) { return static_cast<Mask>(bits); }
  static Reg blend(Mask m, Reg a, Reg b) { return _mm512_mask_blend_pd(m, a, b); }
  static Reg zero_unless(Mask m, Reg x) { return _mm512_maskz_mov_pd(m, x); }

  // Shuffles with an immediate operand where one does the move: an indexed
  // permute made h on target 0 markedly slower (bench/README.md).
  template <unsigned kXor>
  static Reg flip(Reg x) {
    static_assert(kXor == 1 || (kXor % 2 == 0 && kXor < kDoubles));
    if constexpr (kXor == 1) {
      return _mm512_permute_pd(x, 0x55);
    } else {
      // Whole amplitudes: 128-bit block k takes block k ^ (kXor / 2).
      constexpr unsigned f = kXor / 2;
      return _mm512_shuffle_f64x2(x, x, static_cast<int>(f | (1 ^ f) << 2 | (2 ^ f) << 4 | (3 ^ f) << 6));
    }
  }

  static Perm permutation(const std::uint64_t* source) {
    long long index[kDoubles];
    for (unsigned d = 0; d < kDoubles; ++d) index[d] = static_cast<long long>(source[d]);
    return _mm512_loadu_si512(index);
  }
  static Reg permute(Reg x, Perm p) { return _mm512_permutexvar_pd(p, x); }

  static unsigned zero_doubles(Reg x) { return _mm512_cmp_pd_mask(x, _mm512_setzero_pd(), _CMP_EQ_OQ); }

  static Reg pair_sums(Reg a, Reg b) {
    // Sums for doubles 0, 4, 1, 5, 2, 6, 3, 7 of the result within each
    // 128-bit block; one permute restores the order.
    const Reg sums = _mm512_add_pd(_mm512_unpacklo_pd(a, b), _mm512_unpackhi_pd(a, b));
    return _mm512_permutexvar_pd(_mm512_set_epi64(7, 5, 3, 1, 6, 4, 2, 0), sums);
  }

  static ZV_FORCE_INLINE void prefetch(const void* p) {
    _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
  }
};

static_assert(Layer<Avx512Layer>);

}  // namespace
}  // namespace zentrova::core
