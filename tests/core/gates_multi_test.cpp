// The gates on several qubits and the index generation under them: which
// amplitudes each gate moves, refusals that leave every byte in place, mcu's
// agreement with u and ccnot, and agreement with the naive model on every
// combination of qubits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string_view>
#include <vector>

#include "core/messages.h"
#include "core/qubit/index_bits.h"
#include "core/qubit/register.h"
#include "tests/core/gate_model.h"

namespace zentrova::core {
namespace {

// The enumeration itself is checked below, through every gate, against a scan.
static_assert(insert_zero_bit(0b1011, 0) == 0b10110);
static_assert(insert_zero_bit(0b1011, 2) == 0b10011);
static_assert(insert_zero_bit(0b1011, 4) == 0b1011);
static_assert(insert_zero_bit(std::uint64_t{1} << 61, 62) == std::uint64_t{1} << 61);
static_assert(insert_zero_bit_masked(0b1011, low_bits_mask(2)) == insert_zero_bit(0b1011, 2));
static_assert(insert_zero_bits(0b111, 0, 2, 3) == 0b110010);

using model::State;

// Amplitude i is (i, -1): every value distinct, so any move shows.
State labelled(std::uint64_t n) {
  State s(std::uint64_t{1} << n);
  for (std::uint64_t i = 0; i < s.size(); ++i) s[i] = {static_cast<double>(i), -1.0};
  return s;
}

// The labels left at each index after a gate on labelled(n).
std::vector<double> labels_after(std::uint64_t n, const std::function<OpResult(Register&)>& gate) {
  Register reg = model::register_with(labelled(n));
  EXPECT_TRUE(gate(reg).ok());
  std::vector<double> out;
  for (std::uint64_t i = 0; i < reg.dimension(); ++i) out.push_back(reg.amplitudes()[i].re);
  return out;
}

const Matrix2 kNot{{0, 0}, {1, 0}, {1, 0}, {0, 0}};

TEST(GatesMultiTest, CnotFlipsTargetWhereControlIsSet) {
  Register reg = model::register_with({{0, 0}, {1, 0}, {0, 0}, {0, 0}});  // basis state 1
  ASSERT_TRUE(reg.cnot(1, 0).ok());
  EXPECT_EQ(reg.amplitudes()[1].re, 1.0);
  ASSERT_TRUE(reg.cnot(0, 1).ok());
  EXPECT_EQ(reg.amplitudes()[1].re, 0.0);
  EXPECT_EQ(reg.amplitudes()[3].re, 1.0);
}

TEST(GatesMultiTest, ExchangesTouchExactlyTheirStates) {
  EXPECT_EQ(labels_after(3, [](Register& r) { return r.swap(0, 2); }),
            (std::vector<double>{0, 4, 2, 6, 1, 5, 3, 7}));
  EXPECT_EQ(labels_after(3, [](Register& r) { return r.swap(2, 0); }),
            labels_after(3, [](Register& r) { return r.swap(0, 2); }));
  EXPECT_EQ(labels_after(3, [](Register& r) { return r.ccnot(0, 1, 2); }),
            (std::vector<double>{0, 1, 2, 7, 4, 5, 6, 3}));
  EXPECT_EQ(labels_after(3, [](Register& r) { return r.ccnot(2, 0, 1); }),
            (std::vector<double>{0, 1, 2, 3, 4, 7, 6, 5}));
  EXPECT_EQ(labels_after(3, [](Register& r) { return r.csswap(0, 1, 2); }),
            (std::vector<double>{0, 1, 2, 5, 4, 3, 6, 7}));
}

TEST(GatesMultiTest, McuWithZeroMatrixClearsOnlyControlledAmplitudes) {
  Register reg = model::register_with(labelled(4));
  ASSERT_TRUE(reg.mcu({3, 0}, 1, Matrix2{}).ok());
  for (std::uint64_t i = 0; i < 16; ++i) {
    const bool controlled = (i & 0b1001) == 0b1001;
    EXPECT_EQ(reg.amplitudes()[i].re, controlled ? 0.0 : static_cast<double>(i)) << i;
  }
}

TEST(GatesMultiTest, McuWithoutControlsIsUToTheBit) {
  std::mt19937_64 rng(11);
  for (std::uint64_t n = 1; n <= 6; ++n) {
    for (std::uint64_t t = 0; t < n; ++t) {
      const State s = model::random_state(n, rng);
      for (bool awkward : {false, true}) {
        const Matrix2 m = model::random_matrix(rng, awkward);
        Register by_u = model::register_with(s);
        Register by_mcu = model::register_with(s);
        ASSERT_TRUE(by_u.u(t, m).ok());
        ASSERT_TRUE(by_mcu.mcu({}, t, m).ok());
        // NaN results need only be NaN: the compiler may order the operands of
        // an addition differently in two functions, and which NaN an addition
        // of two returns depends on that order.
        EXPECT_TRUE(model::same_bits(model::state_of(by_u), model::state_of(by_mcu), true))
            << "n=" << n << " target=" << t;
      }
    }
  }
}

TEST(GatesMultiTest, McuWithNotMatrixIsCcnotWhateverTheControlOrder) {
  // From basis state 3 to 7, as ccnot(0, 1, 2); from basis state 1 nothing moves.
  Register reg = model::register_with({{0, 0}, {0, 0}, {0, 0}, {1, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}});
  ASSERT_TRUE(reg.mcu({0, 1}, 2, kNot).ok());
  EXPECT_EQ(reg.amplitudes()[7].re, 1.0);
  EXPECT_EQ(reg.amplitudes()[3].re, 0.0);

  std::mt19937_64 rng(5);
  const State s = model::random_state(5, rng, true);
  Register by_ccnot = model::register_with(s);
  ASSERT_TRUE(by_ccnot.ccnot(0, 3, 2).ok());
  for (const std::vector<std::uint64_t>& controls :
       {std::vector<std::uint64_t>{0, 3}, std::vector<std::uint64_t>{3, 0}}) {
    Register by_mcu = model::register_with(s);
    ASSERT_TRUE(by_mcu.mcu(controls, 2, kNot).ok());
    // 0*a + 1*b is b exactly for finite, nonzero parts, so the two agree to the bit.
    EXPECT_TRUE(model::same_bits(model::state_of(by_mcu), model::state_of(by_ccnot), false));
  }
}

struct Refusal {
  const char* what;
  std::function<OpResult(Register&)> call;
  std::string_view message;
};

TEST(GatesMultiTest, RefusalsLeaveEveryByte) {
  const Matrix2 m{{1, 2}, {3, 4}, {5, 6}, {7, 8}};
  const std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();
  const std::string_view dots = kBadQubitText;
  const std::string_view scope = kCcnotOutOfScopeText;
  // On 3 qubits unless the case says otherwise.
  const std::vector<Refusal> cases = {
      {"cnot equal", [](Register& r) { return r.cnot(1, 1); }, dots},
      {"cnot target", [](Register& r) { return r.cnot(0, 3); }, dots},
      {"cnot control", [](Register& r) { return r.cnot(3, 0); }, dots},
      {"cnot huge", [=](Register& r) { return r.cnot(huge, 0); }, dots},
      {"swap equal", [](Register& r) { return r.swap(2, 2); }, dots},
      {"swap q1", [](Register& r) { return r.swap(3, 0); }, dots},
      {"swap q2", [](Register& r) { return r.swap(0, 64); }, dots},
      {"ccnot control2", [](Register& r) { return r.ccnot(0, 3, 1); }, scope},
      {"ccnot target", [](Register& r) { return r.ccnot(0, 1, 3); }, scope},
      {"ccnot control1", [](Register& r) { return r.ccnot(3, 1, 2); }, scope},
      {"ccnot c1 == t", [](Register& r) { return r.ccnot(1, 0, 1); }, scope},
      {"ccnot c1 == c2", [](Register& r) { return r.ccnot(1, 1, 0); }, scope},
      {"ccnot c2 == t", [](Register& r) { return r.ccnot(0, 2, 2); }, scope},
      {"csswap target_2", [](Register& r) { return r.csswap(0, 1, 3); }, dots},
      {"csswap control", [](Register& r) { return r.csswap(3, 1, 2); }, dots},
      {"csswap target_1", [](Register& r) { return r.csswap(0, 3, 2); }, dots},
      {"csswap c == t2", [](Register& r) { return r.csswap(2, 1, 2); }, dots},
      {"csswap c == t1", [](Register& r) { return r.csswap(1, 1, 2); }, dots},
      {"csswap t1 == t2", [](Register& r) { return r.csswap(0, 2, 2); }, dots},
      {"mcu target", [&](Register& r) { return r.mcu({}, 3, m); }, dots},
      {"mcu target, bad list", [&](Register& r) { return r.mcu({huge, 3}, 3, m); }, dots},
      {"mcu control", [&](Register& r) { return r.mcu({0, 3}, 1, m); }, dots},
      {"mcu huge control", [&](Register& r) { return r.mcu({huge}, 1, m); }, dots},
      {"mcu control == target", [&](Register& r) { return r.mcu({0, 2}, 2, m); }, dots},
      {"mcu repeated control", [&](Register& r) { return r.mcu({0, 0}, 1, m); }, dots},
      {"mcu repeated later", [&](Register& r) { return r.mcu({1, 0, 1}, 2, m); }, dots},
  };
  std::mt19937_64 rng(3);
  const State before = model::random_state(3, rng);
  for (const Refusal& c : cases) {
    Register reg = model::register_with(before);
    const OpResult r = c.call(reg);
    EXPECT_FALSE(r.ok()) << c.what;
    EXPECT_EQ(r.message(), c.message) << c.what;
    EXPECT_EQ(std::memcmp(reg.amplitudes(), before.data(), before.size() * 16), 0) << c.what;
  }

  // Too few qubits for any pair or triple.
  for (std::uint64_t n : {0u, 1u, 2u}) {
    const State small = model::random_state(n, rng);
    Register reg = model::register_with(small);
    if (n < 2) {
      EXPECT_EQ(reg.cnot(0, 1).message(), dots);
      EXPECT_EQ(reg.swap(1, 0).message(), dots);
    }
    EXPECT_EQ(reg.ccnot(0, 1, 2).message(), scope);
    EXPECT_EQ(reg.csswap(0, 1, 2).message(), dots);
    EXPECT_EQ(std::memcmp(reg.amplitudes(), small.data(), small.size() * 16), 0) << n;
  }
}

TEST(GatesMultiTest, MatchNaiveModelOnEveryCombination) {
  std::mt19937_64 rng(99);
  auto check = [](const char* what, const State& s, bool arithmetic, auto engine, auto naive) {
    Register reg = model::register_with(s);
    ASSERT_TRUE(engine(reg).ok()) << what;
    State want = s;
    naive(want);
    EXPECT_TRUE(model::same_bits(model::state_of(reg), want, arithmetic)) << what;
  };
  for (std::uint64_t n = 2; n <= 8; ++n) {
    const State s = model::random_state(n, rng);
    for (std::uint64_t a = 0; a < n; ++a) {
      for (std::uint64_t b = 0; b < n; ++b) {
        if (a == b) continue;
        SCOPED_TRACE(testing::Message() << "n=" << n << " a=" << a << " b=" << b);
        check("cnot", s, false, [&](Register& r) { return r.cnot(a, b); },
              [&](State& w) { model::cnot(w, a, b); });
        check("swap", s, false, [&](Register& r) { return r.swap(a, b); },
              [&](State& w) { model::swap(w, a, b); });
        for (std::uint64_t c = 0; c < n; ++c) {
          if (c == a || c == b) continue;
          check("ccnot", s, false, [&](Register& r) { return r.ccnot(a, b, c); },
                [&](State& w) { model::ccnot(w, a, b, c); });
          check("csswap", s, false, [&](Register& r) { return r.csswap(a, b, c); },
                [&](State& w) { model::csswap(w, a, b, c); });
        }
      }
    }
  }
  // mcu: every target with every set of controls, listed in a shuffled order.
  for (std::uint64_t n = 1; n <= 7; ++n) {
    const State s = model::random_state(n, rng);
    for (std::uint64_t t = 0; t < n; ++t) {
      for (std::uint64_t set = 0; set < (std::uint64_t{1} << n); ++set) {
        if (set & model::bit(t)) continue;
        std::vector<std::uint64_t> controls;
        for (std::uint64_t q = 0; q < n; ++q) {
          if (set & model::bit(q)) controls.push_back(q);
        }
        std::shuffle(controls.begin(), controls.end(), rng);
        const Matrix2 m = model::random_matrix(rng, set % 3 == 0);
        SCOPED_TRACE(testing::Message() << "n=" << n << " target=" << t << " controls=" << set);
        check("mcu", s, true, [&](Register& r) { return r.mcu(controls, t, m); },
              [&](State& w) { model::controlled_u(w, set, t, m); });
      }
    }
  }
}

// Every gate on a register of each path that those above do not take (the
// walks that ask for lines ahead and those past them, huge-page blocks; found
// by gate_model.h from the constants that choose them), one gate after another
// on one register and on the model, compared after each. An ordinary state,
// so no NaN spreads to hide a difference.
TEST(GatesMultiTest, EveryGateMatchesTheModelAtTheLargerPathSizes) {
  std::mt19937_64 rng(2026);
  for (const std::uint64_t n : model::sizes_of_new_paths(8)) {
    State want = model::random_state(n, rng, true);
    Register reg = model::register_with(want);
    const std::uint64_t targets[] = {0, 2, n - 1};
    bool failed = false;  // one report a size, not one for every later gate
    for (std::size_t i = 0; i < std::size(targets) && !failed; ++i) {
      const std::uint64_t t = targets[i];
      const std::uint64_t a = targets[(i + 1) % std::size(targets)];
      const std::uint64_t b = targets[(i + 2) % std::size(targets)];
      const Matrix2 m = model::random_matrix(rng, false);
      const double theta = model::random_double(rng, false) * 10.0;
      const auto check = [&](const char* what, bool arithmetic, auto engine, auto naive) {
        if (failed) return;
        ASSERT_TRUE(engine(reg).ok());
        naive(want);
        if (std::memcmp(reg.amplitudes(), want.data(), want.size() * sizeof(Amplitude)) == 0) return;
        const auto same = model::same_bits(model::state_of(reg), want, arithmetic);
        EXPECT_TRUE(same) << what << " n=" << n << " t=" << t << " a=" << a << " b=" << b;
        failed = !same;
      };
      check("x", false, [&](Register& r) { return r.x(t); }, [&](State& w) { model::x(w, t); });
      check("h", true, [&](Register& r) { return r.h(t); }, [&](State& w) { model::h(w, t); });
      check("u", true, [&](Register& r) { return r.u(t, m); }, [&](State& w) { model::u(w, t, m); });
      check("rx", true, [&](Register& r) { return r.rx(t, theta); },
            [&](State& w) { model::rx(w, t, theta); });
      check("ry", true, [&](Register& r) { return r.ry(t, theta); },
            [&](State& w) { model::ry(w, t, theta); });
      check("rz", true, [&](Register& r) { return r.rz(t, theta); },
            [&](State& w) { model::rz(w, t, theta); });
      check("cnot", false, [&](Register& r) { return r.cnot(a, t); },
            [&](State& w) { model::cnot(w, a, t); });
      check("swap", false, [&](Register& r) { return r.swap(a, t); },
            [&](State& w) { model::swap(w, a, t); });
      check("ccnot", false, [&](Register& r) { return r.ccnot(a, b, t); },
            [&](State& w) { model::ccnot(w, a, b, t); });
      check("csswap", false, [&](Register& r) { return r.csswap(a, b, t); },
            [&](State& w) { model::csswap(w, a, b, t); });
      check("mcu", true, [&](Register& r) { return r.mcu({a}, t, m); },
            [&](State& w) { model::controlled_u(w, model::bit(a), t, m); });
    }
  }
}

}  // namespace
}  // namespace zentrova::core
