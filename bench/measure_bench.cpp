// Time per read-out pass beside the floor that bounds it, each paired with its
// own bare loop on the same array in the same run:
//
//   probabilities (god_observe), in chunks of 512 as the module fills its list
//                                   vs a read-only pass
//   observe's scan over every amplitude (the draw is never reached)
//                                   vs one bare running sum with the same test
//   observe's clear                 vs the C library's fill with zeros
//   observe_one's compensated sum   vs a bare compensated sum of as many terms
//   observe_one's collapse          vs the in-place sweep (two streams for n-1)
//   observe_mul's marginal table    vs one bare running sum over every amplitude
//   observe_mul's collapse          vs the in-place sweep (two streams for n-1)
//
// The sums are chains of dependent additions whose order is fixed to the bit,
// so their floor is the chain, not the memory. Targets are 0, 1, n/2 and n-1.
//
// Without a floor, once per run: one uniform draw from this thread's generator,
// and whole measurements of 1 and 10 qubits, where the draw is a visible share.
//
//   measure_bench [--sizes=20,24[,26]] [--kernels=scalar|avx2|avx512]
//                 [--state=dense|half-zero|fresh] [google benchmark flags]
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "core/random/thread_rng.h"

namespace {

using zentrova::bench::Floor;
using zentrova::bench::register_for;
using zentrova::bench::timed;
using zentrova::core::KernelSet;
using zentrova::core::Register;

void add(const std::string& name, std::uint64_t n, int slot, Floor floor,
         std::function<void(Register&)> body) {
  benchmark::RegisterBenchmark(name.c_str(), [n, slot, floor, body](benchmark::State& st) {
    Register& reg = register_for(n, slot);
    timed(st, reg, &floor, [&] { body(reg); });
  })->UseManualTime()->Unit(benchmark::kMillisecond);
}

// ns per call. Qubit 0 reads 1 every time, so every call sums and collapses
// the same dense half; a random first outcome would leave a zero half that
// the sum skips in some runs and not in others.
void register_draws() {
  benchmark::RegisterBenchmark("uniform_draw", [](benchmark::State& st) {
    for (auto _ : st) benchmark::DoNotOptimize(zentrova::core::uniform_draw());
  });
  for (std::uint64_t n : {1u, 10u}) {
    const std::string name = "observe_one_whole/n:" + std::to_string(n);
    benchmark::RegisterBenchmark(name.c_str(), [n](benchmark::State& st) {
      Register reg(n);
      (void)reg.x(0);
      for (std::uint64_t q = 1; q < n; ++q) (void)reg.h(q);
      for (auto _ : st) benchmark::DoNotOptimize(reg.observe_one(0));
    });
  }
}

void register_size(std::uint64_t n, const KernelSet& k) {
  static const bool draws_registered = (register_draws(), true);
  (void)draws_registered;
  const std::string size = "/n:" + std::to_string(n) + zentrova::bench::set_tag(k);
  zentrova::bench::register_floors(
      n, {Floor::kSweep, Floor::kTwoStreams, Floor::kReadOnly, Floor::kClear, Floor::kChain,
          Floor::kKahanChain});

  add("probabilities" + size, n, 0, Floor::kReadOnly, [&k](Register& r) {
    double chunk[512];
    for (std::uint64_t begin = 0; begin < r.dimension(); begin += 512) {
      k.probabilities(r.mutable_amplitudes() + begin, 512, chunk);
      benchmark::DoNotOptimize(chunk);
    }
  });
  add("observe_scan" + size, n, 0, Floor::kChain, [&k](Register& r) {
    benchmark::DoNotOptimize(
        k.observe_scan(r.mutable_amplitudes(), r.dimension(), std::numeric_limits<double>::infinity()));
  });
  // Clear and collapses write zeros; they get a register of their own so the
  // read-only passes always meet a dense state.
  add("observe_clear" + size, n, 1, Floor::kClear,
      [&k](Register& r) { k.clear(r.mutable_amplitudes(), r.dimension()); });

  for (std::uint64_t t : {std::uint64_t{0}, std::uint64_t{1}, n / 2, n - 1}) {
    const std::string at = size + "/t:" + std::to_string(t);
    const Floor stream_floor = t == n - 1 ? Floor::kTwoStreams : Floor::kSweep;
    add("observe_one_sum" + at, n, 0, Floor::kKahanChain, [&k, t](Register& r) {
      benchmark::DoNotOptimize(k.probability_of_one(r.mutable_amplitudes(), r.dimension(), t));
    });
    // Dividing by 1 keeps the values (and their cost) as they are.
    add("observe_one_collapse" + at, n, 1, stream_floor, [&k, t](Register& r) {
      k.collapse_one(r.mutable_amplitudes(), r.dimension(), t, true, 1.0);
    });
    add("observe_mul_table" + at, n, 0, Floor::kChain, [&k, t](Register& r) {
      double table[2] = {0.0, 0.0};
      const std::uint64_t targets[1] = {t};
      k.marginal_table(r.mutable_amplitudes(), r.dimension(), targets, 1, table);
      benchmark::DoNotOptimize(table);
    });
    add("observe_mul_collapse" + at, n, 1, stream_floor, [&k, t](Register& r) {
      const std::uint64_t mask = std::uint64_t{1} << t;
      k.collapse_mul(r.mutable_amplitudes(), r.dimension(), mask, mask, true, 1.0);
    });
  }
  // Three targets, the lowest inside a vector register.
  add("observe_mul_table3" + size + "/t:0," + std::to_string(n / 2) + "," + std::to_string(n - 1), n, 0,
      Floor::kChain, [&k, n](Register& r) {
        double table[8] = {};
        const std::uint64_t targets[3] = {0, n / 2, n - 1};
        k.marginal_table(r.mutable_amplitudes(), r.dimension(), targets, 3, table);
        benchmark::DoNotOptimize(table);
      });
}

}  // namespace

int main(int argc, char** argv) {
  return zentrova::bench::run_main(argc, argv, 10, &register_size);
}
