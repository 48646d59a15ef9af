// Chooses the kernel table once per process. A new table is added by declaring
// it in kernels.h and listing it below with the test for the CPU support it
// needs; the gate and read-out files never change.
//
// Built with ZENTROVA_FORCE_SCALAR, the gates and read-outs always run the
// scalar reference, so CI can run the Python tests on both paths; the vector
// sets stay reachable for the engine's equivalence tests.
#include "core/qubit/kernels/dispatch.h"

#include "core/platform/cpu_features.h"

namespace zentrova::core {
namespace {

struct Candidate {
  const KernelSet* set;
  bool (*supported)(const platform::CpuFeatures&);
};

bool runs_everywhere(const platform::CpuFeatures&) { return true; }

#ifdef ZENTROVA_X86_KERNELS
bool has_avx2(const platform::CpuFeatures& f) { return f.avx2; }
bool has_avx512(const platform::CpuFeatures& f) { return f.avx512; }
#endif

// Widest last: the last supported entry becomes the active set. The scalar
// reference stays first so tests compare everything else against it.
constexpr Candidate kCandidates[] = {
    {&kScalarKernels, &runs_everywhere},
#ifdef ZENTROVA_X86_KERNELS
    {&kAvx2Kernels, &has_avx2},
    {&kAvx512Kernels, &has_avx512},
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
    if (c.supported(features)) best = c.set;
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
    if (c.supported(features)) sets.push_back(c.set);
  }
  return sets;
}

std::vector<const char*> kernel_set_names_for_testing() {
  std::vector<const char*> names;
  for (const Candidate& c : kCandidates) names.push_back(c.set->name);
  return names;
}

}  // namespace zentrova::core
