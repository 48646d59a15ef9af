// The one place the rotation and phase matrices are written, from the
// engine's correctly rounded sines: the register's rx, ry and rz, the adjoint's
// rotations and phases, and the fusion of programs all take them from here, so
// a rotation means the same bits wherever it is built. The caller supplies the
// sine and cosine (the register remembers the last one per thread).
#pragma once

#include <cmath>

#include "core/amplitude.h"
#include "core/math/trig.h"

namespace zentrova::core {

// The zero parts are real entries of the matrix, multiplied like any other:
// they turn infinite amplitudes into NaN and decide the signs of zeros.
// `half` is sin_cos(theta * 0.5).
inline Matrix2 rx_matrix(SinCos half) {
  const double c = half.cos, s = half.sin;
  return Matrix2{{c, 0.0}, {0.0, -s}, {0.0, -s}, {c, 0.0}};
}

// -0.0 in the imaginary part of m01, not +0.0: it shows in the sign of zero results.
inline Matrix2 ry_matrix(SinCos half) {
  const double c = half.cos, s = half.sin;
  return Matrix2{{c, 0.0}, {-s, -0.0}, {s, 0.0}, {c, 0.0}};
}

// The gate is defined at theta * -0.5. For finite theta that is exactly
// -(theta * 0.5), and rounding to nearest is symmetric about zero, so the
// correctly rounded sine is odd and cosine even: one evaluation serves both.
// An infinite or NaN theta is evaluated again (by `again`, given theta * -0.5):
// negating its NaN results would flip bits that the amplitudes carry.
template <class SinCosOf>
Matrix2 rz_matrix(double theta, SinCos half, SinCosOf again) {
  const SinCos neg = std::isfinite(theta) ? SinCos{-half.sin, half.cos} : again(theta * -0.5);
  return Matrix2{{neg.cos, neg.sin}, {0.0, 0.0}, {0.0, 0.0}, {half.cos, half.sin}};
}

// diag(1, e^(i theta)); `full` is sin_cos(theta).
inline Matrix2 phase_matrix(SinCos full) {
  return Matrix2{{1.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}, {full.cos, full.sin}};
}

}  // namespace zentrova::core
