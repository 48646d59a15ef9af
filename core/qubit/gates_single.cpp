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
#include "core/qubit/rotations.h"

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
  const Matrix2 m = rx_matrix(remembered_sin_cos(theta * 0.5));
  apply({.kind = GateKind::kGeneral, .target = position(target), .m = m});
  return OpResult::success(*this);
}

OpResult Register::ry(std::uint64_t target, double theta) {
  if (target >= qubit_count_) return OpResult::failure(kBadQubitText);
  const Matrix2 m = ry_matrix(remembered_sin_cos(theta * 0.5));
  apply({.kind = GateKind::kGeneral, .target = position(target), .m = m});
  return OpResult::success(*this);
}

OpResult Register::rz(std::uint64_t target, double theta) {
  if (target >= qubit_count_) return OpResult::failure(kBadQubitText);
  // One evaluation serves both entries (a rotation's cost is mostly its sine
  // and cosine).
  const Matrix2 m = rz_matrix(theta, remembered_sin_cos(theta * 0.5), &remembered_sin_cos);
  apply({.kind = GateKind::kDiagonal, .target = position(target), .m = m});
  return OpResult::success(*this);
}

}  // namespace zentrova::core
