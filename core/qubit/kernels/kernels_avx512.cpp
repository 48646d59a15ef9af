// The kernels with 512-bit registers (AVX-512F): one register holds four
// amplitudes as eight interleaved doubles (re, im, re, im, ...). Every lane
// computes what the scalar reference computes for its amplitude, with the same
// operations on the same operands in the same order: multiplications,
// additions, subtractions and (in the collapses) divisions, each rounded on its
// own. There is no fused multiply-add: AVX-512F has one, so this file relies
// on being built without contraction, and calls none. Shuffles, blends and
// masks only move bits, so exchanges keep NaN payloads exactly.
//
// Index bits 0 and 1 pick an amplitude inside a register (a "lane"); a gate on
// those positions is a shuffle inside the register. Higher bits pick whole
// registers ("blocks"), which are walked as contiguous runs, as the scalar
// kernels walk amplitudes.
//
// Built with AVX-512 options: it includes nothing but kernels.h and the
// intrinsics, so no inline function of a shared header is emitted here with
// those instructions for the linker to pick for everyone. Registers too small
// for one block (n < 2, n < 3 for the read-outs) go to the scalar set.
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12's own AVX-512 headers trip this warning (an "undefined" source
// operand of the permutes); nothing here reads an uninitialised value.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include <cassert>
#include <cstdint>

#include "core/qubit/kernels/kernels.h"

namespace zentrova::core {
namespace {

constexpr std::uint64_t kLaneBits = 2;
constexpr std::uint64_t kLanes = std::uint64_t{1} << kLaneBits;  // amplitudes per register
constexpr std::uint64_t kLaneMask = kLanes - 1;
constexpr std::uint64_t kBlockDoubles = 2 * kLanes;

constexpr std::uint64_t bit(std::uint64_t p) { return std::uint64_t{1} << p; }
std::uint64_t lowest_bit(std::uint64_t x) { return x & (~x + 1); }

double* doubles(Amplitude* a) { return reinterpret_cast<double*>(a); }
const double* doubles(const Amplitude* a) { return reinterpret_cast<const double*>(a); }

std::uint64_t bits_of(double x) {
  return static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_castpd_si128(_mm_set_sd(x))));
}

// The doubles of the amplitudes l = 0..3 of a register for which pred(l) holds.
template <class Pred>
__mmask8 amplitudes_where(Pred pred) {
  unsigned m = 0;
  for (std::uint64_t l = 0; l < kLanes; ++l) {
    if (pred(l)) m |= 3u << (2 * l);
  }
  return static_cast<__mmask8>(m);
}

// For _mm512_permutexvar_pd: amplitude l of the result is amplitude l ^ f of
// the source, both parts.
__m512i flipped_amplitudes(std::uint64_t f) {
  std::int64_t index[kBlockDoubles];
  for (std::uint64_t d = 0; d < kBlockDoubles; ++d) {
    index[d] = static_cast<std::int64_t>((((d >> 1) ^ f) << 1) | (d & 1));
  }
  return _mm512_loadu_si512(index);
}

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

// The register with amplitude l exchanged for amplitude l ^ kFlip (kFlip 1
// to 3): one shuffle of 128-bit blocks with an immediate operand rather than
// a permute by an index register. With the permute, h on target 0 ran at
// 1.15-1.40 times the sweep of a 20-qubit register, with this at 0.98-1.01.
template <std::uint64_t kFlip>
__m512d amplitudes_flipped(__m512d x) {
  static_assert(kFlip >= 1 && kFlip <= kLaneMask);
  constexpr int kBlocks = static_cast<int>((0 ^ kFlip) | (1 ^ kFlip) << 2 | (2 ^ kFlip) << 4 |
                                           (3 ^ kFlip) << 6);
  return _mm512_shuffle_f64x2(x, x, kBlocks);
}

// The register with amplitude l exchanged for its partner l ^ 2^target, for
// the targets inside a register.
template <std::uint64_t kTarget>
__m512d partner_swapped(__m512d x) {
  return amplitudes_flipped<bit(kTarget)>(x);
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
  const __mmask8 chosen = amplitudes_where(chosen_lane);
  const __mmask8 partners =
      amplitudes_where([&](std::uint64_t l) { return chosen_lane(l ^ flip_lo); });
  const __m512i flip_index = flipped_amplitudes(flip_lo);
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
      const __mmask8 moved = chosen | partners;
      const auto pass = [&](auto flipped) {
        for (std::uint64_t j = 0; j < end; j += kBlockDoubles) {
          const __m512d x = _mm512_loadu_pd(a + j);
          _mm512_storeu_pd(a + j, _mm512_mask_blend_pd(moved, x, flipped(x)));
        }
      };
      if (flip_lo == 1) {
        pass([](__m512d x) { return amplitudes_flipped<1>(x); });
      } else if (flip_lo == 2) {
        pass([](__m512d x) { return amplitudes_flipped<2>(x); });
      } else {
        pass([](__m512d x) { return amplitudes_flipped<3>(x); });
      }
      return;
    }
    double* b = d + (first ^ flip_hi) * kBlockDoubles;
    if (sparse) touch_gap(b, gap * kBlockDoubles);
    if (chosen == 0xFF) {
      // Whole registers change places.
      for (std::uint64_t j = 0; j < end; j += kBlockDoubles) {
        const __m512d x = _mm512_loadu_pd(a + j);
        const __m512d y = _mm512_loadu_pd(b + j);
        _mm512_storeu_pd(a + j, y);
        _mm512_storeu_pd(b + j, x);
      }
      return;
    }
    for (std::uint64_t j = 0; j < end; j += kBlockDoubles) {
      const __m512d x = _mm512_loadu_pd(a + j);
      const __m512d y = _mm512_loadu_pd(b + j);
      _mm512_storeu_pd(a + j, _mm512_mask_blend_pd(chosen, x, _mm512_permutexvar_pd(flip_index, y)));
      _mm512_storeu_pd(b + j, _mm512_mask_blend_pd(partners, y, _mm512_permutexvar_pd(flip_index, x)));
    }
  });
}

