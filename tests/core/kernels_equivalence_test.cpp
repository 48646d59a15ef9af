// Every kernel set against the scalar reference, bit for bit: each table entry
// on registers of 1 to 12 qubits, at every target and control position, and at
// a larger size of each walk those do not reach (gate_model.h finds them), on
// states full of signed zeros, subnormals, infinities and NaNs with payloads.
// One allowance: where arithmetic made a NaN, any NaN matches, since which
// operand's payload survives is the hardware's choice. Exchanges and clears
// only move bits and are compared byte for byte. A set this CPU cannot run is
// reported as skipped; its body still runs here at its width through an
// emulated set (kernels_emulated.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/qubit/kernels/dispatch.h"
#include "core/qubit/kernels/kernels.h"
#include "core/qubit/register.h"
#include "tests/core/gate_model.h"
#include "core/platform/cpu_features.h"
#include "tests/core/kernels_emulated.h"

namespace zentrova::core {
namespace {

using model::bit;
using model::bits_of;
using model::State;

constexpr std::uint64_t kMaxQubits = 12;

// Random states of every kind the kernels must agree on. Sparse ones have long
// runs of zeros (some -0.0) between small values: the read-outs skip zero runs
// only where that is exact, and this is where a wrong skip would show. In the
// last family but one an infinite amplitude is followed by zeros only: there
// a zero does change a compensated sum (its correction term becomes NaN). In
// the last, every part is +0, -0 or an ordinary value, a third each, so that
// every lane of a register meets the pairs of parts where the sign of a zero
// result rests on the zero products of the reference.
enum class Family { kAwkward, kOrdinary, kSparse, kInfinityThenZeros, kSignedZeros };

State make_state(std::uint64_t n, Family family, std::mt19937_64& rng) {
  if (family == Family::kAwkward || family == Family::kOrdinary) {
    return model::random_state(n, rng, family == Family::kOrdinary);
  }
  if (family == Family::kSignedZeros) {
    State s(std::uint64_t{1} << n);
    std::uniform_int_distribution<int> third(0, 2);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    const auto part = [&] { return std::array<double, 3>{0.0, -0.0, value(rng)}[third(rng)]; };
    for (Amplitude& a : s) {
      const double re = part();
      a = Amplitude{re, part()};
    }
    return s;
  }
  if (family == Family::kInfinityThenZeros) {
    State s = model::random_state(n, rng, true);
    const std::uint64_t k = s.size() / 2 + rng() % (s.size() / 4 + 1);
    s[k].re = std::numeric_limits<double>::infinity();
    for (std::uint64_t i = k + 1; i < s.size(); ++i) s[i] = Amplitude{0.0, 0.0};
    return s;
  }
  State s(std::uint64_t{1} << n, Amplitude{0.0, 0.0});
  std::uniform_int_distribution<int> coin(0, 15);
  std::uniform_real_distribution<double> small(-0.25, 0.25);
  bool in_run = false;
  for (Amplitude& a : s) {
    if (coin(rng) == 0) in_run = !in_run;
    if (in_run) {
      a = Amplitude{small(rng), small(rng)};
    } else if (coin(rng) == 0) {
      a = Amplitude{-0.0, coin(rng) < 8 ? -0.0 : 0.0};
    }
  }
  return s;
}

const Family kFamilies[] = {Family::kAwkward, Family::kOrdinary, Family::kSparse,
                            Family::kInfinityThenZeros, Family::kSignedZeros};

bool same_doubles(const std::vector<double>& got, const std::vector<double>& want) {
  if (got.size() != want.size()) return false;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (bits_of(got[i]) != bits_of(want[i]) && !(std::isnan(got[i]) && std::isnan(want[i]))) {
      return false;
    }
  }
  return true;
}

bool same_double(double got, double want) { return same_doubles({got}, {want}); }

// Sorted distinct positions plus the target, as mcu hands them to the kernel.
std::vector<std::uint64_t> positions_of(std::uint64_t controls, std::uint64_t target) {
  std::vector<std::uint64_t> p;
  for (std::uint64_t q = 0; q < 64; ++q) {
    if (((controls | bit(target)) >> q) & 1) p.push_back(q);
  }
  return p;
}

const KernelSet* const kEmulatedSets[] = {
    &kEmulated512Kernels,
#ifdef ZENTROVA_PORTABLE_AVX512
    &kPortableAvx512Kernels,
#endif
};

std::vector<const KernelSet*> runnable_sets() {
  std::vector<const KernelSet*> sets = kernel_sets_for_testing();
  for (const KernelSet* s : kEmulatedSets) {
#ifdef ZENTROVA_PORTABLE_AVX512
    if (s == &kPortableAvx512Kernels && !platform::cpu_features().avx2) continue;
#endif
    sets.push_back(s);
  }
  return sets;
}

class KernelsEquivalenceTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    for (const KernelSet* s : runnable_sets()) {
      if (GetParam() == s->name) set_ = s;
    }
    if (set_ == nullptr) GTEST_SKIP() << "this CPU cannot run the " << GetParam() << " kernels";
  }

  // Runs op on a copy of s through the scalar set and through the set under
  // test; any difference fails with `what`. Exchanges compare raw bytes.
  // The copies go into buffers kept for the whole test, which the large
  // states would otherwise fault in afresh, page by page, for every call.
  template <class Op>
  void expect_same(const State& s, bool moves_only, const std::string& what, Op op) {
    want_.assign(s.begin(), s.end());
    got_.assign(s.begin(), s.end());
    op(kScalarKernels, want_.data());
    op(*set_, got_.data());
    if (std::memcmp(got_.data(), want_.data(), s.size() * sizeof(Amplitude)) == 0) return;
    if (moves_only) {
      ADD_FAILURE() << what << ": the bytes differ";
    } else {
      EXPECT_TRUE(model::same_bits(got_, want_, true)) << what;
    }
  }

  // Every family of state at every size, each with its own seed.
  template <class Body>
  void for_each_state(Body body, std::uint64_t min_qubits = 1) {
    for (std::uint64_t n = min_qubits; n <= kMaxQubits; ++n) {
      for (Family f : kFamilies) {
        std::mt19937_64 rng(n * 31 + static_cast<std::uint64_t>(f));
        const State s = make_state(n, f, rng);
        body(n, s, rng, "n=" + std::to_string(n) + " family=" + std::to_string(static_cast<int>(f)));
      }
    }
  }

  const KernelSet* set_ = nullptr;
  State want_, got_;
};

