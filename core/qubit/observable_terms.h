// What the adjoint's co-states and the expectation values share about an
// observable's terms: a Pauli word's quarter turns, and a Hermitian term's
// rows applied group by group. Each sum keeps its order (columns ascending,
// groups by ascending base), so both give the bits they always gave.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/amplitude.h"
#include "core/qubit/adjoint.h"
#include "core/qubit/index_bits.h"

namespace zentrova::core {

// i^ny times p (ny taken mod 4): a quarter turn per Y, exact.
inline Amplitude times_i_power(Amplitude p, unsigned ny) {
  switch (ny & 3) {
    case 0: return p;
    case 1: return Amplitude{-p.im, p.re};
    case 2: return Amplitude{-p.re, -p.im};
    default: return Amplitude{p.im, -p.re};
  }
}

// Calls row(index, re, im) with (H psi)[index] for every basis index, H the
// term on its qubits (h.qubits[0] the most significant bit of a row index)
// and the identity elsewhere: group by group, bases ascending, rows in order,
// each row's sum over the columns ascending. Only the bases are generated.
template <class Row>
void for_each_hermitian_row(const Amplitude* psi, std::uint64_t dimension, const HermitianTerm& h,
                            Row row) {
  const std::uint64_t k = h.qubits.size();
  const std::uint64_t size = std::uint64_t{1} << k;
  // offset[r]: where row r's basis state lies relative to the group's base.
  std::vector<std::uint64_t> offset(size, 0);
  for (std::uint64_t r = 0; r < size; ++r) {
    for (std::uint64_t b = 0; b < k; ++b) {
      if ((r >> (k - 1 - b)) & 1) offset[r] |= std::uint64_t{1} << h.qubits[b];
    }
  }
  std::vector<std::uint64_t> opened(h.qubits);
  std::sort(opened.begin(), opened.end());
  for (std::uint64_t v = 0; v < (dimension >> k); ++v) {
    std::uint64_t base = v;
    for (const std::uint64_t p : opened) base = insert_zero_bit(base, p);
    for (std::uint64_t r = 0; r < size; ++r) {
      double re = 0.0, im = 0.0;
      for (std::uint64_t c = 0; c < size; ++c) {
        const Amplitude m = h.matrix[r * size + c];
        const Amplitude p = psi[base | offset[c]];
        re += m.re * p.re - m.im * p.im;
        im += m.re * p.im + m.im * p.re;
      }
      row(base | offset[r], re, im);
    }
  }
}

}  // namespace zentrova::core
