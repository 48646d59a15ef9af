// The adjoint Jacobian against one model: central differences of the values it
// returns itself, on random circuits of every gate kind, with generators of
// every shape (plain Pauli words, projectors, controlled words, shared
// columns) and observables of every kind; the values against a dense matrix.
// Then, the same way, generators of two and three Y letters, and Y on qubits 6
// to 8 of a 9-qubit register, where the sums take a sign from a chunk's index.
// Then its bits: the same with gates recorded in passes as at once, and the
// recorded digest on every platform the engine tests run on.
#include "core/qubit/adjoint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/qubit/passes.h"
#include "tests/core/test_support.h"

namespace zentrova::core {
namespace {

using u64 = std::uint64_t;
using cd = std::complex<double>;

// A circuit whose trainable gates are functions of a parameter vector, so
// that shifted copies can be built.
struct Circuit {
  u64 n;
  std::vector<AdjointGate> gates;
  // For each gate: the parameter its angle is, and the multiple of it.
  std::vector<double> scale;
};

Matrix2 phase_matrix(double phi) { return {{1, 0}, {0, 0}, {0, 0}, {std::cos(phi), std::sin(phi)}}; }
Matrix2 ry_matrix(double t) {
  return {{std::cos(t / 2), 0}, {-std::sin(t / 2), 0}, {std::sin(t / 2), 0}, {std::cos(t / 2), 0}};
}

// Sets every trainable gate's angle from the parameters.
void bind_parameters(Circuit& c, const std::vector<double>& params) {
  for (std::size_t i = 0; i < c.gates.size(); ++i) {
    AdjointGate& g = c.gates[i];
    if (g.column == kFixedGate) continue;
    const double a = c.scale[i] * params[static_cast<u64>(g.column)];
    if (g.kind == AdjointGateKind::kU || g.kind == AdjointGateKind::kPhase) g.m = phase_matrix(a);
    if (g.kind == AdjointGateKind::kMcu) g.m = ry_matrix(a);
    g.theta = a;
  }
}

Circuit random_circuit(std::mt19937_64& rng, u64 n, u64 columns) {
  Circuit c{n, {}, {}};
  const auto distinct = [&](u64 count) {
    std::vector<u64> q;
    while (q.size() < count) {
      const u64 v = rng() % n;
      if (std::find(q.begin(), q.end(), v) == q.end()) q.push_back(v);
    }
    return q;
  };
  const auto angle = [&] { return static_cast<double>(rng() % 2000) / 300.0 - 3.3; };
  for (int k = 0; k < 24; ++k) {
    AdjointGate g;
    double scale = 1.0;
    // Kinds 5 to 7 need two qubits, 8 and 9 three, 10 and 11 two for their control.
    u64 kind;
    do kind = rng() % 12; while ((kind >= 5 && n < 2) || ((kind == 8 || kind == 9) && n < 3) || (kind >= 10 && n < 2));
    const std::int64_t column = static_cast<std::int64_t>(rng() % columns);
    switch (kind) {
      case 0: g.kind = AdjointGateKind::kH; g.qubits = distinct(1); break;
      case 1: g.kind = AdjointGateKind::kRx; g.qubits = distinct(1); g.column = column; break;
      case 2: g.kind = AdjointGateKind::kRy; g.qubits = distinct(1); g.column = column; break;
      case 3: g.kind = AdjointGateKind::kRz; g.qubits = distinct(1); g.column = column; scale = -1.5; break;
      case 4:  // a phase: the projector on its target alone
        g.kind = AdjointGateKind::kU;
        g.qubits = distinct(1);
        g.column = column;
        g.generator = {{1.0, u64{1} << g.qubits[0], {}}};
        break;
      case 5: g.kind = AdjointGateKind::kCnot; g.qubits = distinct(2); break;
      case 6: g.kind = AdjointGateKind::kSwap; g.qubits = distinct(2); break;
      case 7: {  // a controlled ry, with the scale in its generator
        g.kind = AdjointGateKind::kMcu;
        g.qubits = distinct(rng() % (n - 1) + 2 > 3 ? 3 : 2);
        g.column = column;
        scale = 2.0;
        u64 controls = 0;
        for (std::size_t i = 0; i + 1 < g.qubits.size(); ++i) controls |= u64{1} << g.qubits[i];
        const u64 t = u64{1} << g.qubits.back();
        g.generator = {{-0.5 * scale, controls, {t, t}}};
        break;
      }
      case 8: g.kind = AdjointGateKind::kCcnot; g.qubits = distinct(3); break;
      case 9: g.kind = AdjointGateKind::kCsswap; g.qubits = distinct(3); break;
      case 10:  // controlled rotations and phases take their generators from the engine
        g.kind = rng() % 2 ? AdjointGateKind::kRx : AdjointGateKind::kPhase;
        g.qubits = distinct(2);
        g.column = column;
        break;
      default: g.kind = AdjointGateKind::kX; g.qubits = distinct(1); break;
    }
    if (g.kind == AdjointGateKind::kRz) {
      // rz(-1.5 p) has G = -1.5 * (-Z/2): a scale the caller writes into G.
      g.generator = {{-0.5 * scale, 0, {0, u64{1} << g.qubits[0]}}};
    }
    g.theta = angle();
    c.gates.push_back(g);
    c.scale.push_back(scale);
  }
  return c;
}

std::vector<Observable> random_observables(std::mt19937_64& rng, u64 n) {
  const u64 all = (u64{1} << n) - 1;
  Observable paulis, mixed;
  for (int t = 0; t < 4; ++t) {
    paulis.paulis.push_back({static_cast<double>(t) - 1.25, {rng() & all, rng() & all}});
  }
  paulis.paulis.push_back({0.75, {0, rng() & all}});  // a Z word: the diagonal path
  HermitianTerm h;
  h.qubits = {n - 1};
  if (n > 1) h.qubits.insert(h.qubits.begin(), 0);
  const u64 size = u64{1} << h.qubits.size();
  h.matrix.resize(size * size);
  for (u64 r = 0; r < size; ++r) {
    for (u64 col = 0; col <= r; ++col) {
      const double re = static_cast<double>(rng() % 100) / 50 - 1;
      const double im = r == col ? 0.0 : static_cast<double>(rng() % 100) / 50 - 1;
      h.matrix[r * size + col] = {re, im};
      h.matrix[col * size + r] = {re, -im};
    }
  }
  mixed.hermitians.push_back(h);
  mixed.paulis.push_back({0.5, {all & 1, 0}});
  return {paulis, mixed};
}

// The observable as a dense matrix, from Kronecker products of 2x2 blocks.
std::vector<cd> dense(const Observable& o, u64 n) {
  const u64 d = u64{1} << n;
  std::vector<cd> m(d * d);
  for (const PauliTerm& t : o.paulis) {
    for (u64 col = 0; col < d; ++col) {
      cd v = t.coefficient;
      for (u64 q = 0; q < n; ++q) {
        const bool x = (t.word.x >> q) & 1, z = (t.word.z >> q) & 1, b = (col >> q) & 1;
        if (z && x) v *= b ? cd(0, -1) : cd(0, 1);
        else if (z && b) v = -v;
      }
      m[(col ^ t.word.x) * d + col] += v;
    }
  }
  for (const HermitianTerm& h : o.hermitians) {
    const u64 k = h.qubits.size();
    for (u64 r = 0; r < d; ++r) {
      for (u64 col = 0; col < d; ++col) {
        u64 rs = 0, cs = 0, rest = 0;
        for (u64 b = 0; b < k; ++b) {
          rs = rs << 1 | ((r >> h.qubits[b]) & 1);
          cs = cs << 1 | ((col >> h.qubits[b]) & 1);
          rest |= u64{1} << h.qubits[b];
        }
        if ((r & ~rest) != (col & ~rest)) continue;
        const Amplitude e = h.matrix[rs * (u64{1} << k) + cs];
        m[r * d + col] += cd(e.re, e.im);
      }
    }
  }
  return m;
}

bool apply_model(Register& psi, const AdjointGate& g) {
  const std::vector<u64>& q = g.qubits;
  const double c = std::cos(g.theta / 2), s = std::sin(g.theta / 2);
  Matrix2 m = g.m;
  switch (g.kind) {
    case AdjointGateKind::kX: return psi.x(q[0]).ok();
    case AdjointGateKind::kH: return psi.h(q[0]).ok();
    case AdjointGateKind::kCnot: return psi.cnot(q[0], q[1]).ok();
    case AdjointGateKind::kSwap: return psi.swap(q[0], q[1]).ok();
    case AdjointGateKind::kCcnot: return psi.ccnot(q[0], q[1], q[2]).ok();
    case AdjointGateKind::kCsswap: return psi.csswap(q[0], q[1], q[2]).ok();
    case AdjointGateKind::kRx: m = {{c, 0}, {0, -s}, {0, -s}, {c, 0}}; break;
    case AdjointGateKind::kRy: m = ry_matrix(g.theta); break;
    case AdjointGateKind::kRz: m = {{c, -s}, {0, 0}, {0, 0}, {c, s}}; break;
    case AdjointGateKind::kPhase: m = phase_matrix(g.theta); break;
    default: break;
  }
  return psi.mcu(std::vector<u64>(q.begin(), q.end() - 1), q.back(), m).ok();
}

AdjointResult jacobian_of(const Circuit& c, const std::vector<Observable>& obs) {
  return adjoint_jacobian_with_memory(c.n, c.gates, obs, u64{1} << 40);
}

std::vector<std::vector<cd>> dense(const std::vector<Observable>& obs, u64 n) {
  std::vector<std::vector<cd>> out;
  for (const Observable& o : obs) out.push_back(dense(o, n));
  return out;
}

// <psi|O|psi> for each observable's dense matrix.
std::vector<double> expectations(Register& psi, const std::vector<std::vector<cd>>& matrices) {
  const u64 d = psi.dimension();
  const Amplitude* a = psi.amplitudes();
  std::vector<double> out;
  for (const std::vector<cd>& m : matrices) {
    cd v = 0;
    for (u64 i = 0; i < d; ++i) {
      for (u64 j = 0; j < d; ++j) v += cd(a[i].re, -a[i].im) * m[i * d + j] * cd(a[j].re, a[j].im);
    }
    out.push_back(v.real());
  }
  return out;
}

TEST(AdjointTest, MatchesCentralDifferencesAndTheDenseModel) {
  for (u64 n = 1; n <= 5; ++n) {
    for (int round = 0; round < 6; ++round) {
      std::mt19937_64 rng(n * 31 + static_cast<u64>(round));
      const u64 columns = 5;
      Circuit c = random_circuit(rng, n, columns);
      std::vector<double> params(columns);
      for (double& p : params) p = static_cast<double>(rng() % 1000) / 150 - 3.3;
      bind_parameters(c, params);
      const std::vector<Observable> obs = random_observables(rng, n);
      const AdjointResult r = jacobian_of(c, obs);
      ASSERT_EQ(r.refusal, "");
      ASSERT_EQ(r.values.size(), obs.size());

      Register psi(n);
      // psi by the register's gates, rotations as written-out matrices; the
      // values against <psi|O|psi>.
      for (const AdjointGate& g : c.gates) ASSERT_TRUE(apply_model(psi, g)) << "n=" << n;
      const std::vector<double> model = expectations(psi, dense(obs, n));
      for (std::size_t k = 0; k < obs.size(); ++k) {
        EXPECT_NEAR(r.values[k], model[k], 1e-12) << "n=" << n << " round=" << round;
      }

      const double h = 1e-5;
      for (u64 col = 0; col < columns; ++col) {
        std::vector<double> up = params, down = params;
        up[col] += h;
        down[col] -= h;
        Circuit cu = c, cdn = c;
        bind_parameters(cu, up);
        bind_parameters(cdn, down);
        const AdjointResult ru = jacobian_of(cu, obs), rd = jacobian_of(cdn, obs);
        for (std::size_t k = 0; k < obs.size(); ++k) {
          // A column no gate uses is not in the Jacobian: its derivative is zero.
          const double adjoint = col < r.columns ? r.jacobian[k * r.columns + col] : 0.0;
          EXPECT_NEAR(adjoint, (ru.values[k] - rd.values[k]) / (2 * h), 1e-7)
              << "n=" << n << " round=" << round << " observable " << k << " column " << col;
        }
      }
    }
  }
}

PauliWord word(const char* letters, std::vector<u64> qubits) {
  PauliWord w;
  for (std::size_t i = 0; i < qubits.size(); ++i) {
    const u64 bit = u64{1} << qubits[i];
    if (letters[i] == 'X' || letters[i] == 'Y') w.x |= bit;
    if (letters[i] == 'Z' || letters[i] == 'Y') w.z |= bit;
  }
  return w;
}

// Generators no rotation has: words of two and three Y letters (i^2 and i^3
// give the sign), and Y on qubits 6 to 8, above the 64 amplitudes of a sum's
// chunk, whose signs come from the chunk's index, not the place in it. A
// trainable identity u with generator W stands for exp(i p W) at p = 0: its
// column is the derivative with exp(i h W) in its place, which the model
// applies as cos(h) psi + i sin(h) W psi.
TEST(AdjointTest, WordsWithSeveralYsAndOnHighQubitsMatchCentralDifferences) {
  const u64 n = 9;
  const std::vector<PauliWord> words = {
      word("YY", {1, 2}),     word("YY", {3, 7}),     word("YXY", {0, 6, 8}),
      word("YYY", {2, 6, 7}), word("XYZ", {6, 7, 8}), word("Y", {8})};
  for (u64 round = 0; round < 3; ++round) {
    std::mt19937_64 rng(900 + round);
    const u64 columns = 5;
    // A fixed layer first, so that no qubit is left in |0> for a word to vanish on.
    Circuit base = random_circuit(rng, n, columns);
    for (u64 q = 0; q < n; ++q) {
      for (const AdjointGateKind kind : {AdjointGateKind::kRy, AdjointGateKind::kRz}) {
        const double angle = 0.3 + 0.7 * static_cast<double>(q);
        base.gates.insert(base.gates.begin(), AdjointGate{kind, {q}, {}, angle, kFixedGate, {}, {}});
        base.scale.insert(base.scale.begin(), 1.0);
      }
    }
    std::vector<double> params(columns);
    for (double& p : params) p = static_cast<double>(rng() % 1000) / 150 - 3.3;
    std::vector<Observable> obs = random_observables(rng, n);
    obs[0].paulis.push_back({0.7, word("YY", {6, 8})});
    obs[0].paulis.push_back({-0.4, word("YYY", {0, 7, 8})});
    obs[1].paulis.push_back({0.9, word("XZ", {6, 7})});

    const std::vector<std::vector<cd>> matrices = dense(obs, n);
    std::vector<Observable> word_obs;
    for (const PauliWord& w : words) word_obs.push_back(Observable{{{1.0, w}}, {}});
    const std::vector<std::vector<cd>> word_matrices = dense(word_obs, n);

    // The word gates go between the circuit's gates, columns after its own.
    std::vector<std::size_t> at;
    const auto bound = [&](const std::vector<double>& p) {
      Circuit c = base;
      bind_parameters(c, p);
      at.clear();
      for (std::size_t w = 0; w < words.size(); ++w) {
        AdjointGate g{AdjointGateKind::kU, {0}, {{1, 0}, {0, 0}, {0, 0}, {1, 0}}, 0.0,
                      static_cast<std::int64_t>(columns + w), {{1.0, 0, words[w]}}, {}};
        g.qubits = {static_cast<u64>(std::countr_zero(words[w].x | words[w].z))};
        at.push_back(2 * n + w * 5 + 2);
        c.gates.insert(c.gates.begin() + static_cast<std::ptrdiff_t>(at.back()), g);
      }
      return c;
    };
    // The values with exp(i h W) for word gate `shifted` (words.size(): none).
    const auto model = [&](const Circuit& c, std::size_t shifted, double h) {
      Register psi(n);
      for (std::size_t i = 0; i < c.gates.size(); ++i) {
        const auto w = std::find(at.begin(), at.end(), i);
        if (w == at.end()) {
          EXPECT_TRUE(apply_model(psi, c.gates[i]));
        } else if (static_cast<std::size_t>(w - at.begin()) == shifted) {
          const std::vector<cd>& m = word_matrices[shifted];
          Amplitude* a = psi.mutable_amplitudes();
          const u64 d = psi.dimension();
          std::vector<cd> v(d);
          for (u64 j = 0; j < d; ++j) v[j] = cd(a[j].re, a[j].im);
          for (u64 j = 0; j < d; ++j) {
            cd mv = 0;
            for (u64 k = 0; k < d; ++k) mv += m[j * d + k] * v[k];
            const cd e = std::cos(h) * v[j] + cd(0, std::sin(h)) * mv;
            a[j] = Amplitude{e.real(), e.imag()};
          }
        }
      }
      return expectations(psi, matrices);
    };

    const Circuit c = bound(params);
    const AdjointResult r = jacobian_of(c, obs);
    ASSERT_EQ(r.refusal, "");
    ASSERT_EQ(r.columns, columns + words.size());
    const std::vector<double> values = model(c, words.size(), 0.0);
    for (std::size_t k = 0; k < obs.size(); ++k) EXPECT_NEAR(r.values[k], values[k], 1e-12);
    const double h = 1e-5;
    for (u64 col = 0; col < r.columns; ++col) {
      std::vector<double> up = params, down = params;
      if (col < columns) up[col] += h, down[col] -= h;
      const std::size_t shifted = col < columns ? words.size() : col - columns;
      const std::vector<double> vu = model(bound(up), shifted, h);
      const std::vector<double> vd = model(bound(down), shifted, -h);
      for (std::size_t k = 0; k < obs.size(); ++k) {
        EXPECT_NEAR(r.jacobian[k * r.columns + col], (vu[k] - vd[k]) / (2 * h), 1e-7)
            << "round " << round << " observable " << k << " column " << col;
      }
    }
  }
}

// FNV-1a over the bits, as the reproducibility test's digest.
u64 digest_of(const AdjointResult& r) {
  u64 value = 0xCBF29CE484222325u;
  for (const std::vector<double>* v : {&r.values, &r.jacobian}) {
    for (const double x : *v) value = (value ^ std::bit_cast<u64>(x)) * 0x100000001B3u;
  }
  return value;
}

TEST(AdjointTest, SameBitsInPassesAsAtOnceAndOnEveryPlatform) {
  u64 all = 0xCBF29CE484222325u;
  for (u64 n = 5; n <= 7; ++n) {
    std::mt19937_64 rng(n);
    Circuit c = random_circuit(rng, n, 4);
    bind_parameters(c, {0.25, -1.5, 2.75, 3.0});
    const std::vector<Observable> obs = random_observables(rng, n);
    u64 digests[2];
    int i = 0;
    for (const PassShape& shape : {PassShape{63, 0, 0}, PassShape{4, 2, 7, 0, 2}}) {
      ScopedPassShapeForTesting guard(shape);
      digests[i++] = digest_of(jacobian_of(c, obs));
    }
    EXPECT_EQ(digests[0], digests[1]) << "n=" << n;
    all = (all ^ digests[0]) * 0x100000001B3u;
  }
  // mt19937_64 is specified to the bit; the circuits are the same everywhere.
  EXPECT_EQ(all, 0x785f2717c6fb2a4cu) << std::hex << "digest 0x" << all;
}

TEST(AdjointTest, RefusesMalformedInputAndStatesThatDoNotFit) {
  const auto refusal = [](u64 n, std::vector<AdjointGate> gates, std::vector<Observable> obs) {
    return adjoint_jacobian_with_memory(n, gates, obs, u64{1} << 40).refusal;
  };
  AdjointGate rx{AdjointGateKind::kRx, {0}, {}, 0.1, 0, {}, {}};
  const Observable z{{{1.0, {0, 1}}}, {}};
  EXPECT_EQ(refusal(2, {rx}, {z}), "");
  AdjointGate bad = rx;
  bad.qubits = {2};
  EXPECT_NE(refusal(2, {rx, bad}, {z}).find("gate 1: qubits must be distinct and below 2"),
            std::string::npos);
  bad = AdjointGate{AdjointGateKind::kCnot, {0, 0}, {}, 0, kFixedGate, {}, {}};
  EXPECT_NE(refusal(2, {bad}, {z}).find("distinct"), std::string::npos);
  bad = AdjointGate{AdjointGateKind::kU, {0}, {}, 0, 0, {}, {}};
  EXPECT_NE(refusal(2, {bad}, {z}).find("needs its generator"), std::string::npos);
  bad = AdjointGate{AdjointGateKind::kH, {0}, {}, 0, 0, {}, {}};
  EXPECT_NE(refusal(2, {bad}, {z}).find("cannot be trainable"), std::string::npos);
  bad = rx;
  bad.generator = {{1.0, 1, {1, 0}}};  // projector and word on one qubit
  EXPECT_NE(refusal(2, {bad}, {z}).find("distinct qubits"), std::string::npos);
  EXPECT_NE(refusal(2, {rx}, {Observable{{{1.0, {4, 0}}}, {}}}).find("observable 0"),
            std::string::npos);
  EXPECT_NE(refusal(2, {rx}, {Observable{{}, {{{0, 1}, {{1, 0}}}}}}).find("needs 16 entries"),
            std::string::npos);

  // Three states of 10 qubits, 48 KiB, with a byte short: nothing is built.
  EXPECT_EQ(test_support::fatal_text_of([&] {
              (void)adjoint_jacobian_with_memory(10, {rx}, {z, z}, 3 * 16384 - 1);
            }),
            "Not enough memory for the adjoint gradient's 3 states of 10 qubits: it needs 49152 "
            "bytes and you have 49151 bytes of memory");
  EXPECT_EQ(adjoint_jacobian_with_memory(10, {rx}, {z, z}, 3 * 16384).refusal, "");
  // Values alone take two states, whatever the number of observables.
  AdjointGate fixed = rx;
  fixed.column = kFixedGate;
  const AdjointResult values = adjoint_jacobian_with_memory(10, {fixed}, {z, z, z}, 2 * 16384);
  EXPECT_EQ(values.values.size(), 3u);
  EXPECT_EQ(values.values[2], values.values[0]);
}

}  // namespace
}  // namespace zentrova::core
