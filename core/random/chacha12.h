// ChaCha with 12 rounds as a keystream generator: constant "expand 32-byte k",
// a 256-bit key, a 64-bit block counter in words 12 (low) and 13, a 64-bit
// stream number in words 14 and 15. Output is produced four blocks at a time.
#pragma once

#include <array>
#include <cstdint>

namespace zentrova::core {

class ChaCha12 {
 public:
  static constexpr std::uint64_t kBlockWords = 16;
  static constexpr std::uint64_t kBlocksPerBatch = 4;
  static constexpr std::uint64_t kBatchWords = kBlockWords * kBlocksPerBatch;

  using Key = std::array<std::uint8_t, 32>;
  using Block = std::array<std::uint32_t, kBlockWords>;
  using Batch = std::array<std::uint32_t, kBatchWords>;

  explicit ChaCha12(const Key& key, std::uint64_t counter = 0, std::uint64_t stream = 0);

  // New key, counter back to `counter`; the stream number stays.
  void rekey(const Key& key, std::uint64_t counter = 0);

  // The counter of the next block to be produced.
  std::uint64_t counter() const { return counter_; }

  // Blocks counter() .. counter()+3 in counter order, then the counter moves on
  // by four. The counter carries from word 12 into word 13 as one 64-bit value.
  void next_batch(Batch& out);

  // One block at any counter, for checking; does not move the counter.
  Block block_at(std::uint64_t counter) const;

 private:
  std::array<std::uint32_t, 8> key_words_;
  std::uint64_t counter_;
  std::uint64_t stream_;
};

}  // namespace zentrova::core