void exchange_avx512(Amplitude* amps, std::uint64_t dimension, std::uint64_t target) {
  if (dimension < kLanes) return kScalarKernels.exchange(amps, dimension, target);
  exchange_where(amps, dimension, 0, bit(target), bit(target));
}

void cnot_avx512(Amplitude* amps, std::uint64_t dimension, std::uint64_t control,
                 std::uint64_t target) {
  exchange_where(amps, dimension, bit(control), bit(target), bit(target));
}

void swap_avx512(Amplitude* amps, std::uint64_t dimension, std::uint64_t lo, std::uint64_t hi) {
  exchange_where(amps, dimension, bit(lo), bit(hi), bit(lo) | bit(hi));
}

void ccnot_avx512(Amplitude* amps, std::uint64_t dimension, std::uint64_t control1,
                  std::uint64_t control2, std::uint64_t target) {
  exchange_where(amps, dimension, bit(control1) | bit(control2), bit(target), bit(target));
}

void csswap_avx512(Amplitude* amps, std::uint64_t dimension, std::uint64_t control,
                   std::uint64_t target_1, std::uint64_t target_2) {
  exchange_where(amps, dimension, bit(control) | bit(target_1), bit(target_2),
                 bit(target_1) | bit(target_2));
}

// --- Arithmetic on pairs ----------------------------------------------------

// One matrix entry per amplitude: its real part in both doubles of the
// amplitude, and its imaginary part negated in the real double and as it is
// in the imaginary one (see complex_mul).
struct Entry {
  __m512d re;
  __m512d im;
};

// e (re, im) in every amplitude.
Entry broadcast(const double* e) {
  return Entry{_mm512_set1_pd(e[0]), _mm512_set_pd(e[1], -e[1], e[1], -e[1], e[1], -e[1], e[1], -e[1])};
}

// e1 in the amplitudes of `lanes`, e0 in the others.
Entry lane_pattern(const double* e0, const double* e1, __mmask8 lanes) {
  const Entry a = broadcast(e0);
  const Entry b = broadcast(e1);
  return Entry{_mm512_mask_blend_pd(lanes, a.re, b.re), _mm512_mask_blend_pd(lanes, a.im, b.im)};
}

// m * x per amplitude, as the scalar complex product forms it:
// re = m.re*x.re - m.im*x.im, im = m.re*x.im + m.im*x.re. The subtraction is
// made an addition of (-m.im)*x.im: negation is exact and p - q is by
// definition p + (-q), so every bit, signed zeros included, is the same.
__m512d complex_mul(const Entry& m, __m512d x) {
  const __m512d direct = _mm512_mul_pd(m.re, x);                          // m.re*x.re, m.re*x.im
  const __m512d crossed = _mm512_mul_pd(m.im, _mm512_permute_pd(x, 0x55));  // -m.im*x.im, m.im*x.re
  return _mm512_add_pd(direct, crossed);
}

// new where the amplitude is active, old elsewhere; without a condition the
// blend is left out of the loop altogether.
template <bool kAllActive>
__m512d only_active(__mmask8 active, __m512d old_value, __m512d new_value) {
  if constexpr (kAllActive) {
    return new_value;
  } else {
    return _mm512_mask_blend_pd(active, old_value, new_value);
  }
}

// The general update when both partners are in one register: the amplitude
// with target bit 0 takes m00*a + m01*b, the one with bit 1 takes
// m10*a + m11*b. Against the register itself (x) and its partner-swapped copy
// (s) that is diagonal*x + off*s, and off*s + diagonal*x for bit 1, so that
// every sum keeps the scalar order of its operands.
template <bool kAllActive, std::uint64_t kTarget>
void update_in_register(double* d, std::uint64_t blocks, std::uint64_t ones_hi, __mmask8 active,
                        const double* m) {
  const std::uint64_t t = bit(kTarget);
  const __mmask8 upper = amplitudes_where([&](std::uint64_t l) { return (l & t) != 0; });
  const Entry diagonal = lane_pattern(m, m + 6, upper);
  const Entry off = lane_pattern(m + 2, m + 4, upper);
  for_each_run(blocks, ones_hi, ones_hi, [&](std::uint64_t first, std::uint64_t run, std::uint64_t gap) {
    double* a = d + first * kBlockDoubles;
    touch_gap(a, gap * kBlockDoubles);
    for (std::uint64_t j = 0; j < run * kBlockDoubles; j += kBlockDoubles) {
      const __m512d x = _mm512_loadu_pd(a + j);
      const __m512d s = partner_swapped<kTarget>(x);
      const __m512d p = complex_mul(diagonal, x);
      const __m512d q = complex_mul(off, s);
      const __m512d nx = _mm512_mask_add_pd(_mm512_add_pd(p, q), upper, q, p);
      _mm512_storeu_pd(a + j, only_active<kAllActive>(active, x, nx));
    }
  });
}

