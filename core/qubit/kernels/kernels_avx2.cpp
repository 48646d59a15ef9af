// The kernels with 256-bit registers (AVX2): one register holds two amplitudes
// as four interleaved doubles (re, im, re, im). Every lane computes what the
// scalar reference computes for its amplitude, with the same operations on the
// same operands in the same order: multiplications, additions, subtractions
// and (in the collapses) divisions, each rounded on its own, and no fused
// multiply-add. Shuffles, blends and bit masks only move bits, so exchanges
// keep NaN payloads exactly.
//
// Index bit 0 picks an amplitude inside a register (a "lane"); a gate on that
// position is a shuffle inside the register. Higher bits pick whole registers
// ("blocks"), which are walked as contiguous runs, as the scalar kernels walk
// amplitudes.
//
// Built with AVX2 options: it includes nothing but kernels.h and the
// intrinsics, so no inline function of a shared header is emitted here with
// those instructions for the linker to pick for everyone. Registers too small
// for one block (n < 1, n < 2 for the read-outs) go to the scalar set.
#include <immintrin.h>

#include <cassert>
#include <cstdint>

#include "core/qubit/kernels/kernels.h"

namespace zentrova::core {
namespace {

constexpr std::uint64_t kLaneBits = 1;
constexpr std::uint64_t kLanes = std::uint64_t{1} << kLaneBits;  // amplitudes per register
constexpr std::uint64_t kLaneMask = kLanes - 1;
constexpr std::uint64_t kBlockDoubles = 2 * kLanes;

std::uint64_t bit(std::uint64_t p) { return std::uint64_t{1} << p; }
std::uint64_t lowest_bit(std::uint64_t x) { return x & (~x + 1); }

double* doubles(Amplitude* a) { return reinterpret_cast<double*>(a); }
const double* doubles(const Amplitude* a) { return reinterpret_cast<const double*>(a); }

std::uint64_t bits_of(double x) {
  return static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_castpd_si128(_mm_set_sd(x))));
}

// All-ones bits in the doubles of the amplitudes l = 0, 1 for which pred(l)
// holds, for blends and for masking with AND.
template <class Pred>
__m256d amplitudes_where(Pred pred) {
  const long long lo = pred(0) ? -1 : 0;
  const long long hi = pred(1) ? -1 : 0;
  return _mm256_castsi256_pd(_mm256_set_epi64x(hi, hi, lo, lo));
}

// For _mm256_permutevar8x32_ps: amplitude l of the result is amplitude l ^ f
// of the source, both parts, moved as raw 32-bit halves.
__m256i flipped_amplitudes(std::uint64_t f) {
  const int s = f != 0 ? 4 : 0;
  return _mm256_set_epi32(7 ^ s, 6 ^ s, 5 ^ s, 4 ^ s, 3 ^ s, 2 ^ s, 1 ^ s, 0 ^ s);
}

__m256d permute(__m256d x, __m256i index) {
  return _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(x), index));
}

// b where mask is set, else a.
__m256d select(__m256d mask, __m256d a, __m256d b) { return _mm256_blendv_pd(a, b, mask); }

// Calls fn(first, run) for the runs of blocks whose bits in `opened` are 0
// except those in `set`, which are 1 (block positions below log2(blocks); set
// is a subset of opened), in ascending order. The run blocks from `first` on
// are contiguous: run is 2^(lowest opened position), or every block when
// nothing is opened. The next run is found by counting up in the free bits
// above the run, the carry jumping over the opened bits: a few operations per
// run, however many positions are opened, for runs may be one block long.
//
// fn also gets the number of blocks skipped since the previous run, for
// touch_gap.
template <class Fn>
void for_each_run(std::uint64_t blocks, std::uint64_t opened, std::uint64_t set, Fn fn) {
  const std::uint64_t run = opened == 0 ? blocks : lowest_bit(opened);
  const std::uint64_t fixed = opened | (run - 1);
  std::uint64_t end = 0;
  for (std::uint64_t first = set; first < blocks; first = (((first | fixed) + 1) & ~fixed) | set) {
    assert(first + run <= blocks && first >= end);
    fn(first, run, first - end);
    end = first + run;
  }
}

