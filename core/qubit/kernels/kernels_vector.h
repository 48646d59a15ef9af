// The vector kernels, written once over a layer of a few register operations
// (layer_avx2.h, layer_avx512.h; the contract is the concept Layer in
// layer.h): every algorithm is a template on the layer, and each vector file
// instantiates the table below with its own compile options. The algorithms
// live by kind in
//   vector_registers.h  lanes, masks, in-register moves, constants;
//   vector_walks.h      the runs and streams a gate walks, lines asked early;
//   vector_exchanges.h  x, cnot, swap, ccnot, csswap;
//   vector_updates.h    the 2x2 update (u, rx, ry, controlled), h, diagonal;
//   vector_readouts.h   probabilities, sums, marginal table, collapses;
//   vector_multi.h      dense matrices and diagonals on several targets.
//
// Everything sits in an anonymous namespace and includes nothing but standard
// headers and the engine's declaration-only or internal headers (kernels.h,
// core/internal.h): code with internal linkage is compiled afresh in every
// file that includes it, so no function built with one set's instructions can
// be chosen by the linker for another file's callers.
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
#pragma once

#include "core/qubit/kernels/kernels.h"
#include "core/qubit/kernels/layer.h"
#include "core/qubit/kernels/vector_exchanges.h"
#include "core/qubit/kernels/vector_multi.h"
#include "core/qubit/kernels/vector_readouts.h"
#include "core/qubit/kernels/vector_registers.h"
#include "core/qubit/kernels/vector_updates.h"
#include "core/qubit/kernels/vector_walks.h"

namespace zentrova::core {
namespace {

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
      &multi_matrix<L>,
      &multi_diagonal<L>,
  };
}

}  // namespace
}  // namespace zentrova::core
