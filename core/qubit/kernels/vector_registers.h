// The register-level pieces every vector kernel uses, over a layer (layer.h):
// the array and the matrix read as doubles, lanes and their masks, in-register
// moves, and dispatch of values known only at run time to compile-time ones.
// Internal linkage throughout, as kernels_vector.h explains.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "core/internal.h"
#include "core/qubit/kernels/kernels.h"
#include "core/qubit/kernels/layer.h"

namespace zentrova::core {
namespace {

double* doubles(Amplitude* a) { return reinterpret_cast<double*>(a); }
const double* doubles(const Amplitude* a) { return reinterpret_cast<const double*>(a); }

// Amplitude and Matrix2 are incomplete here (kernels.h says why); these have
// their layout, which kernels_scalar.cpp checks.
struct Parts {
  double re;
  double im;
};

struct MatrixParts {
  Parts m00, m01, m10, m11;
};

MatrixParts parts_of(const Matrix2& m) {
  MatrixParts p;
  std::memcpy(&p, static_cast<const void*>(&m), sizeof p);
  return p;
}

template <class L>
constexpr std::uint64_t kLanes = L::kDoubles / 2;  // amplitudes per register
template <class L>
constexpr std::uint64_t kLaneBits = kLanes<L> == 1 ? 0 : kLanes<L> == 2 ? 1 : kLanes<L> == 4 ? 2 : 3;
template <class L>
constexpr std::uint64_t kLaneMask = kLanes<L> - 1;
template <class L>
constexpr unsigned kAllDoubles = (1u << L::kDoubles) - 1;

// Bit d set for the doubles of the amplitudes l = 0 .. kLanes-1 with pred(l).
template <class L, class Pred>
unsigned lanes_where(Pred pred) {
  unsigned m = 0;
  for (std::uint64_t l = 0; l < kLanes<L>; ++l) {
    if (pred(l)) m |= 3u << (2 * l);
  }
  return m;
}

// Amplitude l of the result is amplitude l ^ kFlip of x, both parts.
template <class L, std::uint64_t kFlip>
typename L::Reg lanes_flipped(typename L::Reg x) {
  if constexpr (kFlip == 0) {
    return x;
  } else {
    return L::template flip<2 * kFlip>(x);
  }
}

// (re, im) -> (im, re) in every lane.
template <class L>
typename L::Reg parts_swapped(typename L::Reg x) {
  return L::template flip<1>(x);
}

// Calls fn(std::integral_constant<std::uint64_t, value>) for a value below
// kCount known only at run time (a lane flip, a target inside a register), so
// that the shuffles inside take it as an immediate operand.
template <std::uint64_t kCount, std::uint64_t kValue = 0, class Fn>
ZV_FORCE_INLINE void with_constant(std::uint64_t value, Fn&& fn) {
  if constexpr (kValue + 1 < kCount) {
    if (value != kValue) return with_constant<kCount, kValue + 1>(value, fn);
  }
  fn(std::integral_constant<std::uint64_t, kValue>{});
}

// Calls fn(std::true_type) or fn(std::false_type): a choice made once per call
// is compiled into the loops instead of being tested in every run, which on
// runs of one register costs much (bench/README.md).
template <class Fn>
ZV_FORCE_INLINE void with_choice(bool choice, Fn&& fn) {
  if (choice) {
    fn(std::true_type{});
  } else {
    fn(std::false_type{});
  }
}

// A register of per-double constants. Built by L::set, not loaded: doubles
// just stored one by one and loaded as a register wait for the stores, which
// on a small register took longer than the whole update (bench/README.md).
template <class L, class Fn>
typename L::Reg per_double(Fn value_of_double) {
  double v[L::kDoubles];
  for (std::uint64_t d = 0; d < L::kDoubles; ++d) v[d] = value_of_double(d);
  return L::set(v);
}

// The sign bit in the chosen doubles, +0.0 elsewhere.
template <class L>
typename L::Reg sign_bits(unsigned chosen) {
  return per_double<L>([&](std::uint64_t d) { return (chosen >> d) & 1 ? -0.0 : 0.0; });
}

// A register loaded once for all its uses. Left to itself GCC folds each use
// of a load into an instruction that reads the memory again (the update of
// both partners inside one register read each register three times), which
// kept the 2x2 updates on low targets well above the sweep (bench/README.md).
// A layer whose registers are the compiler's own vectors says how
// (L::load_once); any other loads plainly.
template <class L>
ZV_FORCE_INLINE typename L::Reg load_once(const double* p) {
  if constexpr (requires { L::load_once(p); }) {
    return L::load_once(p);
  } else {
    return L::load(p);
  }
}

}  // namespace
}  // namespace zentrova::core