// Runs separated by a few skipped cache lines (a control on a low position)
// make a strided stream, which the hardware prefetcher follows far less well
// than a plain one: such a gate ran 1.4 to 1.9 times as long as a sweep of the
// whole array although it touches less of it. Asking for the skipped lines
// just before each run makes the stream plain again; no value changes.
//
// Inlined by force: GCC takes a function of nothing but prefetches for one
// without effects and drops the calls.
#if defined(_MSC_VER)
__forceinline
#else
__attribute__((always_inline)) inline
#endif
void touch_gap(const double* run_start, std::uint64_t gap_doubles) {
  constexpr std::uint64_t kLine = 8;  // doubles per cache line
  if (gap_doubles == 0 || gap_doubles > 4 * kLine) return;
  const double* gap = run_start - gap_doubles;
  _mm_prefetch(reinterpret_cast<const char*>(gap), _MM_HINT_T0);
  if (gap_doubles > kLine) _mm_prefetch(reinterpret_cast<const char*>(gap + kLine), _MM_HINT_T0);
  if (gap_doubles > 2 * kLine) _mm_prefetch(reinterpret_cast<const char*>(gap + 2 * kLine), _MM_HINT_T0);
  if (gap_doubles > 3 * kLine) _mm_prefetch(reinterpret_cast<const char*>(gap + 3 * kLine), _MM_HINT_T0);
}

// --- Exchanges --------------------------------------------------------------

// Exchanges amplitude i with amplitude i ^ flip for every i whose bits in
// `ones` are 1 and whose bits in `zeros` are 0. Requires flip to lie within
// ones | zeros and to meet zeros, so that every partner fails the condition:
// x, cnot, swap, ccnot and csswap are all of this form.
void exchange_where(Amplitude* amps, std::uint64_t dimension, std::uint64_t ones,
                    std::uint64_t zeros, std::uint64_t flip) {
  double* d = doubles(amps);
  const std::uint64_t ones_lo = ones & kLaneMask;
  const std::uint64_t zeros_lo = zeros & kLaneMask;
  const std::uint64_t flip_lo = flip & kLaneMask;
  const std::uint64_t flip_hi = flip >> kLaneBits;
  const auto chosen_lane = [&](std::uint64_t l) {
    return (l & ones_lo) == ones_lo && (l & zeros_lo) == 0;
  };
  const bool all_chosen = chosen_lane(0) && chosen_lane(1);
  const __m256d chosen = amplitudes_where(chosen_lane);
  const __m256d partners =
      amplitudes_where([&](std::uint64_t l) { return chosen_lane(l ^ flip_lo); });
  const __m256d moved = _mm256_or_pd(chosen, partners);
  const __m256i flip_index = flipped_amplitudes(flip_lo);
  const std::uint64_t opened = (ones | zeros) >> kLaneBits;
  // Gaps that no run of either side fills: a control above the lane bits.
  const bool sparse = (opened & ~flip_hi) != 0;
  for_each_run(dimension >> kLaneBits, opened, ones >> kLaneBits,
               [&](std::uint64_t first, std::uint64_t run, std::uint64_t gap) {
    double* a = d + first * kBlockDoubles;
    const std::uint64_t end = run * kBlockDoubles;
    if (sparse) touch_gap(a, gap * kBlockDoubles);
    if (flip_hi == 0) {
      // Both partners in one register.
      for (std::uint64_t j = 0; j < end; j += kBlockDoubles) {
        const __m256d x = _mm256_loadu_pd(a + j);
        _mm256_storeu_pd(a + j, select(moved, x, permute(x, flip_index)));
      }
      return;
    }
    double* b = d + (first ^ flip_hi) * kBlockDoubles;
    if (sparse) touch_gap(b, gap * kBlockDoubles);
    if (all_chosen) {
      // Whole registers change places.
      for (std::uint64_t j = 0; j < end; j += kBlockDoubles) {
        const __m256d x = _mm256_loadu_pd(a + j);
        const __m256d y = _mm256_loadu_pd(b + j);
        _mm256_storeu_pd(a + j, y);
        _mm256_storeu_pd(b + j, x);
      }
      return;
    }
    for (std::uint64_t j = 0; j < end; j += kBlockDoubles) {
      const __m256d x = _mm256_loadu_pd(a + j);
      const __m256d y = _mm256_loadu_pd(b + j);
      _mm256_storeu_pd(a + j, select(chosen, x, permute(y, flip_index)));
      _mm256_storeu_pd(b + j, select(partners, y, permute(x, flip_index)));
    }
  });
}

void exchange_avx2(Amplitude* amps, std::uint64_t dimension, std::uint64_t target) {
  if (dimension < kLanes) return kScalarKernels.exchange(amps, dimension, target);
  exchange_where(amps, dimension, 0, bit(target), bit(target));
}

