// Unsigned integers of a fixed number of 64-bit limbs, for the sine and cosine's
// fixed-point evaluation: products (whole, or without the low columns), sums,
// shifts and bit tests. Each operation states how far its result may lie from
// the exact one; the evaluation's error bound is the sum of those statements.
//
// Everything here has internal linkage, so each file that includes it gets its
// own copy compiled with that file's options (trig.cpp has no vector options
// and must keep none: the results may not depend on the instruction set).
#pragma once

#include <bit>
#include <cstdint>

#if !defined(__SIZEOF_INT128__) && defined(_MSC_VER) && defined(_M_X64)
#include <intrin.h>
#endif

// ZV_FORCE_INLINE: the helpers are small and called in the innermost loops
// with constant sizes; left to itself GCC keeps some out of line.
#include "core/internal.h"

namespace zentrova::core {
namespace {

using u64 = std::uint64_t;

// A fixed-point or integer value of M limbs, least significant first.
template <int M>
struct Num {
  u64 limb[M];
  constexpr u64& operator[](int i) { return limb[i]; }
  constexpr const u64& operator[](int i) const { return limb[i]; }
};

// The 128-bit product a * b; exact.
struct Wide {
  u64 lo;
  u64 hi;
};
inline Wide mul_wide(u64 a, u64 b) {
#if defined(__SIZEOF_INT128__)
  __extension__ using U128 = unsigned __int128;
  const U128 p = static_cast<U128>(a) * b;
  return {static_cast<u64>(p), static_cast<u64>(p >> 64)};
#elif defined(_MSC_VER) && defined(_M_X64)
  Wide p;
  p.lo = _umul128(a, b, &p.hi);
  return p;
#else
  const u64 a0 = a & 0xFFFFFFFF, a1 = a >> 32, b0 = b & 0xFFFFFFFF, b1 = b >> 32;
  const u64 p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
  const u64 mid = (p00 >> 32) + (p01 & 0xFFFFFFFF) + (p10 & 0xFFFFFFFF);
  return {(mid << 32) | (p00 & 0xFFFFFFFF), p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32)};
#endif
}

// Columns First and up of the product: the products of each column summed in
// three words, whose low word is the column's limb. The columns below are left
// out, carries and all: the result is below the exact product's limbs from
// First up by what the lower columns would have carried, less than First + 1
// units of column First + 1 (column t sums t + 1 products under 2^128).
template <int First, int A, int B>
ZV_FORCE_INLINE Num<A + B - First> columns(const Num<A>& a, const Num<B>& b) {
  Num<A + B - First> out;
  u64 c0 = 0, c1 = 0, c2 = 0;
  for (int t = First; t < A + B - 1; ++t) {
    for (int i = t < B ? 0 : t - B + 1; i < A && i <= t; ++i) {
      const Wide p = mul_wide(a[i], b[t - i]);
      c0 += p.lo;
      const u64 hi = p.hi + (c0 < p.lo);  // p.hi < 2^64 - 1: no wrap
      c1 += hi;
      c2 += c1 < hi;
    }
    out[t - First] = c0;
    c0 = c1;
    c1 = c2;
    c2 = 0;
  }
  out[A + B - 1 - First] = c0;
  return out;
}

// Exact.
template <int A, int B>
ZV_FORCE_INLINE Num<A + B> mul_full(const Num<A>& a, const Num<B>& b) {
  return columns<0>(a, b);
}

// Exact modulo 2^(64M); callers guarantee no wrap-around except where they
// want it.
template <int M>
ZV_FORCE_INLINE Num<M> add(Num<M> a, const Num<M>& b) {
  u64 carry = 0;
  for (int i = 0; i < M; ++i) {
    const u64 s = a[i] + b[i];
    const u64 t = s + carry;
    carry = (s < b[i]) | (t < s);
    a[i] = t;
  }
  return a;
}

// Exact modulo 2^(64M).
template <int M>
ZV_FORCE_INLINE Num<M> sub(Num<M> a, const Num<M>& b) {
  u64 borrow = 0;
  for (int i = 0; i < M; ++i) {
    const u64 d = a[i] - b[i];
    const u64 t = d - borrow;
    borrow = (a[i] < b[i]) | (d < borrow);
    a[i] = t;
  }
  return a;
}

template <int M>
constexpr Num<M> small(u64 v) {
  Num<M> n{};
  n[0] = v;
  return n;
}

// floor(a / d) for d < 2^32, in 32-bit steps so the remainder stays in one
// word: below a / d by less than one unit.
template <int M>
constexpr Num<M> div_small(Num<M> a, u64 d) {
  u64 rem = 0;
  for (int i = M - 1; i >= 0; --i) {
    const u64 hi = (rem << 32) | (a[i] >> 32);
    rem = hi % d;
    const u64 lo = (rem << 32) | (a[i] & 0xFFFFFFFF);
    rem = lo % d;
    a[i] = ((hi / d) << 32) | (lo / d);
  }
  return a;
}

// Bits [pos, pos + 64) of a; bits outside a read as 0, pos may be negative.
template <int M>
ZV_FORCE_INLINE u64 word_at(const Num<M>& a, int pos) {
  if (pos <= -64 || pos >= 64 * M) return 0;
  if (pos < 0) return a[0] << -pos;
  const int q = pos / 64, shift = pos % 64;
  const u64 next = q + 1 < M ? a[q + 1] : 0;
  // In two steps, so that a shift of 0 takes nothing from the next word.
  return (a[q] >> shift) | ((next << 1) << (63 - shift));
}

// floor(a / 2^pos) mod 2^(64N): for pos > 0 below a / 2^pos by less than one
// unit; exact for pos <= 0 while nothing is shifted out at the top.
template <int N, int M>
ZV_FORCE_INLINE Num<N> bits_from(const Num<M>& a, int pos) {
  Num<N> out;
  for (int k = 0; k < N; ++k) out[k] = word_at(a, pos + 64 * k);
  return out;
}

template <int M>
bool bit(const Num<M>& a, int pos) {
  return pos >= 0 && pos < 64 * M && ((a[pos / 64] >> (pos % 64)) & 1) != 0;
}

// a mod 2^pos.
template <int M>
void clear_from(Num<M>& a, int pos) {
  for (int i = 0; i < M; ++i) {
    const int width = pos - 64 * i;
    if (width <= 0) {
      a[i] = 0;
    } else if (width < 64) {
      a[i] &= (u64{1} << width) - 1;
    }
  }
}

// -a modulo 2^(64M) if negative, else a; exact, and without a branch, as the
// condition is as often true as false.
template <int M>
ZV_FORCE_INLINE Num<M> negate_if(Num<M> a, bool negative) {
  const u64 mask = 0 - static_cast<u64>(negative);
  for (int i = 0; i < M; ++i) a[i] ^= mask;
  return add(a, small<M>(mask & 1));
}

// Index of the highest set bit; a is not zero.
template <int M>
ZV_FORCE_INLINE int top_bit(const Num<M>& a) {
  for (int i = M - 1; i > 0; --i) {
    if (a[i] != 0) return 64 * i + 63 - std::countl_zero(a[i]);
  }
  return 63 - std::countl_zero(a[0]);
}

// The product of two fractions of N limbs (a * b / 2^(64N)), without the
// columns that reach its last bit only by carries: below the exact product by
// less than N units of its last bit (under one for the dropped limb, under N - 1
// for the carry the columns below it would have sent).
template <int N>
ZV_FORCE_INLINE Num<N> mul_fixed(const Num<N>& a, const Num<N>& b) {
  return bits_from<N>(columns<N - 1>(a, b), 64);
}

template <int N>
ZV_FORCE_INLINE bool is_zero(const Num<N>& a) {
  u64 any = 0;
  for (int i = 0; i < N; ++i) any |= a[i];
  return any == 0;
}

// 1 - y for a fraction y; exact, but for y = 0 the largest value below 1, one
// unit short.
template <int N>
ZV_FORCE_INLINE Num<N> one_minus(const Num<N>& y) {
  return sub(sub(Num<N>{}, y), small<N>(is_zero(y)));
}

}  // namespace
}  // namespace zentrova::core
