// The read-outs: probabilities bit for bit, collapse bit for bit against a
// plain model driven by the same draws, and refusals that leave the state and
// the generator untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/fatal_error.h"
#include "core/messages.h"
#include "core/qubit/measure_testing.h"
#include "core/qubit/register.h"
#include "core/random/thread_rng.h"
#include "tests/core/test_support.h"

namespace zentrova::core {
namespace {

using test_support::fatal_text_of;
using test_support::raw_bytes;

constexpr std::uint64_t kPlentyOfMemory = std::uint64_t{1} << 40;

Register fresh(std::uint64_t n) { return Register::with_memory(n, kPlentyOfMemory); }

// Awkward values among ordinary ones: signed zeros, subnormals, infinities,
// NaNs with payloads, and magnitudes whose squares under- or overflow.
void fill_awkward(Register& reg, std::uint32_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  const double specials[] = {0.0,
                             -0.0,
                             std::numeric_limits<double>::denorm_min(),
                             -std::numeric_limits<double>::min(),
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             std::bit_cast<double>(std::uint64_t{0x7FF0000000000123}),
                             std::bit_cast<double>(std::uint64_t{0xFFF8000000000456}),
                             1e-200,
                             1e200};
  for (std::uint64_t i = 0; i < reg.dimension(); ++i) {
    Amplitude& a = reg.mutable_amplitudes()[i];
    a.re = gen() % 4 == 0 ? specials[gen() % std::size(specials)] : uniform(gen);
    a.im = gen() % 4 == 0 ? specials[gen() % std::size(specials)] : uniform(gen);
  }
}

TEST(MeasureTest, GodObserveIsTheRoundedSumOfRoundedSquares) {
  for (std::uint64_t n : {0u, 1u, 5u, 9u}) {
    Register reg = fresh(n);
    fill_awkward(reg, static_cast<std::uint32_t>(n) + 7);
    const std::vector<unsigned char> before = raw_bytes(reg);
    const std::vector<double> p = reg.god_observe();
    ASSERT_EQ(p.size(), reg.dimension());
    for (std::uint64_t i = 0; i < reg.dimension(); ++i) {
      const Amplitude a = reg.amplitudes()[i];
      volatile double rr = a.re * a.re;  // volatile: each product rounded to double
      volatile double ii = a.im * a.im;
      const double expected = rr + ii;
      if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(p[i])) << i;  // the payload depends on operand order
      } else {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(p[i]), std::bit_cast<std::uint64_t>(expected))
            << "n=" << n << " i=" << i;
      }
    }
    EXPECT_EQ(raw_bytes(reg), before);
    const std::vector<double> again = reg.god_observe();
    EXPECT_EQ(std::memcmp(again.data(), p.data(), p.size() * sizeof(double)), 0);
  }
}

