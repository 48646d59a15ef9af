// The read-outs and collapses over a layer: probabilities, the running and
// compensated sums (their order of terms kept to the bit), the marginal table,
// and the collapses that divide the survivors and zero the rest. Internal
// linkage throughout, as kernels_vector.h explains.
#pragma once

#include <cstdint>

#include "core/internal.h"
#include "core/qubit/kernels/kernels.h"
#include "core/qubit/kernels/vector_registers.h"

namespace zentrova::core {
namespace {

// Probabilities of the kDoubles amplitudes at p (two registers), in index
// order: both parts squared, then the real square plus the imaginary square.
template <class L>
typename L::Reg probabilities_at(const double* p) {
  const typename L::Reg x0 = L::load(p);
  const typename L::Reg x1 = L::load(p + L::kDoubles);
  return L::pair_sums(L::mul(x0, x0), L::mul(x1, x1));
}


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

}  // namespace
}  // namespace zentrova::core
