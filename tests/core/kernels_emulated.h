// Kernel sets that run the vector kernel bodies over plain C++ registers of a
// chosen width, so the equivalence tests prove the bodies at every width on
// any machine; a real set differs from its emulated twin only in its layer.
#pragma once

#include "core/qubit/kernels/kernels.h"

namespace zentrova::core {

// The AVX-512 set's shape: eight doubles a register, reads four at a time.
extern const KernelSet kEmulated512Kernels;

}  // namespace zentrova::core
