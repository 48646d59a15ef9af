// Whole circuits in the engine, recorded and applied in passes against the
// same gates applied at once, timed in the same run on the process's CPU
// clock (a shared machine's waits for a core are left out): the
// hardware-efficient ansatz (ry and rz on every qubit, then a cnot chain; 4
// layers), the Fourier transform through controlled phases from a non-basis
// state, and 200 random gates of the eleven kinds. Each ends in a read that
// applies whatever is still recorded. Prints at-once time over recorded time
// (> 1: the passes gain), the median over rounds.
//
//   passes_bench [sizes, default 16,20,24] [rounds, default 3]
//                [tile,gathered,capacity[,record_above[,sub]]]
//                [circuits, default ansatz,fourier,random] [--passes-only]
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/qubit/passes.h"
#include "core/qubit/register.h"

namespace {

using zentrova::core::Matrix2;
using zentrova::core::PassShape;
using zentrova::core::Register;
using zentrova::core::ScopedPassShapeForTesting;
using u64 = std::uint64_t;

double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

const Matrix2 kUnitary{{0.48, 0.64}, {-0.36, -0.48}, {0.36, -0.48}, {0.48, -0.64}};

void ansatz(Register& r) {
  const u64 n = r.qubit_count();
  for (int layer = 0; layer < 4; ++layer) {
    for (u64 q = 0; q < n; ++q) {
      (void)r.ry(q, 0.1 + 0.01 * static_cast<double>(q) + layer);
      (void)r.rz(q, 0.2 + 0.03 * static_cast<double>(q) + layer);
    }
    for (u64 q = 0; q + 1 < n; ++q) (void)r.cnot(q, q + 1);
  }
}

void fourier(Register& r) {
  const u64 n = r.qubit_count();
  for (u64 q = 0; q < n; ++q) (void)r.ry(q, 0.3 + 0.1 * static_cast<double>(q));
  for (u64 j = n; j-- > 0;) {
    (void)r.h(j);
    for (u64 k = j; k-- > 0;) {
      const double phi = 3.141592653589793 / std::ldexp(1.0, static_cast<int>(j - k));
      (void)r.mcu({k}, j, Matrix2{{1, 0}, {0, 0}, {0, 0}, {std::cos(phi), std::sin(phi)}});
    }
  }
  for (u64 q = 0; q < n / 2; ++q) (void)r.swap(q, n - 1 - q);
}

void random_gates(Register& r) {
  const u64 n = r.qubit_count();
  std::mt19937_64 rng(7);
  for (int i = 0; i < 200; ++i) {
    const u64 a = rng() % n;
    u64 b, c;
    do b = rng() % n; while (b == a);
    do c = rng() % n; while (c == a || c == b);
    const double theta = std::uniform_real_distribution<double>(-3, 3)(rng);
    switch (rng() % 11) {
      case 0: (void)r.x(a); break;
      case 1: (void)r.h(a); break;
      case 2: (void)r.u(a, kUnitary); break;
      case 3: (void)r.rx(a, theta); break;
      case 4: (void)r.ry(a, theta); break;
      case 5: (void)r.rz(a, theta); break;
      case 6: (void)r.cnot(a, b); break;
      case 7: (void)r.swap(a, b); break;
      case 8: (void)r.ccnot(a, b, c); break;
      case 9: (void)r.csswap(a, b, c); break;
      default: (void)r.mcu({b, c}, a, kUnitary); break;
    }
  }
}

// Seconds for one circuit on a fresh register built with `shape`.
double run(u64 n, const PassShape& shape, void (*circuit)(Register&)) {
  ScopedPassShapeForTesting guard(shape);
  Register r = Register::with_memory(n, u64{1} << 40);
  (void)r.h(0);  // the first touch of every page
  double p;
  r.god_observe(0, 1, &p);
  const double start = cpu_seconds();
  circuit(r);
  r.god_observe(0, 1, &p);
  return cpu_seconds() - start;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<u64> sizes = {16, 20, 24};
  if (argc > 1) {
    sizes.clear();
    for (const char* p = argv[1]; *p;) {
      char* end;
      sizes.push_back(std::strtoull(p, &end, 10));
      p = *end ? end + 1 : end;
    }
  }
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  PassShape recorded = zentrova::core::pass_shape();
  if (argc > 3) {
    unsigned long t, g, c, r = 0, s = 0;
    if (std::sscanf(argv[3], "%lu,%lu,%lu,%lu,%lu", &t, &g, &c, &r, &s) >= 3) {
      recorded = PassShape{
          .tile_bits = t, .gathered_bits = g, .capacity = c, .record_above = r, .sub_bits = s};
    }
  }
  const PassShape at_once{.tile_bits = 63, .gathered_bits = 0, .capacity = 0};
  struct Family {
    const char* name;
    void (*circuit)(Register&);
  };
  const Family families[] = {{"ansatz", &ansatz}, {"fourier", &fourier}, {"random", &random_gates}};
  std::printf("tile 2^%lu amplitudes, up to %lu gathered positions, %lu gates recorded, sub-tiles 2^%lu\n",
              static_cast<unsigned long>(recorded.tile_bits),
              static_cast<unsigned long>(recorded.gathered_bits),
              static_cast<unsigned long>(recorded.capacity),
              static_cast<unsigned long>(recorded.sub_bits));
  std::printf("%-8s %3s %12s %12s %8s\n", "circuit", "n", "at once (s)", "passes (s)", "ratio");
  const std::string chosen = argc > 4 ? argv[4] : "ansatz,fourier,random";
  const bool passes_only = argc > 5 && std::string(argv[5]) == "--passes-only";
  for (const u64 n : sizes) {
    for (const Family& f : families) {
      if (chosen.find(f.name) == std::string::npos) continue;
      std::vector<double> once, passes, ratio;
      for (int k = 0; k < rounds; ++k) {
        once.push_back(passes_only ? 0.0 : run(n, at_once, f.circuit));
        passes.push_back(run(n, recorded, f.circuit));
        ratio.push_back(once.back() / passes.back());
      }
      const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
      };
      std::printf("%-8s %3lu %12.4f %12.4f %8.2f\n", f.name, static_cast<unsigned long>(n),
                  median(once), median(passes), median(ratio));
      std::fflush(stdout);
    }
  }
}
