#include "core/program/expectation.h"

#include <bit>

#include "core/qubit/observable_terms.h"

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
    const Amplitude q = times_i_power(p, ny);
    const double v = a[i].re * q.re + a[i].im * q.im;
    sum.s[i & 3] += std::popcount(j & w.z) & 1 ? -v : v;
  }
  return sum.total();
}

double hermitian_value(const Amplitude* a, std::uint64_t dimension, const HermitianTerm& h) {
  double total = 0.0;
  for_each_hermitian_row(a, dimension, h, [&](std::uint64_t i, double re, double im) {
    total += a[i].re * re + a[i].im * im;
  });
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
