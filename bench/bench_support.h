// What the engine's timing programs share: registers filled once per size, the
// bare loops that set this machine's floor for each kind of pass, the paired
// timing that reports a kernel as a multiple of its floor, and the command
// line (--sizes, --kernels, --state).
//
// A bare loop is only a floor if nothing simple runs faster, so each is
// written with the access width that runs fastest on a Zen 4 class machine:
// 64-byte vectors for passes that read and write (on large registers the
// width alone moves a two-stream loop by a factor of two), 32-byte ones for
// the read-only pass.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/qubit/kernels/dispatch.h"
#include "core/qubit/register.h"

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#include <immintrin.h>
#define ZV_BENCH_WIDE 1
#endif

namespace zentrova::bench {

using core::Amplitude;
using core::KernelSet;
using core::Register;
using Clock = std::chrono::steady_clock;

// Which amplitudes the registers start with (--state).
enum class StartState {
  kDense,     // every amplitude an ordinary non-zero value
  kHalfZero,  // as dense, but exact zeros wherever qubit 5 is 1
  kFresh,     // |0...0>: amplitude 0 is 1, every other one 0
};

inline StartState& start_state() {
  static StartState state = StartState::kDense;
  return state;
}

// The qubit a half-zero register leaves in |0>: 5, or the top one of smaller
// registers. From 12 qubits on none of the timed gates has it as a target or
// a control, so its zeros stay zeros.
inline std::uint64_t zero_qubit(std::uint64_t n) { return n > 5 ? 5 : n - 1; }

// Ordinary values of magnitude ~1/sqrt(dimension), none zero: the unitary
// gates keep them there, far from subnormals, and no read-out finds a run of
// zeros to skip. The other states start from these.
inline void fill(Register& reg, StartState state) {
  std::uint64_t x = 0x9E3779B97F4A7C15u;
  const double scale = 1.0 / static_cast<double>(std::uint64_t{1} << (reg.qubit_count() / 2));
  Amplitude* a = reg.mutable_amplitudes();
  const std::uint64_t zero_bit = std::uint64_t{1} << zero_qubit(reg.qubit_count());
  for (std::uint64_t i = 0; i < reg.dimension(); ++i) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    const double u = static_cast<double>(x >> 11) * 0x1p-53 + 0.25;
    a[i] = Amplitude{u * scale, (1.5 - u) * scale};
    if (state == StartState::kFresh) a[i] = Amplitude{i == 0 ? 1.0 : 0.0, 0.0};
    if (state == StartState::kHalfZero && (i & zero_bit) != 0) a[i] = Amplitude{0.0, 0.0};
  }
}

// One register per size, slot and state, filled once and reused, so page
// faults of a fresh block never land in a measurement. Slot 0 is for gates and
// read-only passes, slot 1 for passes that zero amplitudes.
inline Register& register_for(std::uint64_t n, int slot = 0, StartState state = start_state()) {
  static std::map<std::tuple<std::uint64_t, int, StartState>, std::unique_ptr<Register>> registers;
  auto& r = registers[{n, slot, state}];
  if (!r) {
    r = std::make_unique<Register>(n);
    fill(*r, state);
  }
  return *r;
}

// --- Floors -------------------------------------------------------------------

enum class Floor {
  kSweep,       // in-place read and write of every double, in order
  kTwoStreams,  // the same as two streams half the array apart
  kReadOnly,    // every double read once
  kClear,       // every byte set to zero (the C library's fill)
  kChain,       // one running sum over the real parts, compared as observe does
  kKahanChain,  // the compensated sum over the real parts of half the array
};

inline const char* floor_name(Floor f) {
  switch (f) {
    case Floor::kSweep: return "sweep";
    case Floor::kTwoStreams: return "two_streams";
    case Floor::kReadOnly: return "read_only";
    case Floor::kClear: return "clear";
    case Floor::kChain: return "chain";
    case Floor::kKahanChain: return "kahan_chain";
  }
  return "?";
}

