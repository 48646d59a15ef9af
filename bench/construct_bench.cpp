// What a fresh register costs: the whole construction as a caller meets it,
// beside the memory query alone and a construction that always asks the
// host, so one run shows what skipping the query saves on small registers and
// that large ones still pay for it.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "core/platform/memory.h"
#include "core/qubit/register.h"

namespace {

using zentrova::core::Register;

void construct(benchmark::State& st) {
  const auto n = static_cast<std::uint64_t>(st.range(0));
  for (auto _ : st) {
    Register reg(n);
    benchmark::DoNotOptimize(reg.amplitudes());
  }
}

void construct_asking(benchmark::State& st) {
  const auto n = static_cast<std::uint64_t>(st.range(0));
  for (auto _ : st) {
    Register reg = Register::with_memory(n, zentrova::core::platform::available_physical_memory());
    benchmark::DoNotOptimize(reg.amplitudes());
  }
}

void memory_query(benchmark::State& st) {
  for (auto _ : st) benchmark::DoNotOptimize(zentrova::core::platform::available_physical_memory());
}

void sizes(benchmark::internal::Benchmark* b) {
  b->ArgName("n")->Unit(benchmark::kMicrosecond);
  for (int n : {0, 1, 5, 10, 12, 16, 17, 20, 24}) b->Arg(n);
}

BENCHMARK(construct)->Apply(sizes);
BENCHMARK(construct_asking)->Apply(sizes);
BENCHMARK(memory_query)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
