// Adjoint differentiation (adjoint.h). The sums here are written out with a
// fixed shape: four sums by index modulo 4, walked in ascending order (a
// term's chunk by chunk where its weights are the same over a chunk), joined
// as (s0 + s1) + (s2 + s3). Nothing depends on the kernel set or on how a
// compiler schedules them, so the bits are the same everywhere.
#include "core/qubit/adjoint.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/fatal_error.h"
#include "core/math/trig.h"
#include "core/messages.h"
#include "core/platform/memory.h"
#include "core/program/operation.h"
#include "core/qubit/observable_terms.h"
#include "core/qubit/rotations.h"

namespace zentrova::core {
namespace {

// The sums walk chunks of this many amplitudes: the low positions of an index
// come from tables made once per chunk shape, the high ones once per chunk.
constexpr std::uint64_t kChunkBits = 6;

std::uint64_t parity(std::uint64_t t) {
  t ^= t >> 32;
  t ^= t >> 16;
  t ^= t >> 8;
  t ^= t >> 4;
  return (0x6996u >> (t & 0xf)) & 1u;
}

// +1.0 or -1.0: multiplying by it is exact.
double sign_of(std::uint64_t odd) { return odd ? -1.0 : 1.0; }

struct Sum4 {
  double s[4] = {0.0, 0.0, 0.0, 0.0};
  double total() const { return (s[0] + s[1]) + (s[2] + s[3]); }
};

// How an index splits into a chunk and a place in it.
struct Chunks {
  std::uint64_t size;   // amplitudes per chunk: 2^kChunkBits, or the dimension if smaller
  std::uint64_t count;  // chunks
  explicit Chunks(std::uint64_t dimension)
      : size(std::min<std::uint64_t>(dimension, std::uint64_t{1} << kChunkBits)),
        count(dimension / std::min<std::uint64_t>(dimension, std::uint64_t{1} << kChunkBits)) {}
};

std::uint64_t popcount(std::uint64_t t) {
  std::uint64_t c = 0;
  for (; t != 0; t &= t - 1) ++c;
  return c;
}

// One generator term's Im <lambda| P1 (x) word |psi> as it is summed.
// (word psi)_i = i^ny (-1)^parity(j & z) psi_j with j = i ^ x, and the
// imaginary part of i^ny conj(l) p is one part of conj(l) p, signed.
struct TermSum {
  explicit TermSum(const GeneratorTerm& t, std::uint64_t chunk_size) : term(t) {
    const std::uint64_t low = chunk_size - 1;
    const std::uint64_t ny = popcount(t.word.x & t.word.z) & 3;
    real_part = (ny & 1) != 0;
    overall = (ny & 2) ? -1.0 : 1.0;
    uniform = ((t.word.x | t.word.z | t.projector) & low) == 0 && chunk_size % 4 == 0;
    // The projector's factor (0 or 1) times the low bits' sign, for each
    // place of a chunk, once for each sign of the high bits.
    for (std::uint64_t k = 0; k < chunk_size; ++k) {
      const bool kept = (k & t.projector & low) == (t.projector & low);
      weight[0][k] = kept ? sign_of(parity((k ^ t.word.x) & t.word.z & low)) : 0.0;
      weight[1][k] = -weight[0][k];
    }
  }
  double value() const { return overall * sum.total(); }

