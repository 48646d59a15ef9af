// The AVX-512 set's own layer and body, with its intrinsics carried out by
// SIMDe's portable implementations, so the equivalence tests run that layer's
// shuffles, masks and blends lane for lane on a processor without AVX-512.
// The emulated sets prove the body at that width; this proves the layer.
// Built with AVX2 options, like the layer's 256-bit read-only passes.
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>

// Intrinsics this SIMDe version leaves without their usual names: one under its
// own name, one written here from its definition in Intel's reference.
#undef _mm512_shuffle_f64x2
#define _mm512_shuffle_f64x2(a, b, imm8) simde_mm512_shuffle_f64x2(a, b, imm8)
#undef _mm512_permute_pd

namespace {

// Within each 128-bit block, double i takes the block's double (imm8 >> i) & 1.
inline simde__m512d portable_permute_pd(simde__m512d a, int imm8) {
  long long index[8];
  for (int i = 0; i < 8; ++i) index[i] = (i & ~1) | ((imm8 >> i) & 1);
  return simde_mm512_permutexvar_pd(simde_mm512_loadu_si512(index), a);
}

}  // namespace

#define _mm512_permute_pd(a, imm8) portable_permute_pd(a, imm8)

#include "core/qubit/kernels/kernels_vector.h"
#include "core/qubit/kernels/layer_avx512.h"
#include "tests/core/kernels_emulated.h"

namespace zentrova::core {

static_assert(Layer<Avx512Layer>);
const KernelSet kPortableAvx512Kernels = vector_kernels<Avx512Layer>("avx512_portable");

}  // namespace zentrova::core
