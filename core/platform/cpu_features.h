// Which vector instruction sets this processor offers and the operating system
// lets a program use: the processor may support 256- or 512-bit registers that
// the system does not save on a thread switch, and using them then corrupts
// other threads' values. Read once by the kernel dispatch.
#pragma once

#include <cstdint>

namespace zentrova::core::platform {

// The processor's answers that the decision rests on, as CPUID and XGETBV give
// them. Kept apart from the decision so tests can feed it any processor.
struct CpuidWords {
  std::uint32_t max_leaf = 0;       // leaf 0, EAX
  std::uint32_t leaf1_ecx = 0;      // SSE3 ... AVX, F16C, OSXSAVE
  std::uint32_t leaf7_ebx = 0;      // AVX2, BMI1/2, AVX-512 F/DQ/CD/BW/VL
  std::uint32_t ext1_ecx = 0;       // leaf 0x80000001: LZCNT
  std::uint64_t xcr0 = 0;           // register state the system saves; 0 without OSXSAVE
  std::uint32_t vendor[3] = {};     // leaf 0, EBX, EDX, ECX: the maker's name, 12 characters
};

// Each flag means: every instruction a compiler may emit for the matching
// kernel file is present, and the system saves the registers it uses.
struct CpuFeatures {
  // For code built with -mavx2 (GCC, Clang) or /arch:AVX2 (MSVC): AVX2 with
  // AVX, FMA, F16C, BMI1, BMI2, LZCNT, MOVBE, POPCNT and SSE3 to SSE4.2, and
  // the 256-bit register state.
  bool avx2 = false;
  // For code built with -mavx512f or /arch:AVX512 (which also allows CD, BW,
  // DQ and VL): all of the above plus AVX-512 F, CD, BW, DQ and VL, and the
  // 512-bit and mask register state.
  bool avx512 = false;
  // Whose core it is, for the dispatch's choices between sets where one is
  // faster on one maker's cores and the other on the other's.
  enum class Maker { kOther, kIntel, kAmd } maker = Maker::kOther;
};

CpuFeatures decode_cpu_features(const CpuidWords& words);

// Asks the processor afresh on every call; all zero off x86-64.
CpuidWords read_cpuid_words();

inline CpuFeatures cpu_features() { return decode_cpu_features(read_cpuid_words()); }

}  // namespace zentrova::core::platform
