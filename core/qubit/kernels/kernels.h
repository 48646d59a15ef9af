// Words the kernels and the passes use:
//   position   a bit of a basis-state index; qubit q is position q, and the
//              passes renumber positions inside a tile.
//   pair       the two amplitudes a one-target gate maps, i0 and i1 = i0 with
//              the target bit set; each is the other's partner.
//   opened     positions held at 0 while a counter enumerates the others
//              (insert_zero_bit); `set` names those of them that must read 1.
//   run        consecutive amplitudes (or blocks) a walk visits in one go.
//   lane       one amplitude's place inside a vector register.
//   block      one vector register's worth of amplitudes (2 with 256 bits, 4
//              with 512); positions below the lane bits pick a lane, those
//              above pick a block. `_inside` kernels work on targets within a
//              block, `_across` ones on targets between blocks. (In
//              register.h a block is the allocation that holds the array.)
//   ahead      asking for cache lines before a walk reaches them.
//   layer      a kernel set's few register operations (layer.h), under one
//              body of algorithms shared by every vector set.
//   tile       (passes only) a cache-sized part of the array that a group of
//              recorded gates meets in turn; a sub-tile is the same one level
//              down. Not a block.
//
// The loops that rewrite the amplitude array, one entry per loop shape, in a
// table of function pointers. The gate functions check their arguments and
// prepare every constant; run_gate (prepared_gate.h) then calls the entry of
// active_kernels() (dispatch.h), at once or from the record.
// Every table computes bit for bit what the scalar one does.
//
// This header is included by files compiled with vector instruction options,
// so it holds declarations and constants only: an inline function defined
// here could be emitted with those instructions and chosen by the linker for
// everyone.
// Amplitude and Matrix2 stay incomplete here for the same reason (register.h
// has inline functions); a vector file reads them as interleaved doubles:
// an amplitude is (re, im), a matrix is m00, m01, m10, m11, each (re, im).
#pragma once

#include <cstdint>

namespace zentrova::core {

struct Amplitude;
struct Matrix2;

// The sizes, in amplitudes, at which the vector sets change how they walk the
// array (vector_walks.h and vector_exchanges.h say why, bench/README.md has
// the figures). Here so the tests take their sizes from
// them: a threshold moved keeps its test on both sides.
// Exchanges on fewer amplitudes take the scalar loop.
inline constexpr std::uint64_t kScalarExchangesBelow = 64;
// Walks over more than kAheadAbove and at most kAheadUpTo amplitudes (2 to
// 32 MiB) ask for lines ahead of the hardware's prefetch.
inline constexpr std::uint64_t kAheadAbove = std::uint64_t{1} << 17;
inline constexpr std::uint64_t kAheadUpTo = std::uint64_t{1} << 21;

// The most qubits one dense or diagonal operation may act on: a dense matrix of
// 4^10 entries is 16 MiB, and costs 2^10 products an amplitude.
inline constexpr std::uint64_t kMaxOperationQubits = 10;

// Where an operation on k qubits acts. Bit j of a row or column index of its
// matrix is position targets[j]; `opened` lists the targets and the controls,
// ascending; `want` holds the bits the controls must read (the targets' bits
// 0). A group is the 2^k amplitudes whose other bits are the same and whose
// controls read `want`.
struct MultiTarget {
  const std::uint64_t* targets;
  std::uint64_t count;
  const std::uint64_t* opened;
  std::uint64_t opened_count;
  std::uint64_t want;
};

// Every kernel requires: amps holds dimension amplitudes, dimension is 2^n,
// and every qubit position given is below n and distinct from the others (the
// gate function has checked). Kernels allocate nothing and cannot fail.
struct KernelSet {
  // Shown in test names and benchmark output: "scalar", "avx2", ...
  const char* name;

