// The k-qubit kernels of the vector sets: a dense matrix or some diagonal
// entries on up to kMaxOperationQubits targets under controls, on whole
// registers of amplitudes. A group's amplitudes lie 2^p apart for each
// opened position p; when the lowest one is above the lane bits, the groups
// starting at consecutive indices fill whole registers, so each register
// holds the same amplitude of kLanes neighbouring groups and every lane does
// what the scalar kernel does for its group (multi_body.h): the same
// products, each rounded on its own, summed in column order. Lower opened
// positions go to the scalar set.
#pragma once

#include <cstdint>

#include "core/qubit/kernels/kernels.h"
#include "core/qubit/kernels/multi_walk.h"
#include "core/qubit/kernels/vector_registers.h"
#include "core/qubit/kernels/vector_updates.h"

namespace zentrova::core {
namespace {

// Matrix entries kept in registers for the whole call up to this many (64
// entries: three targets); larger matrices form each entry where it is used.
constexpr std::uint64_t kCachedEntries = 64;

template <class L>
bool runs_fill_registers(std::uint64_t dimension, const MultiTarget& where) {
  const std::uint64_t run =
      where.opened_count == 0 ? dimension : std::uint64_t{1} << where.opened[0];
  return run >= kLanes<L>;
}

// Entry e of an array of amplitudes, read as interleaved doubles (the vector
// files see Amplitude only declared).
template <class L>
Entry<L> entry_of(const Amplitude* a, std::uint64_t e) {
  const double* d = reinterpret_cast<const double*>(a);
  return entry<L>(Parts{d[2 * e], d[2 * e + 1]});
}

template <Layer L>
void multi_matrix(Amplitude* amps, std::uint64_t dimension, const MultiTarget& where,
                  const Amplitude* m) {
  if (!runs_fill_registers<L>(dimension, where)) {
    return kScalarKernels.matrix(amps, dimension, where, m);
  }
  using Reg = typename L::Reg;
  std::uint64_t off[kMultiSize];
  multi_offsets(where, off);
  const std::uint64_t size = std::uint64_t{1} << where.count;
  const bool cached = size * size <= kCachedEntries;
  Entry<L> cache[kCachedEntries];
  if (cached) {
    for (std::uint64_t e = 0; e < size * size; ++e) cache[e] = entry_of<L>(m, e);
  }
  const auto at = [&](std::uint64_t r, std::uint64_t c) {
    return cached ? cache[r * size + c] : entry_of<L>(m, r * size + c);
  };
  double* d = doubles(amps);
  Reg x[kMultiSize];
  for_each_group_run(dimension, where, [&](std::uint64_t first, std::uint64_t length) {
    double* base = d + 2 * first;
    for (std::uint64_t j = 0; j < 2 * length; j += L::kDoubles) {
      for (std::uint64_t c = 0; c < size; ++c) x[c] = L::load(base + 2 * off[c] + j);
      for (std::uint64_t r = 0; r < size; ++r) {
        Reg acc = complex_mul(at(r, 0), x[0]);
        for (std::uint64_t c = 1; c < size; ++c) acc = L::add(acc, complex_mul(at(r, c), x[c]));
        L::store(base + 2 * off[r] + j, acc);
      }
    }
  });
}

template <Layer L>
void multi_diagonal(Amplitude* amps, std::uint64_t dimension, const MultiTarget& where,
                    const std::uint64_t* rows, const Amplitude* values, std::uint64_t count) {
  if (!runs_fill_registers<L>(dimension, where)) {
    return kScalarKernels.diagonal_entries(amps, dimension, where, rows, values, count);
  }
  std::uint64_t off[kMultiSize];
  multi_offsets(where, off);
  const bool cached = count <= kCachedEntries;
  Entry<L> cache[kCachedEntries];
  if (cached) {
    for (std::uint64_t e = 0; e < count; ++e) cache[e] = entry_of<L>(values, e);
  }
  double* d = doubles(amps);
  for_each_group_run(dimension, where, [&](std::uint64_t first, std::uint64_t length) {
    for (std::uint64_t e = 0; e < count; ++e) {
      const Entry<L> v = cached ? cache[e] : entry_of<L>(values, e);
      double* a = d + 2 * (first + off[rows[e]]);
      for (std::uint64_t j = 0; j < 2 * length; j += L::kDoubles) {
        L::store(a + j, complex_mul(v, load_once<L>(a + j)));
      }
    }
  });
}

}  // namespace
}  // namespace zentrova::core
