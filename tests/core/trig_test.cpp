// sin_cos against a multiple-precision reference (MPFR, correctly rounded):
// a million arguments over every exponent, arguments whose results lie close
// to a midpoint between two doubles, the arguments closest to a multiple of
// pi/2 (where the reduction loses the most), each precision step on its own,
// and the reduction's constants word by word. A build without MPFR (the cross builds)
// checks the same arguments against a digest of the results the reference run
// accepted.
//
// A longer run: ZENTROVA_TRIG_ARGUMENTS=<count> [ZENTROVA_TRIG_SEED=<n>]
// zentrova_core_tests --gtest_filter='TrigTest.*'
#include "core/math/trig.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <limits>
#include <map>
#include <random>

#if ZENTROVA_HAVE_MPFR
#include <mpfr.h>

#include "core/math/trig_tables.h"
#endif

namespace zentrova::core {
namespace {

using u64 = std::uint64_t;

u64 bits(double d) { return std::bit_cast<u64>(d); }

// The 20 arguments closest to a midpoint that DISABLED_SearchHardCases finds:
// sin or cos of each lies within 2^-51.4 to 2^-54 of a midpoint between two
// doubles, in units of their spacing. Then the edges of the implementation's
// ranges.
constexpr double kChecked[] = {
    0x1.6a09e667f3bcdp-27, 0x1.6a09e667f3bccp-27, 0x1.7137449123ef6p-26, 0x1.7137449123ef7p-26,
    0x1.8db9cb7511e9ep-25, 0x1.2c2fc595456a7p-25, 0x1.726d41832a0cp-24, 0x1.94c583ada5b53p-26,
    0x1.3988e1409212fp-26, 0x1.6a09e667f3bcep-27, 0x1.3905b4a6d76dp-23, 0x1.4850bcdbf13a1p-23,
    0x1.4f747439b348bp-25, 0x1.6a09e667f3bcbp-27, 0x1.8a85c24f7065ap-25, 0x1.2f9422c23c47fp-24,
    0x1.3988e1409212ep-26, 0x1.7137449123ef5p-26, 0x1.deeea11683f49p-26, 0x1.e3cf476542bd1p-25,
    0x1p-27, 0x1.fffffffffffffp-28,                 // where the series starts
    0x1.921fb54442d18p-1, 0x1.921fb54442d19p-1,     // where reduction starts
    0x1p+28, 0x1.fffffffffffffp+27,                 // where it changes method
    0x1p-6, 0x1p-2, 0x1.9p-1,                       // on table points: t = 0
    0x1.921fb54442d18p+0, 0x1.921fb54442d18p+1,     // pi/2 and pi
    0x1.8612eee514c70p-1,                           // missed by a common library
    0x1.6ac5b262ca1ffp+849,                         // closest to a multiple of pi/2
    1e22, 0x1p-1022, 0x1p-1074, 0x1.fffffffffffffp+1023,
};

// The doubles closest to a multiple of pi/2, as DISABLED_SearchReductionHardCases
// finds them, with log2 of |x * 2/pi - k|. For x - k pi/2: the closest in each
// binade from pi/2 (the first multiple above pi/4, where reduction starts) to
// 2^29, so on both sides of 2^28, where the reduction changes method. For the
// window of 2/pi: the closest for each word of 2/pi a window starts in (a
// wrong word shows first there), and in the last binade.
constexpr double kNearMultiples[] = {
    0x1.921fb54442d18p+0,  // -54.51
    0x1.921fb54442d18p+1,  // -53.51
    0x1.921fb54442d18p+2,  // -52.51
    0x1.921fb54442d18p+3,  // -51.51
    0x1.6c6cbc45dc8dep+5,  // -61.14
    0x1.6c6cbc45dc8dep+6,  // -60.14
    0x1.6c6cbc45dc8dep+7,  // -59.14
    0x1.6c6cbc45dc8dep+8,  // -58.14
    0x1.6c6cbc45dc8dep+9,  // -57.14
    0x1.6c6cbc45dc8dep+10,  // -56.14
    0x1.6c6cbc45dc8dep+11,  // -55.14
    0x1.6c6cbc45dc8dep+12,  // -54.14
    0x1.6c6cbc45dc8dep+13,  // -53.14
    0x1.635e3d74befcap+14,  // -52.95
    0x1.67e57cdd4dc54p+15,  // -53.36
    0x1.67e57cdd4dc54p+16,  // -52.36
    0x1.39c6fd67805a7p+18,  // -54.98
    0x1.39c6fd67805a7p+19,  // -53.98
    0x1.9eb7148f354d6p+20,  // -54.79
    0x1.9eb7148f354d6p+21,  // -53.79
    0x1.9eb7148f354d6p+22,  // -52.79
    0x1.b951f1572eba5p+23,  // -59.68
    0x1.b951f1572eba5p+24,  // -58.68
    0x1.b951f1572eba5p+25,  // -57.68
    0x1.b951f1572eba5p+26,  // -56.68
    0x1.b951f1572eba5p+27,  // -55.68
    0x1.b951f1572eba5p+28,  // -54.68
    0x1.782b7a20df6d4p+67,  // -58.09
    0x1.504cac51f1eafp+131,  // -59.58
    0x1.e7e44a78ac18cp+197,  // -58.71
    0x1.c45cd11154dfdp+295,  // -58.65
    0x1.44599ae031379p+314,  // -56.86
    0x1.e3ca9b6c655cbp+408,  // -57.35
    0x1.b88cbb4e32576p+487,  // -57.36
    0x1.8b28676cdcc5bp+555,  // -57.71
    0x1.4c96c11134d36p+577,  // -59.13
    0x1.db41f3cb71d7bp+680,  // -58.74
    0x1.8c50c5644903fp+725,  // -56.49
    0x1.6e8d778c94d66p+794,  // -57.35
    0x1.6ac5b262ca1ffp+849,  // -61.54
    0x1.4117573397d42p+939,  // -57.8
    0x1.e009c53148be1p+991,  // -59.44
    0x1.61a3db8c8d129p+1021,  // -57.75
    0x1.61a3db8c8d129p+1023,  // -55.75
};

// The argument stream, the same on every platform: the generator's raw words
// only, as the standard's distributions differ between libraries.
double argument(std::mt19937_64& rng, u64 i) {
  const u64 w = rng();
  switch (i % 3) {
    case 0:  // any bit pattern: every exponent, subnormals, infinities, NaNs
      return std::bit_cast<double>(w);
    case 1: {  // the angles rotations mostly get: 2^-30 to 2^12
      const u64 exponent = 1023 - 30 + (w >> 52) % 43;
      return std::bit_cast<double>((w & 0x800FFFFFFFFFFFFFu) | (exponent << 52));
    }
    default: {  // a few units from a multiple of pi/2 below 2^32
      const double multiple = static_cast<double>(w >> 32) * 0x1.921fb54442d18p+0;
      return std::bit_cast<double>(bits(multiple) + (w & 15) - 8);
    }
  }
}

// FNV-1a over the results' bits.
struct Digest {
  u64 value = 0xCBF29CE484222325u;
  void add(double d) { value = (value ^ bits(d)) * 0x100000001B3u; }
};

// What the reference accepted for the default stream and kChecked.
constexpr u64 kDefaultCount = 1000000;
constexpr u64 kDefaultSeed = 13;
constexpr u64 kDigest = 0xBE9CA20A174BD059;
// The same for kNearMultiples.
constexpr u64 kNearMultiplesDigest = 0x3B2D8FDCB90CD70D;

u64 from_env(const char* name, u64 fallback) {
  const char* text = std::getenv(name);
  return text != nullptr ? std::strtoull(text, nullptr, 10) : fallback;
}

bool same(double a, double b) { return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b)); }