// The general update on every pair (i0, i0 + 2^target) whose bits in `ones`
// are all 1 (ones excludes the target). m is m00, m01, m10, m11, each (re, im).
// Amplitudes outside the condition are stored back unchanged.
template <bool kAllActive>
void update_where(Amplitude* amps, std::uint64_t dimension, std::uint64_t ones,
                  std::uint64_t target, const double* m) {
  double* d = doubles(amps);
  const std::uint64_t ones_lo = ones & kLaneMask;
  const __mmask8 active = amplitudes_where([&](std::uint64_t l) { return (l & ones_lo) == ones_lo; });
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
      const auto pair = [&](std::uint64_t j) {
        const __m512d x = _mm512_loadu_pd(a + j);
        const __m512d y = _mm512_loadu_pd(b + j);
        const __m512d nx = _mm512_add_pd(complex_mul(m00, x), complex_mul(m01, y));
        const __m512d ny = _mm512_add_pd(complex_mul(m10, x), complex_mul(m11, y));
        _mm512_storeu_pd(a + j, only_active<kAllActive>(active, x, nx));
        _mm512_storeu_pd(b + j, only_active<kAllActive>(active, y, ny));
      };
      const std::uint64_t end = run * kBlockDoubles;
      // Runs of a few KiB (middle targets) end before the hardware's stream
      // prefetch is up to speed, and each side's next run starts `end`
      // doubles after this one ends (with no control above the lanes). For
      // runs of 4 to 64 KiB, asking for the lines 4 KiB ahead, in the next
      // run near the end of this one, makes up for it (a 20-qubit u on
      // target 10: 1.53-1.59 times the sweep without, 1.33-1.43 with). On
      // long runs from memory it only cost (u on target 23 of 24 qubits:
      // 1.02 without, 1.17 with), and shorter runs stream well enough as
      // they are. Prefetches past the array's end are harmless: they never
      // fault.
      constexpr std::uint64_t kAhead = 4096 / sizeof(double);
      constexpr std::uint64_t kShortRun = 65536 / sizeof(double);
      if (ones_hi != 0 || end < kAhead || end >= kShortRun) {
        for (std::uint64_t j = 0; j < end; j += kBlockDoubles) pair(j);
        return;
      }
      const std::uintptr_t a_at = reinterpret_cast<std::uintptr_t>(a);
      const std::uintptr_t b_at = reinterpret_cast<std::uintptr_t>(b);
      for (std::uint64_t j = 0; j < end; j += kBlockDoubles) {
        const std::uint64_t ahead = sizeof(double) * (j + kAhead + (j + kAhead >= end ? end : 0));
        _mm_prefetch(reinterpret_cast<const char*>(a_at + ahead), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(b_at + ahead), _MM_HINT_T0);
        pair(j);
      }
    });
    return;
  }
  if (target == 0) {
    update_in_register<kAllActive, 0>(d, blocks, ones_hi, active, m);
  } else {
    update_in_register<kAllActive, 1>(d, blocks, ones_hi, active, m);
  }
}

void update_where(Amplitude* amps, std::uint64_t dimension, std::uint64_t ones,
                  std::uint64_t target, const double* m) {
  if ((ones & kLaneMask) == 0) {
    update_where<true>(amps, dimension, ones, target, m);
  } else {
    update_where<false>(amps, dimension, ones, target, m);
  }
}

void general_avx512(Amplitude* amps, std::uint64_t dimension, std::uint64_t target,
                    const Matrix2& m) {
  if (dimension < kLanes) return kScalarKernels.general(amps, dimension, target, m);
  update_where(amps, dimension, 0, target, reinterpret_cast<const double*>(&m));
}

void controlled_general_avx512(Amplitude* amps, std::uint64_t dimension,
                               const std::uint64_t* positions, std::uint64_t count,
                               std::uint64_t target, const Matrix2& m) {
  if (dimension < kLanes) {
    return kScalarKernels.controlled_general(amps, dimension, positions, count, target, m);
  }
  std::uint64_t ones = 0;
  for (std::uint64_t k = 0; k < count; ++k) ones |= bit(positions[k]);
  update_where(amps, dimension, ones & ~bit(target), target, reinterpret_cast<const double*>(&m));
}

// --- rx and ry --------------------------------------------------------------
//
// rx and ry hand the general update matrices with zero parts: rx
// (c, 0), (0, -s), (0, -s), (c, 0); ry (c, 0), (-s, -0), (s, 0), (c, 0). Where
// c and s lie in [2^-500, 1] and every amplitude part in [2^-500, 2^524),
// every product with c or s is finite and non-zero (at least 2^-1000, a
// normal number), and every product with a zero part is a signed zero, since
// the amplitude part is finite. A non-zero p - (+-0), p + (+-0) and (+-0) + p are p, and
// (+-0) - p is -p, all exactly; so each part of a complex product is its one
// kept product, and the row's sum adds the same two values the full form adds
// (ry: a' = c*a + (-s)*b, b' = s*a + c*b part by part; rx: a' = (c*a.re +
// s*b.im, c*a.im + (-s)*b.re), b' = (s*a.im + c*b.re, (-s)*a.re + c*b.im)).
// The check is made per register; a register that fails it (a zero, a tiny or
// huge part, an infinity, a NaN) takes the full products. Swapped operands of
// an addition give the same bits, NaN aside, and the check excludes NaN.

