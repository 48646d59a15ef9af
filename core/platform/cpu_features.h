// Which vector instruction sets this processor offers and the operating system
// lets a program use: the processor may support 256- or 512-bit registers that
// the system does not save on a thread switch, and using them then corrupts
// other threads' values. Read once by the kernel dispatch.
#pragma once

namespace zentrova::core::platform {

struct CpuFeatures {
  // AVX2 instructions, with the system saving the 256-bit registers.
  bool avx2 = false;
  // AVX-512 Foundation instructions, with the system saving the 512-bit
  // registers and the mask registers.
  bool avx512f = false;
};

// Asks the processor afresh on every call; all false off x86-64.
CpuFeatures cpu_features();

}  // namespace zentrova::core::platform
