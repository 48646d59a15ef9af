// Time per call of the engine's correctly rounded sin_cos, beside the C
// library's sin and cos of the same arguments (a ratio steadier than either time
// on a shared machine), and the cost of the wider steps the rare undecided
// arguments take: 256 bits (what sin_cos adds for them) and 512 bits.
//
//   trig_bench [google benchmark flags]
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "core/math/trig.h"

namespace {

using zentrova::core::sin_cos;
using zentrova::core::trig_internal::sin_cos_at;

// 4096 arguments, uniform in [-limit, limit], or with a uniform exponent up to
// 2^1023 when limit is 0.
std::vector<double> arguments(double limit) {
  std::mt19937_64 rng(5);
  std::vector<double> xs(4096);
  for (double& x : xs) {
    const double u = std::uniform_real_distribution<double>(-1.0, 1.0)(rng);
    x = limit > 0 ? u * limit : std::ldexp(u, std::uniform_int_distribution<int>(40, 1023)(rng));
  }
  return xs;
}

template <typename F>
void run(benchmark::State& state, double limit, F f) {
  const std::vector<double> xs = arguments(limit);
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f(xs[i]));
    i = (i + 1) % xs.size();
  }
}

struct Pair {
  double s, c;
};

// The ranges: no reduction, the half angles of rotations by up to 2 pi, huge.
const double kRanges[] = {0x1.921fb54442d18p-1, 0x1.921fb54442d18p+1, 0.0};

void BM_sin_cos(benchmark::State& state) {
  run(state, kRanges[state.range(0)], [](double x) { return sin_cos(x); });
}
void BM_libm_sin_cos(benchmark::State& state) {
  run(state, kRanges[state.range(0)], [](double x) { return Pair{std::sin(x), std::cos(x)}; });
}
void BM_sin_cos_256_bits(benchmark::State& state) {
  run(state, kRanges[state.range(0)], [](double x) { return sin_cos_at(x, 4); });
}
void BM_sin_cos_512_bits(benchmark::State& state) {
  run(state, kRanges[state.range(0)], [](double x) { return sin_cos_at(x, 8); });
}

// Argument 0: |x| <= pi/4; 1: |x| <= pi; 2: huge.
BENCHMARK(BM_sin_cos)->DenseRange(0, 2);
BENCHMARK(BM_libm_sin_cos)->DenseRange(0, 2);
BENCHMARK(BM_sin_cos_256_bits)->DenseRange(0, 2);
BENCHMARK(BM_sin_cos_512_bits)->DenseRange(0, 2);

}  // namespace

BENCHMARK_MAIN();
