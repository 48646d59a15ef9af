// The vector kernels, written once over a layer of a few register operations
// (layer_avx2.h, layer_avx512.h): every algorithm here is a template on the
// layer, and each vector file instantiates it with its own compile options.
//
// Everything sits in an anonymous namespace and includes nothing but the
// standard headers below and kernels.h: code with internal linkage is compiled
// afresh in every file that includes it, so no function built with one set's
// instructions can be chosen by the linker for another file's callers.
//
// Every lane computes what the scalar reference computes for its amplitude,
// with the same operations on the same operands: multiplications, additions,
// subtractions and (in the collapses) divisions, each rounded on its own, with
// no fused multiply-add. Two sums may take their operands the other way round,
// which changes nothing but which NaN payload survives. Shuffles, blends and
// bit masks only move bits, so exchanges keep NaN payloads exactly.
//
// Index bits below kLaneBits pick an amplitude inside a register (a "lane");
// a gate on those positions is a shuffle inside the register. Higher bits pick
// whole registers ("blocks"), walked as contiguous runs, as the scalar kernels
// walk amplitudes. Registers too small for one block go to the scalar set.
//
// A layer L provides what the concept Layer (layer.h) states; vector_kernels
// checks it where each set is built.
#pragma once

#include <cassert>
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

// A register of per-double constants. Built by L::set, not loaded: doubles
// just stored one by one and loaded as a register wait for the stores (about
// 40 ns of setup for a 2x2 update's entries, more than the whole update of a
// 4-qubit register takes).
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

// Calls fn(first, run, gap) for the runs of blocks whose bits in `opened` are
// 0 except those in `set`, which are 1 (block positions below log2(blocks);
// set is a subset of opened), in ascending order. The run blocks from `first`
// on are contiguous: run is 2^(lowest opened position), or every block when
// nothing is opened. The next run is found by counting up in the free bits
// above the run, the carry jumping over the opened bits: a few operations per
// run, however many positions are opened, for runs may be one block long. gap
// is the number of blocks skipped since the previous run, for touch_gap.
template <class Fn>
ZV_FORCE_INLINE void for_each_run(std::uint64_t blocks, std::uint64_t opened, std::uint64_t set,
                                  Fn fn) {
  const std::uint64_t run = opened == 0 ? blocks : lowest_bit(opened);
  const std::uint64_t fixed = opened | (run - 1);
  const auto walk = [&](auto run_length) {
    std::uint64_t end = 0;
    for (std::uint64_t first = set; first < blocks;
         first = (((first | fixed) + 1) & ~fixed) | set) {
      assert(first + run <= blocks && first >= end);
      fn(first, run_length, first - end);
      end = first + run;
    }
  };
  // Runs of one block (a target or control just above the lanes) with the
  // length known to the compiler: the loops inside fn vanish, which took x
  // and h on that target from 1.6-2.1 to 1.1-1.4 times the time of the same
  // gate on a higher one (16 qubits, 256-bit registers).
  if (opened == 1) {
    // Every other block (a target or control just above the lanes, nothing
    // else): a plain stride instead of the carry leaves the loop little
    // integer work beside the arithmetic (14 qubits, 256-bit registers: x on
    // target 1 from 0.45 to 0.20 ns per amplitude, u from 0.47 to 0.40).
    for (std::uint64_t first = set; first < blocks; first += 2) {
      fn(first, std::integral_constant<std::uint64_t, 1>{}, first == set ? set : 1);
    }
  } else if (run == 1) {
    walk(std::integral_constant<std::uint64_t, 1>{});
  } else {
    walk(run);
  }
}

// Runs separated by a few skipped cache lines (a control on a low position)
// make a strided stream, which the hardware prefetcher follows far less well
// than a plain one: such a gate ran 1.4 to 1.9 times as long as a sweep of the
// whole array although it touches less of it. Asking for the skipped lines
// just before each run makes the stream plain again; no value changes.
template <class L>
ZV_FORCE_INLINE void touch_gap(const double* run_start, std::uint64_t gap_doubles) {
  constexpr std::uint64_t kLine = 8;  // doubles per cache line
  if (gap_doubles == 0 || gap_doubles > 4 * kLine) return;
  const double* gap = run_start - gap_doubles;
  for (std::uint64_t k = 0; k < 4 && k * kLine < gap_doubles; ++k) L::prefetch(gap + k * kLine);
}

