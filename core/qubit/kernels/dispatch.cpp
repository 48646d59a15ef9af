// Chooses the kernel table once per process. A new table is added by declaring
// it in kernels.h and listing it below with the test for the CPU support it
// needs; the gate files never change.
#include "core/qubit/kernels/dispatch.h"

namespace zentrova::core {
namespace {

struct Candidate {
  const KernelSet* set;
  bool (*supported)();
};

bool runs_everywhere() { return true; }

// Widest last: the last supported entry becomes the active set. The scalar
// reference stays first so tests compare everything else against it.
constexpr Candidate kCandidates[] = {
    {&kScalarKernels, &runs_everywhere},
};

const KernelSet* choose() {
  const KernelSet* best = nullptr;
  for (const Candidate& c : kCandidates) {
    if (c.supported()) best = c.set;
  }
  return best;
}

}  // namespace

const KernelSet& active_kernels() {
  // Thread-safe initialisation; afterwards a plain load.
  static const KernelSet* const chosen = choose();
  return *chosen;
}

std::vector<const KernelSet*> kernel_sets_for_testing() {
  std::vector<const KernelSet*> sets;
  for (const Candidate& c : kCandidates) {
    if (c.supported()) sets.push_back(c.set);
  }
  return sets;
}

}  // namespace zentrova::core