TEST_P(KernelsEquivalenceTest, SingleQubitGates) {
  const double k = model::from_bits(0x3FE6A09E667F3BCDu);
  for_each_state([&](std::uint64_t n, const State& s, std::mt19937_64& rng, const std::string& where) {
    // A matrix of awkward entries, and the shapes of rx, ry and rz, whose zero
    // parts decide signs of zeros and NaNs from infinite amplitudes.
    const double c = std::cos(0.35), sn = std::sin(0.35);
    const Matrix2 matrices[] = {
        model::random_matrix(rng, true),
        model::random_matrix(rng, false),
        Matrix2{{c, 0.0}, {0.0, -sn}, {0.0, -sn}, {c, 0.0}},
        Matrix2{{c, 0.0}, {-sn, -0.0}, {sn, 0.0}, {c, 0.0}},
        Matrix2{{c, -sn}, {0.0, 0.0}, {0.0, 0.0}, {c, sn}},
    };
    for (std::uint64_t t = 0; t < n; ++t) {
      const std::string at = where + " t=" + std::to_string(t);
      expect_same(s, true, "x " + at,
                  [&](const KernelSet& ks, Amplitude* a) { ks.exchange(a, s.size(), t); });
      expect_same(s, false, "h " + at,
                  [&](const KernelSet& ks, Amplitude* a) { ks.hadamard(a, s.size(), t, k); });
      for (const Matrix2& m : matrices) {
        expect_same(s, false, "u " + at,
                    [&](const KernelSet& ks, Amplitude* a) { ks.general(a, s.size(), t, m); });
        expect_same(s, false, "rz " + at,
                    [&](const KernelSet& ks, Amplitude* a) { ks.diagonal(a, s.size(), t, m); });
      }
    }
  });
}

