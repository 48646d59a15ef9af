// The exchanges (x, cnot, swap, ccnot, csswap) as one kernel over a layer:
// amplitudes only move, by shuffles, blends and whole-register copies, so NaN
// payloads survive exactly. Internal linkage throughout, as kernels_vector.h
// explains.
#pragma once

#include <cstdint>

#include "core/internal.h"
#include "core/qubit/kernels/kernels.h"
#include "core/qubit/kernels/vector_registers.h"
#include "core/qubit/kernels/vector_walks.h"

namespace zentrova::core {
namespace {

// The runs an exchange visits, in blocks (for_each_run's arguments), and
// whether it leaves gaps that no run of either side fills (a control above
// the lane bits), which touch_gap then asks for.
struct ExchangeRuns {
  std::uint64_t blocks;
  std::uint64_t opened;
  std::uint64_t set;
  bool sparse;
};

// Both partners in one register: one shuffle and one blend per register.
template <class L, std::uint64_t kFlip, bool kAhead>
ZV_FORCE_INLINE void exchange_inside(double* d, const ExchangeRuns& r, typename L::Mask moved) {
  using Reg = typename L::Reg;
  for_each_run(r.blocks, r.opened, r.set, [&](std::uint64_t first, auto run, std::uint64_t gap) {
    double* a = d + first * L::kDoubles;
    if (r.sparse) touch_gap<L>(a, gap * L::kDoubles);
    stream<L, kAhead>(a, run * L::kDoubles, [&](std::uint64_t j) {
      const Reg x = L::load(a + j);
      L::store(a + j, L::blend(moved, x, lanes_flipped<L, kFlip>(x)));
    });
  });
}

// Whole registers change places; for x the partner run follows.
template <class L, bool kAhead>
ZV_FORCE_INLINE void exchange_registers(double* d, const ExchangeRuns& r, std::uint64_t flip_hi) {
  using Reg = typename L::Reg;
  for_each_run(r.blocks, r.opened, r.set, [&](std::uint64_t first, auto run, std::uint64_t gap) {
    double* a = d + first * L::kDoubles;
    double* b = d + (first ^ flip_hi) * L::kDoubles;
    if (r.sparse) touch_gaps<L>(a, b, gap);
    walk_pair_runs<L, kAhead>(a, b, run * L::kDoubles, [&](std::uint64_t j) {
      const Reg x = L::load(a + j);
      const Reg y = L::load(b + j);
      L::store(a + j, y);
      L::store(b + j, x);
    });
  });
}

// Partners in two registers, some lanes of each staying: each register takes
// the other's chosen lanes, moved into place.
template <class L, std::uint64_t kFlip>
ZV_FORCE_INLINE void exchange_lanes_across(double* d, const ExchangeRuns& r, std::uint64_t flip_hi,
                                           typename L::Mask chosen, typename L::Mask partners) {
  using Reg = typename L::Reg;
  for_each_run(r.blocks, r.opened, r.set, [&](std::uint64_t first, auto run, std::uint64_t gap) {
    double* a = d + first * L::kDoubles;
    double* b = d + (first ^ flip_hi) * L::kDoubles;
    if (r.sparse) touch_gaps<L>(a, b, gap);
    for (std::uint64_t j = 0; j < run * L::kDoubles; j += L::kDoubles) {
      const Reg x = L::load(a + j);
      const Reg y = L::load(b + j);
      L::store(a + j, L::blend(chosen, x, lanes_flipped<L, kFlip>(y)));
      L::store(b + j, L::blend(partners, y, lanes_flipped<L, kFlip>(x)));
    }
  });
}

// Exchanges amplitude i with amplitude i ^ flip for every i whose bits in
// `ones` are 1 and whose bits in `zeros` are 0. Requires flip to lie within
// ones | zeros and to meet zeros, so that every partner fails the condition:
// x, cnot, swap, ccnot and csswap are all of this form. Each kind of exchange
// walks with a loop of its own: deciding it per run cost much on runs of one
// register (bench/README.md).
template <class L>
void exchange_where(Amplitude* amps, std::uint64_t dimension, std::uint64_t ones,
                    std::uint64_t zeros, std::uint64_t flip) {
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
  const ExchangeRuns runs{dimension >> kLaneBits<L>, opened, ones >> kLaneBits<L>,
                          (opened & ~flip_hi) != 0};
  const bool ahead = ahead_pays(dimension) && ones == 0;
  if (flip_hi == 0) {
    with_constant<kLanes<L>>(flip_lo, [&](auto lane_flip) {
      with_choice(ahead, [&](auto a) {
        exchange_inside<L, decltype(lane_flip)::value, decltype(a)::value>(d, runs, moved);
      });
    });
  } else if (all_chosen) {
    with_choice(ahead, [&](auto a) { exchange_registers<L, decltype(a)::value>(d, runs, flip_hi); });
  } else {
    with_constant<kLanes<L>>(flip_lo, [&](auto lane_flip) {
      exchange_lanes_across<L, decltype(lane_flip)::value>(d, runs, flip_hi, chosen, partners);
    });
  }
}

// Registers of fewer than kScalarExchangesBelow amplitudes take the scalar
// exchanges: there the lane masks and the choice of walk cost more than the
// scalar loop's whole work.

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

}  // namespace
}  // namespace zentrova::core