#if ZENTROVA_HAVE_MPFR
class Reference {
 public:
  Reference() { mpfr_inits2(53, x_, sin_, cos_, static_cast<mpfr_ptr>(nullptr)); }
  ~Reference() { mpfr_clears(x_, sin_, cos_, static_cast<mpfr_ptr>(nullptr)); }
  SinCos operator()(double x) {
    mpfr_set_d(x_, x, MPFR_RNDN);
    mpfr_sin_cos(sin_, cos_, x_, MPFR_RNDN);
    // Every result is a normal double but sin of a subnormal, which is x.
    return {mpfr_get_d(sin_, MPFR_RNDN), mpfr_get_d(cos_, MPFR_RNDN)};
  }

 private:
  mpfr_t x_, sin_, cos_;
};
#endif

TEST(TrigTest, CorrectlyRoundedOverEveryExponent) {
  const u64 count = from_env("ZENTROVA_TRIG_ARGUMENTS", kDefaultCount);
  const u64 seed = from_env("ZENTROVA_TRIG_SEED", kDefaultSeed);
  std::mt19937_64 rng(seed);
#if ZENTROVA_HAVE_MPFR
  Reference reference;
#endif
  Digest digest;
  u64 wrong = 0, slow = 0;
  auto check = [&](double x) {
    const SinCos got = sin_cos(x);
    digest.add(got.sin);
    digest.add(got.cos);
    const trig_internal::Attempt fast = trig_internal::sin_cos_at(x, 2);
    slow += !(fast.sin_decided && fast.cos_decided);
#if ZENTROVA_HAVE_MPFR
    const SinCos want = reference(x);
    if (!same(got.sin, want.sin) || !same(got.cos, want.cos)) {
      if (++wrong <= 10) {
        ADD_FAILURE() << std::hexfloat << "x = " << x << ": sin " << got.sin << " cos " << got.cos
                      << ", exact " << want.sin << " " << want.cos;
      }
    }
#endif
  };
  for (u64 i = 0; i < count; ++i) check(argument(rng, i));
  for (double x : kChecked) {
    check(x);
    check(-x);
  }
  EXPECT_EQ(wrong, 0u);
  std::cout << count << " arguments (seed " << seed << "), " << slow
            << " needing more than 128 bits\n";
  if (count == kDefaultCount && seed == kDefaultSeed) {
    EXPECT_EQ(digest.value, kDigest) << std::hex << "digest 0x" << digest.value;
  }
}

