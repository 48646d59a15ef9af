// Construction: the memory check comes before any allocation, so a register
// that would not fit is refused with the figures instead of exhausting the host.
#include "core/qubit/register.h"

#include <cstring>
#include <new>

#include "core/fatal_error.h"
#include "core/messages.h"
#include "core/platform/memory.h"

namespace zentrova::core {

namespace {
// The largest block an allocation accepts with 8-byte alignment.
constexpr std::uint64_t kLargestBlock = (std::uint64_t{1} << 63) - 8;
}  // namespace

void* allocate_amplitudes(std::uint64_t bytes) {
  // Rounded up so that even the 16-byte block of 0 qubits fills a whole line.
  std::uint64_t rounded = (bytes + kAmplitudeAlignment - 1) & ~(kAmplitudeAlignment - 1);
  return ::operator new(static_cast<std::size_t>(rounded), std::align_val_t{kAmplitudeAlignment},
                        std::nothrow);
}

void release_amplitudes(void* block) noexcept {
  ::operator delete(block, std::align_val_t{kAmplitudeAlignment});
}

Register::Register(std::uint64_t qubit_count)
    : Register(with_memory(qubit_count, platform::available_physical_memory())) {}

Register Register::with_memory(std::uint64_t n, std::uint64_t available, AllocateFn allocate) {
  // Shifting a 64-bit value by 64 or more is undefined, so this comes first.
  if (n >= 64) ZV_FATAL(too_many_qubits_message(n));
  // Wraps to 0 for n from 60 to 63; those pass the memory test and end below.
  const std::uint64_t need = std::uint64_t{16} << n;
  if (need > available) ZV_FATAL(memory_message(available, n, need));
  if (n >= 60 || need > kLargestBlock) ZV_FATAL(std::string(kCapacityOverflowText));

  std::unique_ptr<Amplitude, Release> amps(static_cast<Amplitude*>(allocate(need)));
  if (!amps) ZV_FATAL(allocation_failed_message(n, need));
  std::memset(amps.get(), 0, static_cast<std::size_t>(need));
  amps.get()[0] = Amplitude{1.0, 0.0};
  return Register(n, std::move(amps));
}

}  // namespace zentrova::core