void cnot_avx2(Amplitude* amps, std::uint64_t dimension, std::uint64_t control,
               std::uint64_t target) {
  exchange_where(amps, dimension, bit(control), bit(target), bit(target));
}

void swap_avx2(Amplitude* amps, std::uint64_t dimension, std::uint64_t lo, std::uint64_t hi) {
  exchange_where(amps, dimension, bit(lo), bit(hi), bit(lo) | bit(hi));
}

void ccnot_avx2(Amplitude* amps, std::uint64_t dimension, std::uint64_t control1,
                std::uint64_t control2, std::uint64_t target) {
  exchange_where(amps, dimension, bit(control1) | bit(control2), bit(target), bit(target));
}

void csswap_avx2(Amplitude* amps, std::uint64_t dimension, std::uint64_t control,
                 std::uint64_t target_1, std::uint64_t target_2) {
  exchange_where(amps, dimension, bit(control) | bit(target_1), bit(target_2),
                 bit(target_1) | bit(target_2));
}

// --- Arithmetic on pairs ----------------------------------------------------

// One matrix entry per amplitude: the real parts and the imaginary parts, each
// repeated over both doubles of the amplitude.
struct Entry {
  __m256d re;
  __m256d im;
};

// e (re, im) in both amplitudes.
Entry broadcast(const double* e) { return Entry{_mm256_set1_pd(e[0]), _mm256_set1_pd(e[1])}; }

// e0 in amplitude 0, e1 in amplitude 1.
Entry lane_pattern(const double* e0, const double* e1) {
  return Entry{_mm256_set_pd(e1[0], e1[0], e0[0], e0[0]), _mm256_set_pd(e1[1], e1[1], e0[1], e0[1])};
}

// m * x per amplitude, as the scalar complex product forms it:
// re = m.re*x.re - m.im*x.im, im = m.re*x.im + m.im*x.re.
__m256d complex_mul(const Entry& m, __m256d x) {
  const __m256d direct = _mm256_mul_pd(m.re, x);                         // m.re*x.re, m.re*x.im
  const __m256d crossed = _mm256_mul_pd(m.im, _mm256_permute_pd(x, 5));  // m.im*x.im, m.im*x.re
  return _mm256_addsub_pd(direct, crossed);
}

// new where the amplitude is active, old elsewhere; without a condition the
// blend is left out of the loop altogether.
template <bool kAllActive>
__m256d only_active(__m256d active, __m256d old_value, __m256d new_value) {
  if constexpr (kAllActive) {
    return new_value;
  } else {
    return select(active, old_value, new_value);
  }
}

// The general update on every pair (i0, i0 + 2^target) whose bits in `ones`
// are all 1 (ones excludes the target). m is m00, m01, m10, m11, each (re, im).
// Amplitudes outside the condition are stored back unchanged.
template <bool kAllActive>
void update_where(Amplitude* amps, std::uint64_t dimension, std::uint64_t ones,
                  std::uint64_t target, const double* m) {
  double* d = doubles(amps);
  const std::uint64_t ones_lo = ones & kLaneMask;
  const __m256d active = amplitudes_where([&](std::uint64_t l) { return (l & ones_lo) == ones_lo; });
  const std::uint64_t blocks = dimension >> kLaneBits;
  const std::uint64_t ones_hi = ones >> kLaneBits;
  if (target >= kLaneBits) {
    const Entry m00 = broadcast(m), m01 = broadcast(m + 2);
    const Entry m10 = broadcast(m + 4), m11 = broadcast(m + 6);
    const std::uint64_t partner = bit(target - kLaneBits);
    for_each_run(blocks, ones_hi | partner, ones_hi,
                 [&](std::uint64_t first, std::uint64_t run, std::uint64_t gap) {
      double* a = d + first * kBlockDoubles;
      double* b = d + (first | partner) * kBlockDoubles;
      if (ones_hi != 0) {
        touch_gap(a, gap * kBlockDoubles);
        touch_gap(b, gap * kBlockDoubles);
      }
      for (std::uint64_t j = 0; j < run * kBlockDoubles; j += kBlockDoubles) {
        const __m256d x = _mm256_loadu_pd(a + j);
        const __m256d y = _mm256_loadu_pd(b + j);
        const __m256d nx = _mm256_add_pd(complex_mul(m00, x), complex_mul(m01, y));
        const __m256d ny = _mm256_add_pd(complex_mul(m10, x), complex_mul(m11, y));
        _mm256_storeu_pd(a + j, only_active<kAllActive>(active, x, nx));
        _mm256_storeu_pd(b + j, only_active<kAllActive>(active, y, ny));
      }
    });
    return;
  }
  // Target 0: amplitude 0 of a register takes m00*a + m01*b, amplitude 1
  // takes m10*a + m11*b. Against the register (x) and its halves swapped (s)
  // that is diagonal*x + off*s, and off*s + diagonal*x for amplitude 1, so
  // that every sum keeps the scalar order of its operands.
  const Entry diagonal = lane_pattern(m, m + 6);
  const Entry off = lane_pattern(m + 2, m + 4);
  const __m256d upper = amplitudes_where([](std::uint64_t l) { return l == 1; });
  for_each_run(blocks, ones_hi, ones_hi, [&](std::uint64_t first, std::uint64_t run, std::uint64_t gap) {
    double* a = d + first * kBlockDoubles;
    touch_gap(a, gap * kBlockDoubles);
    for (std::uint64_t j = 0; j < run * kBlockDoubles; j += kBlockDoubles) {
      const __m256d x = _mm256_loadu_pd(a + j);
      const __m256d s = _mm256_permute4x64_pd(x, 0x4E);
      const __m256d p = complex_mul(diagonal, x);
      const __m256d q = complex_mul(off, s);
      const __m256d nx = select(upper, _mm256_add_pd(p, q), _mm256_add_pd(q, p));
      _mm256_storeu_pd(a + j, only_active<kAllActive>(active, x, nx));
    }
  });
}

