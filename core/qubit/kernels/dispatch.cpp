// Chooses the kernel table once per process: the widest set the CPU runs, or
// where measurements showed a narrower set's loop faster for one operation on
// a maker's cores, that set with the faster entry. A new table is added by
// declaring it in kernels.h and listing it below with the test for the CPU
// support it needs; the gate and read-out files never change.
//
// Built with ZENTROVA_FORCE_SCALAR, the gates and read-outs always run the
// scalar reference, so CI can run the Python tests on both paths; the vector
// sets stay reachable for the engine's equivalence tests.
#include "core/qubit/kernels/dispatch.h"

#include <cstdint>

#include "core/platform/cpu_features.h"

namespace zentrova::core {
namespace {

// A set is taken where the CPU runs it (`runs`) and where it is the one to
// prefer (`preferred`); the last such candidate wins.
struct Candidate {
  const KernelSet& (*set)();
  bool (*runs)(const platform::CpuFeatures&);
  bool (*preferred)(const platform::CpuFeatures&);
};

bool always(const platform::CpuFeatures&) { return true; }

const KernelSet& scalar_set() { return kScalarKernels; }

#ifdef ZENTROVA_X86_KERNELS
using Maker = platform::CpuFeatures::Maker;

bool has_avx2(const platform::CpuFeatures& f) { return f.avx2; }
bool has_avx512(const platform::CpuFeatures& f) { return f.avx512; }
bool intel(const platform::CpuFeatures& f) { return f.maker == Maker::kIntel; }

const KernelSet& avx2_set() { return kAvx2Kernels; }
const KernelSet& avx512_set() { return kAvx512Kernels; }

// The AVX-512 set with entries of the AVX2 set where those measured faster on
// a maker's cores. Every set gives the same bits, so a mixed table changes
// none; the equivalence tests run these tables too.
//
// h is a pure stream (two adds or subtracts and a multiply a pair), so the
// width buys it nothing in the cache, and on Intel cores 512-bit multiplies
// cost clock speed: there 256-bit registers ran h faster, while every other
// entry ran as fast or faster with 512 bits (bench/README.md, "AVX2 against
// AVX-512"). On AMD's Zen 4 the 512-bit h is the faster one.
const KernelSet& avx512_h_avx2_set() {
  static const KernelSet set = [] {
    KernelSet s = kAvx512Kernels;
    s.name = "avx512_h_avx2";
    s.hadamard = kAvx2Kernels.hadamard;
    return s;
  }();
  return set;
}
#endif

// Widest last: the last candidate that runs and is preferred becomes the
// active set. The scalar reference stays first so tests compare everything
// else against it.
constexpr Candidate kCandidates[] = {
    {&scalar_set, &always, &always},
#ifdef ZENTROVA_X86_KERNELS
    {&avx2_set, &has_avx2, &always},
    {&avx512_set, &has_avx512, &always},
    {&avx512_h_avx2_set, &has_avx512, &intel},
#endif
};

const KernelSet* choose() {
#ifdef ZENTROVA_FORCE_SCALAR
  return &kScalarKernels;
#else
  return &best_kernels_for(platform::cpu_features());
#endif
}

}  // namespace

const KernelSet& best_kernels_for(const platform::CpuFeatures& features) {
  const KernelSet* best = nullptr;
  for (const Candidate& c : kCandidates) {
    if (c.runs(features) && c.preferred(features)) best = &c.set();
  }
  return *best;
}

const KernelSet& active_kernels() {
  // Thread-safe initialisation; afterwards a plain load.
  static const KernelSet* const chosen = choose();
  return *chosen;
}

std::vector<const KernelSet*> kernel_sets_for_testing() {
  const platform::CpuFeatures features = platform::cpu_features();
  std::vector<const KernelSet*> sets;
  for (const Candidate& c : kCandidates) {
    if (c.runs(features)) sets.push_back(&c.set());
  }
  return sets;
}

std::vector<const char*> kernel_set_names_for_testing() {
  std::vector<const char*> names;
  for (const Candidate& c : kCandidates) names.push_back(c.set().name);
  return names;
}

}  // namespace zentrova::core