inline bool wide_vectors() {
#ifdef ZV_BENCH_WIDE
  static const bool has = __builtin_cpu_supports("avx512f");
  return has;
#else
  return false;
#endif
}

#ifdef ZV_BENCH_WIDE
__attribute__((target("avx512f"))) inline __m512d negate_wide(__m512d x) {
  const __m512i sign = _mm512_set1_epi64(static_cast<long long>(0x8000000000000000u));
  return _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(x), sign));
}

__attribute__((target("avx512f"))) inline void sweep_wide(double* p, std::uint64_t count) {
  for (std::uint64_t i = 0; i < count; i += 8) {
    _mm512_storeu_pd(p + i, negate_wide(_mm512_loadu_pd(p + i)));
  }
}

__attribute__((target("avx512f"))) inline void two_streams_wide(double* lo, double* hi,
                                                                std::uint64_t count) {
  for (std::uint64_t i = 0; i < count; i += 8) {
    _mm512_storeu_pd(lo + i, negate_wide(_mm512_loadu_pd(lo + i)));
    _mm512_storeu_pd(hi + i, negate_wide(_mm512_loadu_pd(hi + i)));
  }
}

// 32-byte loads: a pure read streams from memory faster with them than with
// 64-byte ones on Zen 4 (about 0.87 times the time), so they set the floor.
__attribute__((target("avx2"))) inline std::uint64_t read_wide(const double* p,
                                                               std::uint64_t count) {
  __m256i a = _mm256_setzero_si256(), b = a, c = a, d = a;
  for (std::uint64_t i = 0; i < count; i += 16) {
    a = _mm256_or_si256(a, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)));
    b = _mm256_or_si256(b, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 4)));
    c = _mm256_or_si256(c, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 8)));
    d = _mm256_or_si256(d, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 12)));
  }
  std::uint64_t lanes[4];
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes),
                      _mm256_or_si256(_mm256_or_si256(a, b), _mm256_or_si256(c, d)));
  return lanes[0] | lanes[1] | lanes[2] | lanes[3];
}
#endif

inline void sweep_plain(double* p, std::uint64_t count) {
  for (std::uint64_t i = 0; i < count; ++i) p[i] = -p[i];
}

inline std::uint64_t read_plain(const double* p, std::uint64_t count) {
  std::uint64_t acc = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint64_t b;
    std::memcpy(&b, p + i, sizeof b);
    acc |= b;
  }
  return acc;
}

// The chains are scalar by nature: each addition waits for the one before.
inline std::uint64_t bare_chain(const double* p, std::uint64_t terms, double r) {
  double s = 0.0;
  for (std::uint64_t k = 0; k < terms; ++k) {
    s = s + p[2 * k];
    if (s >= r) return k;
  }
  return 0;
}

inline double bare_kahan_chain(const double* p, std::uint64_t terms) {
  double sum = 0.0, c = 0.0;
  for (std::uint64_t k = 0; k < terms; ++k) {
    const double y = p[2 * k] - c;
    const double t = sum + y;
    c = (t - sum) - y;
    sum = t;
  }
  return sum;
}