// Each precision step: what it decides is right (its error bound holds; at 64
// bits many results are near enough to a midpoint to test that), and starting
// from it, sin_cos climbs to an answer for every argument.
TEST(TrigTest, EveryPrecisionStepDecidesCorrectly) {
  std::mt19937_64 rng(kDefaultSeed + 1);
  u64 undecided[9] = {};
  constexpr u64 kCount = 30000;
  for (u64 i = 0; i < kCount; ++i) {
    const double x = argument(rng, i);
    const SinCos want = sin_cos(x);
    for (int limbs : {1, 2, 4, 8}) {
      const trig_internal::Attempt a = trig_internal::sin_cos_at(x, limbs);
      undecided[limbs] += !a.sin_decided + !a.cos_decided;
      EXPECT_TRUE(!a.sin_decided || same(a.nearest.sin, want.sin)) << std::hexfloat << x;
      EXPECT_TRUE(!a.cos_decided || same(a.nearest.cos, want.cos)) << std::hexfloat << x;
    }
    const SinCos climbed = trig_internal::sin_cos_from(x, 1);
    EXPECT_TRUE(same(climbed.sin, want.sin) && same(climbed.cos, want.cos)) << std::hexfloat << x;
  }
  EXPECT_GT(undecided[1], kCount / 10);
  EXPECT_EQ(undecided[4] + undecided[8], 0u);
}

// The reduction's hard cases, and the doubles either side of each: the
// multiple's own side and the other.
TEST(TrigTest, ArgumentsClosestToMultiplesOfHalfPi) {
#if ZENTROVA_HAVE_MPFR
  Reference reference;
#endif
  Digest digest;
  for (double near : kNearMultiples) {
    for (double x : {std::nextafter(near, 0.0), near, std::nextafter(near, 2 * near)}) {
      for (double signed_x : {x, -x}) {
        const SinCos got = sin_cos(signed_x);
        digest.add(got.sin);
        digest.add(got.cos);
#if ZENTROVA_HAVE_MPFR
        const SinCos want = reference(signed_x);
        EXPECT_TRUE(same(got.sin, want.sin) && same(got.cos, want.cos))
            << std::hexfloat << "x = " << signed_x << ": sin " << got.sin << " cos " << got.cos
            << ", exact " << want.sin << " " << want.cos;
#endif
      }
    }
  }
  EXPECT_EQ(digest.value, kNearMultiplesDigest) << std::hex << "digest 0x" << digest.value;
}

