// The random source of measurement: ChaCha12 keystream keyed from an entropy
// source, rekeyed every 1024 blocks, one generator per operating-system thread.
// Nothing lets a caller seed or read it, so runs are not reproducible; and a
// forked child keys its own, so no two processes share a stream either.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/messages.h"
#include "core/platform/entropy.h"
#include "core/random/chacha12.h"

namespace zentrova::core {

// The 53 high bits scaled by 2^-53; both steps are exact, so the result is a
// multiple of 2^-53 in [0, 1 - 2^-53] and 1.0 never occurs.
constexpr double uniform_from_u64(std::uint64_t x) {
  return static_cast<double>(x >> 11) * 0x1.0p-53;
}

class ThreadRng {
 public:
  // Blocks produced under one key before the next key is asked for.
  static constexpr std::uint64_t kRekeyBlocks = 1024;

  // Does not touch the source: the first draw seeds. The source must outlive
  // the generator.
  explicit ThreadRng(platform::EntropySource& source) : source_(&source) {}

  // The next 8 keystream bytes as a little-endian integer. Throws FatalError
  // when the generator has no key yet and the source fails; the generator is
  // then unchanged and the next call asks the source again.
  std::uint64_t next_u64();

  double uniform() { return uniform_from_u64(next_u64()); }

  // Back to unseeded, as if new: the next draw seeds, and nothing generated
  // so far is handed out again. A forked child does this to the per-thread
  // instance behind uniform_draw; other instances are their owners' to forget.
  void forget_key();

 private:
  void refill();

  platform::EntropySource* source_;
  std::optional<ChaCha12> cipher_;  // empty until seeded
  ChaCha12::Batch buffer_{};
  std::uint64_t next_word_ = ChaCha12::kBatchWords;  // buffer_ used up
};

// One uniform draw from the calling thread's generator, which is created and
// seeded from the operating system at the thread's first draw. In a child made
// by fork, the copy of the forking thread's generator is forgotten before
// fork returns, so the child's first draw seeds afresh.
double uniform_draw();

// Tests only: for the guard's lifetime the calling thread's generator is a
// fresh, unseeded one on `source`; afterwards a fresh one on the operating
// system's source.
class ScopedThreadRngForTesting {
 public:
  explicit ScopedThreadRngForTesting(platform::EntropySource& source);
  ~ScopedThreadRngForTesting();
  ScopedThreadRngForTesting(const ScopedThreadRngForTesting&) = delete;
  ScopedThreadRngForTesting& operator=(const ScopedThreadRngForTesting&) = delete;
};

}  // namespace zentrova::core
