// The loops that rewrite the amplitude array, one entry per loop shape, in a
// table of function pointers. The gate functions check their arguments and
// prepare every constant, then call through active_kernels() (dispatch.h).
// Every table computes bit for bit what the scalar one does.
//
// This header is included by files compiled with vector instruction options,
// so it holds declarations only: an inline function defined here could be
// emitted with those instructions and chosen by the linker for everyone.
// Amplitude and Matrix2 stay incomplete here for the same reason (register.h
// has inline functions); a vector file reads them as interleaved doubles:
// an amplitude is (re, im), a matrix is m00, m01, m10, m11, each (re, im).
#pragma once

#include <cstdint>

namespace zentrova::core {

struct Amplitude;
struct Matrix2;

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
  // a' = m00*a + m01*b, b' = m10*a + m11*b with full complex products.
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
};

// The reference: plain C++ that spells out the order of every operation.
// Further sets (kernels_avx2.cpp, ...) are declared here beside it and listed
// in dispatch.cpp; the gate files never name a set.
extern const KernelSet kScalarKernels;

}  // namespace zentrova::core