// touch_gap for the runs of both partners, gap_blocks registers each.
template <class L>
ZV_FORCE_INLINE void touch_gaps(const double* a, const double* b, std::uint64_t gap_blocks) {
  touch_gap<L>(a, gap_blocks * L::kDoubles);
  touch_gap<L>(b, gap_blocks * L::kDoubles);
}

// Asks for the line kAheadBytes past p, as an address: a prefetch past the
// array's end is harmless (it never faults), a pointer there would not be.
constexpr std::uint64_t kAheadBytes = 4096;

template <class L>
ZV_FORCE_INLINE void prefetch_at(std::uintptr_t address) {
  L::prefetch(reinterpret_cast<const void*>(address));
}

template <class L>
ZV_FORCE_INLINE void prefetch_ahead(const double* p) {
  prefetch_at<L>(reinterpret_cast<std::uintptr_t>(p) + kAheadBytes);
}

// Whether the walks below ask for lines ahead of the hardware's prefetch: a
// register that fits in the last-level cache but not in the core's own
// streams from it at up to 1.7 times the speed with them (x, h, u and rz on
// targets 0 and 1 of 20 qubits with 256-bit registers, on a machine shared
// with other work: 0.8-1.0 ns per amplitude without, 0.45-0.55 with). At 2
// MiB they gained on some targets what they lost on others, in the core's own
// cache they cost up to 15 %, and from memory they gained little and lost as
// much elsewhere (x on target 0 of 24 qubits: 1.06 without, 1.19 with).
bool ahead_pays(std::uint64_t dimension) {
  return dimension > kAheadAbove && dimension <= kAheadUpTo;
}

// Calls fn(std::true_type) or fn(std::false_type): a choice made once per call
// is compiled into the loops instead of being tested in every run, which on
// runs of one register cost up to a tenth of the time.
template <class Fn>
ZV_FORCE_INLINE void with_choice(bool choice, Fn&& fn) {
  if (choice) {
    fn(std::true_type{});
  } else {
    fn(std::false_type{});
  }
}

// Calls step(j) for j = 0, kDoubles, ... below end (a multiple of kDoubles)
// over one contiguous stream from d, asking for the line 4 KiB ahead once
// per cache line where kAhead.
template <class L, bool kAhead, class Step>
ZV_FORCE_INLINE void stream(const double* d, std::uint64_t end, Step step) {
  constexpr std::uint64_t kLineDoubles = 64 / sizeof(double);
  constexpr std::uint64_t kPerLine = L::kDoubles < kLineDoubles ? kLineDoubles / L::kDoubles : 1;
  std::uint64_t j = 0;
  if constexpr (kAhead) {
    for (; j + kPerLine * L::kDoubles <= end; j += kPerLine * L::kDoubles) {
      prefetch_ahead<L>(d + j);
      for (std::uint64_t k = 0; k < kPerLine; ++k) step(j + k * L::kDoubles);
    }
  }
  for (; j < end; j += L::kDoubles) step(j);
}

// The pair walks (a target above the lanes, no control there) visit a run of
// `end` doubles at a and its partner run at b = a + end, then the next pair
// of runs at a + 2 end: on the whole one stream, in two halves. The lines 4
// KiB ahead of each are asked for once per line; from the end of a run on,
// those of the next run on the same side. Without, runs of a few KiB ended
// before the hardware's stream prefetch was up to speed (a 20-qubit u on
// target 10 with 512-bit registers: 1.53-1.59 times the sweep without,
// 1.33-1.43 with), and shorter ones streamed from the last-level cache well
// below its speed. On long runs from memory it only cost (u on target 23 of
// 24 qubits: 1.02 without, 1.17 with): runs of 64 KiB and more have none, and
// neither have strided walks, which touch_gap serves: kAhead is false for
// them, and where ahead_pays does not hold. Calls step(j) for j = 0,
// kDoubles, ... below end.
template <class L, bool kAhead, class Step>
ZV_FORCE_INLINE void walk_pair_runs(double* a, double* b, std::uint64_t end, Step step) {
  constexpr std::uint64_t kAheadDoubles = kAheadBytes / sizeof(double);
  constexpr std::uint64_t kLineDoubles = 64 / sizeof(double);
  constexpr std::uint64_t kShortRun = 65536 / sizeof(double);
  if (!kAhead || end >= kShortRun) {
    for (std::uint64_t j = 0; j < end; j += L::kDoubles) step(j);
    return;
  }
  if (end < kLineDoubles) {
    // Both runs in one line (and so the lines 4 KiB on).
    prefetch_ahead<L>(a);
    for (std::uint64_t j = 0; j < end; j += L::kDoubles) step(j);
    return;
  }
  const std::uintptr_t a_at = reinterpret_cast<std::uintptr_t>(a);
  const std::uintptr_t b_at = reinterpret_cast<std::uintptr_t>(b);
  for (std::uint64_t j = 0; j < end; j += kLineDoubles) {
    const std::uint64_t skip = j + kAheadDoubles >= end ? end : 0;
    const std::uintptr_t ahead = sizeof(double) * (j + kAheadDoubles + skip);
    prefetch_at<L>(a_at + ahead);
    prefetch_at<L>(b_at + ahead);
    for (std::uint64_t k = j; k < j + kLineDoubles; k += L::kDoubles) step(k);
  }
}