#if ZENTROVA_HAVE_MPFR
// Every word of the reduction's constants, against MPFR's pi: a wrong low word
// changes no result a test could see, the hard cases above included.
TEST(TrigTest, ReductionTablesMatchMpfr) {
  mpfr_t value;
  mpz_t integer, word;
  mpfr_init2(value, 3000);
  mpz_inits(integer, word, nullptr);
  const auto expect_words = [&](const u64* table, int count, const char* name) {
    // table[0] is the top word of the integer part of value.
    mpfr_get_z(integer, value, MPFR_RNDD);
    for (int i = 0; i < count; ++i) {
      mpz_tdiv_q_2exp(word, integer, 64 * (count - 1 - i));
      mpz_fdiv_r_2exp(word, word, 64);
      u64 want = 0;
      mpz_export(&want, nullptr, -1, sizeof want, 0, 0, word);
      EXPECT_EQ(table[i], want) << name << " word " << i;
    }
  };
  const int two_over_pi_words = static_cast<int>(std::size(kTwoOverPi));
  mpfr_const_pi(value, MPFR_RNDN);
  mpfr_ui_div(value, 2, value, MPFR_RNDN);
  mpfr_mul_2ui(value, value, 64 * two_over_pi_words, MPFR_RNDN);
  expect_words(kTwoOverPi, two_over_pi_words, "2/pi");
  const int half_pi_words = static_cast<int>(std::size(kHalfPi));
  mpfr_const_pi(value, MPFR_RNDN);
  mpfr_mul_2ui(value, value, 64 * half_pi_words - 2, MPFR_RNDN);
  expect_words(kHalfPi, half_pi_words, "pi/2");
  mpz_clears(integer, word, nullptr);
  mpfr_clear(value);
}
#endif

TEST(TrigTest, ZerosInfinitiesAndNaNs) {
  for (double zero : {0.0, -0.0}) {
    const SinCos r = sin_cos(zero);
    EXPECT_EQ(bits(r.sin), bits(zero));
    EXPECT_EQ(r.cos, 1.0);
  }
  const double inf = std::numeric_limits<double>::infinity();
  for (double x : {inf, -inf}) {
    const SinCos r = sin_cos(x);
    EXPECT_EQ(bits(r.sin), bits(std::numeric_limits<double>::quiet_NaN()));
    EXPECT_EQ(bits(r.cos), bits(r.sin));
  }
  // A signalling NaN comes back quiet, payload and sign kept.
  const SinCos r = sin_cos(std::bit_cast<double>(0xFFF0000000000123u));
  EXPECT_EQ(bits(r.sin), 0xFFF8000000000123u);
  EXPECT_EQ(bits(r.cos), 0xFFF8000000000123u);
}

#if ZENTROVA_HAVE_MPFR
// How kChecked's first part was found; run by hand with
// --gtest_also_run_disabled_tests. Near flat points of the functions (sin
// near 0, cos near 0, sin near pi/2, cos near pi) the exact value moves slowly
// along the doubles, so the arguments where it passes a midpoint can be
// aimed at.
double midpoint_distance_log2(double x, bool cosine) {
  mpfr_t arg, exact, near, next;
  mpfr_inits2(400, arg, exact, static_cast<mpfr_ptr>(nullptr));
  mpfr_inits2(53, near, next, static_cast<mpfr_ptr>(nullptr));
  mpfr_set_d(arg, x, MPFR_RNDN);
  (cosine ? mpfr_cos : mpfr_sin)(exact, arg, MPFR_RNDN);
  mpfr_set(near, exact, MPFR_RNDN);
  mpfr_set(next, near, MPFR_RNDN);
  if (mpfr_cmp(exact, near) > 0) {
    mpfr_nextabove(next);
  } else {
    mpfr_nextbelow(next);
  }
  // (exact - (near + next) / 2) / (next - near), near + next exact in 400 bits.
  mpfr_sub(exact, exact, near, MPFR_RNDN);
  mpfr_sub(next, next, near, MPFR_RNDN);
  mpfr_div(exact, exact, next, MPFR_RNDN);
  const double d = std::abs(mpfr_get_d(exact, MPFR_RNDN) - 0.5);
  mpfr_clears(arg, exact, near, next, static_cast<mpfr_ptr>(nullptr));
  return std::log2(d);
}

