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
namespace {

constexpr std::uint32_t bit(unsigned b) { return std::uint32_t{1} << b; }

// The bits each kernel file may rely on: the union of what GCC's -mavx2 and
// MSVC's /arch:AVX2 let the compiler emit (MSVC may use FMA, BMI and LZCNT
// there); the 512-bit file adds the five AVX-512 subsets of /arch:AVX512.
constexpr std::uint32_t kAvx2Leaf1 = bit(0) /*SSE3*/ | bit(9) /*SSSE3*/ | bit(12) /*FMA*/ |
                                     bit(19) /*SSE4.1*/ | bit(20) /*SSE4.2*/ |
                                     bit(22) /*MOVBE*/ | bit(23) /*POPCNT*/ |
                                     bit(26) /*XSAVE*/ | bit(27) /*OSXSAVE*/ |
                                     bit(28) /*AVX*/ | bit(29) /*F16C*/;
constexpr std::uint32_t kAvx2Leaf7 = bit(3) /*BMI1*/ | bit(5) /*AVX2*/ | bit(8) /*BMI2*/;
constexpr std::uint32_t kAvx2Ext1 = bit(5) /*LZCNT*/;
constexpr std::uint32_t kAvx512Leaf7 = bit(16) /*F*/ | bit(17) /*DQ*/ | bit(28) /*CD*/ |
                                       bit(30) /*BW*/ | bit(31) /*VL*/;

// XCR0: SSE (bit 1) and AVX (bit 2) state for 256-bit registers; the mask
// registers (5) and both upper parts of the 512-bit registers (6, 7) on top.
constexpr std::uint64_t kYmmState = 0x06;
constexpr std::uint64_t kZmmState = 0xE6;

constexpr bool all(std::uint64_t have, std::uint64_t need) { return (have & need) == need; }

}  // namespace

CpuFeatures decode_cpu_features(const CpuidWords& w) {
  CpuFeatures f;
  // "GenuineIntel" and "AuthenticAMD", four characters a word, lowest byte first.
  constexpr std::uint32_t kIntel[3] = {0x756e6547, 0x49656e69, 0x6c65746e};
  constexpr std::uint32_t kAmd[3] = {0x68747541, 0x69746e65, 0x444d4163};
  const auto is = [&](const std::uint32_t(&name)[3]) {
    return w.vendor[0] == name[0] && w.vendor[1] == name[1] && w.vendor[2] == name[2];
  };
  if (is(kIntel)) f.maker = CpuFeatures::Maker::kIntel;
  if (is(kAmd)) f.maker = CpuFeatures::Maker::kAmd;
  if (w.max_leaf < 7) return f;
  f.avx2 = all(w.leaf1_ecx, kAvx2Leaf1) && all(w.leaf7_ebx, kAvx2Leaf7) &&
           all(w.ext1_ecx, kAvx2Ext1) && all(w.xcr0, kYmmState);
  f.avx512 = f.avx2 && all(w.leaf7_ebx, kAvx512Leaf7) && all(w.xcr0, kZmmState);
  return f;
}

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

}  // namespace

CpuidWords read_cpuid_words() {
  CpuidWords w;
  const Regs leaf0 = cpuid(0, 0);
  w.max_leaf = leaf0.eax;
  w.vendor[0] = leaf0.ebx;
  w.vendor[1] = leaf0.edx;
  w.vendor[2] = leaf0.ecx;
  if (w.max_leaf >= 1) w.leaf1_ecx = cpuid(1, 0).ecx;
  if (w.max_leaf >= 7) w.leaf7_ebx = cpuid(7, 0).ebx;
  if (cpuid(0x80000000u, 0).eax >= 0x80000001u) w.ext1_ecx = cpuid(0x80000001u, 0).ecx;
  // Without OSXSAVE, XGETBV itself faults.
  if ((w.leaf1_ecx & bit(27)) != 0) w.xcr0 = enabled_register_state();
  return w;
}

#else

CpuidWords read_cpuid_words() { return CpuidWords{}; }

#endif

}  // namespace zentrova::core::platform