// The matrices of rx and ry, whose zero parts decide the signs of zero results
// and turn infinities into NaN, on states that are ordinary but for one part
// of one amplitude at an edge of the double range (a zero, a product that
// underflows, an infinity, a NaN, 2^-500 and 2^524). The angles include those
// whose cosine or sine is zero, tiny or not a number.
TEST_P(KernelsEquivalenceTest, RotationMatricesAtTheEdges) {
  const double pi = 3.141592653589793;
  const double angles[] = {0.35, -2.5, pi, -pi, 2 * pi, 0.0, -0.0, 1e300, 1e-150, 1e-160,
                           std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::quiet_NaN()};
  const double pokes[] = {0.0, -0.0, std::numeric_limits<double>::denorm_min(), 1e-300,
                          std::ldexp(1.0, -500), std::ldexp(1.0, -501), std::ldexp(1.0, 524),
                          std::nextafter(std::ldexp(1.0, 524), 0.0), -1e300,
                          std::numeric_limits<double>::max(),
                          -std::numeric_limits<double>::infinity(),
                          model::from_bits(0x7FF8000000000001u)};
  const auto check = [&](const State& s, const std::string& where, std::mt19937_64& rng) {
    const std::uint64_t n = static_cast<std::uint64_t>(std::countr_zero(s.size()));
    std::vector<Matrix2> matrices = {model::random_matrix(rng, true)};
    for (double theta : angles) {
      const double c = std::cos(theta * 0.5), sn = std::sin(theta * 0.5);
      matrices.push_back(Matrix2{{c, 0.0}, {0.0, -sn}, {0.0, -sn}, {c, 0.0}});
      matrices.push_back(Matrix2{{c, 0.0}, {-sn, -0.0}, {sn, 0.0}, {c, 0.0}});
    }
    for (std::uint64_t t = 0; t < n; ++t) {
      for (std::size_t k = 0; k < matrices.size(); ++k) {
        const Matrix2& m = matrices[k];
        const std::string at = where + " t=" + std::to_string(t) + " matrix=" + std::to_string(k);
        expect_same(s, false, "rotation " + at,
                    [&](const KernelSet& ks, Amplitude* a) { ks.general(a, s.size(), t, m); });
      }
    }
  };
  for_each_state([&](std::uint64_t, const State& s, std::mt19937_64& rng, const std::string& where) {
    check(s, where, rng);
  });
  std::mt19937_64 rng(2024);
  for (std::uint64_t n = 1; n <= kMaxQubits; n += 3) {
    for (double poke : pokes) {
      State s = model::random_state(n, rng, true);
      const std::uint64_t at = rng() % s.size();
      (rng() % 2 == 0 ? s[at].re : s[at].im) = poke;
      check(s, "n=" + std::to_string(n) + " poke=" + std::to_string(poke) + " at=" + std::to_string(at),
            rng);
    }
  }
}

TEST_P(KernelsEquivalenceTest, ExchangesOnSeveralQubits) {
  for_each_state([&](std::uint64_t n, const State& s, std::mt19937_64&, const std::string& where) {
    const std::uint64_t dim = s.size();
    for (std::uint64_t a = 0; a < n; ++a) {
      for (std::uint64_t b = 0; b < n; ++b) {
        if (a == b) continue;
        const std::string ab = where + " " + std::to_string(a) + "," + std::to_string(b);
        expect_same(s, true, "cnot " + ab,
                    [&](const KernelSet& ks, Amplitude* p) { ks.cnot(p, dim, a, b); });
        if (a < b) {
          expect_same(s, true, "swap " + ab,
                      [&](const KernelSet& ks, Amplitude* p) { ks.swap(p, dim, a, b); });
        }
        for (std::uint64_t c = 0; c < n; ++c) {
          if (c == a || c == b) continue;
          const std::string abc = ab + "," + std::to_string(c);
          expect_same(s, true, "ccnot " + abc,
                      [&](const KernelSet& ks, Amplitude* p) { ks.ccnot(p, dim, a, b, c); });
          expect_same(s, true, "csswap " + abc,
                      [&](const KernelSet& ks, Amplitude* p) { ks.csswap(p, dim, a, b, c); });
        }
      }
    }
  }, 2);
}

