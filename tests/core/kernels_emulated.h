// Kernel sets that run the vector kernel bodies over plain C++ registers of a
// chosen width, so the equivalence tests prove the bodies at every width on
// any machine; a real set differs from its emulated twin only in its layer.
#pragma once

#include "core/qubit/kernels/kernels.h"

namespace zentrova::core {

// The AVX-512 set's shape: eight doubles a register, reads four at a time.
extern const KernelSet kEmulated512Kernels;

#ifdef ZENTROVA_PORTABLE_AVX512
// The real AVX-512 layer over SIMDe's portable intrinsics
// (kernels_avx512_portable.cpp); it needs AVX2, as the real set's read-only
// passes do.
extern const KernelSet kPortableAvx512Kernels;
#endif

}  // namespace zentrova::core
