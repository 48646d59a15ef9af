// CPUID and XGETBV, through each compiler's own spelling: <cpuid.h> and inline
// assembly for GCC and Clang (MinGW-w64 included), <intrin.h> for MSVC. The
// question is the same on every operating system; only the compiler differs.
#include "core/platform/cpu_features.h"

#include <cstdint>

#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <intrin.h>
#define ZV_X86_CPUID 1
#elif (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#include <cpuid.h>
#define ZV_X86_CPUID 1
#endif

namespace zentrova::core::platform {

#ifdef ZV_X86_CPUID
namespace {

struct Regs {
  std::uint32_t eax, ebx, ecx, edx;
};

Regs cpuid(std::uint32_t leaf, std::uint32_t subleaf) {
#ifdef _MSC_VER
  int r[4];
  __cpuidex(r, static_cast<int>(leaf), static_cast<int>(subleaf));
  return Regs{static_cast<std::uint32_t>(r[0]), static_cast<std::uint32_t>(r[1]),
              static_cast<std::uint32_t>(r[2]), static_cast<std::uint32_t>(r[3])};
#else
  Regs r{};
  __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
  return r;
#endif
}

// The register-state bits the system has enabled (XCR0). Only valid when
// CPUID reports OSXSAVE.
std::uint64_t enabled_register_state() {
#ifdef _MSC_VER
  return _xgetbv(0);
#else
  // Spelled as assembly: the _xgetbv intrinsic would need -mxsave for this file.
  std::uint32_t lo = 0;
  std::uint32_t hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (std::uint64_t{hi} << 32) | lo;
#endif
}

constexpr bool has(std::uint32_t reg, unsigned bit) { return ((reg >> bit) & 1u) != 0; }

// XCR0: SSE (bit 1) and AVX (bit 2) state for 256-bit registers; the mask
// registers (5) and both upper parts of the 512-bit registers (6, 7) on top.
constexpr std::uint64_t kYmmState = 0x06;
constexpr std::uint64_t kZmmState = 0xE6;

}  // namespace

CpuFeatures cpu_features() {
  CpuFeatures f;
  if (cpuid(0, 0).eax < 7) return f;
  const Regs leaf1 = cpuid(1, 0);
  // Without OSXSAVE, XGETBV itself faults.
  if (!has(leaf1.ecx, 27) || !has(leaf1.ecx, 28)) return f;  // OSXSAVE, AVX
  const std::uint64_t state = enabled_register_state();
  const Regs leaf7 = cpuid(7, 0);
  f.avx2 = (state & kYmmState) == kYmmState && has(leaf7.ebx, 5);
  f.avx512f = f.avx2 && (state & kZmmState) == kZmmState && has(leaf7.ebx, 16);
  return f;
}

#else

CpuFeatures cpu_features() { return CpuFeatures{}; }

#endif

}  // namespace zentrova::core::platform
