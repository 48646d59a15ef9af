// One vocabulary for everything a whole program runs on a register: the
// register's own gates, and a diagonal or a dense matrix on up to
// kMaxOperationQubits targets under controls that read 1 or 0. A framework's
// gate is one of these however it was written: a controlled phase is a
// diagonal, any unitary a matrix, never a decomposition into other gates.
//
// The register's gates run through the register's functions, so a program of
// them gives the bits of the same calls made one by one. Diagonals and
// matrices run on the settled state through the kernel sets' k-qubit entries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/amplitude.h"
#include "core/qubit/kernels/kernels.h"

namespace zentrova::core {

class Register;

enum class OpKind : std::uint8_t {
  kX, kH, kU, kRx, kRy, kRz, kCnot, kSwap, kCcnot, kCsswap, kMcu, kDiagonal, kMatrix,
};

struct Operation {
  OpKind kind = OpKind::kX;
  // A register gate's qubits in its function's order (mcu: the controls, then
  // the target). A diagonal's or matrix's targets: the first is the most
  // significant bit of a row index, the order frameworks write matrices in.
  std::vector<std::uint64_t> qubits;
  // A diagonal's or matrix's controls, and the value each must read (bit i of
  // control_values for controls[i]).
  std::vector<std::uint64_t> controls;
  std::uint64_t control_values = 0;
  double theta = 0.0;  // rx, ry, rz
  Matrix2 m{};         // u, mcu
  // A diagonal's 2^k entries, or a matrix's 4^k row by row.
  std::vector<Amplitude> entries;
};

// Empty when op may run on a register of qubit_count qubits; else why not.
std::string check_operation(std::uint64_t qubit_count, const Operation& op);

// Runs an operation check_operation has passed.
void run_operation(Register& reg, const Operation& op);

}  // namespace zentrova::core
