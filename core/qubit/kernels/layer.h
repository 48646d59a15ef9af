// What a layer of register operations must provide for the vector kernels
// (kernels_vector.h), as a concept: a layer missing an operation, or giving
// one the wrong type, fails with one readable error where its set is built
// (vector_kernels), not deep inside a kernel. layer_avx2.h and
// layer_avx512.h are the layers; the tests add emulated ones.
#pragma once

#include <concepts>
#include <cstdint>

namespace zentrova::core {

// The operations, for one layer:
// - Reg, Mask and Perm types; kDoubles, the doubles per register (2 to 16, a
//   power of two: whole amplitudes).
// - load, store (no alignment asked), broadcast, set (from doubles a caller
//   holds in registers, not in memory), zero; optionally load_once (a load
//   the optimiser may not fold into its uses; see vector_registers.h).
// - add, sub, mul, div, each rounded on its own (no fused forms); bit_xor.
// - mask(bits) (bit d set: double d chosen), blend(mask, a, b) (b where
//   chosen), zero_unless(mask, x).
// - flip<k>(x) for k = 1 (the parts of every amplitude swapped) or even k
//   below kDoubles (whole amplitudes moved; double d of the result is double
//   d ^ k of x).
// - permutation(source) and permute(x, perm): double d of the result is
//   double source[d].
// - zero_doubles(x): bit d set where double d is +-0.0.
// - pair_sums(a, b): double k is c[2k] + c[2k+1] of the doubles of a followed
//   by those of b.
// - prefetch(address), inlined by force (a call to a function that only
//   prefetches may be dropped as having no effect).
// - ReadOnly: the layer whose width a pass that only reads runs fastest with
//   (itself or another layer).
template <class L>
concept LayerOperations =
    requires(typename L::Reg x, typename L::Mask m, typename L::Perm p, const double* from, double* to,
             const std::uint64_t* source, const void* address, unsigned bits, double v) {
      requires L::kDoubles >= 2 && L::kDoubles <= 16 && (L::kDoubles & (L::kDoubles - 1)) == 0;
      { L::load(from) } -> std::same_as<typename L::Reg>;
      L::store(to, x);
      { L::broadcast(v) } -> std::same_as<typename L::Reg>;
      { L::set(from) } -> std::same_as<typename L::Reg>;
      { L::zero() } -> std::same_as<typename L::Reg>;
      { L::add(x, x) } -> std::same_as<typename L::Reg>;
      { L::sub(x, x) } -> std::same_as<typename L::Reg>;
      { L::mul(x, x) } -> std::same_as<typename L::Reg>;
      { L::div(x, x) } -> std::same_as<typename L::Reg>;
      { L::bit_xor(x, x) } -> std::same_as<typename L::Reg>;
      { L::mask(bits) } -> std::same_as<typename L::Mask>;
      { L::blend(m, x, x) } -> std::same_as<typename L::Reg>;
      { L::zero_unless(m, x) } -> std::same_as<typename L::Reg>;
      { L::template flip<1>(x) } -> std::same_as<typename L::Reg>;
      requires L::kDoubles < 4 || requires {
        { L::template flip<2>(x) } -> std::same_as<typename L::Reg>;
      };
      { L::permutation(source) } -> std::same_as<typename L::Perm>;
      { L::permute(x, p) } -> std::same_as<typename L::Reg>;
      { L::zero_doubles(x) } -> std::same_as<unsigned>;
      { L::pair_sums(x, x) } -> std::same_as<typename L::Reg>;
      L::prefetch(address);
    };

// A layer, and the one its read-only passes use.
template <class L>
concept Layer = LayerOperations<L> && LayerOperations<typename L::ReadOnly>;

}  // namespace zentrova::core
