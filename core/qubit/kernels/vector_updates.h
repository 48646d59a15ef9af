// The arithmetic gates over a layer: the 2x2 update (u, rx, ry and their
// controlled forms), h and the diagonal update (rz, phases). Every lane forms
// the scalar reference's products and sums for its amplitude, each rounded on
// its own. Internal linkage throughout, as kernels_vector.h explains.
#pragma once

#include <cstdint>

#include "core/internal.h"
#include "core/qubit/kernels/kernels.h"
#include "core/qubit/kernels/vector_registers.h"
#include "core/qubit/kernels/vector_walks.h"

namespace zentrova::core {
namespace {

// One matrix entry per amplitude: its real part in both doubles of the
// amplitude, and its imaginary part negated in the real double and as it is
// in the imaginary one (see complex_mul).
template <class L>
struct Entry {
  typename L::Reg re;
  typename L::Reg im;
};

// e1 in the amplitudes of `upper` (double bits, as lanes_where gives), e0 in
// the others.
template <class L>
Entry<L> entry(Parts e0, Parts e1 = {}, unsigned upper = 0) {
  const auto part = [&](std::uint64_t d) { return (upper >> d) & 1 ? e1 : e0; };
  return Entry<L>{per_double<L>([&](std::uint64_t d) { return part(d).re; }),
                  per_double<L>([&](std::uint64_t d) { return d & 1 ? part(d).im : -part(d).im; })};
}

// m * x per amplitude, as the scalar complex product forms it:
// re = m.re*x.re - m.im*x.im, im = m.re*x.im + m.im*x.re. The subtraction is
// made an addition of (-m.im)*x.im: negation is exact and p - q is by
// definition p + (-q), so every bit, signed zeros included, is the same.
template <class L>
typename L::Reg complex_mul(const Entry<L>& m, typename L::Reg x) {
  return L::add(L::mul(m.re, x), L::mul(m.im, parts_swapped<L>(x)));
}

// new where the amplitude is active, old elsewhere; without a condition the
// blend is left out of the loop altogether.
template <class L, bool kAllActive>
typename L::Reg only_active(typename L::Mask active, typename L::Reg old_value,
                            typename L::Reg new_value) {
  if constexpr (kAllActive) {
    return new_value;
  } else {
    return L::blend(active, old_value, new_value);
  }
}

// --- The 2x2 update ---------------------------------------------------------

// The target above the lanes: partners in two registers, full products.
template <class L, bool kAllActive, bool kAhead>
ZV_FORCE_INLINE void update_across(double* d, std::uint64_t blocks, std::uint64_t ones_hi,
                                   std::uint64_t target, const MatrixParts& m, typename L::Mask active) {
  using Reg = typename L::Reg;
  const Entry<L> m00 = entry<L>(m.m00), m01 = entry<L>(m.m01);
  const Entry<L> m10 = entry<L>(m.m10), m11 = entry<L>(m.m11);
  const std::uint64_t partner = bit(target - kLaneBits<L>);
  for_each_run(blocks, ones_hi | partner, ones_hi, [&](std::uint64_t first, auto run, std::uint64_t gap) {
    double* a = d + first * L::kDoubles;
    double* b = d + (first | partner) * L::kDoubles;
    if (ones_hi != 0) touch_gaps<L>(a, b, gap);
    walk_pair_runs<L, kAhead>(a, b, run * L::kDoubles, [&](std::uint64_t j) {
      const Reg x = L::load(a + j);
      const Reg y = L::load(b + j);
      const Reg nx = L::add(complex_mul(m00, x), complex_mul(m01, y));
      const Reg ny = L::add(complex_mul(m10, x), complex_mul(m11, y));
      L::store(a + j, only_active<L, kAllActive>(active, x, nx));
      L::store(b + j, only_active<L, kAllActive>(active, y, ny));
    });
  });
}

// Both partners in one register: the amplitude with target bit 0 takes
// m00*a + m01*b, the one with bit 1 takes m10*a + m11*b (the sum with its
// operands the other way round). Each takes its own diagonal product plus
// the partner's off-diagonal one, formed in the partner's lane and moved.
template <class L, bool kAllActive, bool kAhead, std::uint64_t kTarget>
ZV_FORCE_INLINE void update_inside(double* d, std::uint64_t blocks, std::uint64_t ones_hi,
                                   const MatrixParts& m, typename L::Mask active) {
  using Reg = typename L::Reg;
  const unsigned upper = lanes_where<L>([](std::uint64_t l) { return (l & bit(kTarget)) != 0; });
  const Entry<L> diagonal = entry<L>(m.m00, m.m11, upper);
  // Forming it there shares the parts-swapped register with the diagonal
  // product: one shuffle fewer than moving the partner first.
  const Entry<L> off = entry<L>(m.m10, m.m01, upper);
  for_each_run(blocks, ones_hi, ones_hi, [&](std::uint64_t first, auto run, std::uint64_t gap) {
    double* a = d + first * L::kDoubles;
    touch_gap<L>(a, gap * L::kDoubles);
    stream<L, kAhead>(a, run * L::kDoubles, [&](std::uint64_t j) {
      const Reg x = load_once<L>(a + j);
      const Reg q = lanes_flipped<L, bit(kTarget)>(complex_mul(off, x));
      const Reg nx = L::add(complex_mul(diagonal, x), q);
      L::store(a + j, only_active<L, kAllActive>(active, x, nx));
    });
  });
}

// The general update on every pair (i0, i0 + 2^target) whose bits in `ones`
// are all 1 (ones excludes the target). Amplitudes outside the condition are
// stored back unchanged.
template <class L, bool kAllActive>
void update_where(Amplitude* amps, std::uint64_t dimension, std::uint64_t ones,
                  std::uint64_t target, const MatrixParts& m) {
  double* d = doubles(amps);
  const std::uint64_t ones_lo = ones & kLaneMask<L>;
  const auto active = L::mask(lanes_where<L>([&](std::uint64_t l) { return (l & ones_lo) == ones_lo; }));
  const std::uint64_t blocks = dimension >> kLaneBits<L>;
  const std::uint64_t ones_hi = ones >> kLaneBits<L>;
  with_choice(ahead_pays(dimension) && ones_hi == 0, [&](auto ahead) {
    constexpr bool kAhead = decltype(ahead)::value;
    if (target >= kLaneBits<L>) {
      update_across<L, kAllActive, kAhead>(d, blocks, ones_hi, target, m, active);
      return;
    }
    with_constant<kLaneBits<L>>(target, [&](auto lane_target) {
      update_inside<L, kAllActive, kAhead, decltype(lane_target)::value>(d, blocks, ones_hi, m, active);
    });
  });
}

template <class L>
void update_where(Amplitude* amps, std::uint64_t dimension, std::uint64_t ones,
                  std::uint64_t target, const Matrix2& m) {
  if ((ones & kLaneMask<L>) == 0) {
    update_where<L, true>(amps, dimension, ones, target, parts_of(m));
  } else {
    update_where<L, false>(amps, dimension, ones, target, parts_of(m));
  }
}

template <class L>
void general(Amplitude* amps, std::uint64_t dimension, std::uint64_t target, const Matrix2& m) {
  if (dimension < kLanes<L>) return kScalarKernels.general(amps, dimension, target, m);
  update_where<L>(amps, dimension, 0, target, m);
}

template <class L>
void controlled_general(Amplitude* amps, std::uint64_t dimension, const std::uint64_t* positions,
                        std::uint64_t count, std::uint64_t target, const Matrix2& m) {
  if (dimension < kLanes<L>) {
    return kScalarKernels.controlled_general(amps, dimension, positions, count, target, m);
  }
  std::uint64_t ones = 0;
  for (std::uint64_t k = 0; k < count; ++k) ones |= bit(positions[k]);
  update_where<L>(amps, dimension, ones & ~bit(target), target, m);
}

// --- h ----------------------------------------------------------------------

template <class L, bool kAhead>
ZV_FORCE_INLINE void hadamard_across(double* d, std::uint64_t blocks, std::uint64_t target,
                                     typename L::Reg scale) {
  using Reg = typename L::Reg;
  const std::uint64_t partner = bit(target - kLaneBits<L>);
  for_each_run(blocks, partner, 0, [&](std::uint64_t first, auto run, std::uint64_t) {
    double* a = d + first * L::kDoubles;
    double* b = d + (first | partner) * L::kDoubles;
    walk_pair_runs<L, kAhead>(a, b, run * L::kDoubles, [&](std::uint64_t j) {
      const Reg x = L::load(a + j);
      const Reg y = L::load(b + j);
      L::store(a + j, L::mul(L::add(x, y), scale));
      L::store(b + j, L::mul(L::sub(x, y), scale));
    });
  });
}

// With s the partner-swapped register: a + b is s + x where the target bit
// is 0, and a - b is s + (-x) where it is 1, which is s - x by definition.
template <class L, bool kAhead, std::uint64_t kTarget>
ZV_FORCE_INLINE void hadamard_inside(double* d, std::uint64_t blocks, typename L::Reg scale) {
  using Reg = typename L::Reg;
  const Reg negate_upper =
      sign_bits<L>(lanes_where<L>([](std::uint64_t l) { return (l & bit(kTarget)) != 0; }));
  stream<L, kAhead>(d, blocks * L::kDoubles, [&](std::uint64_t j) {
    const Reg x = L::load(d + j);
    const Reg s = lanes_flipped<L, bit(kTarget)>(x);
    L::store(d + j, L::mul(L::add(s, L::bit_xor(x, negate_upper)), scale));
  });
}

template <class L>
void hadamard(Amplitude* amps, std::uint64_t dimension, std::uint64_t target, double k) {
  if (dimension < kLanes<L>) return kScalarKernels.hadamard(amps, dimension, target, k);
  double* d = doubles(amps);
  const typename L::Reg scale = L::broadcast(k);
  const std::uint64_t blocks = dimension >> kLaneBits<L>;
  with_choice(ahead_pays(dimension), [&](auto ahead) {
    constexpr bool kAhead = decltype(ahead)::value;
    if (target >= kLaneBits<L>) {
      hadamard_across<L, kAhead>(d, blocks, target, scale);
      return;
    }
    with_constant<kLaneBits<L>>(target, [&](auto lane_target) {
      hadamard_inside<L, kAhead, decltype(lane_target)::value>(d, blocks, scale);
    });
  });
}

// --- The diagonal update ----------------------------------------------------

// The run with the target bit 1 directly follows the one with it 0, so doing
// one run after the other is a plain sweep; alternating between them, each
// load came just after a store 2^target amplitudes away, equal in the low 12
// bits of the address from target 8 on, and the core took the load for
// dependent on the store. Runs shorter than that stay interleaved: two loops
// of a few blocks each cost more than they save.
template <class L, bool kAhead>
ZV_FORCE_INLINE void diagonal_across(double* d, std::uint64_t blocks, std::uint64_t target,
                                     const MatrixParts& m) {
  constexpr std::uint64_t kAliasDoubles = 4096 / sizeof(double);
  const Entry<L> d0 = entry<L>(m.m00), d1 = entry<L>(m.m11);
  const std::uint64_t partner = bit(target - kLaneBits<L>);
  for_each_run(blocks, partner, 0, [&](std::uint64_t first, auto run, std::uint64_t) {
    double* a = d + first * L::kDoubles;
    double* b = d + (first | partner) * L::kDoubles;
    const std::uint64_t end = run * L::kDoubles;
    if (end < kAliasDoubles) {
      walk_pair_runs<L, kAhead>(a, b, end, [&](std::uint64_t j) {
        L::store(a + j, complex_mul(d0, load_once<L>(a + j)));
        L::store(b + j, complex_mul(d1, load_once<L>(b + j)));
      });
      return;
    }
    stream<L, kAhead>(a, end, [&](std::uint64_t j) { L::store(a + j, complex_mul(d0, load_once<L>(a + j))); });
    stream<L, kAhead>(b, end, [&](std::uint64_t j) { L::store(b + j, complex_mul(d1, load_once<L>(b + j))); });
  });
}

template <class L, bool kAhead>
ZV_FORCE_INLINE void diagonal_inside(double* d, std::uint64_t blocks, std::uint64_t target,
                                     const MatrixParts& m) {
  const Entry<L> both =
      entry<L>(m.m00, m.m11, lanes_where<L>([&](std::uint64_t l) { return (l & bit(target)) != 0; }));
  stream<L, kAhead>(d, blocks * L::kDoubles,
                    [&](std::uint64_t j) { L::store(d + j, complex_mul(both, load_once<L>(d + j))); });
}

template <class L>
void diagonal(Amplitude* amps, std::uint64_t dimension, std::uint64_t target, const Matrix2& matrix) {
  if (dimension < kLanes<L>) return kScalarKernels.diagonal(amps, dimension, target, matrix);
  const MatrixParts m = parts_of(matrix);
  double* d = doubles(amps);
  const std::uint64_t blocks = dimension >> kLaneBits<L>;
  with_choice(ahead_pays(dimension), [&](auto ahead) {
    if (target >= kLaneBits<L>) {
      diagonal_across<L, decltype(ahead)::value>(d, blocks, target, m);
    } else {
      diagonal_inside<L, decltype(ahead)::value>(d, blocks, target, m);
    }
  });
}

}  // namespace
}  // namespace zentrova::core
