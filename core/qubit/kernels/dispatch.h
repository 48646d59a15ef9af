// Which kernel table the gates use. The choice is made once, on first use,
// from what the CPU supports; tests reach every supported table directly.
// Kept apart from kernels.h, which vector-compiled files include.
#pragma once

#include <vector>

#include "core/platform/cpu_features.h"
#include "core/qubit/kernels/kernels.h"

namespace zentrova::core {

// The set chosen for this CPU. The only way production code reaches a kernel.
const KernelSet& active_kernels();

// The set for a processor with these features: the widest it runs, with the
// entries of a narrower set where that set measured faster on its maker's
// cores; the scalar set when it has no vector set. active_kernels() asks it
// once, about this processor.
const KernelSet& best_kernels_for(const platform::CpuFeatures& features);

// Every set this CPU can run, mixed ones included, the scalar reference first.
std::vector<const KernelSet*> kernel_sets_for_testing();

// The names of every set built into this program, whether this CPU runs it or
// not, so a test can report the ones it had to skip.
std::vector<const char*> kernel_set_names_for_testing();

}  // namespace zentrova::core
