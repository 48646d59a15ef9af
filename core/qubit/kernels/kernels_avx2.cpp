// The kernels with 256-bit registers (AVX2), two amplitudes per register.
// Built with AVX2 options; it includes nothing but the kernel bodies and their
// layer, whose code all has internal linkage (see kernels_vector.h).
#include "core/qubit/kernels/kernels_vector.h"
#include "core/qubit/kernels/layer_avx2.h"

namespace zentrova::core {

constinit const KernelSet kAvx2Kernels = vector_kernels<Avx2Layer>("avx2");

}  // namespace zentrova::core