enum class RotationShape { kOther, kX, kY };

constexpr std::uint64_t kModerateLow = std::uint64_t{1023 - 500} << 52;  // bits of 2^-500
constexpr std::uint64_t kOne = std::uint64_t{1023} << 52;                // bits of 1

// c and s: magnitude in [2^-500, 1].
bool moderate(double v) {
  const std::uint64_t mag = bits_of(v) & 0x7FFF'FFFF'FFFF'FFFFu;
  return mag >= kModerateLow && mag <= kOne;
}

// Amplitude parts: the top bit of the key is clear exactly where the magnitude
// lies in [2^-500, 2^524). With the sign shifted out, the key is the biased
// exponent minus that of 2^-500, from bit 53 up, over the fraction: a smaller
// exponent wraps round, and one at least 1024 above (2^524 and up, infinities
// and NaNs) reaches the top bit. A product of such a part and c or s lies in
// [2^-1000, 2^524): normal and finite. Keys are ORed, then tested once.
__m512i moderate_key(__m512d x) {
  return _mm512_sub_epi64(_mm512_slli_epi64(_mm512_castpd_si512(x), 1),
                          _mm512_set1_epi64(static_cast<long long>(kModerateLow << 1)));
}

bool key_moderate(__m512i key) {
  return _mm512_cmplt_epi64_mask(key, _mm512_setzero_si512()) == 0;
}

bool all_moderate(__m512d x, __m512d y) {
  return key_moderate(_mm512_or_si512(moderate_key(x), moderate_key(y)));
}

// Recognises the two shapes by their values; zero parts of either sign will do
// (a product with a signed zero is a signed zero all the same).
RotationShape rotation_shape(const double* m) {
  const double c = m[0];
  if (m[1] != 0.0 || m[6] != c || m[7] != 0.0 || !moderate(c)) return RotationShape::kOther;
  if (m[2] == 0.0 && m[4] == 0.0 && m[3] == m[5] && moderate(m[3])) return RotationShape::kX;
  if (m[3] == 0.0 && m[5] == 0.0 && m[2] == -m[4] && moderate(m[4])) return RotationShape::kY;
  return RotationShape::kOther;
}

// The short row for the partners in separate registers: x holds a's, y b's.
// ms is -s: rx's m01.im, ry's m01.re.
template <RotationShape kShape>
void rotate_registers(__m512d c, __m512d s, __m512d ms, __m512d sx, __m512d x, __m512d y,
                      __m512d& nx, __m512d& ny) {
  if constexpr (kShape == RotationShape::kX) {
    // sx is (s, -s) per amplitude: with the parts of the other swapped it
    // forms s*b.im, (-s)*b.re.
    nx = _mm512_add_pd(_mm512_mul_pd(c, x), _mm512_mul_pd(sx, _mm512_permute_pd(y, 0x55)));
    ny = _mm512_add_pd(_mm512_mul_pd(sx, _mm512_permute_pd(x, 0x55)), _mm512_mul_pd(c, y));
  } else {
    nx = _mm512_add_pd(_mm512_mul_pd(c, x), _mm512_mul_pd(ms, y));
    ny = _mm512_add_pd(_mm512_mul_pd(s, x), _mm512_mul_pd(c, y));
  }
}

