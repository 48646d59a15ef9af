// The register's construction: its first state, the alignment its block is
// promised, and the refusals of sizes that cannot be had.
#include "core/qubit/register.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "core/fatal_error.h"
#include "core/messages.h"

namespace zentrova::core {
namespace {

std::string fatal_text(std::uint64_t n, std::uint64_t available, AllocateFn allocate) {
  try {
    (void)Register::with_memory(n, available, allocate);
  } catch (const FatalError& e) {
    return e.message();
  }
  return "no fatal error";
}

std::string fatal_text(std::uint64_t n, std::uint64_t available) {
  return fatal_text(n, available, &allocate_amplitudes);
}

TEST(RegisterTest, StartsInBasisStateZero) {
  for (std::uint64_t n : {0u, 1u, 3u, 10u}) {
    Register reg = Register::with_memory(n, std::uint64_t{1} << 40);
    ASSERT_EQ(reg.qubit_count(), n);
    ASSERT_EQ(reg.dimension(), std::uint64_t{1} << n);
    const std::uint64_t alignment =
        reg.dimension() * 16 >= kLineAlignedFrom ? kAmplitudeAlignment : kSmallBlockAlignment;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(reg.amplitudes()) % alignment, 0u);
    EXPECT_EQ(reg.amplitudes()[0].re, 1.0);
    for (std::uint64_t i = 0; i < reg.dimension(); ++i) {
      const Amplitude a = reg.amplitudes()[i];
      std::uint64_t bits[2];
      std::memcpy(bits, &a, sizeof bits);
      EXPECT_EQ(bits[0], i == 0 ? 0x3FF0000000000000u : 0u) << i;
      EXPECT_EQ(bits[1], 0u) << i;  // positive zeros only
    }
  }
}

TEST(RegisterTest, LargeStatesStartOnAHugePageBoundary) {
  Register reg = Register::with_memory(18, std::uint64_t{1} << 40);  // 4 MiB
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(reg.amplitudes()) % (std::uint64_t{2} << 20), 0u);
  EXPECT_EQ(reg.amplitudes()[0].re, 1.0);
  EXPECT_EQ(reg.amplitudes()[reg.dimension() - 1].re, 0.0);
}

// What the allocation promises a block of `bytes`: register.h's thresholds.
std::uint64_t promised_alignment(std::uint64_t bytes) {
  return bytes >= kHugePageAlignedFrom ? kHugePageSize
         : bytes >= kLineAlignedFrom   ? kAmplitudeAlignment
                                       : kSmallBlockAlignment;
}

// At, just below and just above each size where the promise changes, for bare
// blocks and for registers. Eight blocks are held at once: one could start on
// a line or a huge page by chance, eight from an allocator that does not
// promise it hardly all do.
TEST(RegisterTest, AlignmentHoldsOnBothSidesOfEveryThreshold) {
  for (const std::uint64_t threshold : {kLineAlignedFrom, kHugePageAlignedFrom}) {
    for (const std::uint64_t bytes : {threshold - 16, threshold, threshold + 16}) {
      void* blocks[8];
      for (void*& b : blocks) b = allocate_amplitudes(bytes);
      for (void* b : blocks) {
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b) % promised_alignment(bytes), 0u) << bytes;
#ifdef __GLIBC__
        // Whole huge pages, so the hint covers the block's end too.
        if (bytes >= kHugePageAlignedFrom) {
          EXPECT_GE(malloc_usable_size(b), (bytes + kHugePageSize - 1) / kHugePageSize * kHugePageSize);
        }
#endif
      }
      for (void* b : blocks) release_amplitudes(b);
    }
    const std::uint64_t n = static_cast<std::uint64_t>(std::bit_width(threshold / sizeof(Amplitude))) - 1;
    for (const std::uint64_t q : {n - 1, n, n + 1}) {
      Register reg = Register::with_memory(q, std::uint64_t{1} << 40);
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(reg.amplitudes()) % promised_alignment(std::uint64_t{16} << q), 0u)
          << q << " qubits";
    }
  }
}

TEST(RegisterTest, NeedEqualToMemoryFitsOneMoreQubitDoesNot) {
  const std::uint64_t m = 8589934592;
  EXPECT_EQ(fatal_text(30, m),
            "You have 8589934592 bytes of memory and Not enough memory to simulate 30 qubits! "
            "This which needs.. 17179869184 bytes of memory! This need 8589934592 more memory");
  // n = 29 needs exactly m; checked with a failing allocator so nothing is allocated.
  EXPECT_EQ(fatal_text(29, m, [](std::uint64_t) -> void* { return nullptr; }),
            allocation_failed_message(29, m));
}

TEST(RegisterTest, RefusesSizesThatCannotBeFormed) {
  EXPECT_EQ(fatal_text(59, 1000),
            memory_message(1000, 59, 9223372036854775808u));
  for (std::uint64_t n = 60; n <= 63; ++n) {
    EXPECT_EQ(fatal_text(n, 0), "capacity overflow") << n;
  }
  // 59 qubits on a host reporting 2^63 bytes passes the memory test, not the size one.
  EXPECT_EQ(fatal_text(59, UINT64_MAX), "capacity overflow");
  for (std::uint64_t n : {std::uint64_t{64}, std::uint64_t{65}, std::uint64_t{1} << 40, UINT64_MAX}) {
    EXPECT_EQ(fatal_text(n, UINT64_MAX), too_many_qubits_message(n)) << n;
  }
}

TEST(RegisterTest, HostFigureIsUsed) {
  Register reg(2);
  EXPECT_EQ(reg.dimension(), 4u);
  try {
    (void)Register(58);
    ADD_FAILURE() << "a 2^62-byte register was built";
  } catch (const FatalError& e) {
    EXPECT_EQ(std::string(e.message()).rfind("You have ", 0), 0u) << e.message();
  }
}

}  // namespace
}  // namespace zentrova::core