  // Exchanges the two amplitudes of every pair differing in the target bit.
  void (*exchange)(Amplitude* amps, std::uint64_t dimension, std::uint64_t target);
  // a' = (a + b) * k, b' = (a - b) * k, part by part; the sum comes first.
  void (*hadamard)(Amplitude* amps, std::uint64_t dimension, std::uint64_t target, double k);
  // a' = m00*a + m01*b, b' = m10*a + m11*b with full complex products. Also
  // what rx and ry use: a shorter form for their zero parts that kept the
  // sign of every zero result would need about as many operations as the
  // products it left out.
  void (*general)(Amplitude* amps, std::uint64_t dimension, std::uint64_t target,
                  const Matrix2& m);
  // a' = m00*a, b' = m11*b; m01 and m10 are not read.
  void (*diagonal)(Amplitude* amps, std::uint64_t dimension, std::uint64_t target,
                   const Matrix2& m);
  // Exchanges the pairs differing in the target bit whose control bit is 1.
  void (*cnot)(Amplitude* amps, std::uint64_t dimension, std::uint64_t control,
               std::uint64_t target);
  // Exchanges the states reading 1,0 and 0,1 on positions lo < hi.
  void (*swap)(Amplitude* amps, std::uint64_t dimension, std::uint64_t lo, std::uint64_t hi);
  // Exchanges the pairs differing in the target bit whose two control bits are 1.
  void (*ccnot)(Amplitude* amps, std::uint64_t dimension, std::uint64_t control1,
                std::uint64_t control2, std::uint64_t target);
  // Among states whose control bit is 1, exchanges those reading 1,0 and 0,1
  // on the two targets.
  void (*csswap)(Amplitude* amps, std::uint64_t dimension, std::uint64_t control,
                 std::uint64_t target_1, std::uint64_t target_2);
  // The general update on the pairs whose control bits are all 1. positions
  // holds the controls and the target, strictly ascending, count entries.
  void (*controlled_general)(Amplitude* amps, std::uint64_t dimension,
                             const std::uint64_t* positions, std::uint64_t count,
                             std::uint64_t target, const Matrix2& m);

  // The read-outs. The probability of an amplitude is re*re + im*im, each
  // product rounded on its own, then added. Where a sum runs over many of
  // them its order is part of the result and every set keeps it.

  // out[i] = probability of amps[i] for i < count; amps and out need no alignment.
  void (*probabilities)(const Amplitude* amps, std::uint64_t count, double* out);
  // The running sum s = s + p[i] from amplitude 0 upward: the first i with
  // s >= r, or 0 when no sum reaches r. Stops summing at the outcome.
  std::uint64_t (*observe_scan)(const Amplitude* amps, std::uint64_t dimension, double r);
  // Every amplitude becomes +0 + 0i.
  void (*clear)(Amplitude* amps, std::uint64_t dimension);
  // Kahan sum, in ascending index order, of the probabilities of the states
  // whose target bit is 1.
  double (*probability_of_one)(const Amplitude* amps, std::uint64_t dimension,
                               std::uint64_t target);
  // For every pair differing in the target bit: the amplitude whose target bit
  // equals keep_one is divided by h (each part), the other becomes +0 + 0i.
  void (*collapse_one)(Amplitude* amps, std::uint64_t dimension, std::uint64_t target,
                       bool keep_one, double h);
  // table[t] = table[t] + probability of amps[j] for j ascending, where bit k
  // of t is bit targets[k] of j. targets holds count positions, ascending,
  // repeats allowed (a repeat fills two bits of t); table holds 2^count
  // entries, none of them -0.0 (the caller zero-fills it).
  void (*marginal_table)(const Amplitude* amps, std::uint64_t dimension,
                         const std::uint64_t* targets, std::uint64_t count, double* table);
  // Amplitude i becomes +0 + 0i unless (i & mask) == want; the others are
  // divided by h if scale, else left as they are.
  void (*collapse_mul)(Amplitude* amps, std::uint64_t dimension, std::uint64_t mask,
                       std::uint64_t want, bool scale, double h);

  // Operations on up to kMaxOperationQubits targets under controls of either
  // value. In every group, row r of m (2^k x 2^k, row by row) gives
  // a'_r = m[r][0]*a_0 + m[r][1]*a_1 + ..., the first product alone and each
  // later one added in column order: for one target, what `general` computes.
  void (*matrix)(Amplitude* amps, std::uint64_t dimension, const MultiTarget& where,
                 const Amplitude* m);
  // In every group, a_rows[e] = values[e] * a_rows[e] for e < count (rows
  // distinct); the group's other amplitudes are not touched.
  void (*diagonal_entries)(Amplitude* amps, std::uint64_t dimension, const MultiTarget& where,
                           const std::uint64_t* rows, const Amplitude* values,
                           std::uint64_t count);
};

// The reference: plain C++ that spells out the order of every operation. The
// vector sets below compute the same bits with 256-bit (AVX2) and 512-bit
// (AVX-512F) registers, one body (kernels_vector.h) over a layer per set;
// they exist only in x86-64 builds, and dispatch.cpp picks among them. The
// gate and read-out files never name a set.
extern const KernelSet kScalarKernels;
extern const KernelSet kAvx2Kernels;
extern const KernelSet kAvx512Kernels;

}  // namespace zentrova::core
