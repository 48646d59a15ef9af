// A gate that has passed its checks, with every constant its kernel needs: what
// a gate function hands the register, which records it or runs it now
// (Register::apply). Its fields are filled once, by the gate function, and
// read once, by run_gate, so a gate's arguments reach its kernel by one
// mapping whether it runs at once or from the record.
#pragma once

#include <cstdint>

#include "core/qubit/kernels/kernels.h"
#include "core/qubit/register.h"

namespace zentrova::core {

enum class GateKind : std::uint8_t {
  kExchange,    // x
  kHadamard,    // h: m.m00.re holds the scale
  kGeneral,     // u, rx, ry: m
  kDiagonal,    // rz: m.m00 and m.m11
  kCnot,        // one control
  kSwap,        // target < target_2
  kCcnot,       // two controls
  kCsswap,      // target = target_1, one control
  kControlled,  // mcu: any number of controls, m
  kPhase,       // m.m00 times every amplitude whose `controls` positions read `want`
};

struct PreparedGate {
  GateKind kind;
  std::uint8_t target = 0;
  // The second of the two exchanged qubits of swap and csswap.
  std::uint8_t target_2 = 0;
  // The mask of the control positions. Controls come as a set: the kernels
  // of the gates with two controls treat them alike.
  std::uint64_t controls = 0;
  Matrix2 m{};
  // kPhase: the values its positions must read (bits outside `controls` 0).
  std::uint64_t want = 0;
};

// A checked qubit; a register has fewer than 60 of them.
inline std::uint8_t position(std::uint64_t q) { return static_cast<std::uint8_t>(q); }

// The positions g moves amplitudes across (its targets; none for a diagonal
// gate, which only scales each amplitude in place).
inline std::uint64_t moved_positions(const PreparedGate& g) {
  switch (g.kind) {
    case GateKind::kDiagonal:
    case GateKind::kPhase:
      return 0;
    case GateKind::kSwap:
    case GateKind::kCsswap:
      return (std::uint64_t{1} << g.target) | (std::uint64_t{1} << g.target_2);
    default:
      return std::uint64_t{1} << g.target;
  }
}

// Runs g's kernel over the dimension amplitudes at amps.
void run_gate(const KernelSet& kernels, Amplitude* amps, std::uint64_t dimension,
              const PreparedGate& g);

}  // namespace zentrova::core
