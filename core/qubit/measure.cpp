// The read-outs of the register: god_observe reads every probability and
// changes nothing; observe, observe_one and observe_mul take one uniform draw,
// pick an outcome and collapse the state in place.
#include <cassert>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/fatal_error.h"
#include "core/messages.h"
#include "core/platform/memory.h"
#include "core/qubit/measure_testing.h"
#include "core/qubit/register.h"

namespace zentrova::core {

namespace {

// Buffers up to this size are allocated without asking the host: the query
// reads several files, which costs more than a small measurement itself, and
// an allocation this small that fails is still caught as bad_alloc.
constexpr std::uint64_t kUncheckedReadoutBytes = std::uint64_t{1} << 20;

// Trivially destructible, so it stays valid while the thread is torn down.
thread_local bool t_memory_figure_injected = false;
thread_local std::uint64_t t_memory_figure = 0;

// Each product rounded on its own, then added: the fixed definition of an
// outcome probability, whatever the compiler could contract.
inline double probability(const Amplitude& a) {
  const double rr = a.re * a.re;
  const double ii = a.im * a.im;
  return rr + ii;
}

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
    ZV_FATAL("could not allocate " + std::to_string(need) + " bytes for " + std::string(what));
  }
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

void Register::god_observe(std::uint64_t begin, std::uint64_t count, double* out) const {
  assert(begin <= dimension_ && count <= dimension_ - begin);
  const Amplitude* amps = amps_.get() + begin;
  for (std::uint64_t i = 0; i < count; ++i) out[i] = probability(amps[i]);
}

std::vector<double> Register::god_observe() const {
  std::vector<double> probabilities =
      readout_buffer("the probability list of god_observe", dimension_);
  god_observe(0, dimension_, probabilities.data());
  return probabilities;
}

}  // namespace zentrova::core
