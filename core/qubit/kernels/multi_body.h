// The dense and diagonal k-qubit kernels of the scalar set: plain C++ whose
// order of operations the vector sets (vector_multi.h) reproduce lane by lane.
// Only the scalar file includes it: built with a vector set's options, GCC
// turns the complex products below into fused multiply-adds, whatever
// -ffp-contract says.
//
// Each amplitude meets its products and sums each rounded on their own. The
// groups are taken a few at a time where their runs are long enough: the
// amplitudes of W neighbouring groups are split into real and imaginary parts
// and each row is formed for all W at once, which the compiler may vectorise
// (with the plain instructions of the scalar file, the same bits).
#pragma once

#include <cstdint>

#include "core/amplitude.h"
#include "core/qubit/kernels/kernels.h"
#include "core/qubit/kernels/multi_walk.h"

namespace zentrova::core {
namespace {

// W neighbouring groups starting at `first`, their amplitudes split into
// in_re and in_im (amplitude c of lane w at c * W + w) before any is written.
template <std::uint64_t W>
inline void matrix_lanes(Amplitude* amps, std::uint64_t first, std::uint64_t size,
                         const std::uint64_t* off, const Amplitude* m, double* in_re,
                         double* in_im) {
  for (std::uint64_t c = 0; c < size; ++c) {
    const Amplitude* a = amps + first + off[c];
    for (std::uint64_t w = 0; w < W; ++w) {
      in_re[c * W + w] = a[w].re;
      in_im[c * W + w] = a[w].im;
    }
  }
  for (std::uint64_t r = 0; r < size; ++r) {
    const Amplitude* row = m + r * size;
    double acc_re[W];
    double acc_im[W];
    {
      const double mr = row[0].re;
      const double mi = row[0].im;
      for (std::uint64_t w = 0; w < W; ++w) {
        acc_re[w] = mr * in_re[w] - mi * in_im[w];
        acc_im[w] = mr * in_im[w] + mi * in_re[w];
      }
    }
    for (std::uint64_t c = 1; c < size; ++c) {
      const double mr = row[c].re;
      const double mi = row[c].im;
      const double* xr = in_re + c * W;
      const double* xi = in_im + c * W;
      for (std::uint64_t w = 0; w < W; ++w) {
        const double pr = mr * xr[w] - mi * xi[w];
        const double pi = mr * xi[w] + mi * xr[w];
        acc_re[w] = acc_re[w] + pr;
        acc_im[w] = acc_im[w] + pi;
      }
    }
    Amplitude* out = amps + first + off[r];
    for (std::uint64_t w = 0; w < W; ++w) out[w] = Amplitude{acc_re[w], acc_im[w]};
  }
}

constexpr std::uint64_t kMatrixLanes = 4;

void matrix_body(Amplitude* amps, std::uint64_t dimension, const MultiTarget& where,
                 const Amplitude* m) {
  std::uint64_t off[kMultiSize];
  multi_offsets(where, off);
  const std::uint64_t size = std::uint64_t{1} << where.count;
  // 64 KiB at the most, on the stack: nothing is allocated.
  double in_re[kMultiSize * kMatrixLanes];
  double in_im[kMultiSize * kMatrixLanes];
  for_each_group_run(dimension, where, [&](std::uint64_t first, std::uint64_t length) {
    std::uint64_t j = 0;
    for (; j + kMatrixLanes <= length; j += kMatrixLanes) {
      matrix_lanes<kMatrixLanes>(amps, first + j, size, off, m, in_re, in_im);
    }
    for (; j < length; ++j) matrix_lanes<1>(amps, first + j, size, off, m, in_re, in_im);
  });
}

void diagonal_entries_body(Amplitude* amps, std::uint64_t dimension, const MultiTarget& where,
                           const std::uint64_t* rows, const Amplitude* values,
                           std::uint64_t count) {
  std::uint64_t off[kMultiSize];
  multi_offsets(where, off);
  for_each_group_run(dimension, where, [&](std::uint64_t first, std::uint64_t length) {
    for (std::uint64_t e = 0; e < count; ++e) {
      const double vr = values[e].re;
      const double vi = values[e].im;
      Amplitude* __restrict a = amps + first + off[rows[e]];
      for (std::uint64_t j = 0; j < length; ++j) {
        const double ar = a[j].re;
        const double ai = a[j].im;
        a[j] = Amplitude{vr * ar - vi * ai, vr * ai + vi * ar};
      }
    }
  });
}

}  // namespace
}  // namespace zentrova::core