inline void run_floor(Floor f, Register& reg) {
  double* p = reinterpret_cast<double*>(reg.mutable_amplitudes());
  const std::uint64_t doubles = 2 * reg.dimension();
  const bool wide = wide_vectors() && doubles >= 32;
  switch (f) {
    case Floor::kSweep:
#ifdef ZV_BENCH_WIDE
      if (wide) return sweep_wide(p, doubles);
#endif
      return sweep_plain(p, doubles);
    case Floor::kTwoStreams:
#ifdef ZV_BENCH_WIDE
      if (wide) return two_streams_wide(p, p + doubles / 2, doubles / 2);
#endif
      sweep_plain(p, doubles / 2);
      return sweep_plain(p + doubles / 2, doubles / 2);
    case Floor::kReadOnly: {
#ifdef ZV_BENCH_WIDE
      if (wide) {
        benchmark::DoNotOptimize(read_wide(p, doubles));
        return;
      }
#endif
      benchmark::DoNotOptimize(read_plain(p, doubles));
      return;
    }
    case Floor::kClear:
      std::memset(static_cast<void*>(p), 0, doubles * sizeof(double));
      return;
    case Floor::kChain:
      benchmark::DoNotOptimize(bare_chain(p, reg.dimension(), 1e300));
      return;
    case Floor::kKahanChain:
      benchmark::DoNotOptimize(bare_kahan_chain(p, reg.dimension() / 2));
      return;
  }
}

// Runs body once per iteration under manual timing and reports ns per
// amplitude of the register (even for passes that touch fewer). Every
// iteration first runs the floor on the same register, timed apart, and x_floor
// is the ratio of the two totals: both meet the same load from whatever else
// runs on the machine, so the ratio holds up far better than either time.
// Without a floor, only ns per amplitude is reported. With a twin (the same
// pass on a dense register of the same size, for a run on another state),
// each iteration then runs the floor on the twin's register and times the
// twin, and x_dense is the body's total over the twin's: whether the values
// change the time, both passes meeting the same cache and the same load.
struct Twin {
  Register* reg = nullptr;
  std::function<void()> body;
};

inline void timed(benchmark::State& st, Register& reg, const Floor* floor,
                  const std::function<void()>& body, const Twin& twin = {}) {
  double body_total = 0;
  double floor_total = 0;
  double twin_total = 0;
  double body_best = 1e300;
  double floor_best = 1e300;
  for (auto _ : st) {
    const auto t0 = Clock::now();
    if (floor) run_floor(*floor, reg);
    benchmark::ClobberMemory();
    const auto t1 = Clock::now();
    body();
    benchmark::ClobberMemory();
    const auto t2 = Clock::now();
    const double s = std::chrono::duration<double>(t2 - t1).count();
    const double f = std::chrono::duration<double>(t1 - t0).count();
    st.SetIterationTime(s);
    body_total += s;
    floor_total += f;
    body_best = std::min(body_best, s);
    floor_best = std::min(floor_best, f);
    if (twin.reg) {
      if (floor) run_floor(*floor, *twin.reg);
      benchmark::ClobberMemory();
      const auto t3 = Clock::now();
      twin.body();
      benchmark::ClobberMemory();
      twin_total += std::chrono::duration<double>(Clock::now() - t3).count();
    }
  }
  const double dimension = static_cast<double>(reg.dimension());
  st.counters["ns_per_amp"] = body_total * 1e9 / static_cast<double>(st.iterations()) / dimension;
  // The fastest iteration: on a machine shared with other work, the one that
  // ran without being interrupted or losing its cache to another program.
  st.counters["best_ns_per_amp"] = body_best * 1e9 / dimension;
  if (floor) {
    st.counters["x_floor"] = body_total / floor_total;
    st.counters["x_floor_best"] = body_best / floor_best;
    st.SetLabel(std::string("vs ") + floor_name(*floor));
  }
  if (twin.reg) st.counters["x_dense"] = body_total / twin_total;
}

// Registers the floors themselves, for their absolute figures; once per size
// and floor however many kernel sets register their cases.
inline void register_floors(std::uint64_t n, std::initializer_list<Floor> floors) {
  static std::vector<std::pair<std::uint64_t, Floor>> done;
  for (Floor f : floors) {
    if (std::find(done.begin(), done.end(), std::pair{n, f}) != done.end()) continue;
    done.emplace_back(n, f);
    const std::string name = std::string("floor/") + floor_name(f) + "/n:" + std::to_string(n);
    benchmark::RegisterBenchmark(name.c_str(), [n, f](benchmark::State& st) {
      const int slot = f == Floor::kClear ? 1 : 0;
      Register& reg = register_for(n, slot);
      timed(st, reg, nullptr, [&] { run_floor(f, reg); });
    })->UseManualTime()->Unit(benchmark::kMillisecond);
  }
}

