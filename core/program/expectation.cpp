#include "core/program/expectation.h"

#include <bit>

namespace zentrova::core {
namespace {

// Four running sums by index, added at the end: independent chains the
// processor can overlap, in an order fixed by the index alone.
struct Sum4 {
  double s[4] = {0.0, 0.0, 0.0, 0.0};
  double total() const { return (s[0] + s[1]) + (s[2] + s[3]); }
};

double pauli_value(const Amplitude* a, std::uint64_t dimension, PauliWord w) {
  Sum4 sum;
  if (w.x == 0) {
    for (std::uint64_t i = 0; i < dimension; ++i) {
      const double p = a[i].re * a[i].re + a[i].im * a[i].im;
      sum.s[i & 3] += std::popcount(i & w.z) & 1 ? -p : p;
    }
    return sum.total();
  }
  const unsigned ny = static_cast<unsigned>(std::popcount(w.x & w.z)) & 3;
  for (std::uint64_t i = 0; i < dimension; ++i) {
    const std::uint64_t j = i ^ w.x;
    const Amplitude p = a[j];
    // i^ny times a_j: a quarter turn per Y, exact.
    const Amplitude q = ny == 0   ? p
                        : ny == 1 ? Amplitude{-p.im, p.re}
                        : ny == 2 ? Amplitude{-p.re, -p.im}
                                  : Amplitude{p.im, -p.re};
    const double v = a[i].re * q.re + a[i].im * q.im;
    sum.s[i & 3] += std::popcount(j & w.z) & 1 ? -v : v;
  }
  return sum.total();
}

double hermitian_value(const Amplitude* a, std::uint64_t dimension, const HermitianTerm& h) {
  const std::uint64_t k = h.qubits.size();
  const std::uint64_t size = std::uint64_t{1} << k;
  std::vector<std::uint64_t> offset(size, 0);
  std::uint64_t mask = 0;
  for (std::uint64_t r = 0; r < size; ++r) {
    for (std::uint64_t b = 0; b < k; ++b) {
      if ((r >> (k - 1 - b)) & 1) offset[r] |= std::uint64_t{1} << h.qubits[b];
    }
  }
  for (const std::uint64_t q : h.qubits) mask |= std::uint64_t{1} << q;
  double total = 0.0;
  for (std::uint64_t base = 0; base < dimension; ++base) {
    if (base & mask) continue;
    for (std::uint64_t r = 0; r < size; ++r) {
      double re = 0.0, im = 0.0;
      for (std::uint64_t c = 0; c < size; ++c) {
        const Amplitude m = h.matrix[r * size + c];
        const Amplitude p = a[base | offset[c]];
        re += m.re * p.re - m.im * p.im;
        im += m.re * p.im + m.im * p.re;
      }
      const Amplitude l = a[base | offset[r]];
      total += l.re * re + l.im * im;
    }
  }
  return total;
}

}  // namespace

std::vector<double> expectation_values(const Amplitude* psi, std::uint64_t dimension,
                                       const std::vector<Observable>& observables) {
  std::vector<double> out;
  out.reserve(observables.size());
  for (const Observable& o : observables) {
    double total = 0.0;
    for (const PauliTerm& t : o.paulis) total += t.coefficient * pauli_value(psi, dimension, t.word);
    for (const HermitianTerm& h : o.hermitians) total += hermitian_value(psi, dimension, h);
    out.push_back(total);
  }
  return out;
}

}  // namespace zentrova::core
