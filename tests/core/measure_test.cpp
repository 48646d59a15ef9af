// The read-outs: probabilities bit for bit, collapse bit for bit against a
// plain model driven by the same draws, and refusals that leave the state and
// the generator untouched.
#include <gtest/gtest.h>

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

namespace zentrova::core {
namespace {

constexpr std::uint64_t kPlentyOfMemory = std::uint64_t{1} << 40;

Register fresh(std::uint64_t n) { return Register::with_memory(n, kPlentyOfMemory); }

std::vector<unsigned char> raw_bytes(const Register& reg) {
  const auto* p = reinterpret_cast<const unsigned char*>(reg.amplitudes());
  return std::vector<unsigned char>(p, p + reg.dimension() * sizeof(Amplitude));
}

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
    Amplitude& a = reg.amplitudes()[i];
    a.re = gen() % 4 == 0 ? specials[gen() % std::size(specials)] : uniform(gen);
    a.im = gen() % 4 == 0 ? specials[gen() % std::size(specials)] : uniform(gen);
  }
}

std::string fatal_text_of(auto&& call) {
  try {
    call();
  } catch (const FatalError& e) {
    return e.message();
  }
  return "no fatal error";
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

}  // namespace
}  // namespace zentrova::core