// A register loaded once for all its uses. Left to itself GCC folds each use
// of a load into an instruction that reads the memory again: the update of
// both partners inside one register read each register three times (the
// products, the parts swapped), which on a Xeon with 512-bit registers, in a
// 1 MiB register, kept u, rx and ry on targets 0 and 1 at 1.32-1.41 times the
// sweep; read once, 1.22 (rz from 1.03-1.05 to 1.00, and with 256-bit
// registers from 1.22-1.36 to 1.02-1.09). A layer whose registers are the
// compiler's own vectors says how (L::load_once); any other loads plainly.
template <class L>
ZV_FORCE_INLINE typename L::Reg load_once(const double* p) {
  if constexpr (requires { L::load_once(p); }) {
    return L::load_once(p);
  } else {
    return L::load(p);
  }
}

// --- Exchanges --------------------------------------------------------------

// Exchanges amplitude i with amplitude i ^ flip for every i whose bits in
// `ones` are 1 and whose bits in `zeros` are 0. Requires flip to lie within
// ones | zeros and to meet zeros, so that every partner fails the condition:
// x, cnot, swap, ccnot and csswap are all of this form.
template <class L>
void exchange_where(Amplitude* amps, std::uint64_t dimension, std::uint64_t ones,
                    std::uint64_t zeros, std::uint64_t flip) {
  using Reg = typename L::Reg;
  double* d = doubles(amps);
  const std::uint64_t ones_lo = ones & kLaneMask<L>;
  const std::uint64_t zeros_lo = zeros & kLaneMask<L>;
  const std::uint64_t flip_lo = flip & kLaneMask<L>;
  const std::uint64_t flip_hi = flip >> kLaneBits<L>;
  const auto chosen_lane = [&](std::uint64_t l) {
    return (l & ones_lo) == ones_lo && (l & zeros_lo) == 0;
  };
  const unsigned chosen_bits = lanes_where<L>(chosen_lane);
  const unsigned partner_bits = lanes_where<L>([&](std::uint64_t l) { return chosen_lane(l ^ flip_lo); });
  const auto chosen = L::mask(chosen_bits);
  const auto partners = L::mask(partner_bits);
  const auto moved = L::mask(chosen_bits | partner_bits);
  const bool all_chosen = chosen_bits == lanes_where<L>([](std::uint64_t) { return true; });
  const std::uint64_t opened = (ones | zeros) >> kLaneBits<L>;
  // Gaps that no run of either side fills: a control above the lane bits.
  const bool sparse = (opened & ~flip_hi) != 0;
  const std::uint64_t blocks = dimension >> kLaneBits<L>;
  const std::uint64_t set = ones >> kLaneBits<L>;
  // Each kind of exchange walks the runs with a loop of its own: deciding it
  // per run cost x on target 1 (runs of one register) a third of its time.
  if (flip_hi == 0) {
    // Both partners in one register.
    with_constant<kLanes<L>>(flip_lo, [&](auto lane_flip) {
      with_choice(ahead_pays(dimension) && ones == 0, [&](auto ahead) {
        for_each_run(blocks, opened, set, [&](std::uint64_t first, auto run, std::uint64_t gap) {
          double* a = d + first * L::kDoubles;
          if (sparse) touch_gap<L>(a, gap * L::kDoubles);
          stream<L, decltype(ahead)::value>(a, run * L::kDoubles, [&](std::uint64_t j) {
            const Reg x = L::load(a + j);
            L::store(a + j, L::blend(moved, x, lanes_flipped<L, decltype(lane_flip)::value>(x)));
          });
        });
      });
    });
    return;
  }
  if (all_chosen) {
    // Whole registers change places; for x the partner run follows.
    with_choice(ahead_pays(dimension) && ones == 0, [&](auto ahead) {
      for_each_run(blocks, opened, set, [&](std::uint64_t first, auto run, std::uint64_t gap) {
        double* a = d + first * L::kDoubles;
        double* b = d + (first ^ flip_hi) * L::kDoubles;
        if (sparse) touch_gaps<L>(a, b, gap);
        walk_pair_runs<L, decltype(ahead)::value>(a, b, run * L::kDoubles, [&](std::uint64_t j) {
          const Reg x = L::load(a + j);
          const Reg y = L::load(b + j);
          L::store(a + j, y);
          L::store(b + j, x);
        });
      });
    });
    return;
  }
  with_constant<kLanes<L>>(flip_lo, [&](auto lane_flip) {
    constexpr std::uint64_t kFlip = decltype(lane_flip)::value;
    for_each_run(blocks, opened, set, [&](std::uint64_t first, auto run, std::uint64_t gap) {
      double* a = d + first * L::kDoubles;
      double* b = d + (first ^ flip_hi) * L::kDoubles;
      if (sparse) touch_gaps<L>(a, b, gap);
      for (std::uint64_t j = 0; j < run * L::kDoubles; j += L::kDoubles) {
        const Reg x = L::load(a + j);
        const Reg y = L::load(b + j);
        L::store(a + j, L::blend(chosen, x, lanes_flipped<L, kFlip>(y)));
        L::store(b + j, L::blend(partners, y, lanes_flipped<L, kFlip>(x)));
      }
    });
  });
}