TEST_P(KernelsEquivalenceTest, ControlledGeneralUpdate) {
  for_each_state([&](std::uint64_t n, const State& s, std::mt19937_64& rng, const std::string& where) {
    const Matrix2 m = model::random_matrix(rng, true);
    for (std::uint64_t t = 0; t < n; ++t) {
      // No control, every single control, every pair, and some larger sets.
      std::vector<std::uint64_t> control_sets = {0};
      for (std::uint64_t a = 0; a < n; ++a) {
        if (a == t) continue;
        control_sets.push_back(bit(a));
        for (std::uint64_t b = a + 1; b < n; ++b) {
          if (b != t) control_sets.push_back(bit(a) | bit(b));
        }
      }
      for (int i = 0; i < 6; ++i) control_sets.push_back(rng() & (bit(n) - 1) & ~bit(t));
      for (const std::uint64_t controls : control_sets) {
        const std::vector<std::uint64_t> p = positions_of(controls, t);
        expect_same(s, false, "mcu " + where + " t=" + std::to_string(t) + " controls=" + std::to_string(controls),
                    [&](const KernelSet& ks, Amplitude* a) {
                      ks.controlled_general(a, s.size(), p.data(), p.size(), t, m);
                    });
      }
    }
  });
}

// The k-qubit entries: random targets (in any order), controls of either
// value, random matrices and diagonals with some entries exactly 1. In the
// scalar set itself, a matrix on one target must give `general`'s bits.
TEST_P(KernelsEquivalenceTest, MatricesAndDiagonalsOnSeveralQubits) {
  for_each_state([&](std::uint64_t n, const State& s, std::mt19937_64& rng, const std::string& where) {
    for (int trial = 0; trial < 8; ++trial) {
      std::vector<std::uint64_t> order(n);
      for (std::uint64_t q = 0; q < n; ++q) order[q] = q;
      std::shuffle(order.begin(), order.end(), rng);
      const std::uint64_t k = 1 + rng() % std::min<std::uint64_t>(n, 4);
      const std::uint64_t c = rng() % (n - k + 1);
      std::vector<std::uint64_t> targets(order.begin(), order.begin() + k);
      std::vector<std::uint64_t> opened(order.begin(), order.begin() + k + c);
      std::sort(opened.begin(), opened.end());
      const std::uint64_t want = [&] {
        std::uint64_t w = 0;
        for (std::uint64_t i = k; i < k + c; ++i) w |= (rng() & 1) << order[i];
        return w;
      }();
      const MultiTarget at{targets.data(), k, opened.data(), opened.size(), want};
      std::vector<Amplitude> m(std::size_t{1} << (2 * k));
      for (std::size_t e = 0; e < m.size(); e += 4) {
        const Matrix2 part = model::random_matrix(rng, true);
        std::copy(&part.m00, &part.m00 + std::min<std::size_t>(4, m.size() - e), m.begin() + static_cast<std::ptrdiff_t>(e));
      }
      std::vector<std::uint64_t> rows;
      for (std::uint64_t r = 0; r < (std::uint64_t{1} << k); ++r) {
        if (rng() % 3 != 0) rows.push_back(r);
      }
      const std::string what = where + " k=" + std::to_string(k) + " c=" + std::to_string(c);
      expect_same(s, false, "matrix " + what, [&](const KernelSet& ks, Amplitude* a) {
        ks.matrix(a, s.size(), at, m.data());
      });
      expect_same(s, false, "diagonal " + what, [&](const KernelSet& ks, Amplitude* a) {
        ks.diagonal_entries(a, s.size(), at, rows.data(), m.data(), rows.size());
      });
      if (k == 1 && c == 0 && set_ == &kScalarKernels) {
        const Matrix2 m2{m[0], m[1], m[2], m[3]};
        State general(s.begin(), s.end());
        State matrix(s.begin(), s.end());
        kScalarKernels.general(general.data(), s.size(), targets[0], m2);
        kScalarKernels.matrix(matrix.data(), s.size(), at, m.data());
        EXPECT_TRUE(model::same_bits(matrix, general, true)) << "one target " << what;
      }
    }
  });
}

