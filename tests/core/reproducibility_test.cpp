// The promise that one circuit gives the same bits everywhere, checked across
// builds: a fixed circuit of every gate, on a state with awkward values, must
// leave amplitudes and probabilities whose digest is the one recorded here.
// The same program runs natively, cross-built for Windows under Wine and, where
// the tools are installed, cross-built for 64-bit ARM under QEMU, each with
// its own compiler target and kernel set, and each both with the gates
// applied at once and recorded and applied in passes over small blocks.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/qubit/passes.h"
#include "core/qubit/register.h"

namespace zentrova::core {
namespace {

using u64 = std::uint64_t;

// SplitMix64: the standard library's distributions differ between libraries.
struct Source {
  u64 state;
  u64 next() {
    u64 z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }
  u64 below(u64 n) { return next() % n; }
  // Ordinary values in [-1, 1), and now and then a signed zero, a subnormal or
  // a value whose products are subnormal. No infinities: one NaN reaches every
  // amplitude within a few Hadamards and would leave little to compare.
  double value() {
    const u64 w = next();
    switch (w % 16) {
      case 0: return (w >> 8) & 1 ? -0.0 : 0.0;
      case 1: return std::bit_cast<double>((w >> 12) | ((w >> 8) & 1) << 63);
      case 2: return std::ldexp(static_cast<double>(w >> 40), -1040);
      default: return static_cast<double>(w >> 11) * 0x1p-52 - 1.0;
    }
  }
  // Angles from small to past the range of the cheap reduction.
  // (In two statements: the order in which arguments are evaluated differs
  // between compilers' targets.)
  double angle() {
    const double v = value();
    return std::ldexp(v, static_cast<int>(below(40)));
  }
};

// FNV-1a over the bits. None is expected, but a NaN would count as one value
// whatever its bits: which NaN an operation returns may differ by build.
struct Digest {
  u64 value = 0xCBF29CE484222325u;
  void add(double d) {
    const u64 bits = std::isnan(d) ? 0x7FF8000000000000u : std::bit_cast<u64>(d);
    value = (value ^ bits) * 0x100000001B3u;
  }
};

// Three distinct qubits below n.
void three(Source& src, u64 n, u64& a, u64& b, u64& c) {
  a = src.below(n);
  do b = src.below(n); while (b == a);
  do c = src.below(n); while (c == a || c == b);
}

// At once (blocks larger than the register), then in blocks of 16 amplitudes
// with up to two gathered positions and a record that fills every 7 gates.
const PassShape kShapes[] = {{63, 0, 0}, {4, 2, 7, 0, 2}};

class ReproducibilityTest : public ::testing::TestWithParam<PassShape> {};

TEST_P(ReproducibilityTest, FixedCircuitGivesTheRecordedBits) {
  constexpr u64 kQubits = 9;
  Source src{2026};
  Register reg = [] {
    ScopedPassShapeForTesting shape(GetParam());
    return Register::with_memory(kQubits, u64{1} << 40);
  }();
  for (u64 i = 0; i < reg.dimension(); ++i) reg.mutable_amplitudes()[i] = {src.value(), src.value()};
  for (int step = 0; step < 300; ++step) {
    u64 a, b, c;
    three(src, kQubits, a, b, c);
    // Entries below 1/2, so that a row grows no part by more than its size.
    const auto entry = [&] { return Amplitude{src.value() * 0.5, src.value() * 0.5}; };
    const Matrix2 m{entry(), entry(), entry(), entry()};
    bool ok = false;
    switch (src.below(11)) {
      case 0: ok = reg.x(a).ok(); break;
      case 1: ok = reg.h(a).ok(); break;
      case 2: ok = reg.u(a, m).ok(); break;
      case 3: ok = reg.rx(a, src.angle()).ok(); break;
      case 4: ok = reg.ry(a, src.angle()).ok(); break;
      case 5: ok = reg.rz(a, src.angle()).ok(); break;
      case 6: ok = reg.cnot(a, b).ok(); break;
      case 7: ok = reg.swap(a, b).ok(); break;
      case 8: ok = reg.ccnot(a, b, c).ok(); break;
      case 9: ok = reg.csswap(a, b, c).ok(); break;
      default:
        ok = reg.mcu(src.below(2) ? std::vector<u64>{b, c} : std::vector<u64>{b}, a, m).ok();
        break;
    }
    ASSERT_TRUE(ok) << "step " << step;
  }
  Digest digest;
  u64 ordinary = 0;  // finite and non-zero: a digest of zeros would prove little
  for (u64 i = 0; i < reg.dimension(); ++i) {
    const Amplitude a = reg.amplitudes()[i];
    digest.add(a.re);
    digest.add(a.im);
    ordinary += std::isnormal(a.re) && std::isnormal(a.im);
  }
  for (double p : reg.god_observe()) digest.add(p);
  EXPECT_GT(ordinary, reg.dimension() / 2);
  EXPECT_EQ(digest.value, 0xBE6CDCDF8305CC82u) << std::hex << "digest 0x" << digest.value;
}

INSTANTIATE_TEST_SUITE_P(AtOnceAndInPasses, ReproducibilityTest, ::testing::ValuesIn(kShapes),
                         [](const ::testing::TestParamInfo<PassShape>& info) {
                           return std::string(info.param.capacity == 0 ? "AtOnce" : "InPasses");
                         });

}  // namespace
}  // namespace zentrova::core
