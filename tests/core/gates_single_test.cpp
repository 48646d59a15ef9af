// The single-qubit gates: worked values to the bit, refusals that leave every
// byte in place, and agreement with the naive model on every target.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "core/messages.h"
#include "core/qubit/register.h"
#include "tests/core/gate_model.h"
#include "tests/core/test_support.h"

namespace zentrova::core {
namespace {

using model::bits_of;
using model::State;

Register fresh(std::uint64_t n) { return Register::with_memory(n, std::uint64_t{1} << 40); }

// Checks every amplitude of reg against want, part by part and bit for bit.
void expect_amplitudes(Register& reg, const State& want) {
  EXPECT_TRUE(model::same_bits(model::state_of(reg), want, false));
}

TEST(GatesSingleTest, XMovesBasisStateAlongItsQubit) {
  Register reg = fresh(3);
  ASSERT_TRUE(reg.x(0).ok());
  State want(8, Amplitude{0.0, 0.0});
  want[1] = {1.0, 0.0};
  expect_amplitudes(reg, want);

  Register reg2 = fresh(3);
  ASSERT_TRUE(reg2.x(2).ok());
  want[1] = {0.0, 0.0};
  want[4] = {1.0, 0.0};
  expect_amplitudes(reg2, want);
}

TEST(GatesSingleTest, XMovesNaNPayloadsAndSignedZerosUntouched) {
  const State s = {{model::from_bits(0x7FF0000000000123u), -0.0},
                   {-0.0, model::from_bits(0xFFF800000000BEEFu)}};
  Register reg = model::register_with(s);
  ASSERT_TRUE(reg.x(0).ok());
  EXPECT_TRUE(model::same_bits(model::state_of(reg), {s[1], s[0]}, false));
}

TEST(GatesSingleTest, HadamardTwiceIsNotExactlyTheIdentity) {
  Register reg = fresh(1);
  ASSERT_TRUE(reg.h(0).ok());
  EXPECT_EQ(bits_of(reg.amplitudes()[0].re), 0x3FE6A09E667F3BCDu);
  EXPECT_EQ(bits_of(reg.amplitudes()[1].re), 0x3FE6A09E667F3BCDu);
  ASSERT_TRUE(reg.h(0).ok());
  expect_amplitudes(reg, {{1.0000000000000002, 0.0}, {0.0, 0.0}});
}

TEST(GatesSingleTest, RotationsByPi) {
  const double pi = std::numbers::pi;
  Register rx = fresh(1);
  ASSERT_TRUE(rx.rx(0, pi).ok());
  expect_amplitudes(rx, {{6.123233995736766e-17, 0.0}, {0.0, -1.0}});

  Register ry = fresh(1);
  ASSERT_TRUE(ry.ry(0, pi).ok());
  expect_amplitudes(ry, {{6.123233995736766e-17, 0.0}, {1.0, 0.0}});
}

TEST(GatesSingleTest, RzMultipliesByTheNegativeHalfAngleOnBitZero) {
  Register reg = fresh(2);
  ASSERT_TRUE(reg.rz(1, 1.0).ok());
  // Zero amplitudes stay (positive) zero for a finite angle.
  expect_amplitudes(reg, {{0.87758256189037276, -0.47942553860420301}, {0.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}});
}

TEST(GatesSingleTest, RyKeepsNegativeZeroInItsMatrix) {
  // a.im comes out as (-0) + (-s*0 + m01.im*1); only m01.im = -0.0 keeps the
  // sum's sign negative.
  Register reg = model::register_with({{-1.0, -0.0}, {1.0, 0.0}});
  ASSERT_TRUE(reg.ry(0, 1.0).ok());
  EXPECT_EQ(bits_of(reg.amplitudes()[0].im), 0x8000000000000000u);
}

TEST(GatesSingleTest, UAppliesANonUnitaryMatrixAsGiven) {
  Register reg = fresh(1);
  ASSERT_TRUE(reg.u(0, Matrix2{{1, 0}, {1, 0}, {1, 0}, {1, 0}}).ok());
  expect_amplitudes(reg, {{1.0, 0.0}, {1.0, 0.0}});
}

TEST(GatesSingleTest, NonFiniteAngleMakesEveryAmplitudeNaN) {
  using Rotation = OpResult (Register::*)(std::uint64_t, double);
  for (Rotation gate : {&Register::rx, &Register::ry, &Register::rz}) {
    for (double theta : {std::numeric_limits<double>::quiet_NaN(),
                         std::numeric_limits<double>::infinity()}) {
      Register reg = fresh(3);
      ASSERT_TRUE((reg.*gate)(1, theta).ok());
      for (std::uint64_t i = 0; i < reg.dimension(); ++i) {
        EXPECT_TRUE(std::isnan(reg.amplitudes()[i].re)) << i;
        EXPECT_TRUE(std::isnan(reg.amplitudes()[i].im)) << i;
      }
    }
  }
}

// Each thread remembers its last angle's sine and cosine. For every ordered
// pair of angles that a memory keyed by value would confuse (zeros of either
// sign, NaNs of several payloads), the second rotation right after the first
// must give the bytes it gives after an unrelated angle, where it is evaluated
// afresh; on parts of +0, -0 and ordinary values, where a zero's sign shows.
TEST(GatesSingleTest, RememberedAnglesAreToldApartByTheirBits) {
  using Rotation = OpResult (Register::*)(std::uint64_t, double);
  const double angles[] = {0.0, -0.0, model::from_bits(0x7FF8000000000001u),
                           model::from_bits(0x7FF8000000000002u), model::from_bits(0xFFF8000000000001u),
                           model::from_bits(0x7FF0000000000123u), 1.5};
  std::mt19937_64 rng(24);
  State s(8);
  for (Amplitude& a : s) {
    const auto part = [&] { return std::array<double, 3>{0.0, -0.0, 0.375}[rng() % 3]; };
    a.re = part();
    a.im = part();
  }
  // theta's bytes after the memory has evaluated `before` itself.
  const auto bytes_after = [&](Rotation gate, double before, double theta) {
    Register other = fresh(1);
    (void)(other.*gate)(0, 0.25);
    (void)(other.*gate)(0, before);
    Register reg = model::register_with(s);
    EXPECT_TRUE((reg.*gate)(1, theta).ok());
    return test_support::raw_bytes(reg);
  };
  for (const Rotation gate : {&Register::rx, &Register::ry, &Register::rz}) {
    for (const double theta : angles) {
      const auto fresh_bytes = bytes_after(gate, 0.25, theta);
      for (const double before : angles) {
        EXPECT_EQ(bytes_after(gate, before, theta), fresh_bytes)
            << std::hex << "angle 0x" << bits_of(theta) << " after 0x" << bits_of(before);
      }
    }
  }
}

TEST(GatesSingleTest, RefusesTargetsOutOfRangeLeavingEveryByte) {
  const Matrix2 m{{1, 2}, {3, 4}, {5, 6}, {7, 8}};
  const std::vector<std::function<OpResult(Register&, std::uint64_t)>> gates = {
      [](Register& r, std::uint64_t t) { return r.x(t); },
      [](Register& r, std::uint64_t t) { return r.h(t); },
      [&](Register& r, std::uint64_t t) { return r.u(t, m); },
      [](Register& r, std::uint64_t t) { return r.rx(t, 0.3); },
      [](Register& r, std::uint64_t t) { return r.ry(t, 0.3); },
      [](Register& r, std::uint64_t t) { return r.rz(t, 0.3); },
  };
  std::mt19937_64 rng(7);
  for (std::uint64_t n : {0u, 1u, 3u}) {
    const State before = model::random_state(n, rng);
    for (std::uint64_t target : {n, n + 1, std::uint64_t{63}, std::uint64_t{64},
                                 std::numeric_limits<std::uint64_t>::max()}) {
      for (std::size_t g = 0; g < gates.size(); ++g) {
        Register reg = model::register_with(before);
        const OpResult r = gates[g](reg, target);
        EXPECT_FALSE(r.ok());
        EXPECT_EQ(r.message(), kBadQubitText);
        EXPECT_EQ(std::memcmp(reg.amplitudes(), before.data(), before.size() * 16), 0)
            << "gate " << g << " n " << n << " target " << target;
      }
    }
  }
}

TEST(GatesSingleTest, MatchNaiveModelOnEveryTarget) {
  std::mt19937_64 rng(20240611);
  for (std::uint64_t n = 1; n <= 8; ++n) {
    for (std::uint64_t t = 0; t < n; ++t) {
      const State s = model::random_state(n, rng);
      const Matrix2 plain = model::random_matrix(rng, false);
      const Matrix2 awkward = model::random_matrix(rng, true);
      const double theta = model::random_double(rng, false) * 10.0;
      const double odd_theta = model::random_double(rng, true);
      auto check = [&](const char* what, bool arithmetic, auto engine, auto naive) {
        Register reg = model::register_with(s);
        ASSERT_TRUE(engine(reg).ok());
        State want = s;
        naive(want);
        EXPECT_TRUE(model::same_bits(model::state_of(reg), want, arithmetic))
            << what << " n=" << n << " target=" << t;
      };
      check("x", false, [&](Register& r) { return r.x(t); }, [&](State& w) { model::x(w, t); });
      check("h", true, [&](Register& r) { return r.h(t); }, [&](State& w) { model::h(w, t); });
      for (const Matrix2& m : {plain, awkward}) {
        check("u", true, [&](Register& r) { return r.u(t, m); },
              [&](State& w) { model::u(w, t, m); });
      }
      for (double a : {theta, odd_theta}) {
        check("rx", true, [&](Register& r) { return r.rx(t, a); },
              [&](State& w) { model::rx(w, t, a); });
        check("ry", true, [&](Register& r) { return r.ry(t, a); },
              [&](State& w) { model::ry(w, t, a); });
        check("rz", true, [&](Register& r) { return r.rz(t, a); },
              [&](State& w) { model::rz(w, t, a); });
      }
    }
  }
}

}  // namespace
}  // namespace zentrova::core