  GeneratorTerm term;
  bool real_part;
  double overall;
  // Nothing on a chunk's own positions: every place of a chunk has weight
  // +1 or every place -1, so a chunk's four sums are formed first and then
  // added, signed, to the term's.
  bool uniform;
  double weight[2][std::uint64_t{1} << kChunkBits];
  Sum4 sum;
};

// sum.s[k & 3] += w[k] * f(k) for the places of one chunk, in ascending k;
// the four sums are held in locals, where the compiler keeps them in registers.
template <class F>
void add_chunk(Sum4& sum, const double* w, std::uint64_t size, F f) {
  double s0 = sum.s[0], s1 = sum.s[1], s2 = sum.s[2], s3 = sum.s[3];
  std::uint64_t k = 0;
  for (; k + 4 <= size; k += 4) {
    s0 += w[k] * f(k);
    s1 += w[k + 1] * f(k + 1);
    s2 += w[k + 2] * f(k + 2);
    s3 += w[k + 3] * f(k + 3);
  }
  // Registers of one qubit: chunks of 2.
  if (k < size) s0 += w[k] * f(k);
  if (k + 1 < size) s1 += w[k + 1] * f(k + 1);
  sum.s[0] = s0, sum.s[1] = s1, sum.s[2] = s2, sum.s[3] = s3;
}

// The four sums of f over one chunk's places, from zero, by place modulo 4.
template <class F>
Sum4 chunk_sums(std::uint64_t size, F f) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  std::uint64_t k = 0;
  for (; k + 4 <= size; k += 4) {
    s0 += f(k);
    s1 += f(k + 1);
    s2 += f(k + 2);
    s3 += f(k + 3);
  }
  if (k < size) s0 += f(k);
  if (k + 1 < size) s1 += f(k + 1);
  Sum4 out;
  out.s[0] = s0, out.s[1] = s1, out.s[2] = s2, out.s[3] = s3;
  return out;
}

// The four chunk sums of Re or Im conj(l[k]) p[k], k ascending. Requires a
// size divisible by 4.
template <bool kReal>
Sum4 pair_sums(const Amplitude* l, const Amplitude* p, std::uint64_t size) {
  double s[4] = {0.0, 0.0, 0.0, 0.0};
  for (std::uint64_t k = 0; k < size; k += 4) {
    for (std::uint64_t j = 0; j < 4; ++j) {
      const Amplitude a = l[k + j], b = p[k + j];
      s[j] += kReal ? a.re * b.re + a.im * b.im : a.re * b.im - a.im * b.re;
    }
  }
  Sum4 out;
  for (int j = 0; j < 4; ++j) out.s[j] = s[j];
  return out;
}

void add_signed(Sum4& sum, const Sum4& chunk, bool negative) {
  for (int j = 0; j < 4; ++j) sum.s[j] += negative ? -chunk.s[j] : chunk.s[j];
}

// Every term's sum in one read-only pass over both states, chunk by chunk,
// each in an order fixed by the term alone: batching terms changes no bit of
// any of them.
void imag_terms(const Amplitude* lambda, const Amplitude* psi, std::uint64_t dimension,
                std::vector<TermSum>& terms) {
  const Chunks chunks(dimension);
  const std::uint64_t low = chunks.size - 1;
  bool diagonal = false;
  for (const TermSum& t : terms) diagonal = diagonal || t.term.word.x == 0;
  // Im conj(l) p at each place, shared by the diagonal terms, and its chunk
  // sums, shared by the uniform ones.
  double shared[std::uint64_t{1} << kChunkBits];
  for (std::uint64_t c = 0; c < chunks.count; ++c) {
    const std::uint64_t base = c * chunks.size;
    const Amplitude* l = lambda + base;
    Sum4 shared_sums;
    if (diagonal) {
      const Amplitude* p = psi + base;
      for (std::uint64_t k = 0; k < chunks.size; ++k) shared[k] = l[k].re * p[k].im - l[k].im * p[k].re;
      shared_sums = chunk_sums(chunks.size, [&](std::uint64_t k) { return shared[k]; });
    }
    for (TermSum& t : terms) {
      const GeneratorTerm& g = t.term;
      if ((base & g.projector & ~low) != (g.projector & ~low)) continue;
      const std::uint64_t odd = parity((base ^ g.word.x) & g.word.z & ~low);
      const Amplitude* p = psi + ((base ^ g.word.x) & ~low);
      const std::uint64_t flip = g.word.x & low;
      const auto real = [&](std::uint64_t k) { return l[k].re * p[k ^ flip].re + l[k].im * p[k ^ flip].im; };
      const auto imag = [&](std::uint64_t k) { return l[k].re * p[k ^ flip].im - l[k].im * p[k ^ flip].re; };
      if (t.uniform) {
        add_signed(t.sum,
                   g.word.x == 0 ? shared_sums
                   : t.real_part ? pair_sums<true>(l, p, chunks.size)
                                 : pair_sums<false>(l, p, chunks.size),
                   odd != 0);
        continue;
      }
      const double* w = t.weight[odd];
      if (g.word.x == 0) {
        add_chunk(t.sum, w, chunks.size, [&](std::uint64_t k) { return shared[k]; });
      } else if (t.real_part) {
        add_chunk(t.sum, w, chunks.size, real);
      } else {
        add_chunk(t.sum, w, chunks.size, imag);
      }
    }
  }
}

// Re <psi|lambda>.
double real_overlap(const Amplitude* psi, const Amplitude* lambda, std::uint64_t dimension) {
  Sum4 sum;
  for (std::uint64_t i = 0; i < dimension; ++i) {
    sum.s[i & 3] += psi[i].re * lambda[i].re + psi[i].im * lambda[i].im;
  }
  return sum.total();
}

// lambda = O psi, term by term in the order given: first every Z word (the
// diagonal, formed in lambda's real parts and then applied), then the other
// words, then the Hermitian terms. Requires lambda to be all zeros.
void apply_observable(const Observable& o, const Amplitude* psi, Amplitude* lambda,
                      std::uint64_t dimension) {
  const Chunks chunks(dimension);
  const std::uint64_t low = chunks.size - 1;
  bool diagonal = false;
  for (const PauliTerm& t : o.paulis) {
    if (t.word.x != 0) continue;
    diagonal = true;
    double plus[std::uint64_t{1} << kChunkBits];
    double minus[std::uint64_t{1} << kChunkBits];
    for (std::uint64_t k = 0; k < chunks.size; ++k) {
      plus[k] = t.coefficient * sign_of(parity(k & t.word.z & low));
      minus[k] = -plus[k];
    }
    for (std::uint64_t c = 0; c < chunks.count; ++c) {
      const std::uint64_t base = c * chunks.size;
      const double* add = parity(base & t.word.z & ~low) ? minus : plus;
      Amplitude* l = lambda + base;
      for (std::uint64_t k = 0; k < chunks.size; ++k) l[k].re += add[k];
    }
  }
  if (diagonal) {
    for (std::uint64_t i = 0; i < dimension; ++i) {
      const double d = lambda[i].re;
      lambda[i] = Amplitude{d * psi[i].re, d * psi[i].im};
    }
  }
  for (const PauliTerm& t : o.paulis) {
    if (t.word.x == 0) continue;
    const std::uint64_t ny = popcount(t.word.x & t.word.z) & 3;
    for (std::uint64_t i = 0; i < dimension; ++i) {
      const std::uint64_t j = i ^ t.word.x;
      const double s = t.coefficient * sign_of(parity(j & t.word.z));
      const Amplitude p = psi[j];
      const Amplitude q = times_i_power(p, static_cast<unsigned>(ny));
      lambda[i].re += s * q.re;
      lambda[i].im += s * q.im;
    }
  }
  for (const HermitianTerm& h : o.hermitians) {
    for_each_hermitian_row(psi, dimension, h, [lambda](std::uint64_t i, double re, double im) {
      lambda[i].re += re;
      lambda[i].im += im;
    });
  }
}

Matrix2 dagger(const Matrix2& m) {
  return Matrix2{{m.m00.re, -m.m00.im}, {m.m10.re, -m.m10.im},
                 {m.m01.re, -m.m01.im}, {m.m11.re, -m.m11.im}};
}

// A rotation's or phase's matrix, as the register's own rx, ry and rz build
// theirs, so that a controlled rotation differs from its plain one only in the
// pairs it skips.
Matrix2 matrix_of(AdjointGateKind kind, double theta) {
  if (kind == AdjointGateKind::kPhase) return phase_matrix(sin_cos(theta));
  const SinCos half = sin_cos(theta * 0.5);
  if (kind == AdjointGateKind::kRx) return rx_matrix(half);
  if (kind == AdjointGateKind::kRy) return ry_matrix(half);
  return rz_matrix(theta, half, &sin_cos);
}

OpResult run_gate(Register& r, const AdjointGate& g, bool inverse) {
  const std::vector<std::uint64_t>& q = g.qubits;
  const double theta = inverse ? -g.theta : g.theta;
  const bool plain = q.size() == 1;
  switch (g.kind) {
    case AdjointGateKind::kX: return r.x(q[0]);
    case AdjointGateKind::kH: return r.h(q[0]);
    case AdjointGateKind::kU: return r.u(q[0], inverse ? dagger(g.m) : g.m);
    case AdjointGateKind::kRx:
      if (plain) return r.rx(q[0], theta);
      break;
    case AdjointGateKind::kRy:
      if (plain) return r.ry(q[0], theta);
      break;
    case AdjointGateKind::kRz:
      if (plain) return r.rz(q[0], theta);
      break;
    case AdjointGateKind::kPhase:
      if (plain) return r.u(q[0], matrix_of(g.kind, theta));
      break;
    case AdjointGateKind::kCnot: return r.cnot(q[0], q[1]);
    case AdjointGateKind::kSwap: return r.swap(q[0], q[1]);
    case AdjointGateKind::kCcnot: return r.ccnot(q[0], q[1], q[2]);
    case AdjointGateKind::kCsswap: return r.csswap(q[0], q[1], q[2]);
    case AdjointGateKind::kMcu: break;
    case AdjointGateKind::kMatrix: {
      Operation op;
      op.kind = OpKind::kMatrix;
      op.qubits = q;
      op.entries = g.entries;
      if (inverse) {
        const std::uint64_t size = std::uint64_t{1} << q.size();
        for (std::uint64_t r = 0; r < size; ++r) {
          for (std::uint64_t c = 0; c < size; ++c) {
            const Amplitude a = g.entries[c * size + r];
            op.entries[r * size + c] = Amplitude{a.re, -a.im};
          }
        }
      }
      run_operation(r, op);
      return OpResult::success(r);
    }
  }
  const std::vector<std::uint64_t> controls(q.begin(), q.end() - 1);
  const Matrix2 m = g.kind == AdjointGateKind::kMcu ? (inverse ? dagger(g.m) : g.m)
                                                     : matrix_of(g.kind, theta);
  return r.mcu(controls, q.back(), m);
}

// Runs the gate (or its inverse) on r through the register's own gate
// function. Requires a gate that adjoint_refusal accepted.
void run(Register& r, const AdjointGate& g, bool inverse) {
  if (!run_gate(r, g, inverse).ok()) ZV_FATAL(std::string("adjoint: a checked gate was refused"));
}

// The generator a rotation or phase leaves implicit.
std::vector<GeneratorTerm> generator_of(const AdjointGate& g) {
  if (!g.generator.empty()) return g.generator;
  std::uint64_t controls = 0;
  for (std::size_t i = 0; i + 1 < g.qubits.size(); ++i) controls |= std::uint64_t{1} << g.qubits[i];
  const std::uint64_t t = std::uint64_t{1} << g.qubits.back();
  if (g.kind == AdjointGateKind::kPhase) return {GeneratorTerm{1.0, controls | t, {}}};
  PauliWord w;
  if (g.kind == AdjointGateKind::kRx) w.x = t;
  if (g.kind == AdjointGateKind::kRy) w.x = w.z = t;
  if (g.kind == AdjointGateKind::kRz) w.z = t;
  return {GeneratorTerm{-0.5, controls, w}};
}

std::uint64_t mask_of(const std::vector<std::uint64_t>& qubits) {
  std::uint64_t mask = 0;
  for (const std::uint64_t q : qubits) mask |= std::uint64_t{1} << q;
  return mask;
}

// A pending term is carried past a gate it does not commute with while it
// stays this small: each word costs a sum of its own in the pass.
constexpr std::size_t kMaxCarriedTerms = 4;

// X, Y, Z as 0, 1, 2 from a word's bits on one qubit; 3 for the identity.
int letter(PauliWord w, std::uint64_t bit) {
  const bool x = (w.x & bit) != 0, z = (w.z & bit) != 0;
  return x ? (z ? 1 : 0) : (z ? 2 : 3);
}

void set_letter(PauliWord& w, std::uint64_t bit, int l) {
  w.x = (l == 0 || l == 1) ? (w.x | bit) : (w.x & ~bit);
  w.z = (l == 1 || l == 2) ? (w.z | bit) : (w.z & ~bit);
}

// A trainable gate whose term waits for a gate it does not commute with.
struct Pending {
  Pending(const AdjointGate& g, std::vector<GeneratorTerm> terms)
      : column(static_cast<std::uint64_t>(g.column)) {
    reset(std::move(terms));
  }
  void reset(std::vector<GeneratorTerm> terms) {
    generator = std::move(terms);
    support = 0;
    diagonal = true;
    for (const GeneratorTerm& t : generator) {
      support |= t.projector | t.word.x | t.word.z;
      diagonal = diagonal && t.word.x == 0;
    }
  }
  // Sufficient, not necessary: on other qubits, or both diagonal.
  bool commutes_with(const AdjointGate& g) const {
    if ((mask_of(g.qubits) & support) == 0) return true;
    return diagonal && (g.kind == AdjointGateKind::kRz || g.kind == AdjointGateKind::kPhase);
  }
  // The terms as they read once the rotation g = exp(-i theta s/2) is undone,
  // U^dagger G U: a letter t that anticommutes with s becomes
  // cos(theta) t + e sin(theta) r, r the third letter, e = +1 when (t, s, r)
  // runs X, Y, Z cyclically. False when g is no plain rotation, a projector
  // sits on its qubit (rz excepted), or the terms would grow too many.
  bool carried_past(const AdjointGate& g, std::vector<GeneratorTerm>& out) const {
    if (g.qubits.size() != 1) return false;
    const int s = g.kind == AdjointGateKind::kRx ? 0 : g.kind == AdjointGateKind::kRy ? 1
                : g.kind == AdjointGateKind::kRz ? 2 : -1;
    if (s < 0) return false;
    const std::uint64_t bit = std::uint64_t{1} << g.qubits[0];
    const SinCos e = sin_cos(g.theta);
    out.clear();
    for (const GeneratorTerm& t : generator) {
      const int l = letter(t.word, bit);
      if ((t.projector & bit) != 0 && s != 2) return false;
      if (l == 3 || l == s) {
        out.push_back(t);
        continue;
      }
      if (out.size() + 2 > kMaxCarriedTerms) return false;
      GeneratorTerm c = t, r = t;
      c.coefficient = t.coefficient * e.cos;
      const bool cyclic = s == (l + 1) % 3;
      r.coefficient = t.coefficient * (cyclic ? e.sin : -e.sin);
      set_letter(r.word, bit, 3 - l - s);
      out.push_back(c);
      out.push_back(r);
    }
    return true;
  }

