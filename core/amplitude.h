// The value types every layer of the engine speaks in: an amplitude, a 2x2
// matrix and a measured ket. Plain structs with no functions, so the kernel
// files compiled with vector instructions can include them without any code
// of theirs being chosen by the linker for other callers.
#pragma once

#include <cstdint>

namespace zentrova::core {

struct Amplitude {
  double re;
  double im;
};
static_assert(sizeof(Amplitude) == 16, "an amplitude is two doubles, real part first");

// A 2x2 complex matrix: row 0 gives the new amplitude whose target bit is 0.
struct Matrix2 {
  Amplitude m00, m01, m10, m11;
};

// The outcome of a measurement: the measured bits and how many there are.
struct Ket {
  std::uint64_t value;
  std::uint64_t width;
};

}  // namespace zentrova::core
