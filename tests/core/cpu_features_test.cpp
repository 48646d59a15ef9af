// The kernel dispatch trusts a vector set only on a processor that has every
// extension its compile flags allow, with the system saving the registers.
#include "core/platform/cpu_features.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "core/qubit/kernels/dispatch.h"

namespace zentrova::core::platform {
namespace {

struct Required {
  std::uint32_t CpuidWords::*word;
  unsigned bit;
  const char* name;
  bool avx512_only;
};

// From the processor manuals, independently of the decoder's own masks.
const Required kRequired[] = {
    {&CpuidWords::leaf1_ecx, 0, "SSE3", false},     {&CpuidWords::leaf1_ecx, 9, "SSSE3", false},
    {&CpuidWords::leaf1_ecx, 12, "FMA", false},     {&CpuidWords::leaf1_ecx, 19, "SSE4.1", false},
    {&CpuidWords::leaf1_ecx, 20, "SSE4.2", false},  {&CpuidWords::leaf1_ecx, 22, "MOVBE", false},
    {&CpuidWords::leaf1_ecx, 23, "POPCNT", false},  {&CpuidWords::leaf1_ecx, 26, "XSAVE", false},
    {&CpuidWords::leaf1_ecx, 27, "OSXSAVE", false}, {&CpuidWords::leaf1_ecx, 28, "AVX", false},
    {&CpuidWords::leaf1_ecx, 29, "F16C", false},    {&CpuidWords::leaf7_ebx, 3, "BMI1", false},
    {&CpuidWords::leaf7_ebx, 5, "AVX2", false},     {&CpuidWords::leaf7_ebx, 8, "BMI2", false},
    {&CpuidWords::ext1_ecx, 5, "LZCNT", false},     {&CpuidWords::leaf7_ebx, 16, "AVX512F", true},
    {&CpuidWords::leaf7_ebx, 17, "AVX512DQ", true}, {&CpuidWords::leaf7_ebx, 28, "AVX512CD", true},
    {&CpuidWords::leaf7_ebx, 30, "AVX512BW", true}, {&CpuidWords::leaf7_ebx, 31, "AVX512VL", true},
};

CpuidWords everything() {
  return CpuidWords{7, ~std::uint32_t{0}, ~std::uint32_t{0}, ~std::uint32_t{0}, 0xE7};
}

std::string chosen(const CpuidWords& w) { return best_kernels_for(decode_cpu_features(w)).name; }

#ifdef __x86_64__
constexpr bool kVectorSetsBuilt = true;
#else
constexpr bool kVectorSetsBuilt = false;
#endif

TEST(CpuFeaturesTest, EachSetNeedsEveryExtensionItsFlagsAllow) {
  const CpuFeatures all = decode_cpu_features(everything());
  EXPECT_TRUE(all.avx2 && all.avx512);
  for (const Required& r : kRequired) {
    CpuidWords w = everything();
    w.*r.word &= ~(std::uint32_t{1} << r.bit);
    const CpuFeatures f = decode_cpu_features(w);
    EXPECT_EQ(f.avx2, r.avx512_only) << "without " << r.name;
    EXPECT_FALSE(f.avx512) << "without " << r.name;
  }
  CpuidWords old = everything();
  old.max_leaf = 6;
  EXPECT_FALSE(decode_cpu_features(old).avx2);
}

TEST(CpuFeaturesTest, RegistersTheSystemDoesNotSaveAreNeverUsed) {
  // XCR0 bits: 1 SSE, 2 AVX, 5 mask registers, 6 and 7 the upper 512-bit halves.
  for (std::uint64_t xcr0 = 0; xcr0 < 0x100; ++xcr0) {
    CpuidWords w = everything();
    w.xcr0 = xcr0;
    const CpuFeatures f = decode_cpu_features(w);
    EXPECT_EQ(f.avx2, (xcr0 & 0x06) == 0x06) << xcr0;
    EXPECT_EQ(f.avx512, (xcr0 & 0xE6) == 0xE6) << xcr0;
  }
}

TEST(CpuFeaturesTest, DispatchTakesTheWidestSetTheFeaturesAllow) {
  CpuidWords none;
  EXPECT_EQ(chosen(none), "scalar");
  CpuidWords avx2 = everything();
  avx2.xcr0 = 0x07;
  EXPECT_EQ(chosen(avx2), kVectorSetsBuilt ? "avx2" : "scalar");
  EXPECT_EQ(chosen(everything()), kVectorSetsBuilt ? "avx512" : "scalar");
}

TEST(CpuFeaturesTest, DispatchTakesTheMakersFasterEntries) {
  struct Case {
    const char* name;  // the 12 characters of CPUID leaf 0 in EBX, EDX, ECX order
    CpuFeatures::Maker maker;
    const char* with_avx512;
  };
  const Case cases[] = {
      {"GenuineIntel", CpuFeatures::Maker::kIntel, "avx512_h_avx2"},
      {"AuthenticAMD", CpuFeatures::Maker::kAmd, "avx512"},
      {"GenuineIotel", CpuFeatures::Maker::kOther, "avx512"},
  };
  for (const Case& c : cases) {
    CpuidWords w = everything();
    std::memcpy(w.vendor, c.name, sizeof w.vendor);
    EXPECT_EQ(decode_cpu_features(w).maker, c.maker) << c.name;
    EXPECT_EQ(chosen(w), kVectorSetsBuilt ? c.with_avx512 : "scalar") << c.name;
    w.xcr0 = 0x07;  // no 512-bit state: the maker changes nothing
    EXPECT_EQ(chosen(w), kVectorSetsBuilt ? "avx2" : "scalar") << c.name;
  }
}

#if defined(__linux__) && defined(__x86_64__)
// The kernel's own view of this processor, which also clears the AVX flags
// when it does not save their registers: the decoder must agree with it. (On
// other processors there is nothing to decode, and under an emulator the file
// describes the host.)
TEST(CpuFeaturesTest, AgreesWithTheOperatingSystemsViewOfThisProcessor) {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  std::set<std::string> flags;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("flags", 0) != 0) continue;
    std::istringstream words(line.substr(line.find(':') + 1));
    for (std::string f; words >> f;) flags.insert(f);
    break;
  }
  if (flags.empty()) GTEST_SKIP() << "/proc/cpuinfo lists no flags";
  auto has_all = [&](std::initializer_list<const char*> names) {
    for (const char* n : names) {
      if (!flags.count(n)) return false;
    }
    return true;
  };
  const bool avx2 = has_all({"pni", "ssse3", "fma", "sse4_1", "sse4_2", "movbe", "popcnt",
                             "xsave", "avx", "f16c", "bmi1", "avx2", "bmi2", "abm"});
  const bool avx512 =
      avx2 && has_all({"avx512f", "avx512dq", "avx512cd", "avx512bw", "avx512vl"});
  const CpuFeatures f = cpu_features();
  EXPECT_EQ(f.avx2, avx2);
  EXPECT_EQ(f.avx512, avx512);
}
#endif

}  // namespace
}  // namespace zentrova::core::platform