template <RotationShape kShape>
void rotation_where(Amplitude* amps, std::uint64_t dimension, std::uint64_t target,
                    const double* m) {
  double* d = doubles(amps);
  const std::uint64_t blocks = dimension >> kLaneBits;
  const double sv = kShape == RotationShape::kX ? -m[3] : m[4];
  const __m512d c = _mm512_set1_pd(m[0]);
  const __m512d s = _mm512_set1_pd(sv);
  const __m512d ms = _mm512_set1_pd(-sv);
  const __m512d sx = _mm512_set_pd(-sv, sv, -sv, sv, -sv, sv, -sv, sv);
  if (target < kLaneBits) {
    const std::uint64_t t = bit(target);
    const __mmask8 upper = amplitudes_where([&](std::uint64_t l) { return (l & t) != 0; });
    const Entry diagonal = lane_pattern(m, m + 6, upper);
    const Entry off = lane_pattern(m + 2, m + 4, upper);
    // ry: the partner's factor is -s for the amplitudes with target bit 0, s
    // for those with bit 1.
    const __m512d partner_factor = _mm512_mask_blend_pd(upper, ms, s);
    // partner gives the partner-swapped register; other, the register the
    // short form multiplies by s: for rx the partner with its parts swapped,
    // for ry the partner itself.
    const auto pass = [&](auto partner, auto other) {
      for (std::uint64_t j = 0; j < blocks * kBlockDoubles; j += kBlockDoubles) {
        const __m512d x = _mm512_loadu_pd(d + j);
        __m512d nx;
        if (key_moderate(moderate_key(x))) {
          const __m512d factor = kShape == RotationShape::kX ? sx : partner_factor;
          nx = _mm512_add_pd(_mm512_mul_pd(c, x), _mm512_mul_pd(factor, other(x)));
        } else {
          const __m512d p = partner(x);
          const __m512d dp = complex_mul(diagonal, x);
          const __m512d q = complex_mul(off, p);
          nx = _mm512_mask_add_pd(_mm512_add_pd(dp, q), upper, q, dp);
        }
        _mm512_storeu_pd(d + j, nx);
      }
    };
    const auto partner0 = [](__m512d x) { return partner_swapped<0>(x); };
    const auto partner1 = [](__m512d x) { return partner_swapped<1>(x); };
    if (kShape == RotationShape::kY) {
      target == 0 ? pass(partner0, partner0) : pass(partner1, partner1);
    } else if (target == 0) {
      // Double d of the partner, parts swapped, is double d ^ 3: one
      // immediate permute within 256 bits instead of two shuffles.
      pass(partner0, [](__m512d x) { return _mm512_permutex_pd(x, 0x1B); });
    } else {
      pass(partner1, [](__m512d x) { return _mm512_permute_pd(partner_swapped<1>(x), 0x55); });
    }
    return;
  }
  const Entry m00 = broadcast(m), m01 = broadcast(m + 2);
  const Entry m10 = broadcast(m + 4), m11 = broadcast(m + 6);
  const std::uint64_t partner = bit(target - kLaneBits);
  const auto pair = [&](double* a, double* b) {
    const __m512d x = _mm512_loadu_pd(a);
    const __m512d y = _mm512_loadu_pd(b);
    __m512d nx, ny;
    if (all_moderate(x, y)) {
      rotate_registers<kShape>(c, s, ms, sx, x, y, nx, ny);
    } else {
      nx = _mm512_add_pd(complex_mul(m00, x), complex_mul(m01, y));
      ny = _mm512_add_pd(complex_mul(m10, x), complex_mul(m11, y));
    }
    _mm512_storeu_pd(a, nx);
    _mm512_storeu_pd(b, ny);
  };
  for_each_run(blocks, partner, 0, [&](std::uint64_t first, std::uint64_t run, std::uint64_t) {
    double* a = d + first * kBlockDoubles;
    double* b = d + (first | partner) * kBlockDoubles;
    const std::uint64_t end = run * kBlockDoubles;
    // The look-ahead of update_where, for the same reason and the same runs.
    constexpr std::uint64_t kAhead = 4096 / sizeof(double);
    constexpr std::uint64_t kShortRun = 65536 / sizeof(double);
    if (end < kAhead || end >= kShortRun) {
      for (std::uint64_t j = 0; j < end; j += kBlockDoubles) pair(a + j, b + j);
      return;
    }
    const std::uintptr_t a_at = reinterpret_cast<std::uintptr_t>(a);
    const std::uintptr_t b_at = reinterpret_cast<std::uintptr_t>(b);
    for (std::uint64_t j = 0; j < end; j += kBlockDoubles) {
      const std::uint64_t ahead = sizeof(double) * (j + kAhead + (j + kAhead >= end ? end : 0));
      _mm_prefetch(reinterpret_cast<const char*>(a_at + ahead), _MM_HINT_T0);
      _mm_prefetch(reinterpret_cast<const char*>(b_at + ahead), _MM_HINT_T0);
      pair(a + j, b + j);
    }
  });
}

void rotation_avx512(Amplitude* amps, std::uint64_t dimension, std::uint64_t target,
                     const Matrix2& m) {
  const double* md = reinterpret_cast<const double*>(&m);
  const RotationShape shape = dimension < kLanes ? RotationShape::kOther : rotation_shape(md);
  if (shape == RotationShape::kX) {
    rotation_where<RotationShape::kX>(amps, dimension, target, md);
  } else if (shape == RotationShape::kY) {
    rotation_where<RotationShape::kY>(amps, dimension, target, md);
  } else {
    general_avx512(amps, dimension, target, m);
  }
}

// h when both partners are in one register. With s the partner-swapped
// register: a + b is x + s where the target bit is 0, and a - b is s - x
// where it is 1.
template <std::uint64_t kTarget>
void hadamard_in_register(double* d, std::uint64_t blocks, __m512d scale) {
  const __mmask8 upper = amplitudes_where([](std::uint64_t l) { return (l & bit(kTarget)) != 0; });
  for (std::uint64_t j = 0; j < blocks * kBlockDoubles; j += kBlockDoubles) {
    const __m512d x = _mm512_loadu_pd(d + j);
    const __m512d s = partner_swapped<kTarget>(x);
    const __m512d sum = _mm512_mask_sub_pd(_mm512_add_pd(x, s), upper, s, x);
    _mm512_storeu_pd(d + j, _mm512_mul_pd(sum, scale));
  }
}

