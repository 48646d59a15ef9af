// The single-qubit gates: check the target, prepare the matrix constants once,
// and hand the prepared gate to the register, which runs it or records it
// (Register::apply). A refused call returns before any angle function is
// evaluated, anything is recorded or any amplitude touched.
#include <bit>
#include <cmath>
#include <cstdint>

#include "core/math/trig.h"
#include "core/messages.h"
#include "core/qubit/prepared_gate.h"
#include "core/qubit/register.h"

namespace zentrova::core {
namespace {

// The double nearest to sqrt(0.5). Stored, not computed: 1.0 / sqrt(2.0)
// rounds to the next smaller double.
constexpr double kHadamardScale = 0.7071067811865476;
static_assert(std::bit_cast<std::uint64_t>(kHadamardScale) == 0x3FE6A09E667F3BCDu);
// What h hands its kernel: the scale alone (m00.re).
constexpr Matrix2 kHadamardScaleOnly{{kHadamardScale, 0.0}, {0.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}};

// sin_cos, remembering the last argument of each thread: circuits apply one
// angle again and again (a layer of rotations, a repeated ansatz), and on a
// small register the correctly rounded evaluation is most of a rotation's
// cost. Arguments are told apart by their bits, so -0.0 and every NaN are
// keys of their own.
SinCos remembered_sin_cos(double x) {
  thread_local std::uint64_t last_bits = 0;  // +0.0, whose sin_cos is (+0.0, 1.0)
  thread_local SinCos last{0.0, 1.0};
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  if (bits != last_bits) {
    last = sin_cos(x);
    last_bits = bits;
  }
  return last;
}

}  // namespace

OpResult Register::x(std::uint64_t target) {
  if (target >= qubit_count_) return OpResult::failure(kBadQubitText);
  apply({.kind = GateKind::kExchange, .target = position(target)});
  return OpResult::success(*this);
}

OpResult Register::h(std::uint64_t target) {
  if (target >= qubit_count_) return OpResult::failure(kBadQubitText);
  apply({.kind = GateKind::kHadamard, .target = position(target), .m = kHadamardScaleOnly});
  return OpResult::success(*this);
}

OpResult Register::u(std::uint64_t target, const Matrix2& m) {
  if (target >= qubit_count_) return OpResult::failure(kBadQubitText);
  apply({.kind = GateKind::kGeneral, .target = position(target), .m = m});
  return OpResult::success(*this);
}

OpResult Register::rx(std::uint64_t target, double theta) {
  if (target >= qubit_count_) return OpResult::failure(kBadQubitText);
  const double phi = theta * 0.5;
  const auto [s, c] = remembered_sin_cos(phi);
  // The zero parts are real entries of the matrix, multiplied like any other:
  // they turn infinite amplitudes into NaN and decide the signs of zeros.
  const Matrix2 m{{c, 0.0}, {0.0, -s}, {0.0, -s}, {c, 0.0}};
  apply({.kind = GateKind::kGeneral, .target = position(target), .m = m});
  return OpResult::success(*this);
}

OpResult Register::ry(std::uint64_t target, double theta) {
  if (target >= qubit_count_) return OpResult::failure(kBadQubitText);
  const double phi = theta * 0.5;
  const auto [s, c] = remembered_sin_cos(phi);
  // -0.0 in the imaginary part of m01, not +0.0: it shows in the sign of zero
  // results.
  const Matrix2 m{{c, 0.0}, {-s, -0.0}, {s, 0.0}, {c, 0.0}};
  apply({.kind = GateKind::kGeneral, .target = position(target), .m = m});
  return OpResult::success(*this);
}

OpResult Register::rz(std::uint64_t target, double theta) {
  if (target >= qubit_count_) return OpResult::failure(kBadQubitText);
  const auto [s, c] = remembered_sin_cos(theta * 0.5);
  // The gate is defined at theta * -0.5. For finite theta that is exactly
  // -(theta * 0.5), and rounding to nearest is symmetric about zero, so the
  // correctly rounded sine is odd and cosine even: one evaluation serves both
  // (a rotation's cost is mostly its sine and cosine). An infinite or NaN
  // theta is evaluated again: negating its NaN results would flip bits that
  // the amplitudes carry.
  const SinCos neg = std::isfinite(theta) ? SinCos{-s, c} : remembered_sin_cos(theta * -0.5);
  const Matrix2 m{{neg.cos, neg.sin}, {0.0, 0.0}, {0.0, 0.0}, {c, s}};
  apply({.kind = GateKind::kDiagonal, .target = position(target), .m = m});
  return OpResult::success(*this);
}

}  // namespace zentrova::core