struct Options {
  std::vector<std::uint64_t> sizes = {20, 24};
  std::vector<const KernelSet*> kernels;
};

// Whether several kernel sets are timed in one run.
inline bool& several_sets() {
  static bool several = false;
  return several;
}

// What a case's name carries of its kernel set: nothing when one set is
// timed, "/k:NAME" when several are, so their cases can be told apart and,
// with --benchmark_enable_random_interleaving, run side by side in one run.
inline std::string set_tag(const KernelSet& kernels) {
  return several_sets() ? std::string("/k:") + kernels.name : std::string();
}

// Takes --sizes=20,24[,26], --kernels=NAME[,NAME...] and --state=STATE out of argv and hands
// the rest to Google Benchmark; returns false (after a message) on a bad value.
inline bool parse_options(int& argc, char** argv, Options& options, std::uint64_t min_size) {
  options.kernels = {&core::active_kernels()};
  int kept = 0;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--sizes=", 8) == 0) {
      options.sizes.clear();
      std::stringstream list(argv[i] + 8);
      for (std::string item; std::getline(list, item, ',');) {
        options.sizes.push_back(std::stoull(item));
      }
    } else if (std::strncmp(argv[i], "--kernels=", 10) == 0) {
      options.kernels.clear();
      std::stringstream list(argv[i] + 10);
      for (std::string item; std::getline(list, item, ',');) {
        const KernelSet* found = nullptr;
        for (const KernelSet* s : core::kernel_sets_for_testing()) {
          if (item == s->name) found = s;
        }
        if (!found) {
          std::fprintf(stderr, "--kernels: this CPU has no kernel set named %s\n", item.c_str());
          return false;
        }
        options.kernels.push_back(found);
      }
      if (options.kernels.empty()) {
        std::fprintf(stderr, "--kernels: name at least one set\n");
        return false;
      }
    } else if (std::strncmp(argv[i], "--state=", 8) == 0) {
      const std::string name = argv[i] + 8;
      if (name == "dense") {
        start_state() = StartState::kDense;
      } else if (name == "half-zero") {
        start_state() = StartState::kHalfZero;
      } else if (name == "fresh") {
        start_state() = StartState::kFresh;
      } else {
        std::fprintf(stderr, "--state: dense, half-zero or fresh, not %s\n", name.c_str());
        return false;
      }
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  for (std::uint64_t n : options.sizes) {
    // Beyond 30 qubits a run would not be short.
    if (n < min_size || n > 30) {
      std::fprintf(stderr, "--sizes: each size must be %llu to 30, not %llu\n",
                   static_cast<unsigned long long>(min_size), static_cast<unsigned long long>(n));
      return false;
    }
  }
  return true;
}

// The whole of a benchmark program's main: options, then every size's cases
// registered by `register_size`, then the run. min_size is the smallest
// register the program's cases can use.
inline int run_main(int argc, char** argv, std::uint64_t min_size,
                    void (*register_size)(std::uint64_t, const KernelSet&)) {
  Options options;
  if (!parse_options(argc, argv, options, min_size)) return 1;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::string names;
  for (const KernelSet* k : options.kernels) {
    if (!names.empty()) names += ',';
    names += k->name;
  }
  benchmark::AddCustomContext("kernels", names);
  several_sets() = options.kernels.size() > 1;
  const char* const state_names[] = {"dense", "half-zero", "fresh"};
  benchmark::AddCustomContext("state", state_names[static_cast<int>(start_state())]);
  for (std::uint64_t n : options.sizes) {
    for (const KernelSet* k : options.kernels) register_size(n, *k);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace zentrova::bench