void update_where(Amplitude* amps, std::uint64_t dimension, std::uint64_t ones,
                  std::uint64_t target, const double* m) {
  if ((ones & kLaneMask) == 0) {
    update_where<true>(amps, dimension, ones, target, m);
  } else {
    update_where<false>(amps, dimension, ones, target, m);
  }
}

void general_avx2(Amplitude* amps, std::uint64_t dimension, std::uint64_t target,
                  const Matrix2& m) {
  if (dimension < kLanes) return kScalarKernels.general(amps, dimension, target, m);
  update_where(amps, dimension, 0, target, reinterpret_cast<const double*>(&m));
}

void controlled_general_avx2(Amplitude* amps, std::uint64_t dimension,
                             const std::uint64_t* positions, std::uint64_t count,
                             std::uint64_t target, const Matrix2& m) {
  if (dimension < kLanes) {
    return kScalarKernels.controlled_general(amps, dimension, positions, count, target, m);
  }
  std::uint64_t ones = 0;
  for (std::uint64_t k = 0; k < count; ++k) ones |= bit(positions[k]);
  update_where(amps, dimension, ones & ~bit(target), target, reinterpret_cast<const double*>(&m));
}

void hadamard_avx2(Amplitude* amps, std::uint64_t dimension, std::uint64_t target, double k) {
  if (dimension < kLanes) return kScalarKernels.hadamard(amps, dimension, target, k);
  double* d = doubles(amps);
  const __m256d scale = _mm256_set1_pd(k);
  const std::uint64_t blocks = dimension >> kLaneBits;
  if (target >= kLaneBits) {
    const std::uint64_t partner = bit(target - kLaneBits);
    for_each_run(blocks, partner, 0, [&](std::uint64_t first, std::uint64_t run, std::uint64_t) {
      double* a = d + first * kBlockDoubles;
      double* b = d + (first | partner) * kBlockDoubles;
      for (std::uint64_t j = 0; j < run * kBlockDoubles; j += kBlockDoubles) {
        const __m256d x = _mm256_loadu_pd(a + j);
        const __m256d y = _mm256_loadu_pd(b + j);
        _mm256_storeu_pd(a + j, _mm256_mul_pd(_mm256_add_pd(x, y), scale));
        _mm256_storeu_pd(b + j, _mm256_mul_pd(_mm256_sub_pd(x, y), scale));
      }
    });
    return;
  }
  // With s the halves swapped: a + b is x + s in amplitude 0, and a - b is
  // s - x in amplitude 1.
  for (std::uint64_t j = 0; j < blocks * kBlockDoubles; j += kBlockDoubles) {
    const __m256d x = _mm256_loadu_pd(d + j);
    const __m256d s = _mm256_permute4x64_pd(x, 0x4E);
    const __m256d sum = _mm256_blend_pd(_mm256_add_pd(x, s), _mm256_sub_pd(s, x), 0xC);
    _mm256_storeu_pd(d + j, _mm256_mul_pd(sum, scale));
  }
}