void hadamard_avx512(Amplitude* amps, std::uint64_t dimension, std::uint64_t target, double k) {
  if (dimension < kLanes) return kScalarKernels.hadamard(amps, dimension, target, k);
  double* d = doubles(amps);
  const __m512d scale = _mm512_set1_pd(k);
  const std::uint64_t blocks = dimension >> kLaneBits;
  if (target >= kLaneBits) {
    const std::uint64_t partner = bit(target - kLaneBits);
    for_each_run(blocks, partner, 0, [&](std::uint64_t first, std::uint64_t run, std::uint64_t) {
      double* a = d + first * kBlockDoubles;
      double* b = d + (first | partner) * kBlockDoubles;
      for (std::uint64_t j = 0; j < run * kBlockDoubles; j += kBlockDoubles) {
        const __m512d x = _mm512_loadu_pd(a + j);
        const __m512d y = _mm512_loadu_pd(b + j);
        _mm512_storeu_pd(a + j, _mm512_mul_pd(_mm512_add_pd(x, y), scale));
        _mm512_storeu_pd(b + j, _mm512_mul_pd(_mm512_sub_pd(x, y), scale));
      }
    });
    return;
  }
  if (target == 0) {
    hadamard_in_register<0>(d, blocks, scale);
  } else {
    hadamard_in_register<1>(d, blocks, scale);
  }
}

void diagonal_avx512(Amplitude* amps, std::uint64_t dimension, std::uint64_t target,
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
          _mm512_storeu_pd(a + j, complex_mul(d0, _mm512_loadu_pd(a + j)));
          _mm512_storeu_pd(b + j, complex_mul(d1, _mm512_loadu_pd(b + j)));
        }
        return;
      }
      for (std::uint64_t j = 0; j < end; j += kBlockDoubles) {
        _mm512_storeu_pd(a + j, complex_mul(d0, _mm512_loadu_pd(a + j)));
      }
      for (std::uint64_t j = 0; j < end; j += kBlockDoubles) {
        _mm512_storeu_pd(b + j, complex_mul(d1, _mm512_loadu_pd(b + j)));
      }
    });
    return;
  }
  const std::uint64_t t = bit(target);
  const Entry both =
      lane_pattern(m, m + 6, amplitudes_where([&](std::uint64_t l) { return (l & t) != 0; }));
  for (std::uint64_t j = 0; j < blocks * kBlockDoubles; j += kBlockDoubles) {
    _mm512_storeu_pd(d + j, complex_mul(both, _mm512_loadu_pd(d + j)));
  }
}

// --- Read-outs --------------------------------------------------------------

constexpr std::uint64_t kProbabilityBlock = 8;  // amplitudes per probability register

// Probabilities of the eight amplitudes at p (16 doubles), in index order:
// both parts squared, then the real square plus the imaginary square.
__m512d probabilities8(const double* p) {
  const __m512d x0 = _mm512_loadu_pd(p);
  const __m512d x1 = _mm512_loadu_pd(p + 8);
  const __m512d s0 = _mm512_mul_pd(x0, x0);
  const __m512d s1 = _mm512_mul_pd(x1, x1);
  // Real squares beside imaginary ones within each 128-bit lane, for
  // amplitudes 0, 4, 1, 5, 2, 6, 3, 7; one permute restores index order.
  const __m512d sums = _mm512_add_pd(_mm512_unpacklo_pd(s0, s1), _mm512_unpackhi_pd(s0, s1));
  return _mm512_permutexvar_pd(_mm512_set_epi64(7, 5, 3, 1, 6, 4, 2, 0), sums);
}

// Which of the eight probabilities are exactly zero. A probability is never
// -0.0 (a square is +0.0 or more, and +0.0 + +0.0 is +0.0), so these add
// nothing to a sum that is not -0.0.
__mmask8 zero_probabilities(__m512d p) {
  return _mm512_cmp_pd_mask(p, _mm512_setzero_pd(), _CMP_EQ_OQ);
}

double probability(const double* a) {
  const double rr = a[0] * a[0];
  const double ii = a[1] * a[1];
  return rr + ii;
}

// Probabilities of the four amplitudes at p (8 doubles) with 256-bit
// registers, in index order. A pass that only reads streams from memory
// faster with 32-byte loads than with 64-byte ones on Zen 4 (about 0.87 times
// the time), so god_observe's pass uses these.
__m256d probabilities4(const double* p) {
  const __m256d x0 = _mm256_loadu_pd(p);
  const __m256d x1 = _mm256_loadu_pd(p + 4);
  const __m256d s0 = _mm256_mul_pd(x0, x0);
  const __m256d s1 = _mm256_mul_pd(x1, x1);
  // Amplitudes 0, 2, 1, 3, put in order by the permute.
  const __m256d sums = _mm256_add_pd(_mm256_unpacklo_pd(s0, s1), _mm256_unpackhi_pd(s0, s1));
  return _mm256_permute4x64_pd(sums, 0xD8);
}

void probabilities_avx512(const Amplitude* amps, std::uint64_t count, double* out) {
  constexpr std::uint64_t kNarrowBlock = 4;
  const double* d = doubles(amps);
  std::uint64_t i = 0;
  // Up to a 32-byte boundary of out one at a time: the caller's buffer need
  // not be aligned, and a store split across two cache lines costs twice.
  for (; i < count && (reinterpret_cast<std::uintptr_t>(out + i) & 31) != 0; ++i) {
    out[i] = probability(d + 2 * i);
  }
  for (; i + kNarrowBlock <= count; i += kNarrowBlock) {
    _mm256_store_pd(out + i, probabilities4(d + 2 * i));
  }
  for (; i < count; ++i) out[i] = probability(d + 2 * i);
}

