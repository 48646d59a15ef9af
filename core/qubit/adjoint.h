// Gradients of expectation values by adjoint differentiation: the circuit runs
// forward once; then, gate by gate from the last, each trainable gate's term
// <lambda|G|psi> is read off the state psi and each observable's co-state
// lambda = O psi, and the gate is undone on all of them. The whole Jacobian
// costs about three runs of the circuit, whatever the number of parameters.
//
// The states are ordinary registers and every gate, forward or undone, goes
// through their gate functions, so it is recorded and applied in passes as any
// other gate. The terms and the co-states are formed here in plain C++, in a
// fixed order (not through the kernel sets), so their bits are the same on
// every kernel set and every platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/qubit/register.h"

namespace zentrova::core {

// A Pauli word as two masks: X on the qubits only x holds, Z on those only z
// holds, Y on those both hold; the identity elsewhere.
struct PauliWord {
  std::uint64_t x = 0;
  std::uint64_t z = 0;
};

// coefficient * P1 (x) word, P1 the projector |1><1| on every qubit of
// `projector` (the controls of a controlled rotation, or a phase's target).
// The projector's qubits and the word's are disjoint.
struct GeneratorTerm {
  double coefficient = 0.0;
  std::uint64_t projector = 0;
  PauliWord word;
};

// The register's gates, and the phase diag(1, e^(i theta)). Rotations and
// phases may carry controls (qubits before the target); they then run as mcu
// with the matrix the register's own rotation would use.
enum class AdjointGateKind : std::uint8_t {
  kX, kH, kU, kRx, kRy, kRz, kPhase, kCnot, kSwap, kCcnot, kCsswap, kMcu,
  // A dense matrix on up to kMaxOperationQubits qubits (entries), qubits[0]
  // the most significant bit of a row index.
  kMatrix,
};

inline constexpr std::int64_t kFixedGate = -1;

// One gate as the register's function of the same name takes it. qubits are
// in that function's order; for mcu, rotations and phases the controls, then
// the target last.
struct AdjointGate {
  AdjointGateKind kind = AdjointGateKind::kX;
  std::vector<std::uint64_t> qubits;
  Matrix2 m{};         // u, mcu
  double theta = 0.0;  // rx, ry, rz, phase
  // The Jacobian column the gate's parameter adds to, or kFixedGate. Several
  // gates may share a column: their terms add up, in backward order.
  std::int64_t column = kFixedGate;
  // G with dU/dparameter = i G U, as a sum of terms. Left empty for rotations
  // and phases, whose G is known: -1/2 times the rotation's Pauli on the
  // target, or the projector on the phase's qubits, times the projector on the
  // controls. Required for a trainable u, mcu or matrix.
  std::vector<GeneratorTerm> generator;
  // matrix: 4^k entries, row by row.
  std::vector<Amplitude> entries;
};

// coefficient * word.
struct PauliTerm {
  double coefficient = 0.0;
  PauliWord word;
};

// A Hermitian matrix on a few qubits, 2^k x 2^k entries row by row; the most
// significant bit of a row's index belongs to qubits[0] (the order in which
// most frameworks write a matrix over their wires). Hermiticity is not tested.
struct HermitianTerm {
  std::vector<std::uint64_t> qubits;
  std::vector<Amplitude> matrix;
};

// The sum of every term given.
struct Observable {
  std::vector<PauliTerm> paulis;
  std::vector<HermitianTerm> hermitians;
};

// The largest Hermitian term accepted, in qubits: larger ones belong to a
// sparse representation, not to a dense matrix per group of amplitudes.
inline constexpr std::uint64_t kMaxHermitianQubits = 10;

struct AdjointResult {
  // Empty on success, else why nothing was computed.
  std::string refusal;
  std::uint64_t columns = 0;
  // <psi|O_k|psi> at the circuit's end, one per observable.
  std::vector<double> values;
  // d values[k] / d parameter c at jacobian[k * columns + c].
  std::vector<double> jacobian;
};

// The Jacobian of the observables' expectation values after the gates, run on
// qubit_count qubits from |0...0>, with one column per parameter (the highest
// column given, plus one). A malformed gate or observable is refused (the
// refusal says which), before anything is allocated. The states it needs (one
// for the circuit and one per observable; two when no gate is trainable) are
// checked against the host's available memory first: states that would not
// fit are a fatal error with the figures, nothing allocated.
AdjointResult adjoint_jacobian(std::uint64_t qubit_count, const std::vector<AdjointGate>& gates,
                               const std::vector<Observable>& observables);
// The same, deciding with any memory figure.
AdjointResult adjoint_jacobian_with_memory(std::uint64_t qubit_count,
                                           const std::vector<AdjointGate>& gates,
                                           const std::vector<Observable>& observables,
                                           std::uint64_t available_bytes);

}  // namespace zentrova::core