void diagonal_avx2(Amplitude* amps, std::uint64_t dimension, std::uint64_t target,
                   const Matrix2& matrix) {
  if (dimension < kLanes) return kScalarKernels.diagonal(amps, dimension, target, matrix);
  const double* m = reinterpret_cast<const double*>(&matrix);
  double* d = doubles(amps);
  const std::uint64_t blocks = dimension >> kLaneBits;
  if (target >= kLaneBits) {
    // The run with the target bit 1 directly follows the one with it 0, so
    // doing one run after the other is a plain sweep. Alternating between
    // them, each load came just after a store 2^target amplitudes away, equal
    // in the low 12 bits of the address from target 8 on: the core took the
    // load for dependent on the store (at 20 qubits, target 10 ran at 1.6-1.9
    // times the sweep, against 1.05 now). Runs shorter than that stay
    // interleaved: two loops of a few blocks each cost more than they save.
    constexpr std::uint64_t kAliasDoubles = 4096 / sizeof(double);
    const Entry d0 = broadcast(m), d1 = broadcast(m + 6);
    const std::uint64_t partner = bit(target - kLaneBits);
    for_each_run(blocks, partner, 0, [&](std::uint64_t first, std::uint64_t run, std::uint64_t) {
      double* a = d + first * kBlockDoubles;
      double* b = d + (first | partner) * kBlockDoubles;
      const std::uint64_t end = run * kBlockDoubles;
      if (end < kAliasDoubles) {
        for (std::uint64_t j = 0; j < end; j += kBlockDoubles) {
          _mm256_storeu_pd(a + j, complex_mul(d0, _mm256_loadu_pd(a + j)));
          _mm256_storeu_pd(b + j, complex_mul(d1, _mm256_loadu_pd(b + j)));
        }
        return;
      }
      for (std::uint64_t j = 0; j < end; j += kBlockDoubles) {
        _mm256_storeu_pd(a + j, complex_mul(d0, _mm256_loadu_pd(a + j)));
      }
      for (std::uint64_t j = 0; j < end; j += kBlockDoubles) {
        _mm256_storeu_pd(b + j, complex_mul(d1, _mm256_loadu_pd(b + j)));
      }
    });
    return;
  }
  const Entry both = lane_pattern(m, m + 6);
  for (std::uint64_t j = 0; j < blocks * kBlockDoubles; j += kBlockDoubles) {
    _mm256_storeu_pd(d + j, complex_mul(both, _mm256_loadu_pd(d + j)));
  }
}

// --- Read-outs --------------------------------------------------------------

constexpr std::uint64_t kProbabilityBlock = 4;  // amplitudes per probability register

// Probabilities of the four amplitudes at p (8 doubles), in index order: both
// parts squared, then the real square plus the imaginary square.
__m256d probabilities4(const double* p) {
  const __m256d x0 = _mm256_loadu_pd(p);
  const __m256d x1 = _mm256_loadu_pd(p + 4);
  const __m256d s0 = _mm256_mul_pd(x0, x0);
  const __m256d s1 = _mm256_mul_pd(x1, x1);
  // Amplitudes 0, 2, 1, 3, put in order by the permute.
  const __m256d sums = _mm256_add_pd(_mm256_unpacklo_pd(s0, s1), _mm256_unpackhi_pd(s0, s1));
  return _mm256_permute4x64_pd(sums, 0xD8);
}

// Which of the four probabilities are exactly zero, one bit each. A
// probability is never -0.0 (a square is +0.0 or more, and +0.0 + +0.0 is
// +0.0), so these add nothing to a sum that is not -0.0.
int zero_probabilities(__m256d p) {
  return _mm256_movemask_pd(_mm256_cmp_pd(p, _mm256_setzero_pd(), _CMP_EQ_OQ));
}

double probability(const double* a) {
  const double rr = a[0] * a[0];
  const double ii = a[1] * a[1];
  return rr + ii;
}

void probabilities_avx2(const Amplitude* amps, std::uint64_t count, double* out) {
  const double* d = doubles(amps);
  std::uint64_t i = 0;
  // Up to a 32-byte boundary of out one at a time: the caller's buffer need
  // not be aligned, and a store split across two cache lines costs twice.
  for (; i < count && (reinterpret_cast<std::uintptr_t>(out + i) & 31) != 0; ++i) {
    out[i] = probability(d + 2 * i);
  }
  for (; i + kProbabilityBlock <= count; i += kProbabilityBlock) {
    _mm256_store_pd(out + i, probabilities4(d + 2 * i));
  }
  for (; i < count; ++i) out[i] = probability(d + 2 * i);
}

