// Time per gate beside the memory floor of this machine: an in-place
// read-and-write sweep over the register's own array, run just before every
// timed gate, and, for top targets, a bare loop over two streams half the
// array apart. A gate is reported in ns per amplitude of the register and as
// a multiple of the sweep (x_sweep); absolute times drift between runs on a
// shared machine, the paired ratios much less.
//
//   gates_bench [--sizes=20,24[,26]] [google benchmark flags]
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/qubit/kernels/dispatch.h"
#include "core/qubit/register.h"

namespace {

using zentrova::core::Amplitude;
using zentrova::core::Matrix2;
using zentrova::core::OpResult;
using zentrova::core::Register;
using Clock = std::chrono::steady_clock;

// One register per size, filled once and reused by every benchmark of that
// size, so page faults of a fresh block never land in a measurement.
Register& register_for(std::uint64_t n) {
  static std::map<std::uint64_t, std::unique_ptr<Register>> registers;
  auto& slot = registers[n];
  if (!slot) {
    slot = std::make_unique<Register>(n);
    // Ordinary values of magnitude ~1/sqrt(dimension): the unitary gates run
    // below keep them there, far from subnormals and infinities.
    std::uint64_t x = 0x9E3779B97F4A7C15u;
    const double scale = 1.0 / static_cast<double>(std::uint64_t{1} << (n / 2));
    Amplitude* a = slot->amplitudes();
    for (std::uint64_t i = 0; i < slot->dimension(); ++i) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      const double u = static_cast<double>(x >> 11) * 0x1p-53 - 0.5;
      a[i] = Amplitude{u * scale, (0.5 - u) * scale};
    }
  }
  return *slot;
}

void sweep_once(Register& reg) {
  double* p = reinterpret_cast<double*>(reg.amplitudes());
  const std::uint64_t count = 2 * reg.dimension();
  // Negation reads and writes every double and cannot be optimised away.
  for (std::uint64_t i = 0; i < count; ++i) p[i] = -p[i];
}

void two_streams_once(Register& reg) {
  const std::uint64_t half = reg.dimension();  // in doubles: half the array
  double* __restrict lo = reinterpret_cast<double*>(reg.amplitudes());
  double* __restrict hi = lo + half;
  for (std::uint64_t i = 0; i < half; ++i) {
    lo[i] = -lo[i];
    hi[i] = -hi[i];
  }
}

// Runs body once per iteration under manual timing and reports ns per
// amplitude. With paired set, every iteration also runs a sweep just before
// the body, timed apart, and x_sweep is the ratio of the two totals: both
// meet the same load from whatever else runs on the machine, so the ratio
// holds up far better than either time alone.
void timed(benchmark::State& st, std::uint64_t n, bool paired, const std::function<void()>& body) {
  Register& reg = register_for(n);
  double body_total = 0;
  double sweep_total = 0;
  for (auto _ : st) {
    const auto t0 = Clock::now();
    if (paired) sweep_once(reg);
    benchmark::ClobberMemory();
    const auto t1 = Clock::now();
    body();
    benchmark::ClobberMemory();
    const auto t2 = Clock::now();
    const double s = std::chrono::duration<double>(t2 - t1).count();
    st.SetIterationTime(s);
    body_total += s;
    sweep_total += std::chrono::duration<double>(t1 - t0).count();
  }
  const double dimension = static_cast<double>(std::uint64_t{1} << n);
  st.counters["ns_per_amp"] = body_total * 1e9 / static_cast<double>(st.iterations()) / dimension;
  if (paired) st.counters["x_sweep"] = body_total / sweep_total;
}

struct Gate {
  const char* name;
  // Applies the gate with the given target; the other qubits it needs are the
  // lowest ones that differ from the target.
  std::function<OpResult(Register&, std::uint64_t target, std::uint64_t o1, std::uint64_t o2)>
      apply;
};

std::vector<Gate> gates() {
  // A unitary with no zero part, so no product is trivially cheap.
  const Matrix2 m{{0.48, 0.64}, {-0.36, -0.48}, {0.36, -0.48}, {0.48, -0.64}};
  using T = std::uint64_t;
  return {
      {"x", [](Register& r, T t, T, T) { return r.x(t); }},
      {"h", [](Register& r, T t, T, T) { return r.h(t); }},
      {"u", [m](Register& r, T t, T, T) { return r.u(t, m); }},
      {"rx", [](Register& r, T t, T, T) { return r.rx(t, 0.3); }},
      {"ry", [](Register& r, T t, T, T) { return r.ry(t, 0.3); }},
      {"rz", [](Register& r, T t, T, T) { return r.rz(t, 0.3); }},
      {"cnot", [](Register& r, T t, T a, T) { return r.cnot(a, t); }},
      {"swap", [](Register& r, T t, T a, T) { return r.swap(a, t); }},
      {"ccnot", [](Register& r, T t, T a, T b) { return r.ccnot(a, b, t); }},
      {"csswap", [](Register& r, T t, T a, T b) { return r.csswap(a, b, t); }},
      {"mcu", [m](Register& r, T t, T a, T b) { return r.mcu({a, b}, t, m); }},
  };
}

void register_size(std::uint64_t n) {
  const std::string size = "/n:" + std::to_string(n);
  // The floors first, for their absolute figures; every other line pairs its
  // iterations with sweeps of its own.
  benchmark::RegisterBenchmark(("sweep" + size).c_str(), [n](benchmark::State& st) {
    Register& reg = register_for(n);
    timed(st, n, false, [&] { sweep_once(reg); });
  })->UseManualTime()->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(("two_streams" + size).c_str(), [n](benchmark::State& st) {
    Register& reg = register_for(n);
    timed(st, n, true, [&] { two_streams_once(reg); });
  })->UseManualTime()->Unit(benchmark::kMillisecond);

  for (const Gate& gate : gates()) {
    for (std::uint64_t t : {std::uint64_t{0}, std::uint64_t{1}, n / 2, n - 1}) {
      std::uint64_t others[2];
      for (std::uint64_t q = 0, k = 0; k < 2; ++q) {
        if (q != t) others[k++] = q;
      }
      const std::string name = std::string(gate.name) + size + "/t:" + std::to_string(t);
      benchmark::RegisterBenchmark(name.c_str(), [n, t, others, gate](benchmark::State& st) {
        Register& reg = register_for(n);
        timed(st, n, true, [&] {
          if (!gate.apply(reg, t, others[0], others[1]).ok()) st.SkipWithError("refused");
        });
      })->UseManualTime()->Unit(benchmark::kMillisecond);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::uint64_t> sizes = {20, 24};
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--sizes=", 8) == 0) {
      sizes.clear();
      std::stringstream list(argv[i] + 8);
      for (std::string item; std::getline(list, item, ',');) sizes.push_back(std::stoull(item));
    } else {
      rest.push_back(argv[i]);
    }
  }
  for (std::uint64_t n : sizes) {
    // Three qubits for ccnot and csswap; beyond 30 the run would not be short.
    if (n < 3 || n > 30) {
      std::fprintf(stderr, "--sizes: each size must be 3 to 30, not %llu\n",
                   static_cast<unsigned long long>(n));
      return 1;
    }
  }
  int rest_count = static_cast<int>(rest.size());
  benchmark::Initialize(&rest_count, rest.data());
  if (benchmark::ReportUnrecognizedArguments(rest_count, rest.data())) return 1;
  benchmark::AddCustomContext("kernels", zentrova::core::active_kernels().name);
  for (std::uint64_t n : sizes) register_size(n);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