TEST(TrigTest, DISABLED_SearchHardCases) {
  // The doubles around each aim, printed when within 2^-49.
  auto report = [](double aim, bool cosine) {
    for (int step = -3; step <= 3; ++step) {
      const double x = std::bit_cast<double>(bits(aim) + step);
      const double d = midpoint_distance_log2(x, cosine);
      if (d < -49) std::cout << std::hexfloat << x << (cosine ? " c " : " s ") << d << "\n";
    }
  };
  const double half_pi = 0x1.921fb54442d18p+0, pi = 0x1.921fb54442d18p+1;
  // sin x = x - x^3/6 passes the midpoint below x where x^3/6 = (j + 1/2) ulp(x).
  for (int e = -26; e <= -18; ++e) {
    for (int j = 0; j < 40; ++j) report(std::cbrt(6 * (j + 0.5) * std::ldexp(1.0, e - 52)), false);
  }
  // 1 - x^2/2, and the same near pi/2 for sin and near pi for cos, passes the
  // midpoints below 1, 2^-53 apart, where x^2/2 = (j + 1/2) 2^-53.
  for (int j = 0; j < 3000; ++j) {
    const double d = std::sqrt((2 * j + 1) * 0x1p-53);
    report(d, true);
    for (double sign : {-1.0, 1.0}) {
      report(half_pi + sign * d, false);
      report(pi + sign * d, true);
    }
  }
}
// How kNearMultiples was found; run by hand with --gtest_also_run_disabled_tests.
// The argument reduction loses the most where x * 2/pi comes closest to an
// integer. Among the doubles q * 2^e (q < 2^53), the closest for each e has as
// q the last denominator below 2^53 of the continued fraction of 2^e * 2/pi,
// and the denominator before it comes closest from the other side. Printed: for
// x - k pi/2 (pi/4 < x < 2^28), the closest in each binade; for the window of
// 2/pi (from 2^28 up), the closest for each word of 2/pi the window starts in,
// and in the binades at either end.
double fraction_log2(double x) {
  mpfr_t product, nearest;
  mpfr_inits2(2400, product, nearest, static_cast<mpfr_ptr>(nullptr));
  mpfr_const_pi(product, MPFR_RNDN);
  mpfr_ui_div(product, 2, product, MPFR_RNDN);
  mpfr_mul_d(product, product, x, MPFR_RNDN);
  mpfr_rint(nearest, product, MPFR_RNDN);
  mpfr_sub(product, product, nearest, MPFR_RNDN);
  long exponent = 0;
  const double mantissa = mpfr_get_d_2exp(&exponent, product, MPFR_RNDN);
  mpfr_clears(product, nearest, static_cast<mpfr_ptr>(nullptr));
  return static_cast<double>(exponent) + std::log2(std::abs(mantissa));
}

TEST(TrigTest, DISABLED_SearchReductionHardCases) {
  struct Found {
    double x = 0;
    double log2_f = 0;
  };
  std::map<int, Found> closest;  // by binade, or by the window's first word
  const auto keep = [&](int key, double x) {
    const double d = fraction_log2(x);
    if (closest[key].x == 0 || d < closest[key].log2_f) closest[key] = {x, d};
  };
  mpfr_t beta;
  mpfr_init2(beta, 2400);
  for (int e = -53; e <= 971; ++e) {
    mpfr_const_pi(beta, MPFR_RNDN);
    mpfr_ui_div(beta, 2, beta, MPFR_RNDN);
    mpfr_mul_2si(beta, beta, e, MPFR_RNDN);
    u64 previous = 0, q = 1;
    for (;;) {
      mpfr_frac(beta, beta, MPFR_RNDN);
      if (mpfr_zero_p(beta)) break;
      mpfr_ui_div(beta, 1, beta, MPFR_RNDN);
      if (mpfr_cmp_d(beta, 0x1p53) >= 0) break;
      const u64 a = mpfr_get_uj(beta, MPFR_RNDZ);
      const u64 next = a * q + previous;
      if (next >= (u64{1} << 53)) break;
      previous = q;
      q = next;
    }
    for (u64 candidate : {previous, q}) {
      const double x = std::ldexp(static_cast<double>(candidate), e);
      if (candidate == 0 || !(x > 0x1.921fb54442d18p-1) || std::isinf(x)) continue;
      const int binade = std::ilogb(x);
      keep(binade, x);
      // The reduction's window of 2/pi starts at place binade - 53.
      if (binade >= 28) keep(10000 + std::max(binade - 54, 0) / 64, x);
    }
  }
  mpfr_clear(beta);
  for (const auto& [key, found] : closest) {
    if (key < 28 || key == 28 || key == 1023 || key >= 10000) {
      std::cout << std::hexfloat << found.x << ",  // " << std::defaultfloat << std::setprecision(4)
                << found.log2_f << (key >= 10000 ? " window" : "") << "\n";
    }
  }
}
#endif

}  // namespace
}  // namespace zentrova::core