std::uint64_t observe_scan_avx512(const Amplitude* amps, std::uint64_t dimension, double r) {
  if (dimension < kProbabilityBlock) return kScalarKernels.observe_scan(amps, dimension, r);
  const double* d = doubles(amps);
  double s = 0.0;
  for (std::uint64_t i = 0; i < dimension; i += kProbabilityBlock) {
    const __m512d p = probabilities8(d + 2 * i);
    // Zeros leave s as it is, and s was below r after the previous amplitude.
    // Amplitude 0 is always tested: with r = 0 it is the outcome even at
    // probability 0.
    if (i != 0 && zero_probabilities(p) == 0xFF) continue;
    double q[kProbabilityBlock];
    _mm512_storeu_pd(q, p);
    for (std::uint64_t k = 0; k < kProbabilityBlock; ++k) {
      s = s + q[k];
      if (s >= r) return i + k;
    }
    // A NaN sum stays NaN and never reaches r: the outcome is the fallback.
    if (s != s) return 0;
  }
  return 0;
}

void clear_avx512(Amplitude* amps, std::uint64_t dimension) {
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

double probability_of_one_avx512(const Amplitude* amps, std::uint64_t dimension,
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
        const __m512d p = probabilities8(d + 2 * i);
        if (zero_probabilities(p) == 0xFF && k.zero_is_fixed_point()) continue;
        _mm512_storeu_pd(q, p);
        for (std::uint64_t j = 0; j < kProbabilityBlock; ++j) k.add(q[j]);
      }
    }
    return k.sum;
  }
  // Four of every eight amplitudes have the target bit 1.
  std::uint64_t lanes[kProbabilityBlock / 2];
  unsigned wanted = 0;
  for (std::uint64_t j = 0, n = 0; j < kProbabilityBlock; ++j) {
    if ((j >> target) & 1) {
      lanes[n++] = j;
      wanted |= 1u << j;
    }
  }
  for (std::uint64_t i = 0; i < dimension; i += kProbabilityBlock) {
    const __m512d p = probabilities8(d + 2 * i);
    if ((zero_probabilities(p) & wanted) == wanted && k.zero_is_fixed_point()) continue;
    _mm512_storeu_pd(q, p);
    for (std::uint64_t lane : lanes) k.add(q[lane]);
  }
  return k.sum;
}

// Collapses divide the surviving amplitudes and zero the others. Where a
// register holds survivors and dropped amplitudes side by side, division -
// the slow part - would be wasted on half its lanes: the survivors of two
// neighbouring registers are packed into one, divided together and spread
// back, with all-zero bits (+0.0) in the dropped lanes.
struct SurvivorPacking {
  __mmask8 kept;  // at most four of the eight doubles of a register
  __m512i gather;
  __m512i spread_lo;
  __m512i spread_hi;
};

SurvivorPacking survivor_packing(__mmask8 kept) {
  std::int64_t gather[kBlockDoubles] = {};
  std::int64_t spread_lo[kBlockDoubles] = {};
  std::int64_t spread_hi[kBlockDoubles] = {};
  std::int64_t next = 0;
  for (std::int64_t half = 0; half < 2; ++half) {
    for (std::int64_t lane = 0; lane < 8; ++lane) {
      if ((kept >> lane) & 1) {
        (half == 0 ? spread_lo : spread_hi)[lane] = next;
        gather[next++] = 8 * half + lane;
      }
    }
  }
  return SurvivorPacking{kept, _mm512_loadu_si512(gather), _mm512_loadu_si512(spread_lo),
                         _mm512_loadu_si512(spread_hi)};
}

// Two registers at p, 16 doubles.
void divide_survivors(double* p, const SurvivorPacking& k, __m512d divisor) {
  const __m512d packed =
      _mm512_permutex2var_pd(_mm512_loadu_pd(p), k.gather, _mm512_loadu_pd(p + kBlockDoubles));
  const __m512d q = _mm512_div_pd(packed, divisor);
  _mm512_storeu_pd(p, _mm512_maskz_permutexvar_pd(k.kept, k.spread_lo, q));
  _mm512_storeu_pd(p + kBlockDoubles, _mm512_maskz_permutexvar_pd(k.kept, k.spread_hi, q));
}

void collapse_one_avx512(Amplitude* amps, std::uint64_t dimension, std::uint64_t target,
                         bool keep_one, double h) {
  if (dimension < kLanes) {
    return kScalarKernels.collapse_one(amps, dimension, target, keep_one, h);
  }
  double* d = doubles(amps);
  const __m512d divisor = _mm512_set1_pd(h);
  if (target >= kLaneBits) {
    const std::uint64_t run = bit(target);
    const std::uint64_t keep_offset = keep_one ? run : 0;
    const std::uint64_t drop_offset = run - keep_offset;
    for (std::uint64_t base = 0; base < dimension; base += 2 * run) {
      double* keep = d + 2 * (base + keep_offset);
      double* drop = d + 2 * (base + drop_offset);
      for (std::uint64_t j = 0; j < 2 * run; j += kBlockDoubles) {
        _mm512_storeu_pd(keep + j, _mm512_div_pd(_mm512_loadu_pd(keep + j), divisor));
        _mm512_storeu_pd(drop + j, _mm512_setzero_pd());
      }
    }
    return;
  }
  const std::uint64_t keep_bit = keep_one ? bit(target) : 0;
  const __mmask8 kept =
      amplitudes_where([&](std::uint64_t l) { return (l & bit(target)) == keep_bit; });
  if (dimension < 2 * kLanes) {
    _mm512_storeu_pd(d, _mm512_maskz_div_pd(kept, _mm512_loadu_pd(d), divisor));
    return;
  }
  const SurvivorPacking packing = survivor_packing(kept);
  for (std::uint64_t j = 0; j < 2 * dimension; j += 2 * kBlockDoubles) {
    divide_survivors(d + j, packing, divisor);
  }
}

