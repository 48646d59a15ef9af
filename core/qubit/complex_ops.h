// The one complex product and sum of the engine. The last bits of every gate
// depend on them, so they are written part by part: each multiplication and
// addition is rounded on its own (the build forbids contraction into fused
// multiply-add), and infinite or NaN parts get no special treatment.
#pragma once

#include "core/qubit/register.h"

namespace zentrova::core {

// Zero parts are multiplied too: with an infinite amplitude 0*inf is NaN, and
// the signs of zero results depend on them.
inline Amplitude complex_mul(Amplitude x, Amplitude y) {
  return Amplitude{x.re * y.re - x.im * y.im, x.re * y.im + x.im * y.re};
}

inline Amplitude complex_add(Amplitude x, Amplitude y) {
  return Amplitude{x.re + y.re, x.im + y.im};
}

// One row of a 2x2 update: row0 * a + row1 * b, both products complete before
// the sum.
inline Amplitude complex_row(Amplitude row0, Amplitude a, Amplitude row1, Amplitude b) {
  return complex_add(complex_mul(row0, a), complex_mul(row1, b));
}

}  // namespace zentrova::core
