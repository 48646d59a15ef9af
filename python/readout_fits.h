// What the read-outs that copy the whole state out of a register share:
// god_observe's list and zentrova_readout's arrays. A read-out that the host
// could not hold is refused before anything is allocated, with a fatal error
// that quotes the figures, as a register that does not fit is; and every
// probability is computed by the same kernel path, whichever read-out asks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/fatal_error.h"
#include "core/messages.h"
#include "core/platform/memory.h"

namespace zentrova::py {

// Below this a read-out cannot plausibly exhaust a host, and reading the memory
// figure would cost more than building it.
inline constexpr std::uint64_t kReadoutCheckThreshold = std::uint64_t{16} << 20;

// Probabilities are computed into chunks of this many doubles, aligned for the
// widest vector store of any kernel set: whatever the final destination, every
// probability then comes from the same kernel path, to the sign of a NaN.
inline constexpr std::uint64_t kReadoutChunk = 512;
inline constexpr std::size_t kReadoutChunkAlignment = 64;

// `need` is the read-out's size in bytes; `what()` names it in the message and
// is called only for a refusal.
template <class What>
void check_readout_fits(std::uint64_t need, What&& what) {
  if (need <= kReadoutCheckThreshold) return;
  const std::uint64_t available = core::platform::available_physical_memory();
  if (need > available) ZV_FATAL(core::readout_memory_message(what(), available, need));
}

}  // namespace zentrova::py