TEST_P(KernelsEquivalenceTest, ProbabilitiesAndClear) {
  for_each_state([&](std::uint64_t, const State& s, std::mt19937_64&, const std::string& where) {
    const std::uint64_t dim = s.size();
    // Unaligned starts and counts that leave every length of tail.
    for (std::uint64_t begin : {0u, 1u, 3u, 5u}) {
      if (begin > dim) continue;
      for (std::uint64_t count = 0; begin + count <= dim; count += count < 20 ? 1 : count) {
        std::vector<double> want(count + 1, -1.0), got(count + 1, -1.0);
        kScalarKernels.probabilities(s.data() + begin, count, want.data());
        set_->probabilities(s.data() + begin, count, got.data());
        EXPECT_TRUE(same_doubles(got, want)) << where << " begin=" << begin << " count=" << count;
      }
    }
    expect_same(s, true, "clear " + where,
                [&](const KernelSet& ks, Amplitude* a) { ks.clear(a, dim); });
  });
}

TEST_P(KernelsEquivalenceTest, ObserveScan) {
  for_each_state([&](std::uint64_t, const State& s, std::mt19937_64& rng, const std::string& where) {
    const std::uint64_t dim = s.size();
    // Draws at, just below and just above running sums, so every way the
    // comparison can go at a boundary is met, plus 0, random and beyond-total.
    std::vector<double> draws = {0.0, 0x1p-53, 1.0 - 0x1p-53, std::numeric_limits<double>::infinity()};
    double sum = 0.0;
    for (std::uint64_t i = 0; i < dim; ++i) {
      const double rr = s[i].re * s[i].re;
      const double ii = s[i].im * s[i].im;
      sum = sum + (rr + ii);
      if (rng() % 8 == 0 || i + 1 == dim) {
        draws.push_back(sum);
        draws.push_back(std::nextafter(sum, 0.0));
        draws.push_back(std::nextafter(sum, 2.0));
      }
    }
    for (int i = 0; i < 8; ++i) draws.push_back(std::uniform_real_distribution<double>(0, sum)(rng));
    for (const double r : draws) {
      EXPECT_EQ(set_->observe_scan(s.data(), dim, r), kScalarKernels.observe_scan(s.data(), dim, r))
          << where << " r=" << r;
    }
  });
}

TEST_P(KernelsEquivalenceTest, ObserveOnePasses) {
  for_each_state([&](std::uint64_t n, const State& s, std::mt19937_64& rng, const std::string& where) {
    const std::uint64_t dim = s.size();
    const double divisors[] = {std::uniform_real_distribution<double>(0.1, 1.0)(rng), 1.0, 0.0,
                               std::numeric_limits<double>::quiet_NaN()};
    for (std::uint64_t t = 0; t < n; ++t) {
      const std::string at = where + " t=" + std::to_string(t);
      EXPECT_TRUE(same_double(set_->probability_of_one(s.data(), dim, t),
                              kScalarKernels.probability_of_one(s.data(), dim, t)))
          << "sum " << at;
      for (const bool keep_one : {false, true}) {
        for (const double h : divisors) {
          expect_same(s, false, "collapse " + at + " h=" + std::to_string(h),
                      [&](const KernelSet& ks, Amplitude* a) { ks.collapse_one(a, dim, t, keep_one, h); });
        }
      }
    }
  });
}

