// The read-outs of the register: god_observe reads every probability and
// changes nothing; observe, observe_one and observe_mul take one uniform draw,
// pick an outcome and collapse the state in place. Each reaches the
// amplitudes through amplitudes(), which applies the gates the register
// recorded (passes.h), once its arguments have passed their checks.
#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/fatal_error.h"
#include "core/messages.h"
#include "core/platform/memory.h"
#include "core/qubit/kernels/dispatch.h"
#include "core/qubit/measure_testing.h"
#include "core/qubit/register.h"
#include "core/random/thread_rng.h"

namespace zentrova::core {

namespace {

// Buffers up to this size are allocated without asking the host: the query
// reads several files, which costs more than a small measurement itself, and
// an allocation this small that fails is still caught as bad_alloc.
constexpr std::uint64_t kUncheckedReadoutBytes = std::uint64_t{1} << 20;

// Trivially destructible, so it stays valid while the thread is torn down.
thread_local bool t_memory_figure_injected = false;
thread_local std::uint64_t t_memory_figure = 0;

// A zero-filled buffer of `entries` doubles for a read-out. Requires
// entries <= 2^59, so that 8 * entries fits in 64 bits.
std::vector<double> readout_buffer(std::string_view what, std::uint64_t entries) {
  const std::uint64_t need = entries * sizeof(double);
  if (t_memory_figure_injected || need > kUncheckedReadoutBytes) {
    const std::uint64_t available =
        t_memory_figure_injected ? t_memory_figure : platform::available_physical_memory();
    if (need > available) ZV_FATAL(readout_memory_message(what, available, need));
  }
  try {
    return std::vector<double>(static_cast<std::size_t>(entries), 0.0);
  } catch (const std::bad_alloc&) {
    ZV_FATAL(readout_allocation_failed_message(what, need));
  }
}

// The outcome of a first-reach scan: the first index whose running sum reaches
// r, or 0 when none does (a sum below r, or a NaN, which never reaches it).
std::uint64_t first_reach(const double* p, std::uint64_t count, double r) {
  double s = 0.0;
  for (std::uint64_t i = 0; i < count; ++i) {
    s = s + p[i];
    if (s >= r) return i;
  }
  return 0;
}

}  // namespace

ScopedMemoryFigureForTesting::ScopedMemoryFigureForTesting(std::uint64_t bytes)
    : had_previous_(t_memory_figure_injected), previous_(t_memory_figure) {
  t_memory_figure_injected = true;
  t_memory_figure = bytes;
}

ScopedMemoryFigureForTesting::~ScopedMemoryFigureForTesting() {
  t_memory_figure_injected = had_previous_;
  t_memory_figure = previous_;
}

void Register::god_observe(std::uint64_t begin, std::uint64_t count, double* out) {
  assert(begin <= dimension_ && count <= dimension_ - begin);
  active_kernels().probabilities(amplitudes() + begin, count, out);
}

std::vector<double> Register::god_observe() {
  std::vector<double> probabilities =
      readout_buffer("the probability list of god_observe", dimension_);
  god_observe(0, dimension_, probabilities.data());
  return probabilities;
}

Ket Register::observe() {
  // Drawn before anything is read: the scan can then stop at the outcome.
  const double r = uniform_draw();
  Amplitude* amps = mutable_amplitudes();
  const KernelSet& kernels = active_kernels();
  const std::uint64_t outcome = kernels.observe_scan(amps, dimension_, r);
  // The exact basis state whatever the norm before; the outcome's phase is dropped.
  kernels.clear(amps, dimension_);
  amps[outcome] = Amplitude{1.0, 0.0};
  return Ket{outcome, qubit_count_};
}

Ket Register::observe_one(std::uint64_t target) {
  if (target >= qubit_count_) ZV_FATAL(std::string(kTargetOutOfScopeText));
  Amplitude* amps = mutable_amplitudes();
  const KernelSet& kernels = active_kernels();

  // Compensated, in ascending index order: the sum decides the outcome, so its
  // rounding is part of the result. The probability of 0 is never summed.
  const double p1 = kernels.probability_of_one(amps, dimension_, target);

  const double r = uniform_draw();
  const bool one = r < p1;
  // Never zero: outcome 1 needs p1 > r >= 0, outcome 0 needs p1 <= r < 1.
  const double h = one ? std::sqrt(p1) : std::sqrt(1.0 - p1);
  kernels.collapse_one(amps, dimension_, target, one, h);
  return Ket{std::uint64_t{one}, 1};
}

Ket Register::observe_mul(std::vector<std::uint64_t> targets) {
  for (std::uint64_t t : targets) {
    if (t >= qubit_count_) ZV_FATAL(std::string(kTargetOutOfScopeText));
  }
  // Bit k of the outcome belongs to the k-th smallest target. Repeats stay:
  // a qubit listed twice fills two bits that always agree.
  std::sort(targets.begin(), targets.end());
  const std::uint64_t b = targets.size();
  // 8 * 2^60 bytes is already beyond the largest block an allocation accepts.
  if (b >= 60) ZV_FATAL(std::string(kCapacityOverflowText));
  std::vector<double> table =
      readout_buffer("the marginal table of observe_mul", std::uint64_t{1} << b);

  Amplitude* amps = mutable_amplitudes();
  const KernelSet& kernels = active_kernels();
  kernels.marginal_table(amps, dimension_, targets.data(), b, table.data());

  const double r = uniform_draw();
  const std::uint64_t o = first_reach(table.data(), table.size(), r);

  std::uint64_t mask = 0;
  std::uint64_t want = 0;
  for (std::uint64_t k = 0; k < b; ++k) {
    mask |= std::uint64_t{1} << targets[k];
    if ((o >> k) & 1) want |= std::uint64_t{1} << targets[k];
  }
  // An outcome of probability 0 (picked when r is 0, or by the fallback when
  // the sum never reaches r) leaves its amplitudes unscaled: dividing by zero
  // would turn them into NaNs and infinities that the state did not hold.
  const double weight = table[o];
  const bool scale = weight != 0.0;
  const double h = std::sqrt(weight);
  kernels.collapse_mul(amps, dimension_, mask, want, scale, h);
  return Ket{o, b};
}

}  // namespace zentrova::core