void marginal_table_avx512(const Amplitude* amps, std::uint64_t dimension,
                           const std::uint64_t* targets, std::uint64_t count, double* table) {
  if (dimension < kProbabilityBlock) {
    return kScalarKernels.marginal_table(amps, dimension, targets, count, table);
  }
  // Targets below 3 vary inside a block of eight amplitudes; the others are
  // fixed across a block, and across runs of 2^(lowest of them) amplitudes.
  constexpr std::uint64_t kInBlock = 3;
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
  __m512i round_index[kProbabilityBlock];
  for (std::uint64_t r = 0; r < rounds; ++r) {
    std::int64_t index[kProbabilityBlock] = {};
    for (std::uint64_t g = 0; g < groups; ++g) {
      std::uint64_t seen = 0;
      for (std::uint64_t l = 0; l < kProbabilityBlock; ++l) {
        if (group_of_lane[l] == g && seen++ == r) index[g] = static_cast<std::int64_t>(l);
      }
    }
    round_index[r] = _mm512_loadu_si512(index);
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
    __m512d acc = _mm512_loadu_pd(acc_parts);
    for (std::uint64_t j = base; j < base + run; j += kProbabilityBlock) {
      const __m512d p = probabilities8(d + 2 * j);
      // No entry holds -0.0, so adding zeros changes nothing.
      if (zero_probabilities(p) == 0xFF) continue;
      for (std::uint64_t r = 0; r < rounds; ++r) {
        acc = _mm512_add_pd(acc, _mm512_permutexvar_pd(round_index[r], p));
      }
    }
    _mm512_storeu_pd(acc_parts, acc);
    for (std::uint64_t g = 0; g < groups; ++g) table[t_high | lane_entry[first_lane[g]]] = acc_parts[g];
  }
}

void collapse_mul_avx512(Amplitude* amps, std::uint64_t dimension, std::uint64_t mask,
                         std::uint64_t want, bool scale, double h) {
  if (dimension < kLanes) {
    return kScalarKernels.collapse_mul(amps, dimension, mask, want, scale, h);
  }
  double* d = doubles(amps);
  const std::uint64_t mask_lo = mask & kLaneMask;
  const std::uint64_t want_lo = want & kLaneMask;
  const std::uint64_t mask_hi = mask & ~kLaneMask;
  const std::uint64_t want_hi = want & ~kLaneMask;
  const __mmask8 kept = amplitudes_where([&](std::uint64_t l) { return (l & mask_lo) == want_lo; });
  const __m512d divisor = _mm512_set1_pd(h);
  if (scale && mask_lo != 0 && (mask & bit(kLaneBits)) == 0 && dimension >= 2 * kLanes) {
    // Every register keeps at most half its amplitudes, and two neighbours
    // agree on the measured bits above the lanes: divide them together.
    const SurvivorPacking packing = survivor_packing(kept);
    for (std::uint64_t i = 0; i < dimension; i += 2 * kLanes) {
      double* p = d + 2 * i;
      if ((i & mask_hi) != want_hi) {
        _mm512_storeu_pd(p, _mm512_setzero_pd());
        _mm512_storeu_pd(p + kBlockDoubles, _mm512_setzero_pd());
      } else {
        divide_survivors(p, packing, divisor);
      }
    }
    return;
  }
  for (std::uint64_t i = 0; i < dimension; i += kLanes) {
    double* p = d + 2 * i;
    if ((i & mask_hi) != want_hi) {
      _mm512_storeu_pd(p, _mm512_setzero_pd());
    } else if (scale) {
      _mm512_storeu_pd(p, _mm512_maskz_div_pd(kept, _mm512_loadu_pd(p), divisor));
    } else {
      _mm512_storeu_pd(p, _mm512_maskz_mov_pd(kept, _mm512_loadu_pd(p)));
    }
  }
}

}  // namespace

constinit const KernelSet kAvx512Kernels{
    "avx512",
    &exchange_avx512,
    &hadamard_avx512,
    &general_avx512,
    &rotation_avx512,
    &diagonal_avx512,
    &cnot_avx512,
    &swap_avx512,
    &ccnot_avx512,
    &csswap_avx512,
    &controlled_general_avx512,
    &probabilities_avx512,
    &observe_scan_avx512,
    &clear_avx512,
    &probability_of_one_avx512,
    &collapse_one_avx512,
    &marginal_table_avx512,
    &collapse_mul_avx512,
};

}  // namespace zentrova::core
