// The kernels with 512-bit registers (AVX-512F), four amplitudes per register.
// Built with AVX-512 options; it includes nothing but the kernel bodies and
// their layers, whose code all has internal linkage (see kernels_vector.h).
// AVX-512F brings fused multiply-add with it: the build forbids contraction,
// and the layer calls none.
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12's own AVX-512 headers trip these warnings (an "undefined" source
// operand of the permutes; the plain one where the sanitizers' build optimises
// less); nothing here reads an uninitialised value.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include "core/qubit/kernels/kernels_vector.h"
#include "core/qubit/kernels/layer_avx512.h"

namespace zentrova::core {

constinit const KernelSet kAvx512Kernels = vector_kernels<Avx512Layer>("avx512");

}  // namespace zentrova::core