TEST_P(KernelsEquivalenceTest, ObserveMulPasses) {
  for_each_state([&](std::uint64_t n, const State& s, std::mt19937_64& rng, const std::string& where) {
    const std::uint64_t dim = s.size();
    // Every single target and pair (a repeat among them), an empty list, and
    // random lists of up to five entries with repeats.
    std::vector<std::vector<std::uint64_t>> lists = {{}};
    for (std::uint64_t a = 0; a < n; ++a) {
      lists.push_back({a});
      for (std::uint64_t b = a; b < n; ++b) lists.push_back({a, b});
    }
    for (int i = 0; i < 10; ++i) {
      std::vector<std::uint64_t> list(1 + rng() % 5);
      for (std::uint64_t& q : list) q = rng() % n;
      std::sort(list.begin(), list.end());
      lists.push_back(list);
    }
    for (const std::vector<std::uint64_t>& targets : lists) {
      std::string at = where + " targets=";
      for (std::uint64_t q : targets) at += std::to_string(q) + ",";
      const std::uint64_t b = targets.size();
      std::vector<double> want(bit(b), 0.0), got(bit(b), 0.0);
      kScalarKernels.marginal_table(s.data(), dim, targets.data(), b, want.data());
      set_->marginal_table(s.data(), dim, targets.data(), b, got.data());
      EXPECT_TRUE(same_doubles(got, want)) << "table " << at;

      const std::uint64_t outcome = rng() & (bit(b) - 1);
      std::uint64_t mask = 0, keep = 0;
      for (std::uint64_t k = 0; k < b; ++k) {
        mask |= bit(targets[k]);
        if ((outcome >> k) & 1) keep |= bit(targets[k]);
      }
      for (const bool scale : {false, true}) {
        expect_same(s, false, "collapse " + at, [&](const KernelSet& ks, Amplitude* a) {
          ks.collapse_mul(a, dim, mask, keep, scale, 0.7);
        });
      }
    }
  });
}

