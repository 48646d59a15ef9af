// Correctly rounded sine and cosine, in integer arithmetic only, so the result
// cannot depend on a compiler's or a processor's floating-point choices.
//
// An evaluation at a working precision of B = 64N bits (N 64-bit limbs), in
// fixed point with B fraction bits:
//  1. Reduce: x = (4j + q) * pi/2 + r with |r| <= pi/4, as x - k pi/2 for
//     moderate x, else from the product of x's 53-bit significand with a window
//     of the bits of 2/pi (Payne-Hanek; the bits before the window only add
//     multiples of 4 to x * 2/pi).
//  2. Split |r| = a + t, a = i/64 and |t| <= 1/128; sin t = t S(t^2) and
//     cos t = C(t^2), S and C the Taylor series of sin(t)/t and cos(t) in t^2
//     by Horner's rule; then sin and cos of a + t from a table of a's. Below
//     1/128, sin r = r S(r^2) keeps its relative precision however small r is.
//  3. Round: with a proven bound e on the error, the value lies in
//     [v - e, v + e]; when both ends round to the same double, so does the
//     exact value. Otherwise the evaluation is repeated with twice the limbs.
// No double x has sin(x) or cos(x) exactly halfway between two doubles (the
// values are transcendental), so the repetition ends; the hardest double
// arguments are known to need far fewer than the 512 bits of the last step.
#include "core/math/trig.h"

#include <array>
#include <bit>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "core/math/multiword.h"
#include "core/math/trig_tables.h"

