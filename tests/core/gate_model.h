// A naive model of the gates for the tests: it scans every basis index and
// tests bits, which the engine never does, and spells the arithmetic out
// afresh. Agreement to the bit checks the engine's index generation and its
// order of operations at once. Also: random states full of awkward values, and
// bitwise comparison of states.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/math/trig.h"
#include "core/qubit/kernels/kernels.h"
#include "core/qubit/register.h"

namespace zentrova::core::model {

using State = std::vector<Amplitude>;

inline std::uint64_t bit(std::uint64_t p) { return std::uint64_t{1} << p; }

inline std::uint64_t bits_of(const double d) {
  std::uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

inline double from_bits(std::uint64_t b) {
  double d;
  std::memcpy(&d, &b, sizeof d);
  return d;
}

// Signed zeros, infinities, NaNs with distinct payloads (quiet and
// signalling), subnormals and huge values.
inline double special_double(std::mt19937_64& rng) {
  static const double kSpecial[] = {
      0.0,
      -0.0,
      std::numeric_limits<double>::infinity(),
      -std::numeric_limits<double>::infinity(),
      from_bits(0x7FF8000000000001u),  // quiet NaN with a payload
      from_bits(0xFFF800000000BEEFu),  // negative quiet NaN
      from_bits(0x7FF0000000000123u),  // signalling NaN
      std::numeric_limits<double>::denorm_min(),
      -from_bits(0x000FFFFFFFFFFFFFu),  // largest subnormal, negated
      1e300,
      -1e-300,
  };
  std::uniform_int_distribution<std::size_t> pick(0, std::size(kSpecial) - 1);
  return kSpecial[pick(rng)];
}

// An ordinary value in [-1, 1), or with probability 1/8 (when awkward) a
// special one; rare enough that most pairs still meet ordinary arithmetic.
inline double random_double(std::mt19937_64& rng, bool awkward) {
  if (awkward && std::uniform_int_distribution<int>(0, 7)(rng) == 0) return special_double(rng);
  return std::uniform_real_distribution<double>(-1.0, 1.0)(rng);
}

// finite = true keeps every part ordinary, for checks that a NaN would hide.
inline State random_state(std::uint64_t n, std::mt19937_64& rng, bool finite = false) {
  State s(std::uint64_t{1} << n);
  for (Amplitude& a : s) {
    const double re = random_double(rng, !finite);
    a = Amplitude{re, random_double(rng, !finite)};
  }
  return s;
}

inline Register register_with(const State& s) {
  std::uint64_t n = 0;
  while ((std::uint64_t{1} << n) < s.size()) ++n;
  Register reg = Register::with_memory(n, std::uint64_t{1} << 40);
  std::memcpy(reg.mutable_amplitudes(), s.data(), s.size() * sizeof(Amplitude));
  return reg;
}

inline State state_of(Register& reg) {
  return State(reg.amplitudes(), reg.amplitudes() + reg.dimension());
}

// Bit for bit; where arithmetic made a NaN any NaN matches, since the payload
// depends on which operand the hardware sees first. Moves compare strictly.
inline ::testing::AssertionResult same_bits(const State& got, const State& want,
                                            bool any_nan_matches) {
  if (got.size() != want.size()) return ::testing::AssertionFailure() << "sizes differ";
  for (std::uint64_t i = 0; i < got.size(); ++i) {
    const double g[2] = {got[i].re, got[i].im};
    const double w[2] = {want[i].re, want[i].im};
    for (int part = 0; part < 2; ++part) {
      if (bits_of(g[part]) == bits_of(w[part])) continue;
      if (any_nan_matches && std::isnan(g[part]) && std::isnan(w[part])) continue;
      // One message: AssertionResult streams each value on its own, so a
      // std::hex given to it would not reach the bits.
      ::testing::Message m;
      m << "amplitude " << i << (part == 0 ? " re" : " im") << ": got " << g[part] << " (0x"
        << std::hex << bits_of(g[part]) << "), want " << w[part] << " (0x" << bits_of(w[part])
        << std::dec << ")";
      return ::testing::AssertionFailure() << m;
    }
  }
  return ::testing::AssertionSuccess();
}

// Which way each choice made by size goes for a register of n qubits: the
// scalar exchanges, the walks that ask for lines ahead, the cache-line and the
// huge-page alignment of the block. One bit each.
inline unsigned path_of(std::uint64_t n) {
  const std::uint64_t dimension = std::uint64_t{1} << n;
  const std::uint64_t bytes = dimension * sizeof(Amplitude);
  return (dimension >= kScalarExchangesBelow ? 1u : 0u) |
         (dimension > kAheadAbove && dimension <= kAheadUpTo ? 2u : 0u) |
         (bytes >= kLineAlignedFrom ? 4u : 0u) | (bytes >= kHugePageAlignedFrom ? 8u : 0u);
}

// The smallest qubit count of every path that no register of at most
// `covered` qubits takes, ascending. The candidates lie on both sides of each
// size where a choice changes, found from the kernels' and the register's own
// constants, so a moved threshold moves the sizes with it.
inline std::vector<std::uint64_t> sizes_of_new_paths(std::uint64_t covered) {
  // The smallest dimension on the new side of each choice.
  const std::uint64_t first_of_new_path[] = {
      kScalarExchangesBelow,
      kAheadAbove + 1,
      kAheadUpTo + 1,
      kLineAlignedFrom / sizeof(Amplitude),
      kHugePageAlignedFrom / sizeof(Amplitude),
  };
  std::vector<std::uint64_t> candidates;
  for (const std::uint64_t d : first_of_new_path) {
    const std::uint64_t n = static_cast<std::uint64_t>(std::bit_width(d - 1));  // 2^n >= d
    candidates.push_back(n - 1);
    candidates.push_back(n);
  }
  std::sort(candidates.begin(), candidates.end());
  std::vector<unsigned> seen;
  for (std::uint64_t n = 0; n <= covered; ++n) seen.push_back(path_of(n));
  std::vector<std::uint64_t> sizes;
  for (const std::uint64_t n : candidates) {
    if (n <= covered || std::find(seen.begin(), seen.end(), path_of(n)) != seen.end()) continue;
    seen.push_back(path_of(n));
    sizes.push_back(n);
  }
  return sizes;
}

// --- The model. Every function visits all 2^n indices. ---

// Exchanges amplitude i with amplitude i ^ flip for every i that has all bits
// of ones set and no bit of zeros set.
inline void exchange_where(State& s, std::uint64_t ones, std::uint64_t zeros,
                           std::uint64_t flip) {
  for (std::uint64_t i = 0; i < s.size(); ++i) {
    if ((i & ones) == ones && (i & zeros) == 0) std::swap(s[i], s[i ^ flip]);
  }
}

inline void x(State& s, std::uint64_t t) { exchange_where(s, 0, bit(t), bit(t)); }

inline void cnot(State& s, std::uint64_t c, std::uint64_t t) {
  exchange_where(s, bit(c), bit(t), bit(t));
}

inline void swap(State& s, std::uint64_t q1, std::uint64_t q2) {
  exchange_where(s, bit(q1), bit(q2), bit(q1) | bit(q2));
}

inline void ccnot(State& s, std::uint64_t c1, std::uint64_t c2, std::uint64_t t) {
  exchange_where(s, bit(c1) | bit(c2), bit(t), bit(t));
}

inline void csswap(State& s, std::uint64_t c, std::uint64_t t1, std::uint64_t t2) {
  exchange_where(s, bit(c) | bit(t1), bit(t2), bit(t1) | bit(t2));
}

inline void h(State& s, std::uint64_t t) {
  const double k = from_bits(0x3FE6A09E667F3BCDu);
  for (std::uint64_t i = 0; i < s.size(); ++i) {
    if (i & bit(t)) continue;
    const Amplitude a = s[i], b = s[i | bit(t)];
    s[i] = {(a.re + b.re) * k, (a.im + b.im) * k};
    s[i | bit(t)] = {(a.re - b.re) * k, (a.im - b.im) * k};
  }
}

// The general update on pairs whose bits in control_mask are all 1.
inline void controlled_u(State& s, std::uint64_t control_mask, std::uint64_t t,
                         const Matrix2& m) {
  for (std::uint64_t i = 0; i < s.size(); ++i) {
    if ((i & bit(t)) || (i & control_mask) != control_mask) continue;
    const Amplitude a = s[i], b = s[i | bit(t)];
    s[i] = {(m.m00.re * a.re - m.m00.im * a.im) + (m.m01.re * b.re - m.m01.im * b.im),
            (m.m00.re * a.im + m.m00.im * a.re) + (m.m01.re * b.im + m.m01.im * b.re)};
    s[i | bit(t)] = {(m.m10.re * a.re - m.m10.im * a.im) + (m.m11.re * b.re - m.m11.im * b.im),
                     (m.m10.re * a.im + m.m10.im * a.re) + (m.m11.re * b.im + m.m11.im * b.re)};
  }
}

inline void u(State& s, std::uint64_t t, const Matrix2& m) { controlled_u(s, 0, t, m); }

inline void rx(State& s, std::uint64_t t, double theta) {
  const auto [sn, c] = sin_cos(theta * 0.5);
  u(s, t, Matrix2{{c, 0.0}, {0.0, -sn}, {0.0, -sn}, {c, 0.0}});
}

inline void ry(State& s, std::uint64_t t, double theta) {
  const auto [sn, c] = sin_cos(theta * 0.5);
  u(s, t, Matrix2{{c, 0.0}, {-sn, -0.0}, {sn, 0.0}, {c, 0.0}});
}

inline void rz(State& s, std::uint64_t t, double theta) {
  const auto [sn, c] = sin_cos(theta * 0.5);
  const auto [snn, cn] = sin_cos(theta * -0.5);
  for (std::uint64_t i = 0; i < s.size(); ++i) {
    const Amplitude a = s[i];
    s[i] = (i & bit(t)) ? Amplitude{c * a.re - sn * a.im, c * a.im + sn * a.re}
                        : Amplitude{cn * a.re - snn * a.im, cn * a.im + snn * a.re};
  }
}

inline Matrix2 random_matrix(std::mt19937_64& rng, bool awkward) {
  Matrix2 m;
  for (Amplitude* e : {&m.m00, &m.m01, &m.m10, &m.m11}) {
    e->re = random_double(rng, awkward);
    e->im = random_double(rng, awkward);
  }
  return m;
}

}  // namespace zentrova::core::model
