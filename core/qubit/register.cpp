// Construction: the memory check comes before the allocation of any register
// large enough to matter, so one that would not fit is refused with the
// figures instead of exhausting the host.
#include "core/qubit/register.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/fatal_error.h"
#include "core/messages.h"
#include "core/platform/memory.h"
#include "core/qubit/kernels/dispatch.h"
#include "core/qubit/passes.h"

namespace zentrova::core {

namespace {
// The largest block an allocation accepts with 8-byte alignment.
constexpr std::uint64_t kLargestBlock = (std::uint64_t{1} << 63) - 8;
// Registers up to 1 MiB (16 qubits) are built without asking the host first.
// The query reads several files and costs more than building such a register
// (about 100 us on Linux, against under 1 us up to 12 qubits), and 1 MiB is what the interpreter
// takes from the system, unasked, for each new arena of small objects: a
// process that cannot spare that much runs out at the interpreter's next
// arena anyway, so the figure could not keep such a register from harm.
constexpr std::uint64_t kUncheckedQubits = 16;
}  // namespace

void* allocate_amplitudes(std::uint64_t bytes) {
  // Middle blocks fill at least a cache line (register.h says why).
  const std::uint64_t alignment = bytes >= kHugePageAlignedFrom ? kHugePageSize
                                  : bytes >= kLineAlignedFrom ? kAmplitudeAlignment
                                                              : kSmallBlockAlignment;
  if (bytes > UINT64_MAX - alignment) return nullptr;
  const std::uint64_t rounded = (bytes + alignment - 1) & ~(alignment - 1);
  void* block = platform::allocate_aligned(rounded, alignment);
  if (block && alignment == kHugePageSize) platform::advise_huge_pages(block, rounded);
  return block;
}

void release_amplitudes(void* block) noexcept { platform::release_aligned(block); }

Register Register::from_host(std::uint64_t n, AllocateFn allocate) {
  if (n <= kUncheckedQubits) {
    if (void* block = allocate(std::uint64_t{16} << n)) return adopt(n, block);
    // Asked only now, so the refusal quotes the host's figure when that is
    // why even so small a block could not be had.
  }
  return with_memory(n, platform::available_physical_memory(), allocate);
}

Register Register::with_memory(std::uint64_t n, std::uint64_t available, AllocateFn allocate) {
  // Shifting a 64-bit value by 64 or more is undefined, so this comes first.
  if (n >= 64) ZV_FATAL(too_many_qubits_message(n));
  // Wraps to 0 for n from 60 to 63; those pass the memory test and end below.
  const std::uint64_t need = std::uint64_t{16} << n;
  if (need > available) ZV_FATAL(memory_message(available, n, need));
  if (n >= 60 || need > kLargestBlock) ZV_FATAL(std::string(kCapacityOverflowText));

  void* block = allocate(need);
  if (!block) ZV_FATAL(allocation_failed_message(n, need));
  return adopt(n, block);
}

Register Register::adopt(std::uint64_t n, void* block) {
  std::unique_ptr<Amplitude, Release> amps(static_cast<Amplitude*>(block));
  std::memset(block, 0, static_cast<std::size_t>(std::uint64_t{16} << n));
  amps.get()[0] = Amplitude{1.0, 0.0};
  std::unique_ptr<GateRecord, DropRecord> record;
#ifndef ZENTROVA_APPLY_AT_ONCE
  // A state that fits one tile gains nothing from passes: its gates run at
  // once, at no cost beyond today's per call.
  const PassShape shape = pass_shape();
  if (n > std::max(shape.tile_bits, shape.record_above) && shape.capacity > 0) {
    record.reset(GateRecord::create(shape).release());
  }
#endif
  return Register(n, Store(std::move(amps), std::move(record)));
}

void Register::DropRecord::operator()(GateRecord* r) const noexcept { delete r; }

void Register::Store::take(const PreparedGate& g, std::uint64_t qubit_count) {
  if (!record_) return run_gate(active_kernels(), amps_.get(), std::uint64_t{1} << qubit_count, g);
  if (record_->full()) record_->apply(active_kernels(), amps_.get(), qubit_count);
  record_->push(g);
}

Amplitude* Register::Store::settled(std::uint64_t qubit_count) {
  if (record_ && !record_->empty()) record_->apply(active_kernels(), amps_.get(), qubit_count);
  return amps_.get();
}

}  // namespace zentrova::core