std::uint64_t observe_scan_avx2(const Amplitude* amps, std::uint64_t dimension, double r) {
  if (dimension < kProbabilityBlock) return kScalarKernels.observe_scan(amps, dimension, r);
  const double* d = doubles(amps);
  double s = 0.0;
  for (std::uint64_t i = 0; i < dimension; i += kProbabilityBlock) {
    const __m256d p = probabilities4(d + 2 * i);
    // Zeros leave s as it is, and s was below r after the previous amplitude.
    // Amplitude 0 is always tested: with r = 0 it is the outcome even at
    // probability 0.
    if (i != 0 && zero_probabilities(p) == 0xF) continue;
    double q[kProbabilityBlock];
    _mm256_storeu_pd(q, p);
    for (std::uint64_t k = 0; k < kProbabilityBlock; ++k) {
      s = s + q[k];
      if (s >= r) return i + k;
    }
    // A NaN sum stays NaN and never reaches r: the outcome is the fallback.
    if (s != s) return 0;
  }
  return 0;
}

void clear_avx2(Amplitude* amps, std::uint64_t dimension) {
  // The C library's fill chooses non-temporal stores for blocks beyond the
  // caches, which a loop of ordinary stores here would not beat.
  kScalarKernels.clear(amps, dimension);
}

// The compensated sum of observe_one, one term at a time.
struct KahanSum {
  double sum = 0.0;
  double c = 0.0;

  void add(double x) {
    const double y = x - c;
    const double t = sum + y;
    c = (t - sum) - y;
    sum = t;
  }

  // Whether adding +0.0 leaves both values bit for bit as they are. A step is
  // a function of (sum, c, x) alone, so then any run of zeros does too.
  bool zero_is_fixed_point() const {
    KahanSum next = *this;
    next.add(0.0);
    return bits_of(next.sum) == bits_of(sum) && bits_of(next.c) == bits_of(c);
  }
};

double probability_of_one_avx2(const Amplitude* amps, std::uint64_t dimension,
                               std::uint64_t target) {
  if (dimension < kProbabilityBlock) {
    return kScalarKernels.probability_of_one(amps, dimension, target);
  }
  const double* d = doubles(amps);
  KahanSum k;
  double q[kProbabilityBlock];
  if (bit(target) >= kProbabilityBlock) {
    // The states with the target bit 1 come in runs of 2^target.
    const std::uint64_t run = bit(target);
    for (std::uint64_t base = run; base < dimension; base += 2 * run) {
      for (std::uint64_t i = base; i < base + run; i += kProbabilityBlock) {
        const __m256d p = probabilities4(d + 2 * i);
        if (zero_probabilities(p) == 0xF && k.zero_is_fixed_point()) continue;
        _mm256_storeu_pd(q, p);
        for (std::uint64_t j = 0; j < kProbabilityBlock; ++j) k.add(q[j]);
      }
    }
    return k.sum;
  }
  // Two of every four amplitudes have the target bit 1.
  const std::uint64_t first = bit(target);
  const std::uint64_t second = 3;  // lanes 1 and 3 for target 0, 2 and 3 for target 1
  const int wanted = static_cast<int>(bit(first) | bit(second));
  for (std::uint64_t i = 0; i < dimension; i += kProbabilityBlock) {
    const __m256d p = probabilities4(d + 2 * i);
    if ((zero_probabilities(p) & wanted) == wanted && k.zero_is_fixed_point()) continue;
    _mm256_storeu_pd(q, p);
    k.add(q[first]);
    k.add(q[second]);
  }
  return k.sum;
}

// Collapses divide the surviving amplitudes and zero the others. Where only
// one amplitude of a register survives, division - the slow part - would be
// wasted on the other: the survivors of two neighbouring registers (p, four
// amplitudes) are divided together and put back beside all-zero bits, +0.0.
// keep_second: amplitude 1 of each register survives, else amplitude 0.
void divide_survivors(double* p, bool keep_second, __m256d divisor) {
  const __m256d zero = _mm256_setzero_pd();
  const __m256d x = _mm256_loadu_pd(p);
  const __m256d y = _mm256_loadu_pd(p + kBlockDoubles);
  if (keep_second) {
    const __m256d q = _mm256_div_pd(_mm256_permute2f128_pd(x, y, 0x31), divisor);
    _mm256_storeu_pd(p, _mm256_permute2f128_pd(zero, q, 0x20));
    _mm256_storeu_pd(p + kBlockDoubles, _mm256_permute2f128_pd(zero, q, 0x30));
  } else {
    const __m256d q = _mm256_div_pd(_mm256_permute2f128_pd(x, y, 0x20), divisor);
    _mm256_storeu_pd(p, _mm256_permute2f128_pd(q, zero, 0x20));
    _mm256_storeu_pd(p + kBlockDoubles, _mm256_permute2f128_pd(q, zero, 0x31));
  }
}