  std::uint64_t column;
  std::vector<GeneratorTerm> generator;
  std::uint64_t support = 0;
  bool diagonal = true;
};

std::uint64_t qubits_of(AdjointGateKind kind) {
  switch (kind) {
    case AdjointGateKind::kCnot:
    case AdjointGateKind::kSwap: return 2;
    case AdjointGateKind::kCcnot:
    case AdjointGateKind::kCsswap: return 3;
    case AdjointGateKind::kRx:
    case AdjointGateKind::kRy:
    case AdjointGateKind::kRz:
    case AdjointGateKind::kPhase:
    case AdjointGateKind::kMcu:
    case AdjointGateKind::kMatrix: return 0;  // any number
    default: return 1;
  }
}

// Distinct qubits below n, as a mask; false if not.
bool qubit_mask(const std::vector<std::uint64_t>& qubits, std::uint64_t n, std::uint64_t& mask) {
  mask = 0;
  for (const std::uint64_t q : qubits) {
    if (q >= n || (mask >> q) & 1) return false;
    mask |= std::uint64_t{1} << q;
  }
  return true;
}

std::string adjoint_refusal(std::uint64_t n, const std::vector<AdjointGate>& gates,
                            const std::vector<Observable>& observables) {
  if (n >= 60) return "adjoint: " + std::to_string(n) + " qubits are more than a register can hold";
  const std::uint64_t all = (std::uint64_t{1} << n) - 1;
  for (std::size_t i = 0; i < gates.size(); ++i) {
    const AdjointGate& g = gates[i];
    const std::string where = "adjoint: gate " + std::to_string(i) + ": ";
    const std::uint64_t want = qubits_of(g.kind);
    std::uint64_t mask = 0;
    if ((want != 0 && g.qubits.size() != want) || g.qubits.empty()) {
      return where + "wrong number of qubits";
    }
    if (!qubit_mask(g.qubits, n, mask)) {
      return where + "qubits must be distinct and below " + std::to_string(n);
    }
    if (g.kind == AdjointGateKind::kMatrix) {
      const std::uint64_t k = g.qubits.size();
      if (k > kMaxOperationQubits) {
        return where + "a matrix acts on at most " + std::to_string(kMaxOperationQubits) + " qubits";
      }
      if (g.entries.size() != (std::uint64_t{1} << (2 * k))) {
        return where + "a matrix on " + std::to_string(k) + " qubits needs " +
               std::to_string(std::uint64_t{1} << (2 * k)) + " entries";
      }
    }
    if (g.column < kFixedGate) return where + "a column is kFixedGate or at least 0";
    if (g.column == kFixedGate) continue;
    const bool rotation = g.kind == AdjointGateKind::kRx || g.kind == AdjointGateKind::kRy ||
                          g.kind == AdjointGateKind::kRz || g.kind == AdjointGateKind::kPhase;
    const bool matrix = g.kind == AdjointGateKind::kU || g.kind == AdjointGateKind::kMcu ||
                        g.kind == AdjointGateKind::kMatrix;
    if (!rotation && !matrix) return where + "a gate without a parameter cannot be trainable";
    if (matrix && g.generator.empty()) {
      return where + "a trainable u, mcu or matrix needs its generator";
    }
    for (const GeneratorTerm& t : g.generator) {
      if (((t.projector | t.word.x | t.word.z) & ~all) != 0 ||
          (t.projector & (t.word.x | t.word.z)) != 0) {
        return where + "a generator term's projector and word must lie on distinct qubits below " +
               std::to_string(n);
      }
    }
  }
  for (std::size_t k = 0; k < observables.size(); ++k) {
    const std::string where = "adjoint: observable " + std::to_string(k) + ": ";
    for (const PauliTerm& t : observables[k].paulis) {
      if (((t.word.x | t.word.z) & ~all) != 0) {
        return where + "a Pauli word acts on a qubit not below " + std::to_string(n);
      }
    }
    for (const HermitianTerm& h : observables[k].hermitians) {
      std::uint64_t mask = 0;
      if (h.qubits.empty() || h.qubits.size() > kMaxHermitianQubits ||
          !qubit_mask(h.qubits, n, mask)) {
        return where + "a Hermitian term needs 1 to " + std::to_string(kMaxHermitianQubits) +
               " distinct qubits below " + std::to_string(n);
      }
      const std::uint64_t size = std::uint64_t{1} << h.qubits.size();
      if (h.matrix.size() != size * size) {
        return where + "a Hermitian term on " + std::to_string(h.qubits.size()) + " qubits needs " +
               std::to_string(size * size) + " entries";
      }
    }
  }
  return {};
}

}  // namespace

