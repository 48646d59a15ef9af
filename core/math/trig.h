// Sine and cosine of the engine's own, correctly rounded for every double, so
// that the rotation gates give the same bits on every platform: a platform's
// maths library may miss the nearest double by one unit in the last place, and
// which arguments it misses differs from library to library.
#pragma once

namespace zentrova::core {

struct SinCos {
  double sin;
  double cos;
};

// sin(x) and cos(x), each the double nearest to the exact value (the exact
// value is never a tie). +-0 gives (+-0, 1); +-inf gives the default quiet NaN;
// a NaN gives itself made quiet.
SinCos sin_cos(double x);

namespace trig_internal {

// sin_cos works with 128 bits first and with 256, then 512, when that cannot
// decide a rounding. These reach each step directly, for tests and benchmarks;
// limbs is the working precision in 64-bit words: 1, 2, 4 or 8.
struct Attempt {
  SinCos nearest;    // the approximation rounded to nearest
  bool sin_decided;  // nearest.sin is the correctly rounded sine
  bool cos_decided;  // nearest.cos is the correctly rounded cosine
};
Attempt sin_cos_at(double x, int limbs);

// sin_cos, starting at the given precision rather than at 2 limbs.
SinCos sin_cos_from(double x, int limbs);

}  // namespace trig_internal
}  // namespace zentrova::core
