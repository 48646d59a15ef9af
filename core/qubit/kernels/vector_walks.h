// How the vector kernels walk the array: the runs of registers a gate visits,
// and the streams over them, with lines asked for ahead of the hardware's
// prefetch where that pays. No walk changes a value; bench/README.md ("Why
// the vector kernels walk as they do") gives the measurements behind each
// choice. Internal linkage throughout, as kernels_vector.h explains.
#pragma once

#include <cassert>
#include <cstdint>
#include <type_traits>

#include "core/internal.h"
#include "core/qubit/kernels/kernels.h"

namespace zentrova::core {
namespace {

// --- Runs of blocks ---------------------------------------------------------

// Every other block from `set` on (opened == 1: a target or control just above
// the lanes, nothing else): a plain stride leaves the loop little integer work
// beside the arithmetic, and the run length known to the compiler removes the
// loops inside fn.
template <class Fn>
ZV_FORCE_INLINE void for_every_other_block(std::uint64_t blocks, std::uint64_t set, Fn& fn) {
  for (std::uint64_t first = set; first < blocks; first += 2) {
    fn(first, std::integral_constant<std::uint64_t, 1>{}, first == set ? set : 1);
  }
}

// The general walk: the next run is found by counting up in the free bits
// above the run, the carry jumping over the opened bits, a few operations per
// run however many positions are opened. run_length is run, or the same as a
// compile-time constant.
template <class Fn, class Length>
ZV_FORCE_INLINE void for_each_counted_run(std::uint64_t blocks, std::uint64_t opened, std::uint64_t set,
                                          std::uint64_t run, Length run_length, Fn& fn) {
  const std::uint64_t fixed = opened | (run - 1);
  std::uint64_t end = 0;
  for (std::uint64_t first = set; first < blocks; first = (((first | fixed) + 1) & ~fixed) | set) {
    assert(first + run <= blocks && first >= end);
    fn(first, run_length, first - end);
    end = first + run;
  }
}

// Calls fn(first, run, gap) for the runs of blocks whose bits in `opened` are
// 0 except those in `set`, which are 1 (block positions below log2(blocks);
// set is a subset of opened), in ascending order. The run blocks from `first`
// on are contiguous: run is 2^(lowest opened position), or every block when
// nothing is opened. gap is the number of blocks skipped since the previous
// run, for touch_gap. Runs of one block get their length as a constant.
template <class Fn>
ZV_FORCE_INLINE void for_each_run(std::uint64_t blocks, std::uint64_t opened, std::uint64_t set,
                                  Fn fn) {
  const std::uint64_t run = opened == 0 ? blocks : lowest_bit(opened);
  if (opened == 1) {
    for_every_other_block(blocks, set, fn);
  } else if (run == 1) {
    for_each_counted_run(blocks, opened, set, run, std::integral_constant<std::uint64_t, 1>{}, fn);
  } else {
    for_each_counted_run(blocks, opened, set, run, run, fn);
  }
}

// --- Lines asked for early --------------------------------------------------

// Runs separated by a few skipped cache lines (a control on a low position)
// make a strided stream, which the hardware prefetcher follows far less well
// than a plain one. Asking for the skipped lines just before each run makes
// the stream plain again.
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

// Whether the walks ask for lines ahead of the hardware's prefetch: only for
// a register that fits in the last-level cache but not in the core's own,
// which then streams from it much faster; smaller or larger, it costs as much
// as it gains or more.
bool ahead_pays(std::uint64_t dimension) {
  return dimension > kAheadAbove && dimension <= kAheadUpTo;
}

// --- Streams ----------------------------------------------------------------

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
// those of the next run on the same side: runs of a few KiB otherwise end
// before the hardware's stream prefetch is up to speed. Runs of 64 KiB and
// more stream well alone (asking there only cost), and strided walks have
// touch_gap instead: kAhead is false for them, and where ahead_pays does not
// hold. Calls step(j) for j = 0, kDoubles, ... below end.
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

}  // namespace
}  // namespace zentrova::core