AdjointResult adjoint_jacobian(std::uint64_t qubit_count, const std::vector<AdjointGate>& gates,
                               const std::vector<Observable>& observables) {
  return adjoint_jacobian_with_memory(qubit_count, gates, observables,
                                      platform::available_physical_memory());
}

AdjointResult adjoint_jacobian_with_memory(std::uint64_t n, const std::vector<AdjointGate>& gates,
                                           const std::vector<Observable>& observables,
                                           std::uint64_t available) {
  AdjointResult result;
  result.refusal = adjoint_refusal(n, gates, observables);
  if (!result.refusal.empty()) return result;
  std::int64_t last_column = kFixedGate;
  for (const AdjointGate& g : gates) last_column = std::max(last_column, g.column);
  result.columns = static_cast<std::uint64_t>(last_column + 1);
  const std::uint64_t k = observables.size();
  if (k == 0) return result;
  // Without a parameter only the values are wanted: one co-state serves every
  // observable in turn.
  const bool backward = result.columns > 0;
  const std::uint64_t states = backward ? k + 1 : 2;

  // Every state is checked for before the first is built: a refusal after
  // the forward pass would have cost its time for nothing.
  const std::uint64_t state_bytes = std::uint64_t{16} << n;
  if (states > UINT64_MAX / state_bytes) ZV_FATAL(std::string(kCapacityOverflowText));
  const std::uint64_t need = states * state_bytes;
  if (need > available) {
    ZV_FATAL(readout_memory_message(
        "the adjoint gradient's " + std::to_string(states) + " states of " + std::to_string(n) +
            " qubits",
        available, need));
  }

  Register psi(n);
  for (const AdjointGate& g : gates) run(psi, g, false);
  std::vector<Register> lambdas;
  lambdas.reserve(states - 1);
  const std::uint64_t dimension = psi.dimension();
  for (std::uint64_t o = 0; o < k; ++o) {
    if (lambdas.size() < states - 1) lambdas.emplace_back(n);
    Amplitude* l = lambdas.back().mutable_amplitudes();
    // The sums start from zero: a fresh register holds |0...0>, a reused one
    // the last observable's co-state.
    if (o < states - 1) {
      l[0] = Amplitude{0.0, 0.0};
    } else {
      std::fill(l, l + dimension, Amplitude{0.0, 0.0});
    }
    const Amplitude* p = psi.amplitudes();
    apply_observable(observables[o], p, l, dimension);
    result.values.push_back(real_overlap(p, l, dimension));
  }
  if (!backward) return result;

  result.jacobian.assign(k * result.columns, 0.0);
  std::size_t first_trainable = gates.size();
  for (std::size_t i = 0; i < gates.size(); ++i) {
    if (gates[i].column != kFixedGate) {
      first_trainable = i;
      break;
    }
  }
  // dU/dtheta = i G U, so d<O>/dtheta = 2 Re <lambda|i G|psi> = -2 Im <lambda|G|psi>,
  // both states taken just after the gate, or after undoing any earlier
  // gates V as well, with G replaced by V^dagger G V (G itself where V
  // commutes with it). So terms wait, carried past the gates they meet, until
  // one would make them too many; all waiting terms are then summed together
  // in one pass. The gates in between are undone without a read of the
  // states, which leaves the registers free to apply them in passes.
  std::vector<Pending> pending;
  std::vector<std::pair<std::size_t, std::vector<GeneratorTerm>>> carried;
  const auto flush = [&] {
    if (pending.empty()) return;
    const Amplitude* p = psi.amplitudes();
    const std::uint64_t chunk = Chunks(dimension).size;
    for (std::uint64_t o = 0; o < k; ++o) {
      std::vector<TermSum> sums;
      for (const Pending& q : pending) {
        for (const GeneratorTerm& t : q.generator) sums.emplace_back(t, chunk);
      }
      imag_terms(lambdas[o].amplitudes(), p, dimension, sums);
      std::size_t next = 0;
      for (const Pending& q : pending) {
        double d = 0.0;
        for (const GeneratorTerm& t : q.generator) d += t.coefficient * sums[next++].value();
        result.jacobian[o * result.columns + q.column] += -2.0 * d;
      }
    }
    pending.clear();
  };
  for (std::size_t i = gates.size(); i-- > first_trainable;) {
    const AdjointGate& g = gates[i];
    if (g.column != kFixedGate) pending.push_back(Pending(g, generator_of(g)));
    if (i == first_trainable) break;
    // A gate commutes with its own generator.
    const std::size_t others = pending.size() - (g.column != kFixedGate ? 1 : 0);
    carried.clear();
    bool all = true;
    for (std::size_t j = 0; j < others && all; ++j) {
      if (pending[j].commutes_with(g)) continue;
      carried.emplace_back(j, std::vector<GeneratorTerm>());
      all = pending[j].carried_past(g, carried.back().second);
    }
    if (all) {
      for (auto& [j, terms] : carried) pending[j].reset(std::move(terms));
    } else {
      flush();
    }
    run(psi, g, true);
    for (Register& l : lambdas) run(l, g, true);
  }
  flush();
  return result;
}

}  // namespace zentrova::core