namespace zentrova::core {
namespace {

constexpr u64 kSignBit = u64{1} << 63;
constexpr u64 kFractionMask = (u64{1} << 52) - 1;

constexpr int kMaxLimbs = 8;
static_assert(std::size(kHalfPi) >= kMaxLimbs + 3);

// The largest double not above pi/4: up to it, r is x itself.
constexpr double kQuarterPi = 0x1.921fb54442d18p-1;
// Below 2^-27, sin(x) and x differ by less than a quarter of x's spacing and
// 1 - cos(x) is below 2^-55, a quarter of the spacing of the doubles below 1.
constexpr double kTiny = 0x1p-27;

// Taylor terms for r^2 <= z_max: the first one left out, and so the series'
// error (the terms alternate and shrink), is below 2^-(bits + 1).
constexpr int series_terms(int bits, double z_max) {
  double bound = 1.0;
  for (int i = 0; i <= bits; ++i) bound *= 0.5;
  double term = 1.0;  // bounds z_max^k / (2k)!, the larger of the two series' terms
  int k = 0;
  while (term >= bound) {
    ++k;
    term *= z_max / ((2.0 * k - 1.0) * (2.0 * k));
  }
  return k;
}

// Arguments are split as |r| = i/64 + t with |t| <= 1/128; the table holds
// sin and cos of i/64 for i up to round(64 * pi/4).
constexpr int kTableSteps = 64;
constexpr int kTableSize = 51;
constexpr double kFullSquare = 0.62;            // above (pi/4)^2
constexpr double kSmallSquare = 1.0001 / 16384;  // above (1/128)^2

// The coefficients from k = 1 on; both series start with 1.
template <int N>
struct Series {
  static constexpr int kFull = series_terms(64 * N, kFullSquare);
  static constexpr int kSmall = series_terms(64 * N, kSmallSquare);
  std::array<Num<N>, kFull> sin;  // 1/(2k+1)!, rounded down
  std::array<Num<N>, kFull> cos;  // 1/(2k)!, rounded down
};

template <int N>
constexpr Series<N> make_series() {
  Series<N> s{};
  Num<N> inverse_factorial{};
  inverse_factorial[N - 1] = kSignBit;  // 1/2!
  for (int n = 2; n < 2 * Series<N>::kFull; ++n) {
    // floor(floor(a / b) / c) = floor(a / (b c)): rounded down once, not n times.
    if (n > 2) inverse_factorial = div_small(inverse_factorial, static_cast<u64>(n));
    (n % 2 == 0 ? s.cos : s.sin)[n / 2] = inverse_factorial;
  }
  return s;
}

template <int N>
constexpr Series<N> kSeries = make_series<N>();

// S(z) = sin(r)/r and C(z) = cos(r) at z = r^2, from the first `terms` terms.
// Every partial sum lies in [0, 1]: z times the next one is below the
// coefficient it is taken from. Error, in units u = 2^-B of the fixed-point
// format and p = N units (one mul_fixed): each step adds its coefficient's
// rounding (under 1u) and its product's (under p), and passes on the error of
// the step before times z, so the error of the sum stays near that of its last
// two steps plus the series' own tail (under u/2).
template <int N>
ZV_FORCE_INLINE void series_at(const Num<N>& z, int terms, Num<N>& s, Num<N>& c) {
  const Series<N>& series = kSeries<N>;
  s = series.sin[terms - 1];
  c = series.cos[terms - 1];
  for (int k = terms - 2; k >= 1; --k) {
    s = sub(series.sin[k], mul_fixed(z, s));
    c = sub(series.cos[k], mul_fixed(z, c));
  }
  s = one_minus(mul_fixed(z, s));
  c = one_minus(mul_fixed(z, c));
}

// A value m * 2^(exponent - B): the argument |r| (with the top bit of m set),
// or |sin r| or cos r.
template <int N>
struct Scaled {
  Num<N> m;
  int exponent;
};

// z = r^2 in the fixed-point format, rounded down: under 1u short.
template <int N>
Num<N> square(const Scaled<N>& r) {
  return bits_from<N>(mul_full(r.m, r.m), 64 * N - 2 * r.exponent);
}

// sin and cos of i/64, in the fixed-point format, from the whole series.
template <int N>
struct Table {
  std::array<Num<N>, kTableSize> sin;
  std::array<Num<N>, kTableSize> cos;
};

template <int N>
Table<N> make_table() {
  Table<N> table{};
  for (int i = 1; i < kTableSize; ++i) {
    Scaled<N> a{};
    const int top = 63 - std::countl_zero(static_cast<u64>(i));
    a.m[N - 1] = static_cast<u64>(i) << (63 - top);
    a.exponent = top - 5;
    Num<N> s, c;
    // a is exact, z within 1u; with z up to 0.62 the errors of the steps shrink
    // slowly: S and C, and so both entries (sin a = a S, one more product),
    // within 3.7p + 5.5u.
    series_at(square(a), Series<N>::kFull, s, c);
    table.sin[i] = bits_from<N>(mul_fixed(a.m, s), -a.exponent);
    table.cos[i] = c;
  }
  return table;
}

template <int N>
const Table<N>& table() {
  static const Table<N> t = make_table<N>();
  return t;
}

// The bound on the error of a result, in units of its last bit: over three
// times the largest total the steps state (reduce, make_table, evaluate), which
// is 7.7p + 12.3u for sin(a + t) and cos(a + t); at N = 1, 20 units of 64.
template <int N>
constexpr u64 kErrorUnits = 64 * N;

struct Rounded {
  double value;
  bool decided;
};

// The double nearest to v, and whether the exact value, within
// kErrorUnits<N> units of v, rounds to it too: no midpoint between two doubles
// lies within that distance. v is not zero and its double is normal.
template <int N>
Rounded round_checked(const Scaled<N>& v) {
  const int top = top_bit(v.m);
  const int shift = 64 * N - 1 - top;
  const Num<N> a = bits_from<N>(v.m, -shift);  // top bit to the top
  const u64 e = kErrorUnits<N> << shift;  // the bound in units of a; shift is small
  const u64 head = a[N - 1];
  const u64 low = head & 0x7FF;  // what rounding to 53 bits drops from the top limb
  bool near = false;
  if constexpr (N == 1) {
    near = (low > 0x400 ? low - 0x400 : 0x400 - low) <= e;
  } else {
    // With the limbs below: at most e above a midpoint, or at most e below one.
    const bool above = low == 0x400, below = low == 0x3FF;
    if (above || below) {
      near = above ? a[0] <= e : ~a[0] < e;
      for (int i = 1; i < N - 1; ++i) near = near && a[i] == (above ? 0 : ~u64{0});
    }
  }
  // Just above a power of two the doubles below it are twice as dense: a lower
  // end beneath the power is left undecided rather than checked.
  bool at_power = head == kSignBit;
  if constexpr (N > 1) {
    at_power = at_power && a[0] < e;
    for (int i = 1; i < N - 1; ++i) at_power = at_power && a[i] == 0;
  }
  u64 significand = head >> 11;
  bool sticky = (low & 0x3FF) != 0;
  for (int i = 0; i < N - 1; ++i) sticky = sticky || a[i] != 0;
  if ((low & 0x400) != 0 && (sticky || (significand & 1) != 0)) ++significand;
  int exponent = v.exponent - 1 - shift;  // of the top bit of a
  if (significand >> 53 != 0) {
    significand >>= 1;
    ++exponent;
  }
  const double d = std::bit_cast<double>((static_cast<u64>(exponent + 1023) << 52) |
                                         (significand & kFractionMask));
  return {d, !near && !at_power};
}

// |r| and the quadrant: x = (4j + quadrant) * pi/2 + r, r < 0 when negative.
template <int N>
struct Reduced {
  Scaled<N> r;
  int quadrant;
  bool negative;
  bool trusted;  // false: |f| too small for the reduction to vouch for B bits
};

// pi/4 as a B-bit fraction: the bits of kHalfPi.
template <int N>
constexpr Num<N> quarter_pi() {
  Num<N> h{};
  for (int k = 0; k < N; ++k) h[N - 1 - k] = kHalfPi[k];
  return h;
}

// 64 bits of 2/pi starting at the given 1-based place after the point. The
// widest window starts at most at place 970 (the largest double's exponent
// less 2) and reads the word after its last.
static_assert(std::size(kTwoOverPi) >= (969 + 64 * (kMaxLimbs + 1)) / 64 + 2);
inline u64 two_over_pi_bits(int place) {
  const int offset = place - 1, q = offset / 64, shift = offset % 64;
  u64 w = kTwoOverPi[q] << shift;
  if (shift != 0) w |= kTwoOverPi[q + 1] >> (64 - shift);
  return w;
}

// pi/2 * 2^(64(N+2)), rounded down, in N + 3 limbs: for x - k pi/2.
template <int N>
constexpr Num<N + 3> wide_half_pi() {
  Num<N + 3> h{};
  h[N + 2] = kHalfPi[0] >> 63;
  for (int j = 1; j <= N + 2; ++j) h[N + 2 - j] = (kHalfPi[j - 1] << 1) | (kHalfPi[j] >> 63);
  return h;
}

// Up to here, x - k pi/2 for the k nearest x * 2/pi, in fixed point, costs
// less than the general reduction: k fits one limb and needs no bits of 2/pi.
constexpr double kModerate = 0x1p28;

template <int N>
Reduced<N> reduce(double ax) {
  constexpr int kB = 64 * N;
  const u64 bits = std::bit_cast<u64>(ax);
  const int e = static_cast<int>(bits >> 52) - 1075;  // ax = m * 2^e, ax normal
  const u64 m = (bits & kFractionMask) | (u64{1} << 52);
  Reduced<N> red{};
  red.trusted = true;
  if (ax <= kQuarterPi) {
    red.r.m[N - 1] = m << 11;
    red.r.exponent = e + 53;
    return red;
  }
  // In both reductions a fraction |f| >= 2^-72 (|r| >= 2^-71.3) keeps the
  // relative error of the computed r below 2^-(B+1) before its truncation to B
  // bits; smaller ones are left untrusted. The nearest a double comes to a
  // multiple of pi/2 gives |f| near 2^-62. Either way the r returned is within
  // 6u of r relative to |r| (u = 2^-B), as each step below states.
  if (ax < kModerate) {
    // r = x - k pi/2 with 64(N+2) fraction bits; the error of pi/2, k times
    // 2^-64(N+2), is below 2^-(B+100), under 2^-(B+28) of |r|: the difference
    // is otherwise exact. k may miss the nearest integer by one near a half:
    // |f| then exceeds 1/2 by far less than the table allows.
    constexpr int kFraction = 64 * (N + 2);
    const double rounded = (ax * 0x1.45f306dc9c883p-1 + 0x1.8p52) - 0x1.8p52;
    const u64 k = static_cast<u64>(rounded);
    Num<N + 3> x{};
    const int place = kFraction + e;
    x[place / 64] = m << (place % 64);
    if (place % 64 > 11) x[place / 64 + 1] = m >> (64 - place % 64);
    static constexpr Num<N + 3> kWideHalfPi = wide_half_pi<N>();
    const Num<N + 4> multiple = mul_full(Num<1>{{k}}, kWideHalfPi);
    Num<N + 3> difference = sub(x, bits_from<N + 3>(multiple, 0));
    red.negative = difference[N + 2] >> 63 != 0;
    difference = negate_if(difference, red.negative);
    red.quadrant = static_cast<int>(k & 3);
    const int top = top_bit(difference);
    red.trusted = top >= kFraction - 72;
    // B bits from the top one: under 2u short, relative.
    red.r.m = bits_from<N>(difference, top - kB + 1);
    red.r.exponent = top + 1 - kFraction;
    return red;
  }
  // Payne-Hanek: the window's error in x * 2/pi is below 2^(55 - window bits)
  // = 2^-(B+73), under u/2 of |f| >= 2^-72; the product is exact.
  constexpr int kWords = N + 2;
  constexpr int kWindow = 64 * kWords;
  const int first = e - 1 > 1 ? e - 1 : 1;
  Num<kWords> window;
  for (int j = 0; j < kWords; ++j) window[kWords - 1 - j] = two_over_pi_bits(first + 64 * j);
  Num<kWords + 1> product = mul_full(Num<1>{{m}}, window);
  // x * 2/pi = product * 2^-point, modulo 4.
  const int point = first + kWindow - 1 - e;
  red.quadrant = static_cast<int>(word_at(product, point) & 3);
  // From 1/2 up, f - 1 in the next quadrant: |f - 1| = 2^point - fraction,
  // which is -product modulo 2^point.
  const bool upper_half = bit(product, point - 1);
  product = negate_if(product, upper_half);
  clear_from(product, point);
  red.quadrant += upper_half;
  red.negative = upper_half;
  const int top = top_bit(product);
  red.trusted = top >= point - 72;
  // B bits from the top one: under 2u short, relative.
  const Num<N> f = bits_from<N>(product, top - kB + 1);
  // pi/4 rounded down to B bits: under 1.3u short, relative; the product exact.
  static constexpr Num<N> kQuarterPiBits = quarter_pi<N>();
  const Num<2 * N> scaled = mul_full(f, kQuarterPiBits);
  // f * pi/4 in [0.39, 1), and r twice that; B bits from the top one: under 2u
  // short, relative. With the window's u/2, under 5.8u in all.
  const int carry = bit(scaled, 2 * kB - 1) ? 1 : 0;
  red.r.m = bits_from<N>(scaled, kB - 1 + carry);
  red.r.exponent = top + 1 - point + carry;
  return red;
}

// |sin r| and cos r for |r| <= pi/4.
template <int N>
void evaluate(const Scaled<N>& r, Scaled<N>& sin_r, Scaled<N>& cos_r) {
  constexpr int kB = 64 * N;
  Num<N> s, c;
  // |r| in the fixed-point format, and the nearest table point i/64.
  const Num<N> fixed = bits_from<N>(r.m, -r.exponent);
  const int i = static_cast<int>((word_at(fixed, kB - 7) + 1) >> 1);
  if (i == 0) {
    // sin r relative to r itself: r can be as small as 2^-62. r's 6u
    // (relative), S's and C's 1.5p + 1.6u and the last product's p: both within
    // 2.5p + 8 units of their own last bit.
    series_at(square(r), Series<N>::kSmall, s, c);
    sin_r = {mul_fixed(r.m, s), r.exponent};
    cos_r = {c, 0};
    return;
  }
  Num<N> point{};
  point[N - 1] = static_cast<u64>(i) << (64 - 6);
  // |t| < 2^-6, so the top bit of the difference is its sign.
  const Num<N> difference = sub(fixed, point);
  const bool below = difference[N - 1] >> 63 != 0;
  // Within 5.7u: r's 6u relative at |r| <= pi/4, and the truncation of r to
  // the fixed-point format; i/64 is exact.
  const Num<N> t = negate_if(difference, below);
  // S and C of the short series (z <= 2^-14, so each step's error is all but
  // gone two steps later): within 1.5p + 1.6u.
  series_at(mul_fixed(t, t), Series<N>::kSmall, s, c);
  const Num<N> sin_t = mul_fixed(t, s);
  // Four products of the table entries (3.7p + 5.5u) with C and sin t, and
  // their sums: sin(a + t) and cos(a + t) within 7.7p + 12.3u.
  const Table<N>& tab = table<N>();
  const Num<N> sa_ct = mul_fixed(tab.sin[i], c), ca_st = mul_fixed(tab.cos[i], sin_t);
  const Num<N> ca_ct = mul_fixed(tab.cos[i], c), sa_st = mul_fixed(tab.sin[i], sin_t);
  sin_r = {add(sa_ct, negate_if(ca_st, below)), 0};
  cos_r = {add(ca_ct, negate_if(sa_st, !below)), 0};
}

double negate(double v) { return std::bit_cast<double>(std::bit_cast<u64>(v) ^ kSignBit); }

// NaN and infinities, and arguments too small to need the series.
bool trivial(double x, SinCos& out) {
  const u64 magnitude = std::bit_cast<u64>(x) & ~kSignBit;
  if (magnitude >= 0x7FF0000000000000u) {
    const double nan = magnitude == 0x7FF0000000000000u
                           ? std::numeric_limits<double>::quiet_NaN()
                           : std::bit_cast<double>(std::bit_cast<u64>(x) | (u64{1} << 51));
    out = {nan, nan};
    return true;
  }
  if (magnitude < std::bit_cast<u64>(kTiny)) {
    out = {x, 1.0};
    return true;
  }
  return false;
}

template <int N>
trig_internal::Attempt attempt(double x) {
  trig_internal::Attempt a{};
  if (trivial(x, a.nearest)) {
    a.sin_decided = a.cos_decided = true;
    return a;
  }
  const bool x_negative = std::bit_cast<u64>(x) >> 63 != 0;
  const Reduced<N> red = reduce<N>(x_negative ? negate(x) : x);
  Scaled<N> sin_r, cos_r;
  evaluate(red.r, sin_r, cos_r);
  const Rounded sr = round_checked(sin_r);
  const Rounded cr = round_checked(cos_r);
  // sin and cos of quadrant * pi/2 + r: the pair swapped in odd quadrants,
  // then signs; selected without branches, as the quadrant is random.
  const unsigned q = static_cast<unsigned>(red.quadrant) & 3;
  const u64 sin_bits = std::bit_cast<u64>(sr.value) ^ (static_cast<u64>(red.negative) << 63);
  const u64 cos_bits = std::bit_cast<u64>(cr.value);
  const u64 odd = 0 - static_cast<u64>(q & 1);
  const u64 sin_sign = static_cast<u64>(((q >> 1) & 1) ^ static_cast<unsigned>(x_negative)) << 63;
  const u64 cos_sign = static_cast<u64>((q ^ (q >> 1)) & 1) << 63;
  a.nearest = {std::bit_cast<double>(((sin_bits & ~odd) | (cos_bits & odd)) ^ sin_sign),
               std::bit_cast<double>(((cos_bits & ~odd) | (sin_bits & odd)) ^ cos_sign)};
  a.sin_decided = red.trusted && ((q & 1) != 0 ? cr.decided : sr.decided);
  a.cos_decided = red.trusted && ((q & 1) != 0 ? sr.decided : cr.decided);
  return a;
}

// The rare arguments the first precision cannot decide.
SinCos escalate(double x, int limbs) {
  trig_internal::Attempt a{};
  for (int n = limbs; n <= kMaxLimbs; n *= 2) {
    a = trig_internal::sin_cos_at(x, n);
    if (a.sin_decided && a.cos_decided) return a.nearest;
  }
  // No double should get here: the hardest arguments known are decided far
  // below 512 bits. If one does, the error analysis has a hole, and that must
  // not stay silent: the engine's one message of its own, a single write (so
  // threads cannot interleave it), with the argument's bits to reproduce it.
  std::fprintf(stderr,
               "zentrova: sin_cos undecided at %d bits for x = %.17g (bits 0x%016" PRIX64
               "); the nearest double of that evaluation is returned\n",
               64 * kMaxLimbs, x, std::bit_cast<u64>(x));
  return a.nearest;
}

}  // namespace

SinCos sin_cos(double x) {
  const trig_internal::Attempt a = attempt<2>(x);
  if (a.sin_decided && a.cos_decided) return a.nearest;
  return escalate(x, 4);
}

namespace trig_internal {

Attempt sin_cos_at(double x, int limbs) {
  switch (limbs) {
    case 1:
      return attempt<1>(x);
    case 2:
      return attempt<2>(x);
    case 4:
      return attempt<4>(x);
    default:
      return attempt<kMaxLimbs>(x);
  }
}

SinCos sin_cos_from(double x, int limbs) { return escalate(x, limbs); }

}  // namespace trig_internal
}  // namespace zentrova::core