// A size of each path that registers up to kMaxQubits do not take (the range
// that asks for lines ahead, and past it), on one awkward state per size. In
// the range that asks for lines ahead: every entry on every target, where runs
// shorter than a line, than the 4 KiB ahead and than 64 KiB each walk their
// own way. Past it, where the walks are those of the smaller sizes on longer
// arrays, only the entries that choose their walk by size (x, h, u, rz and
// mcu), on a few targets, to keep the time down.
TEST_P(KernelsEquivalenceTest, EveryEntryAtTheLargerPathSizes) {
  if (set_ == &kScalarKernels) GTEST_SKIP() << "the reference itself";
  const auto ahead = [](std::uint64_t dim) { return dim > kAheadAbove && dim <= kAheadUpTo; };
  for (const std::uint64_t n : model::sizes_of_new_paths(kMaxQubits)) {
    std::mt19937_64 rng(n);
    const State s = model::random_state(n, rng);
    const std::uint64_t dim = s.size();
    const bool full = ahead(dim);
    std::vector<std::uint64_t> targets = {0, 2, n - 1};
    if (full) {
      targets.clear();
      for (std::uint64_t t = 0; t < n; ++t) targets.push_back(t);
    }
    const Matrix2 m = model::random_matrix(rng, true);
    const std::string where = "n=" + std::to_string(n);
    for (std::size_t i = 0; i < targets.size(); ++i) {
      const std::uint64_t t = targets[i];
      const std::uint64_t a = targets[(i + 1) % targets.size()];
      const std::uint64_t b = targets[(i + 2) % targets.size()];
      const std::string at = where + " t=" + std::to_string(t) + " a=" + std::to_string(a) +
                             " b=" + std::to_string(b);
      const auto same = [&](bool moves_only, const char* what, auto op) {
        expect_same(s, moves_only, what + (" " + at), op);
      };
      same(true, "x", [&](const KernelSet& ks, Amplitude* p) { ks.exchange(p, dim, t); });
      same(false, "h", [&](const KernelSet& ks, Amplitude* p) { ks.hadamard(p, dim, t, 0.7); });
      same(false, "u", [&](const KernelSet& ks, Amplitude* p) { ks.general(p, dim, t, m); });
      same(false, "rz", [&](const KernelSet& ks, Amplitude* p) { ks.diagonal(p, dim, t, m); });
      // Controls inside a register keep the walk that asks for lines ahead.
      for (const std::uint64_t controls : {bit(a), std::uint64_t{1}, std::uint64_t{3}}) {
        if (controls & bit(t)) continue;
        const std::vector<std::uint64_t> p = positions_of(controls, t);
        same(false, "mcu", [&](const KernelSet& ks, Amplitude* q) {
          ks.controlled_general(q, dim, p.data(), p.size(), t, m);
        });
      }
      if (!full) continue;
      same(true, "cnot", [&](const KernelSet& ks, Amplitude* p) { ks.cnot(p, dim, a, t); });
      same(true, "swap",
           [&](const KernelSet& ks, Amplitude* p) { ks.swap(p, dim, std::min(a, t), std::max(a, t)); });
      same(true, "ccnot", [&](const KernelSet& ks, Amplitude* p) { ks.ccnot(p, dim, a, b, t); });
      same(true, "csswap", [&](const KernelSet& ks, Amplitude* p) { ks.csswap(p, dim, a, b, t); });
      same(false, "collapse",
           [&](const KernelSet& ks, Amplitude* p) { ks.collapse_one(p, dim, t, i % 2 == 1, 0.7); });
    }
    if (!full) continue;
    // The sums on an ordinary state, which no NaN ends early.
    const State f = model::random_state(n, rng, true);
    for (const std::uint64_t t : targets) {
      EXPECT_TRUE(same_double(set_->probability_of_one(f.data(), dim, t),
                              kScalarKernels.probability_of_one(f.data(), dim, t)))
          << "sum " << where << " t=" << t;
    }
    std::vector<double> want(dim), got(dim);
    kScalarKernels.probabilities(f.data() + 3, dim - 8, want.data());
    set_->probabilities(f.data() + 3, dim - 8, got.data());
    EXPECT_TRUE(same_doubles(got, want)) << "probabilities " << where;
    for (const double r : {0.0, dim / 3.0, std::numeric_limits<double>::infinity()}) {
      EXPECT_EQ(set_->observe_scan(f.data(), dim, r), kScalarKernels.observe_scan(f.data(), dim, r))
          << where << " r=" << r;
    }
    expect_same(s, true, "clear " + where, [&](const KernelSet& ks, Amplitude* p) { ks.clear(p, dim); });
    for (const std::vector<std::uint64_t>& list :
         {std::vector<std::uint64_t>{0}, {n - 1}, {1, 2, 3}, {0, n / 2, n - 1}}) {
      std::vector<double> want_table(bit(list.size()), 0.0), got_table(bit(list.size()), 0.0);
      kScalarKernels.marginal_table(f.data(), dim, list.data(), list.size(), want_table.data());
      set_->marginal_table(f.data(), dim, list.data(), list.size(), got_table.data());
      EXPECT_TRUE(same_doubles(got_table, want_table)) << "table " << where << " " << list.size();
      std::uint64_t mask = 0;
      for (std::uint64_t q : list) mask |= bit(q);
      for (const bool scale : {false, true}) {
        expect_same(s, false, "collapse_mul " + where, [&](const KernelSet& ks, Amplitude* p) {
          ks.collapse_mul(p, dim, mask, mask & 0x5555555555555555u, scale, 0.7);
        });
      }
    }
  }
}

std::vector<std::string> all_set_names() {
  std::vector<std::string> names;
  for (const char* name : kernel_set_names_for_testing()) names.emplace_back(name);
  for (const KernelSet* s : kEmulatedSets) names.emplace_back(s->name);
  return names;
}

INSTANTIATE_TEST_SUITE_P(EverySet, KernelsEquivalenceTest, ::testing::ValuesIn(all_set_names()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
}  // namespace zentrova::core