void collapse_one_avx2(Amplitude* amps, std::uint64_t dimension, std::uint64_t target,
                       bool keep_one, double h) {
  if (dimension < kLanes) {
    return kScalarKernels.collapse_one(amps, dimension, target, keep_one, h);
  }
  double* d = doubles(amps);
  const __m256d divisor = _mm256_set1_pd(h);
  if (target >= kLaneBits) {
    const std::uint64_t run = bit(target);
    const std::uint64_t keep_offset = keep_one ? run : 0;
    const std::uint64_t drop_offset = run - keep_offset;
    for (std::uint64_t base = 0; base < dimension; base += 2 * run) {
      double* keep = d + 2 * (base + keep_offset);
      double* drop = d + 2 * (base + drop_offset);
      for (std::uint64_t j = 0; j < 2 * run; j += kBlockDoubles) {
        _mm256_storeu_pd(keep + j, _mm256_div_pd(_mm256_loadu_pd(keep + j), divisor));
        _mm256_storeu_pd(drop + j, _mm256_setzero_pd());
      }
    }
    return;
  }
  // Target 0: one amplitude of each register survives.
  if (dimension < 2 * kLanes) {
    const __m256d kept = amplitudes_where([&](std::uint64_t l) { return (l == 1) == keep_one; });
    _mm256_storeu_pd(d, _mm256_and_pd(kept, _mm256_div_pd(_mm256_loadu_pd(d), divisor)));
    return;
  }
  for (std::uint64_t j = 0; j < 2 * dimension; j += 2 * kBlockDoubles) {
    divide_survivors(d + j, keep_one, divisor);
  }
}

void marginal_table_avx2(const Amplitude* amps, std::uint64_t dimension,
                         const std::uint64_t* targets, std::uint64_t count, double* table) {
  if (dimension < kProbabilityBlock) {
    return kScalarKernels.marginal_table(amps, dimension, targets, count, table);
  }
  // Targets below 2 vary inside a block of four amplitudes; the others are
  // fixed across a block, and across runs of 2^(lowest of them) amplitudes.
  constexpr std::uint64_t kInBlock = 2;
  std::uint64_t low_positions = 0;
  std::uint64_t high_positions = 0;
  std::uint64_t lane_entry[kProbabilityBlock] = {};  // the bits of t that lane l sets
  for (std::uint64_t k = 0; k < count; ++k) {
    if (targets[k] < kInBlock) {
      low_positions |= bit(targets[k]);
      for (std::uint64_t l = 0; l < kProbabilityBlock; ++l) lane_entry[l] |= ((l >> targets[k]) & 1) << k;
    } else {
      high_positions |= bit(targets[k]);
    }
  }
  // Lanes that agree on the low target positions feed one table entry, in
  // ascending lane order. Number those groups g = 0 .. groups-1 in order of
  // their first lane; round r of a block adds, to accumulator g, the r-th lane
  // of group g. Every accumulator then sees its terms in index order.
  std::uint64_t group_of_lane[kProbabilityBlock];
  std::uint64_t first_lane[kProbabilityBlock];
  std::uint64_t groups = 0;
  for (std::uint64_t l = 0; l < kProbabilityBlock; ++l) {
    std::uint64_t g = 0;
    while (g < groups && (first_lane[g] & low_positions) != (l & low_positions)) ++g;
    if (g == groups) first_lane[groups++] = l;
    group_of_lane[l] = g;
  }
  const std::uint64_t rounds = kProbabilityBlock / groups;
  __m256i round_index[kProbabilityBlock];
  for (std::uint64_t r = 0; r < rounds; ++r) {
    std::int32_t index[2 * kProbabilityBlock] = {};
    for (std::uint64_t g = 0; g < groups; ++g) {
      std::uint64_t seen = 0;
      for (std::uint64_t l = 0; l < kProbabilityBlock; ++l) {
        if (group_of_lane[l] == g && seen++ == r) {
          // Both 32-bit halves of the double.
          index[2 * g] = static_cast<std::int32_t>(2 * l);
          index[2 * g + 1] = static_cast<std::int32_t>(2 * l + 1);
        }
      }
    }
    round_index[r] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(index));
  }

  const double* d = doubles(amps);
  const std::uint64_t run = high_positions == 0 ? dimension : lowest_bit(high_positions);
  for (std::uint64_t base = 0; base < dimension; base += run) {
    std::uint64_t t_high = 0;
    for (std::uint64_t k = 0; k < count; ++k) {
      if (targets[k] >= kInBlock) t_high |= ((base >> targets[k]) & 1) << k;
    }
    // Accumulators live in a register for the run; lanes from `groups` on
    // collect nothing of use and are never written back.
    double acc_parts[kProbabilityBlock] = {};
    for (std::uint64_t g = 0; g < groups; ++g) acc_parts[g] = table[t_high | lane_entry[first_lane[g]]];
    __m256d acc = _mm256_loadu_pd(acc_parts);
    for (std::uint64_t j = base; j < base + run; j += kProbabilityBlock) {
      const __m256d p = probabilities4(d + 2 * j);
      // No entry holds -0.0, so adding zeros changes nothing.
      if (zero_probabilities(p) == 0xF) continue;
      for (std::uint64_t r = 0; r < rounds; ++r) acc = _mm256_add_pd(acc, permute(p, round_index[r]));
    }
    _mm256_storeu_pd(acc_parts, acc);
    for (std::uint64_t g = 0; g < groups; ++g) table[t_high | lane_entry[first_lane[g]]] = acc_parts[g];
  }
}