// Registers of fewer than kScalarExchangesBelow amplitudes take the scalar
// exchanges: there the lane masks and the choice of walk cost more than the
// scalar loop's whole work (x on 1 to 5 qubits with 256-bit registers: 7-15 ns
// a call against 3-11; equal at 6).

template <class L>
void exchange(Amplitude* amps, std::uint64_t dimension, std::uint64_t target) {
  if (dimension < kScalarExchangesBelow) return kScalarKernels.exchange(amps, dimension, target);
  exchange_where<L>(amps, dimension, 0, bit(target), bit(target));
}

template <class L>
void cnot(Amplitude* amps, std::uint64_t dimension, std::uint64_t control, std::uint64_t target) {
  if (dimension < kScalarExchangesBelow) {
    return kScalarKernels.cnot(amps, dimension, control, target);
  }
  exchange_where<L>(amps, dimension, bit(control), bit(target), bit(target));
}

template <class L>
void swap(Amplitude* amps, std::uint64_t dimension, std::uint64_t lo, std::uint64_t hi) {
  if (dimension < kScalarExchangesBelow) return kScalarKernels.swap(amps, dimension, lo, hi);
  exchange_where<L>(amps, dimension, bit(lo), bit(hi), bit(lo) | bit(hi));
}

template <class L>
void ccnot(Amplitude* amps, std::uint64_t dimension, std::uint64_t control1,
           std::uint64_t control2, std::uint64_t target) {
  if (dimension < kScalarExchangesBelow) {
    return kScalarKernels.ccnot(amps, dimension, control1, control2, target);
  }
  exchange_where<L>(amps, dimension, bit(control1) | bit(control2), bit(target), bit(target));
}

template <class L>
void csswap(Amplitude* amps, std::uint64_t dimension, std::uint64_t control,
            std::uint64_t target_1, std::uint64_t target_2) {
  if (dimension < kScalarExchangesBelow) {
    return kScalarKernels.csswap(amps, dimension, control, target_1, target_2);
  }
  exchange_where<L>(amps, dimension, bit(control) | bit(target_1), bit(target_2),
                    bit(target_1) | bit(target_2));
}

// --- Arithmetic on pairs ----------------------------------------------------

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

