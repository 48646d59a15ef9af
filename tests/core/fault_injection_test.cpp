// Faults injected through the engine's seams, seen from the operations that
// meet them: an entropy source that fails at seeding or for good at rekeying,
// a memory figure below the need, and allocations that fail after the memory
// check passed. Each must give its exact message, leave every amplitude as it
// was, allocate or leak nothing, and leave the engine usable. (The generator's
// own seeding, single-failure rekeying and message texts are tested in
// thread_rng_test.cpp, the memory message's wording in register_test.cpp.)
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/fatal_error.h"
#include "core/messages.h"
#include "core/qubit/measure_testing.h"
#include "core/qubit/register.h"
#include "core/random/chacha12.h"
#include "core/random/thread_rng.h"
#include "tests/core/test_support.h"

namespace zentrova::core {
namespace {

using test_support::fatal_text_of;
using test_support::raw_bytes;

constexpr std::uint64_t kPlentyOfMemory = std::uint64_t{1} << 40;

// A state in which every measurement has more than one possible outcome.
Register spread(std::uint64_t n) {
  Register reg = Register::with_memory(n, kPlentyOfMemory);
  for (std::uint64_t q = 0; q < n; ++q) (void)reg.h(q);
  (void)reg.rz(0, 0.3);
  return reg;
}

ChaCha12::Key key_of(std::uint8_t fill) {
  ChaCha12::Key key;
  key.fill(fill);
  return key;
}

// Fails its first `failures` requests, then hands out the key; or, with
// `fail_after_first`, hands out the key once and fails every request after it.
class FlakyEntropy final : public platform::EntropySource {
 public:
  FlakyEntropy(int failures, bool fail_after_first)
      : failures_(failures), fail_after_first_(fail_after_first) {}

  std::optional<std::string> fill(platform::EntropyKey& key) override {
    ++calls;
    const bool fail = fail_after_first_ ? calls > 1 : calls <= failures_;
    if (fail) {
      key.fill(0xEE);
      return "device busy";
    }
    key = key_of(0x42);
    return std::nullopt;
  }

  int calls = 0;