void collapse_mul_avx2(Amplitude* amps, std::uint64_t dimension, std::uint64_t mask,
                       std::uint64_t want, bool scale, double h) {
  if (dimension < kLanes) {
    return kScalarKernels.collapse_mul(amps, dimension, mask, want, scale, h);
  }
  double* d = doubles(amps);
  const std::uint64_t mask_lo = mask & kLaneMask;
  const std::uint64_t want_lo = want & kLaneMask;
  const std::uint64_t mask_hi = mask & ~kLaneMask;
  const std::uint64_t want_hi = want & ~kLaneMask;
  // AND with the mask turns the dropped amplitudes into all-zero bits, +0.0,
  // and keeps every bit of the others.
  const __m256d kept = amplitudes_where([&](std::uint64_t l) { return (l & mask_lo) == want_lo; });
  const __m256d divisor = _mm256_set1_pd(h);
  if (scale && mask_lo != 0 && (mask & bit(kLaneBits)) == 0 && dimension >= 2 * kLanes) {
    // One amplitude of every register survives, and two neighbours agree on
    // the measured bits above the lane: divide them together.
    for (std::uint64_t i = 0; i < dimension; i += 2 * kLanes) {
      double* p = d + 2 * i;
      if ((i & mask_hi) != want_hi) {
        _mm256_storeu_pd(p, _mm256_setzero_pd());
        _mm256_storeu_pd(p + kBlockDoubles, _mm256_setzero_pd());
      } else {
        divide_survivors(p, want_lo != 0, divisor);
      }
    }
    return;
  }
  for (std::uint64_t i = 0; i < dimension; i += kLanes) {
    double* p = d + 2 * i;
    if ((i & mask_hi) != want_hi) {
      _mm256_storeu_pd(p, _mm256_setzero_pd());
    } else if (scale) {
      _mm256_storeu_pd(p, _mm256_and_pd(kept, _mm256_div_pd(_mm256_loadu_pd(p), divisor)));
    } else {
      _mm256_storeu_pd(p, _mm256_and_pd(kept, _mm256_loadu_pd(p)));
    }
  }
}

}  // namespace

constinit const KernelSet kAvx2Kernels{
    "avx2",
    &exchange_avx2,
    &hadamard_avx2,
    &general_avx2,
    &general_avx2,  // rotation: no faster form here yet
    &diagonal_avx2,
    &cnot_avx2,
    &swap_avx2,
    &ccnot_avx2,
    &csswap_avx2,
    &controlled_general_avx2,
    &probabilities_avx2,
    &observe_scan_avx2,
    &clear_avx2,
    &probability_of_one_avx2,
    &collapse_one_avx2,
    &marginal_table_avx2,
    &collapse_mul_avx2,
};

}  // namespace zentrova::core
