// From a prepared gate's fields to its kernel's arguments: the one place where
// they are mapped.
#include "core/qubit/prepared_gate.h"

#include <array>
#include <bit>

namespace zentrova::core {
namespace {

// The lowest and highest positions in a non-empty mask.
std::uint64_t lowest(std::uint64_t mask) {
  return static_cast<std::uint64_t>(std::countr_zero(mask));
}
std::uint64_t highest(std::uint64_t mask) {
  return 63 - static_cast<std::uint64_t>(std::countl_zero(mask));
}

void run_controlled(const KernelSet& kernels, Amplitude* amps, std::uint64_t dimension,
                    const PreparedGate& g) {
  // The controls and the target, ascending, as the kernel takes them; a fixed
  // array on the stack, since there are at most 64.
  std::array<std::uint64_t, 64> positions;
  std::uint64_t count = 0;
  for (std::uint64_t bits = g.controls | (std::uint64_t{1} << g.target); bits != 0;
       bits &= bits - 1) {
    positions[count++] = lowest(bits);
  }
  kernels.controlled_general(amps, dimension, positions.data(), count, g.target, g.m);
}

void run_phase(const KernelSet& kernels, Amplitude* amps, std::uint64_t dimension,
               const PreparedGate& g) {
  std::array<std::uint64_t, 64> positions;
  std::uint64_t count = 0;
  for (std::uint64_t bits = g.controls; bits != 0; bits &= bits - 1) positions[count++] = lowest(bits);
  const MultiTarget where{nullptr, 0, positions.data(), count, g.want};
  const std::uint64_t row = 0;
  kernels.diagonal_entries(amps, dimension, where, &row, &g.m.m00, 1);
}

}  // namespace

void run_gate(const KernelSet& kernels, Amplitude* amps, std::uint64_t dimension,
              const PreparedGate& g) {
  switch (g.kind) {
    case GateKind::kExchange:
      return kernels.exchange(amps, dimension, g.target);
    case GateKind::kHadamard:
      return kernels.hadamard(amps, dimension, g.target, g.m.m00.re);
    case GateKind::kGeneral:
      return kernels.general(amps, dimension, g.target, g.m);
    case GateKind::kDiagonal:
      return kernels.diagonal(amps, dimension, g.target, g.m);
    case GateKind::kCnot:
      return kernels.cnot(amps, dimension, lowest(g.controls), g.target);
    case GateKind::kSwap:
      return kernels.swap(amps, dimension, g.target, g.target_2);
    case GateKind::kCcnot:
      return kernels.ccnot(amps, dimension, lowest(g.controls), highest(g.controls), g.target);
    case GateKind::kCsswap:
      return kernels.csswap(amps, dimension, lowest(g.controls), g.target, g.target_2);
    case GateKind::kControlled:
      return run_controlled(kernels, amps, dimension, g);
    case GateKind::kPhase:
      return run_phase(kernels, amps, dimension, g);
  }
}

}  // namespace zentrova::core