TEST(MeasureTest, GodObserveRangeAndFreshRegister) {
  Register reg = fresh(3);
  EXPECT_EQ(reg.god_observe(), (std::vector<double>{1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(fresh(0).god_observe(), std::vector<double>{1.0});

  fill_awkward(reg, 3);
  const std::vector<double> all = reg.god_observe();
  double part[3] = {-1, -1, -1};
  reg.god_observe(4, 2, part);
  EXPECT_EQ(std::memcmp(part, all.data() + 4, 2 * sizeof(double)), 0);
  EXPECT_EQ(part[2], -1.0);  // nothing written past count
}

TEST(MeasureTest, GodObserveRefusesAListThatDoesNotFit) {
  Register reg = fresh(10);  // the list needs 8 * 1024 bytes
  const std::vector<unsigned char> before = raw_bytes(reg);
  {
    ScopedMemoryFigureForTesting memory(8191);
    EXPECT_EQ(fatal_text_of([&] { (void)reg.god_observe(); }),
              readout_memory_message("the probability list of god_observe", 8191, 8192));
  }
  {
    ScopedMemoryFigureForTesting memory(8192);
    EXPECT_EQ(reg.god_observe().size(), 1024u);
  }
  EXPECT_EQ(raw_bytes(reg), before);
}

// --- Measurement, with this thread's generator keyed by the test --------------

// Always the same key, so a twin generator on another instance predicts every draw.
class FixedKeyEntropy final : public platform::EntropySource {
 public:
  explicit FixedKeyEntropy(std::uint8_t fill_byte) { key_.fill(fill_byte); }
  std::optional<std::string> fill(platform::EntropyKey& key) override {
    ++calls;
    key = key_;
    return std::nullopt;
  }
  int calls = 0;

 private:
  platform::EntropyKey key_;
};

class FailingEntropy final : public platform::EntropySource {
 public:
  std::optional<std::string> fill(platform::EntropyKey&) override { return "no device"; }
};

// The calling thread draws from a fixed key; `twin` yields the same draws.
struct KnownDraws {
  explicit KnownDraws(std::uint8_t fill_byte = 0x5A)
      : source(fill_byte), twin_source(fill_byte), guard(source), twin(twin_source) {}
  FixedKeyEntropy source;
  FixedKeyEntropy twin_source;
  ScopedThreadRngForTesting guard;
  ThreadRng twin;
};

using State = std::vector<Amplitude>;

State state_of(Register& reg) {
  return State(reg.amplitudes(), reg.amplitudes() + reg.dimension());
}

void load(Register& reg, const State& s) {
  ASSERT_EQ(s.size(), reg.dimension());
  std::memcpy(static_cast<void*>(reg.mutable_amplitudes()), s.data(), s.size() * sizeof(Amplitude));
}

bool same_bits(Register& reg, const State& s) {
  return s.size() == reg.dimension() &&
         std::memcmp(reg.amplitudes(), s.data(), s.size() * sizeof(Amplitude)) == 0;
}

double prob(const Amplitude& a) {
  volatile double rr = a.re * a.re;
  volatile double ii = a.im * a.im;
  return rr + ii;
}

bool bit(std::uint64_t v, std::uint64_t q) { return (v >> q) & 1; }

// Plain models: every index tested on its own, no index arithmetic shared with
// the engine.
Ket model_observe(State& s, std::uint64_t n, double r) {
  std::uint64_t outcome = 0;
  double sum = 0.0;
  for (std::uint64_t i = 0; i < s.size(); ++i) {
    sum += prob(s[i]);
    if (sum >= r) {
      outcome = i;
      break;
    }
  }
  for (Amplitude& a : s) a = Amplitude{0.0, 0.0};
  s[outcome] = Amplitude{1.0, 0.0};
  return Ket{outcome, n};
}

Ket model_observe_one(State& s, std::uint64_t target, double r) {
  double sum = 0.0, c = 0.0;
  for (std::uint64_t i = 0; i < s.size(); ++i) {
    if (!bit(i, target)) continue;
    const double y = prob(s[i]) - c;
    const double t = sum + y;
    c = (t - sum) - y;
    sum = t;
  }
  const bool one = r < sum;
  const double h = std::sqrt(one ? sum : 1.0 - sum);
  for (std::uint64_t i = 0; i < s.size(); ++i) {
    if (bit(i, target) == one) {
      s[i] = Amplitude{s[i].re / h, s[i].im / h};
    } else {
      s[i] = Amplitude{0.0, 0.0};
    }
  }
  return Ket{one, 1};
}

// Draws through `next`, which must be called after the table is complete.
Ket model_observe_mul(State& s, std::vector<std::uint64_t> targets, auto&& next) {
  std::sort(targets.begin(), targets.end());
  std::vector<double> table(std::size_t{1} << targets.size(), 0.0);
  for (std::uint64_t j = 0; j < s.size(); ++j) {
    std::uint64_t t = 0;
    for (std::uint64_t k = 0; k < targets.size(); ++k) t += std::uint64_t{bit(j, targets[k])} << k;
    table[t] += prob(s[j]);
  }
  const double r = next();
  std::uint64_t o = 0;
  double sum = 0.0;
  for (std::uint64_t t = 0; t < table.size(); ++t) {
    sum += table[t];
    if (sum >= r) {
      o = t;
      break;
    }
  }
  const double h = std::sqrt(table[o]);
  for (std::uint64_t i = 0; i < s.size(); ++i) {
    bool agrees = true;
    for (std::uint64_t k = 0; k < targets.size(); ++k) agrees &= bit(i, targets[k]) == bit(o, k);
    if (!agrees) {
      s[i] = Amplitude{0.0, 0.0};
    } else if (table[o] != 0.0) {
      s[i] = Amplitude{s[i].re / h, s[i].im / h};
    }
  }
  return Ket{o, targets.size()};
}

// Finite random amplitudes, scaled so the norm lies somewhere around 1: some
// states fall short of the draw and take the fallback outcome.
State random_state(std::uint64_t n, std::uint32_t seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> normal;
  State s(std::size_t{1} << n);
  double norm = 0.0;
  for (Amplitude& a : s) {
    a = gen() % 5 == 0 ? Amplitude{0.0, 0.0} : Amplitude{normal(gen), normal(gen)};
    norm += prob(a);
  }
  const double scale = std::sqrt((0.9 + 0.2 * (seed % 3) / 2.0) / norm);
  for (Amplitude& a : s) a = Amplitude{a.re * scale, a.im * scale};
  return s;
}

TEST(MeasureTest, CollapseMatchesThePlainModelBitForBit) {
  KnownDraws draws;
  for (std::uint64_t n : {1u, 3u, 6u}) {
    for (std::uint32_t seed = 0; seed < 12; ++seed) {
      const State start = random_state(n, seed * 31 + static_cast<std::uint32_t>(n));
      Register reg = fresh(n);
      State model = start;
      load(reg, start);
      const Ket got = reg.observe();
      const Ket want = model_observe(model, n, draws.twin.uniform());
      EXPECT_EQ(got.value, want.value);
      EXPECT_EQ(got.width, n);
      EXPECT_TRUE(same_bits(reg, model)) << "observe n=" << n << " seed=" << seed;

      for (std::uint64_t target = 0; target < n; ++target) {
        load(reg, start);
        model = start;
        const Ket got1 = reg.observe_one(target);
        const Ket want1 = model_observe_one(model, target, draws.twin.uniform());
        EXPECT_EQ(got1.value, want1.value);
        EXPECT_EQ(got1.width, 1u);
        EXPECT_TRUE(same_bits(reg, model)) << "observe_one n=" << n << " target=" << target;
      }

      const std::vector<std::vector<std::uint64_t>> lists = {
          {}, {0}, {n - 1, 0}, {n / 2, n / 2}, {n - 1, n / 2, 0, n - 1}};
      for (const auto& list : lists) {
        load(reg, start);
        model = start;
        const Ket gotm = reg.observe_mul(list);
        const Ket wantm = model_observe_mul(model, list, [&] { return draws.twin.uniform(); });
        EXPECT_EQ(gotm.value, wantm.value);
        EXPECT_EQ(gotm.width, list.size());
        EXPECT_TRUE(same_bits(reg, model)) << "observe_mul n=" << n << " b=" << list.size();
      }
    }
  }
  EXPECT_EQ(draws.source.calls, 1);
}

TEST(MeasureTest, FreshRegisters) {
  KnownDraws draws;
  for (std::uint64_t n : {0u, 1u, 4u}) {
    Register reg = fresh(n);
    const State before = state_of(reg);
    const Ket k = reg.observe();
    EXPECT_EQ(k.value, 0u);
    EXPECT_EQ(k.width, n);
    EXPECT_TRUE(same_bits(reg, before));
  }
  Register none = fresh(0);
  EXPECT_EQ(fatal_text_of([&] { (void)none.observe_one(0); }), "target out of scope!");
  const Ket empty = none.observe_mul({});
  EXPECT_EQ(empty.value, 0u);
  EXPECT_EQ(empty.width, 0u);
}

TEST(MeasureTest, ObserveDropsThePhase) {
  KnownDraws draws;
  Register reg = fresh(2);
  load(reg, State{{0, 0}, {0, 0}, {0, 0}, {0, 1}});  // i|3>
  const Ket k = reg.observe();
  EXPECT_EQ(k.value, 3u);
  EXPECT_EQ(k.width, 2u);
  EXPECT_TRUE(same_bits(reg, State{{0, 0}, {0, 0}, {0, 0}, {1, 0}}));
}

TEST(MeasureTest, ObserveOneOnCertainQubits) {
  KnownDraws draws;
  // Qubit 1 never reads 1: outcome 0, survivors divided by sqrt(1) = 1.
  const State never{{0.6, 0}, {0, -0.8}, {0, 0}, {0, 0}};
  // Qubit 0 always reads 1 with probability exactly 1.
  const State always{{0, 0}, {0.6, 0}, {0, 0}, {0, 0.8}};
  for (int round = 0; round < 20; ++round) {
    Register reg = fresh(2);
    load(reg, never);
    EXPECT_EQ(reg.observe_one(1).value, 0u);
    EXPECT_TRUE(same_bits(reg, never));
    load(reg, always);
    EXPECT_EQ(reg.observe_one(0).value, 1u);
    EXPECT_TRUE(same_bits(reg, always));
  }
}

// Places probability `p` (a sum of powers of two, each 2^e with e >= -1074/2)
// on consecutive amplitudes from `index` on, one power of two each, so that
// any running sum over them is exact. Returns the next free index.
std::uint64_t place_exact(State& s, std::uint64_t index, double p, std::uint64_t stride = 1,
                          std::uint64_t offset = 0) {
  while (p > 0.0) {
    int e = 0;
    std::frexp(p, &e);
    const double top = std::ldexp(1.0, e - 1);  // highest set bit of p
    const double half = std::ldexp(1.0, (e - 1) >> 1);
    Amplitude& a = s.at(index * stride + offset);
    // 2^(2m) = (2^m)^2, 2^(2m+1) = (2^m)^2 + (2^m)^2.
    a = (e - 1) % 2 == 0 ? Amplitude{half, 0.0} : Amplitude{half, half};
    p -= top;
    ++index;
  }
  return index;
}

TEST(MeasureTest, ObserveAndObserveMulStopWhereTheSumReachesTheDraw) {
  KnownDraws draws;
  // Every qubit, listed out of order: table entry t is amplitude t.
  const std::vector<std::uint64_t> all = {3, 6, 0, 5, 1, 4, 2};
  for (int round = 0; round < 16; ++round) {
    const double r = draws.twin.uniform();
    if (r == 0.0) continue;
    State s(128, Amplitude{0.0, 0.0});
    const std::uint64_t last = place_exact(s, 0, r) - 1;
    s[last + 1] = Amplitude{1.0, 0.0};  // where a strict test would stop
    Register reg = fresh(7);
    load(reg, s);
    const bool mul = round % 2 == 1;
    EXPECT_EQ(mul ? reg.observe_mul(all).value : reg.observe().value, last)
        << (mul ? "observe_mul" : "observe") << " r=" << r;
  }
}

TEST(MeasureTest, ObserveOneIsStrictAndCompensated) {
  KnownDraws draws;
  for (int round = 0; round < 8; ++round) {
    // p1 == r exactly: a draw equal to p1 gives 0.
    double r = draws.twin.uniform();
    State s(128, Amplitude{0.0, 0.0});
    place_exact(s, 0, r, 1, 64);  // indices 64.. have qubit 6 set
    s[0] = Amplitude{0.5, 0.0};
    Register reg = fresh(7);
    load(reg, s);
    State model = s;
    EXPECT_EQ(reg.observe_one(6).value, 0u) << "r=" << r;
    model_observe_one(model, 6, r);
    EXPECT_TRUE(same_bits(reg, model));

    // p1 = r plus four quarter-ulps: a plain sum stays at r (outcome 0), the
    // compensated sum reaches the next double above r (outcome 1).
    r = draws.twin.uniform();
    if (r == 0.0) continue;
    std::fill(s.begin(), s.end(), Amplitude{0.0, 0.0});
    std::uint64_t next = place_exact(s, 0, r, 1, 64);
    const double quarter_ulp = (std::nextafter(r, 2.0) - r) / 4;
    for (int i = 0; i < 4; ++i) next = place_exact(s, next, quarter_ulp, 1, 64);
    load(reg, s);
    EXPECT_EQ(reg.observe_one(6).value, 1u) << "r=" << r;
  }
}

TEST(MeasureTest, ObserveMulOrdersBitsByQubit) {
  KnownDraws draws;
  Register reg = fresh(3);
  State s(8, Amplitude{0.0, 0.0});
  s[0b001] = Amplitude{1.0, 0.0};  // qubit 0 reads 1, qubit 2 reads 0
  load(reg, s);
  Ket k = reg.observe_mul({2, 0});
  EXPECT_EQ(k.value, 0b01u);
  EXPECT_EQ(k.width, 2u);
  EXPECT_TRUE(same_bits(reg, s));

  std::fill(s.begin(), s.end(), Amplitude{0.0, 0.0});
  s[0b110] = Amplitude{0.0, -1.0};
  load(reg, s);
  k = reg.observe_mul({2, 0});
  EXPECT_EQ(k.value, 0b10u);
  EXPECT_TRUE(same_bits(reg, s));
}

TEST(MeasureTest, RefusalsLeaveStateAndGeneratorUntouched) {
  KnownDraws draws;
  Register reg = fresh(4);
  load(reg, random_state(4, 5));
  const std::vector<unsigned char> before = raw_bytes(reg);
  const std::string out_of_scope = "target out of scope!";
  EXPECT_EQ(fatal_text_of([&] { (void)reg.observe_one(4); }), out_of_scope);
  EXPECT_EQ(fatal_text_of([&] { (void)reg.observe_one(UINT64_MAX); }), out_of_scope);
  EXPECT_EQ(fatal_text_of([&] { (void)reg.observe_mul({0, 1, 4, 2}); }), out_of_scope);
  // The range check comes first, even with too many targets.
  std::vector<std::uint64_t> sixty(60, 0);
  EXPECT_EQ(fatal_text_of([&] { (void)reg.observe_mul(sixty); }), "capacity overflow");
  sixty[59] = 7;
  EXPECT_EQ(fatal_text_of([&] { (void)reg.observe_mul(sixty); }), out_of_scope);
  EXPECT_EQ(raw_bytes(reg), before);
  EXPECT_EQ(draws.source.calls, 0);  // nothing was drawn
  EXPECT_EQ(uniform_draw(), draws.twin.uniform());

  // n - 1 is in range.
  (void)reg.observe_one(3);
}

TEST(MeasureTest, TableBeyondTheHostsMemoryIsRefused) {
  KnownDraws draws;
  Register reg = fresh(3);
  load(reg, random_state(3, 8));
  const std::vector<unsigned char> before = raw_bytes(reg);
  const std::vector<std::uint64_t> seven(7, 1);  // 2^7 doubles, 1024 bytes
  {
    ScopedMemoryFigureForTesting memory(1023);
    EXPECT_EQ(fatal_text_of([&] { (void)reg.observe_mul(seven); }),
              readout_memory_message("the marginal table of observe_mul", 1023, 1024));
  }
  EXPECT_EQ(raw_bytes(reg), before);
  EXPECT_EQ(draws.source.calls, 0);
  ScopedMemoryFigureForTesting memory(1024);
  const Ket k = reg.observe_mul(seven);
  EXPECT_TRUE(k.value == 0 || k.value == 127) << k.value;
}

TEST(MeasureTest, SeedingFailureStopsBeforeTheStateIsWritten) {
  FailingEntropy failing;
  ScopedThreadRngForTesting guard(failing);
  Register reg = fresh(3);
  load(reg, random_state(3, 1));
  const std::vector<unsigned char> before = raw_bytes(reg);
  const std::string text = std::string(kRngInitPrefix) + "no device";
  EXPECT_EQ(fatal_text_of([&] { (void)reg.observe(); }), text);
  EXPECT_EQ(fatal_text_of([&] { (void)reg.observe_one(1); }), text);
  EXPECT_EQ(fatal_text_of([&] { (void)reg.observe_mul({2, 0}); }), text);
  EXPECT_EQ(raw_bytes(reg), before);
}

TEST(MeasureTest, AnOutcomeOfProbabilityZeroIsNotDividedBy) {
  KnownDraws draws;
  for (int round = 0; round < 10; ++round) {
    // Nothing left to measure: the scan falls back to outcome 0, whose weight is 0.
    Register zero = fresh(2);
    load(zero, State(4, Amplitude{0.0, 0.0}));
    EXPECT_EQ(zero.observe_mul({1}).value, 0u);
    EXPECT_TRUE(same_bits(zero, State(4, Amplitude{0.0, 0.0})));

    // Amplitudes whose squares underflow to 0 survive as they were.
    Register tiny = fresh(2);
    const State s{{1e-200, 0}, {0, -1e-200}, {1e-170, 1e-170}, {0, 0}};
    load(tiny, s);
    EXPECT_EQ(tiny.observe_mul({1}).value, 0u);
    EXPECT_TRUE(same_bits(tiny, State{{1e-200, 0}, {0, -1e-200}, {0, 0}, {0, 0}}));
  }
  // observe_one has no such case: its factor is never 0 (outcome 1 needs p1 > r).
}

}  // namespace
}  // namespace zentrova::core
