// The fusion planner: a program's operations in, fewer operations out, the
// same unitary up to rounding. Pure: it reads and writes operations only, so
// it is tested by counting, without amplitudes.
//
// What it fuses: every run of one-qubit operations on a qubit (x, h, u, the
// rotations, and a matrix or diagonal on that qubit alone) becomes one u, its
// matrix the product of theirs. A one-qubit operation waits past operations
// on other qubits, which it commutes with, until something else touches its
// qubit or the program ends; a run of one keeps its operation as it was, so a
// lone gate keeps its own arithmetic (and its bits). Each product is formed
// in plain C++ with every operation rounded on its own, so a fused program
// gives the same bits on every machine; against the unfused program it
// differs by the rounding of the products, a few units in the last place.
#pragma once

#include <cstdint>
#include <vector>

#include "core/program/operation.h"

namespace zentrova::core {

// ops must have passed check_operation.
std::vector<Operation> fuse(const std::vector<Operation>& ops);

}  // namespace zentrova::core
