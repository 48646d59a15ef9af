// Expectation values read straight off a state: no basis turned, no second
// state. A Pauli word P = i^(number of Y) X^x Z^z maps basis state i to
// i ^ x with the factor i^ny (-1)^popcount((i ^ x) & z); its value is
// Re sum_i conj(a_i) (P a)_i. Every sum runs in a fixed order in plain scalar
// code, so the bits are the same on every machine and kernel set.
#pragma once

#include <cstdint>
#include <vector>

#include "core/amplitude.h"
#include "core/qubit/adjoint.h"

namespace zentrova::core {

// <psi|O|psi> for each observable (its terms summed in the order given),
// psi the `dimension` amplitudes at `psi`. Every word and Hermitian term must
// lie below log2(dimension) (the caller has checked).
std::vector<double> expectation_values(const Amplitude* psi, std::uint64_t dimension,
                                       const std::vector<Observable>& observables);

}  // namespace zentrova::core
