// Time per gate beside the memory floor of this machine: every gate on targets
// 0, 1, n/2 and n-1, reported in ns per amplitude of the register and as a
// multiple (x_floor) of a bare loop run on the same array just before every
// timed gate: the in-place sweep, or for the top target the two-stream loop,
// whose partners are as far apart as the gate's. Absolute times drift between
// runs on a shared machine, the paired ratios much less.
//
// The kernels are called through a kernel table, as the gate functions call
// them, with the constants those functions prepare; --kernels picks the table
// (default: the one the engine would choose).
//
//   gates_bench [--sizes=20,24[,26]] [--kernels=scalar|avx2|avx512[,...]]
//               [--state=dense|half-zero|fresh] [google benchmark flags]
//
// Several sets (--kernels=avx2,avx512) are timed in one run, their cases
// named .../k:avx2 and .../k:avx512; with --benchmark_repetitions=R and
// --benchmark_enable_random_interleaving=true their repetitions run in a
// shuffled order, so both meet the same load from the rest of the machine.
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_support.h"

namespace {

using zentrova::bench::Floor;
using zentrova::bench::register_for;
using zentrova::bench::timed;
using zentrova::core::Amplitude;
using zentrova::core::KernelSet;
using zentrova::core::Matrix2;
using zentrova::core::Register;
using T = std::uint64_t;

constexpr double kHadamardScale = 0.7071067811865476;

struct Gate {
  const char* name;
  // Runs the gate's kernel on the given target; the other qubits it needs are
  // the lowest ones that differ from the target.
  std::function<void(const KernelSet&, Register&, T target, T o1, T o2)> apply;
};

Matrix2 rotation_x(double theta) {
  const double c = std::cos(theta * 0.5), s = std::sin(theta * 0.5);
  return Matrix2{{c, 0.0}, {0.0, -s}, {0.0, -s}, {c, 0.0}};
}

Matrix2 rotation_y(double theta) {
  const double c = std::cos(theta * 0.5), s = std::sin(theta * 0.5);
  return Matrix2{{c, 0.0}, {-s, -0.0}, {s, 0.0}, {c, 0.0}};
}

Matrix2 rotation_z(double theta) {
  const double c = std::cos(theta * 0.5), s = std::sin(theta * 0.5);
  const double nc = std::cos(theta * -0.5), ns = std::sin(theta * -0.5);
  return Matrix2{{nc, ns}, {0.0, 0.0}, {0.0, 0.0}, {c, s}};
}

std::vector<Gate> gates() {
  // A unitary with no zero part, so no product is trivially cheap.
  const Matrix2 m{{0.48, 0.64}, {-0.36, -0.48}, {0.36, -0.48}, {0.48, -0.64}};
  const Matrix2 rx = rotation_x(0.3), ry = rotation_y(0.3), rz = rotation_z(0.3);
  auto amps = [](Register& r) { return r.mutable_amplitudes(); };
  return {
      {"x", [=](const KernelSet& k, Register& r, T t, T, T) { k.exchange(amps(r), r.dimension(), t); }},
      {"h", [=](const KernelSet& k, Register& r, T t, T, T) {
         k.hadamard(amps(r), r.dimension(), t, kHadamardScale);
       }},
      {"u", [=](const KernelSet& k, Register& r, T t, T, T) { k.general(amps(r), r.dimension(), t, m); }},
      {"rx", [=](const KernelSet& k, Register& r, T t, T, T) { k.general(amps(r), r.dimension(), t, rx); }},
      {"ry", [=](const KernelSet& k, Register& r, T t, T, T) { k.general(amps(r), r.dimension(), t, ry); }},
      {"rz", [=](const KernelSet& k, Register& r, T t, T, T) { k.diagonal(amps(r), r.dimension(), t, rz); }},
      {"cnot", [=](const KernelSet& k, Register& r, T t, T a, T) { k.cnot(amps(r), r.dimension(), a, t); }},
      {"swap", [=](const KernelSet& k, Register& r, T t, T a, T) {
         k.swap(amps(r), r.dimension(), a < t ? a : t, a < t ? t : a);
       }},
      {"ccnot", [=](const KernelSet& k, Register& r, T t, T a, T b) {
         k.ccnot(amps(r), r.dimension(), a, b, t);
       }},
      {"csswap", [=](const KernelSet& k, Register& r, T t, T a, T b) {
         k.csswap(amps(r), r.dimension(), a, b, t);
       }},
      {"mcu", [=](const KernelSet& k, Register& r, T t, T a, T b) {
         // The sorted positions, as the gate function hands them over.
         T p[3] = {a, b, t};
         for (int i = 0; i < 2; ++i) {
           for (int j = 0; j < 2 - i; ++j) {
             if (p[j] > p[j + 1]) std::swap(p[j], p[j + 1]);
           }
         }
         k.controlled_general(amps(r), r.dimension(), p, 3, t, m);
       }},
  };
}

void register_size(std::uint64_t n, const KernelSet& kernels) {
  const std::string size = "/n:" + std::to_string(n) + zentrova::bench::set_tag(kernels);
  zentrova::bench::register_floors(n, {Floor::kSweep, Floor::kTwoStreams});
  for (const Gate& gate : gates()) {
    for (std::uint64_t t : {std::uint64_t{0}, std::uint64_t{1}, n / 2, n - 1}) {
      std::uint64_t others[2];
      for (std::uint64_t q = 0, k = 0; k < 2; ++q) {
        if (q != t) others[k++] = q;
      }
      const std::string name = std::string(gate.name) + size + "/t:" + std::to_string(t);
      const Floor floor = t == n - 1 ? Floor::kTwoStreams : Floor::kSweep;
      benchmark::RegisterBenchmark(name.c_str(), [n, t, others, gate, floor, &kernels](benchmark::State& st) {
        Register& reg = register_for(n);
        zentrova::bench::Twin twin;
        if (zentrova::bench::start_state() != zentrova::bench::StartState::kDense) {
          twin.reg = &register_for(n, 0, zentrova::bench::StartState::kDense);
          twin.body = [&] { gate.apply(kernels, *twin.reg, t, others[0], others[1]); };
        }
        timed(st, reg, &floor, [&] { gate.apply(kernels, reg, t, others[0], others[1]); }, twin);
      })->UseManualTime()->Unit(benchmark::kMillisecond);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Three qubits for ccnot and csswap.
  return zentrova::bench::run_main(argc, argv, 3, &register_size);
}