// The general update on every pair (i0, i0 + 2^target) whose bits in `ones`
// are all 1 (ones excludes the target). Amplitudes outside the condition are
// stored back unchanged.
template <class L, bool kAllActive>
void update_where(Amplitude* amps, std::uint64_t dimension, std::uint64_t ones,
                  std::uint64_t target, const MatrixParts& m) {
  using Reg = typename L::Reg;
  double* d = doubles(amps);
  const std::uint64_t ones_lo = ones & kLaneMask<L>;
  const auto active = L::mask(lanes_where<L>([&](std::uint64_t l) { return (l & ones_lo) == ones_lo; }));
  const std::uint64_t blocks = dimension >> kLaneBits<L>;
  const std::uint64_t ones_hi = ones >> kLaneBits<L>;
  with_choice(ahead_pays(dimension) && ones_hi == 0, [&](auto ahead) {
    constexpr bool kAhead = decltype(ahead)::value;
    if (target >= kLaneBits<L>) {
      const Entry<L> m00 = entry<L>(m.m00), m01 = entry<L>(m.m01);
      const Entry<L> m10 = entry<L>(m.m10), m11 = entry<L>(m.m11);
      const std::uint64_t partner = bit(target - kLaneBits<L>);
      for_each_run(blocks, ones_hi | partner, ones_hi,
                   [&](std::uint64_t first, auto run, std::uint64_t gap) {
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
      return;
    }
    // Both partners in one register: the amplitude with target bit 0 takes
    // m00*a + m01*b, the one with bit 1 takes m10*a + m11*b (the sum with its
    // operands the other way round). Each takes its own diagonal product plus
    // the partner's off-diagonal one, formed in the partner's lane and moved.
    with_constant<kLaneBits<L>>(target, [&](auto lane_target) {
      constexpr std::uint64_t kTarget = decltype(lane_target)::value;
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

template <class L>
void hadamard(Amplitude* amps, std::uint64_t dimension, std::uint64_t target, double k) {
  using Reg = typename L::Reg;
  if (dimension < kLanes<L>) return kScalarKernels.hadamard(amps, dimension, target, k);
  double* d = doubles(amps);
  const Reg scale = L::broadcast(k);
  const std::uint64_t blocks = dimension >> kLaneBits<L>;
  with_choice(ahead_pays(dimension), [&](auto ahead) {
    constexpr bool kAhead = decltype(ahead)::value;
    if (target >= kLaneBits<L>) {
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
      return;
    }
    // With s the partner-swapped register: a + b is s + x where the target bit
    // is 0, and a - b is s + (-x) where it is 1, which is s - x by definition.
    with_constant<kLaneBits<L>>(target, [&](auto lane_target) {
      constexpr std::uint64_t kTarget = decltype(lane_target)::value;
      const Reg negate_upper =
          sign_bits<L>(lanes_where<L>([](std::uint64_t l) { return (l & bit(kTarget)) != 0; }));
      stream<L, kAhead>(d, blocks * L::kDoubles, [&](std::uint64_t j) {
        const Reg x = L::load(d + j);
        const Reg s = lanes_flipped<L, bit(kTarget)>(x);
        L::store(d + j, L::mul(L::add(s, L::bit_xor(x, negate_upper)), scale));
      });
    });
  });
}

template <class L>
void diagonal(Amplitude* amps, std::uint64_t dimension, std::uint64_t target, const Matrix2& matrix) {
  if (dimension < kLanes<L>) return kScalarKernels.diagonal(amps, dimension, target, matrix);
  const MatrixParts m = parts_of(matrix);
  double* d = doubles(amps);
  const std::uint64_t blocks = dimension >> kLaneBits<L>;
  with_choice(ahead_pays(dimension), [&](auto ahead) {
    constexpr bool kAhead = decltype(ahead)::value;
    if (target >= kLaneBits<L>) {
      // The run with the target bit 1 directly follows the one with it 0, so
      // doing one run after the other is a plain sweep. Alternating between
      // them, each load came just after a store 2^target amplitudes away, equal
      // in the low 12 bits of the address from target 8 on: the core took the
      // load for dependent on the store (at 20 qubits, target 10 ran at 1.6-1.9
      // times the sweep, against 1.05 now). Runs shorter than that stay
      // interleaved: two loops of a few blocks each cost more than they save.
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
        stream<L, kAhead>(a, end,
                          [&](std::uint64_t j) { L::store(a + j, complex_mul(d0, load_once<L>(a + j))); });
        stream<L, kAhead>(b, end,
                          [&](std::uint64_t j) { L::store(b + j, complex_mul(d1, load_once<L>(b + j))); });
      });
      return;
    }
    const Entry<L> both =
        entry<L>(m.m00, m.m11, lanes_where<L>([&](std::uint64_t l) { return (l & bit(target)) != 0; }));
    stream<L, kAhead>(d, blocks * L::kDoubles,
                      [&](std::uint64_t j) { L::store(d + j, complex_mul(both, load_once<L>(d + j))); });
  });
}

// --- Read-outs --------------------------------------------------------------

// Probabilities of the kDoubles amplitudes at p (two registers), in index
// order: both parts squared, then the real square plus the imaginary square.
template <class L>
typename L::Reg probabilities_at(const double* p) {
  const typename L::Reg x0 = L::load(p);
  const typename L::Reg x1 = L::load(p + L::kDoubles);
  return L::pair_sums(L::mul(x0, x0), L::mul(x1, x1));
}


template <class L>
constexpr unsigned kAllDoubles = (1u << L::kDoubles) - 1;

template <class L>
void probabilities(const Amplitude* amps, std::uint64_t count, double* out) {
  // A pass that only reads may stream faster at another width.
  using R = typename L::ReadOnly;
  const double* d = doubles(amps);
  std::uint64_t i = 0;
  // Up to a register boundary of out one at a time: the caller's buffer need
  // not be aligned, and a store split across two cache lines costs twice.
  constexpr std::uintptr_t kBytes = R::kDoubles * sizeof(double);
  for (; i < count && (reinterpret_cast<std::uintptr_t>(out + i) & (kBytes - 1)) != 0; ++i) {
    out[i] = probability(d[2 * i], d[2 * i + 1]);
  }
  for (; i + R::kDoubles <= count; i += R::kDoubles) R::store(out + i, probabilities_at<R>(d + 2 * i));
  for (; i < count; ++i) out[i] = probability(d[2 * i], d[2 * i + 1]);
}

template <class L>
std::uint64_t observe_scan(const Amplitude* amps, std::uint64_t dimension, double r) {
  if (dimension < L::kDoubles) return kScalarKernels.observe_scan(amps, dimension, r);
  const double* d = doubles(amps);
  double s = 0.0;
  for (std::uint64_t i = 0; i < dimension; i += L::kDoubles) {
    const typename L::Reg p = probabilities_at<L>(d + 2 * i);
    // Zeros leave s as it is, and s was below r after the previous amplitude.
    // Amplitude 0 is always tested: with r = 0 it is the outcome even at
    // probability 0. A probability is never -0.0 (a square is +0.0 or more,
    // and +0.0 + +0.0 is +0.0), so these add nothing to a sum.
    if (i != 0 && L::zero_doubles(p) == kAllDoubles<L>) continue;
    double q[L::kDoubles];
    L::store(q, p);
    for (std::uint64_t k = 0; k < L::kDoubles; ++k) {
      s = s + q[k];
      if (s >= r) return i + k;
    }
    // A NaN sum stays NaN and never reaches r: the outcome is the fallback.
    if (s != s) return 0;
  }
  return 0;
}

void clear(Amplitude* amps, std::uint64_t dimension) {
  // The C library's fill chooses non-temporal stores for blocks beyond the
  // caches, which a loop of ordinary stores here would not beat.
  kScalarKernels.clear(amps, dimension);
}

template <class L>
double probability_of_one(const Amplitude* amps, std::uint64_t dimension, std::uint64_t target) {
  constexpr std::uint64_t kBlock = L::kDoubles;  // amplitudes per probability register
  if (dimension < kBlock) return kScalarKernels.probability_of_one(amps, dimension, target);
  const double* d = doubles(amps);
  KahanSum k;
  double q[kBlock];
  if (bit(target) >= kBlock) {
    // The states with the target bit 1 come in runs of 2^target.
    const std::uint64_t run = bit(target);
    for (std::uint64_t base = run; base < dimension; base += 2 * run) {
      for (std::uint64_t i = base; i < base + run; i += kBlock) {
        const typename L::Reg p = probabilities_at<L>(d + 2 * i);
        if (L::zero_doubles(p) == kAllDoubles<L> && k.zero_is_fixed_point()) continue;
        L::store(q, p);
        for (std::uint64_t j = 0; j < kBlock; ++j) k.add(q[j]);
      }
    }
    return k.sum;
  }
  // Half of every block has the target bit 1.
  std::uint64_t lanes[kBlock / 2];
  unsigned wanted = 0;
  for (std::uint64_t j = 0, n = 0; j < kBlock; ++j) {
    if ((j >> target) & 1) {
      lanes[n++] = j;
      wanted |= 1u << j;
    }
  }
  for (std::uint64_t i = 0; i < dimension; i += kBlock) {
    const typename L::Reg p = probabilities_at<L>(d + 2 * i);
    if ((L::zero_doubles(p) & wanted) == wanted && k.zero_is_fixed_point()) continue;
    L::store(q, p);
    for (std::uint64_t lane : lanes) k.add(q[lane]);
  }
  return k.sum;
}

// Collapses divide the surviving amplitudes and zero the others. Where a
// register holds survivors and dropped amplitudes side by side, division -
// the slow part - would be wasted on half its lanes or more. With kFlip a
// measured lane bit, the survivors of the register y flipped by it land where
// x has none: one division serves both, and the quotients go back with
// all-zero bits (+0.0) in the dropped lanes. Two registers at p.
template <class L, std::uint64_t kFlip>
void divide_survivors(double* p, typename L::Mask kept, typename L::Reg divisor) {
  using Reg = typename L::Reg;
  const Reg x = L::load(p);
  const Reg y = L::load(p + L::kDoubles);
  const Reg q = L::div(L::blend(kept, lanes_flipped<L, kFlip>(y), x), divisor);
  L::store(p, L::zero_unless(kept, q));
  L::store(p + L::kDoubles, L::zero_unless(kept, lanes_flipped<L, kFlip>(q)));
}

template <class L>
void collapse_one(Amplitude* amps, std::uint64_t dimension, std::uint64_t target, bool keep_one,
                  double h) {
  using Reg = typename L::Reg;
  if (dimension < kLanes<L>) return kScalarKernels.collapse_one(amps, dimension, target, keep_one, h);
  double* d = doubles(amps);
  const Reg divisor = L::broadcast(h);
  if (target >= kLaneBits<L>) {
    const std::uint64_t run = bit(target);
    const std::uint64_t keep_offset = keep_one ? run : 0;
    const std::uint64_t drop_offset = run - keep_offset;
    for (std::uint64_t base = 0; base < dimension; base += 2 * run) {
      double* keep = d + 2 * (base + keep_offset);
      double* drop = d + 2 * (base + drop_offset);
      for (std::uint64_t j = 0; j < 2 * run; j += L::kDoubles) {
        L::store(keep + j, L::div(L::load(keep + j), divisor));
        L::store(drop + j, L::zero());
      }
    }
    return;
  }
  const std::uint64_t keep_bit = keep_one ? bit(target) : 0;
  const auto kept = L::mask(lanes_where<L>([&](std::uint64_t l) { return (l & bit(target)) == keep_bit; }));
  if (dimension < 2 * kLanes<L>) {
    L::store(d, L::zero_unless(kept, L::div(L::load(d), divisor)));
    return;
  }
  with_constant<kLanes<L>>(bit(target), [&](auto lane_flip) {
    for (std::uint64_t j = 0; j < 2 * dimension; j += 2 * L::kDoubles) {
      divide_survivors<L, decltype(lane_flip)::value>(d + j, kept, divisor);
    }
  });
}

template <class L>
void marginal_table(const Amplitude* amps, std::uint64_t dimension, const std::uint64_t* targets,
                    std::uint64_t count, double* table) {
  using Reg = typename L::Reg;
  constexpr std::uint64_t kBlock = L::kDoubles;  // amplitudes per probability register
  if (dimension < kBlock) return kScalarKernels.marginal_table(amps, dimension, targets, count, table);
  // Targets below log2(kBlock) vary inside a block; the others are fixed
  // across a block, and across runs of 2^(lowest of them) amplitudes.
  std::uint64_t low_positions = 0;
  std::uint64_t high_positions = 0;
  std::uint64_t lane_entry[kBlock] = {};  // the bits of t that lane l sets
  for (std::uint64_t k = 0; k < count; ++k) {
    if (bit(targets[k]) < kBlock) {
      low_positions |= bit(targets[k]);
      for (std::uint64_t l = 0; l < kBlock; ++l) lane_entry[l] |= ((l >> targets[k]) & 1) << k;
    } else {
      high_positions |= bit(targets[k]);
    }
  }
  // Lanes that agree on the low target positions feed one table entry, in
  // ascending lane order. Number those groups g = 0 .. groups-1 in order of
  // their first lane; round r of a block adds, to accumulator g, the r-th lane
  // of group g. Every accumulator then sees its terms in index order.
  std::uint64_t group_of_lane[kBlock];
  std::uint64_t first_lane[kBlock];
  std::uint64_t groups = 0;
  for (std::uint64_t l = 0; l < kBlock; ++l) {
    std::uint64_t g = 0;
    while (g < groups && (first_lane[g] & low_positions) != (l & low_positions)) ++g;
    if (g == groups) first_lane[groups++] = l;
    group_of_lane[l] = g;
  }
  const std::uint64_t rounds = kBlock / groups;
  typename L::Perm round_perm[kBlock];
  for (std::uint64_t r = 0; r < rounds; ++r) {
    std::uint64_t source[kBlock] = {};
    for (std::uint64_t g = 0; g < groups; ++g) {
      std::uint64_t seen = 0;
      for (std::uint64_t l = 0; l < kBlock; ++l) {
        if (group_of_lane[l] == g && seen++ == r) source[g] = l;
      }
    }
    round_perm[r] = L::permutation(source);
  }

  const double* d = doubles(amps);
  const std::uint64_t run = high_positions == 0 ? dimension : lowest_bit(high_positions);
  for (std::uint64_t base = 0; base < dimension; base += run) {
    std::uint64_t t_high = 0;
    for (std::uint64_t k = 0; k < count; ++k) {
      if (bit(targets[k]) >= kBlock) t_high |= ((base >> targets[k]) & 1) << k;
    }
    // Accumulators live in a register for the run; lanes from `groups` on
    // collect nothing of use and are never written back.
    double acc_parts[kBlock] = {};
    for (std::uint64_t g = 0; g < groups; ++g) acc_parts[g] = table[t_high | lane_entry[first_lane[g]]];
    Reg acc = L::load(acc_parts);
    for (std::uint64_t j = base; j < base + run; j += kBlock) {
      const Reg p = probabilities_at<L>(d + 2 * j);
      // No entry holds -0.0, so adding zeros changes nothing.
      if (L::zero_doubles(p) == kAllDoubles<L>) continue;
      for (std::uint64_t r = 0; r < rounds; ++r) acc = L::add(acc, L::permute(p, round_perm[r]));
    }
    L::store(acc_parts, acc);
    for (std::uint64_t g = 0; g < groups; ++g) table[t_high | lane_entry[first_lane[g]]] = acc_parts[g];
  }
}

template <class L>
void collapse_mul(Amplitude* amps, std::uint64_t dimension, std::uint64_t mask, std::uint64_t want,
                  bool scale, double h) {
  using Reg = typename L::Reg;
  if (dimension < kLanes<L>) return kScalarKernels.collapse_mul(amps, dimension, mask, want, scale, h);
  double* d = doubles(amps);
  const std::uint64_t mask_lo = mask & kLaneMask<L>;
  const std::uint64_t want_lo = want & kLaneMask<L>;
  const std::uint64_t mask_hi = mask & ~kLaneMask<L>;
  const std::uint64_t want_hi = want & ~kLaneMask<L>;
  const auto kept = L::mask(lanes_where<L>([&](std::uint64_t l) { return (l & mask_lo) == want_lo; }));
  const Reg divisor = L::broadcast(h);
  if (scale && mask_lo != 0 && (mask & bit(kLaneBits<L>)) == 0 && dimension >= 2 * kLanes<L>) {
    // Every register keeps at most half its amplitudes, and two neighbours
    // agree on the measured bits above the lanes: divide them together.
    with_constant<kLanes<L>>(lowest_bit(mask_lo), [&](auto lane_flip) {
      for (std::uint64_t i = 0; i < dimension; i += 2 * kLanes<L>) {
        double* p = d + 2 * i;
        if ((i & mask_hi) != want_hi) {
          L::store(p, L::zero());
          L::store(p + L::kDoubles, L::zero());
        } else {
          divide_survivors<L, decltype(lane_flip)::value>(p, kept, divisor);
        }
      }
    });
    return;
  }
  for (std::uint64_t i = 0; i < dimension; i += kLanes<L>) {
    double* p = d + 2 * i;
    if ((i & mask_hi) != want_hi) {
      L::store(p, L::zero());
    } else if (scale) {
      L::store(p, L::zero_unless(kept, L::div(L::load(p), divisor)));
    } else {
      L::store(p, L::zero_unless(kept, L::load(p)));
    }
  }
}

// The table for one layer.
template <Layer L>
constexpr KernelSet vector_kernels(const char* name) {
  return KernelSet{
      name,
      &exchange<L>,
      &hadamard<L>,
      &general<L>,
      &diagonal<L>,
      &cnot<L>,
      &swap<L>,
      &ccnot<L>,
      &csswap<L>,
      &controlled_general<L>,
      &probabilities<L>,
      &observe_scan<L>,
      &clear,
      &probability_of_one<L>,
      &collapse_one<L>,
      &marginal_table<L>,
      &collapse_mul<L>,
  };
}

}  // namespace
}  // namespace zentrova::core