 private:
  int failures_;
  bool fail_after_first_;
};

TEST(FaultInjectionTest, SeedingFailsUntilTheSourceRecovers) {
  FlakyEntropy source(3, false);
  ScopedThreadRngForTesting guard(source);
  Register reg = spread(3);
  const std::vector<unsigned char> before = raw_bytes(reg);
  const std::string text = std::string(kRngInitPrefix) + "device busy";
  // Every kind of measurement meets the failure before it writes anything.
  EXPECT_EQ(fatal_text_of([&] { (void)reg.observe_mul({2, 0}); }), text);
  EXPECT_EQ(fatal_text_of([&] { (void)reg.observe_one(1); }), text);
  EXPECT_EQ(fatal_text_of([&] { (void)reg.observe(); }), text);
  EXPECT_EQ(raw_bytes(reg), before);
  EXPECT_EQ(source.calls, 3);

  // The next draw seeds, with the key's first output.
  const ChaCha12 cipher(key_of(0x42));
  const ChaCha12::Block first = cipher.block_at(0);
  const double r = uniform_from_u64(std::uint64_t{first[1]} << 32 | first[0]);
  const Ket k = reg.observe();
  EXPECT_EQ(source.calls, 4);
  // The outcome is where the running sum of the (unchanged) probabilities reaches r.
  Register twin = spread(3);
  double s = 0.0;
  std::uint64_t expected = 0;
  for (std::uint64_t i = 0; i < twin.dimension(); ++i) {
    const Amplitude a = twin.amplitudes()[i];
    s = s + (a.re * a.re + a.im * a.im);
    if (s >= r) {
      expected = i;
      break;
    }
  }
  EXPECT_EQ(k.value, expected) << "draw " << r;
  EXPECT_EQ(reg.amplitudes()[expected].re, 1.0);
}

TEST(FaultInjectionTest, RekeyingThatNeverSucceedsKeepsTheOldKeyGoing) {
  FlakyEntropy source(0, true);
  ThreadRng rng(source);
  const ChaCha12 cipher(key_of(0x42));
  // Far past block 1024 under one key: one request per batch of four blocks,
  // and the output stays the old key's keystream, block after block.
  constexpr std::uint64_t kBlocks = 3 * ThreadRng::kRekeyBlocks;
  for (std::uint64_t block = 0; block < kBlocks; ++block) {
    const ChaCha12::Block expected = cipher.block_at(block);
    for (std::uint64_t pair = 0; pair < 8; ++pair) {
      const std::uint64_t want = std::uint64_t{expected[2 * pair + 1]} << 32 | expected[2 * pair];
      ASSERT_EQ(rng.next_u64(), want) << "block " << block;
    }
  }
  EXPECT_EQ(source.calls, 1 + static_cast<int>((kBlocks - ThreadRng::kRekeyBlocks) / 4));
}

TEST(FaultInjectionTest, MeasurementsGoOnWhileRekeyingFails) {
  FlakyEntropy source(0, true);
  ScopedThreadRngForTesting guard(source);
  Register reg = Register::with_memory(2, kPlentyOfMemory);
  // 9000 measurements take 9000 draws: past the 8192 after which a new key is due.
  for (int i = 0; i < 9000; ++i) {
    (void)reg.h(0);
    const Ket k = reg.observe_one(0);
    ASSERT_LE(k.value, 1u);
    // The other value's amplitude is cleared; the kept one is rescaled to about 1.
    ASSERT_EQ(reg.amplitudes()[1 - k.value].re, 0.0) << i;
    ASSERT_NEAR(std::abs(reg.amplitudes()[k.value].re), 1.0, 1e-9) << i;
  }
  EXPECT_GT(source.calls, 1);
}

// Counts requests and hands out real blocks, or fails every one.
struct CountingAllocator {
  static inline int calls = 0;
  static inline std::uint64_t last_bytes = 0;
  static void* failing(std::uint64_t bytes) {
    ++calls;
    last_bytes = bytes;
    return nullptr;
  }
  static void* working(std::uint64_t bytes) {
    ++calls;
    last_bytes = bytes;
    return allocate_amplitudes(bytes);
  }
};

TEST(FaultInjectionTest, RefusedConstructionsNeverReachTheAllocator) {
  for (std::uint64_t n = 0; n < 64; ++n) {
    CountingAllocator::calls = 0;
    const std::uint64_t need = std::uint64_t{16} << n;  // 0 for n >= 60
    const std::string text =
        fatal_text_of([&] { (void)Register::with_memory(n, need - 1, &CountingAllocator::working); });
    if (n < 60) {
      EXPECT_EQ(text, memory_message(need - 1, n, need)) << n;
    } else {
      // need - 1 wraps to the largest figure; the size itself cannot be formed.
      EXPECT_EQ(text, "capacity overflow") << n;
    }
    EXPECT_EQ(CountingAllocator::calls, 0) << n;
  }
}

TEST(FaultInjectionTest, AllocationFailingAfterTheMemoryCheckCreatesNothing) {
  for (std::uint64_t n : {0u, 1u, 10u, 20u, 29u, 40u}) {
    CountingAllocator::calls = 0;
    const std::uint64_t need = std::uint64_t{16} << n;
    // The figure equals the need exactly, so the memory check passes.
    EXPECT_EQ(fatal_text_of([&] { (void)Register::with_memory(n, need, &CountingAllocator::failing); }),
              allocation_failed_message(n, need));
    EXPECT_EQ(CountingAllocator::calls, 1);
    EXPECT_EQ(CountingAllocator::last_bytes, need);
  }
  // Small registers try the allocator before asking the host, then ask and
  // try once more: the refusal still says what happened.
  for (std::uint64_t n : {0u, 16u, 17u, 20u}) {
    EXPECT_EQ(fatal_text_of([&] { (void)Register::from_host(n, &CountingAllocator::failing); }),
              allocation_failed_message(n, std::uint64_t{16} << n));
  }
  // Nothing is left in a bad state: the next construction works as ever.
  Register reg = Register::with_memory(3, kPlentyOfMemory, &CountingAllocator::working);
  EXPECT_EQ(CountingAllocator::last_bytes, 128u);
  EXPECT_EQ(reg.amplitudes()[0].re, 1.0);
  EXPECT_EQ(reg.h(2).ok(), true);
}

TEST(FaultInjectionTest, ReadOutBufferThatCannotBeAllocatedStopsBeforeTheDraw) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer ends the process when operator new fails instead of throwing";
#else
  FlakyEntropy source(1000, false);  // any draw would be a fatal error naming the source
  ScopedThreadRngForTesting guard(source);
  Register reg = spread(2);
  const std::vector<unsigned char> before = raw_bytes(reg);
  // The host claims enough memory for a table of 2^50 doubles, which no
  // allocator can hand out: the shortage comes from the allocation itself.
  ScopedMemoryFigureForTesting memory(UINT64_MAX);
  const std::vector<std::uint64_t> fifty(50, 1);
  EXPECT_EQ(fatal_text_of([&] { (void)reg.observe_mul(fifty); }),
            readout_allocation_failed_message("the marginal table of observe_mul",
                                              std::uint64_t{8} << 50));
  EXPECT_EQ(raw_bytes(reg), before);
  EXPECT_EQ(source.calls, 0);
#endif
}

}  // namespace
}  // namespace zentrova::core
