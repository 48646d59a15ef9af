// insert_zero_bit: opening positions lowest first must enumerate exactly the
// indices whose opened bits are 0, each once, in ascending order.
#include "core/qubit/index_bits.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace zentrova::core {
namespace {

static_assert(insert_zero_bit(0b1011, 0) == 0b10110);
static_assert(insert_zero_bit(0b1011, 2) == 0b10011);
static_assert(insert_zero_bit(0b1011, 4) == 0b1011);
static_assert(insert_zero_bit(~std::uint64_t{0} >> 1, 62) == (~std::uint64_t{0} >> 1) + (std::uint64_t{1} << 62));
static_assert(insert_zero_bit_masked(0b1011, low_bits_mask(2)) == insert_zero_bit(0b1011, 2));

TEST(IndexBitsTest, OpeningPositionsEnumeratesTheSubspaceInOrder) {
  const std::uint64_t n = 7;
  for (std::uint64_t lo = 0; lo < n; ++lo) {
    for (std::uint64_t mid = lo + 1; mid < n; ++mid) {
      for (std::uint64_t hi = mid + 1; hi < n; ++hi) {
        const std::uint64_t opened = (1u << lo) | (1u << mid) | (1u << hi);
        std::vector<std::uint64_t> scanned, two, three;
        for (std::uint64_t i = 0; i < (1u << n); ++i) {
          if ((i & opened) == 0) scanned.push_back(i);
        }
        for (std::uint64_t v = 0; v < (1u << (n - 3)); ++v) {
          three.push_back(insert_zero_bits(v, lo, mid, hi));
        }
        EXPECT_EQ(three, scanned) << lo << " " << mid << " " << hi;

        scanned.clear();
        for (std::uint64_t i = 0; i < (1u << n); ++i) {
          if ((i & ((1u << lo) | (1u << hi))) == 0) scanned.push_back(i);
        }
        for (std::uint64_t v = 0; v < (1u << (n - 2)); ++v) {
          two.push_back(insert_zero_bits(v, lo, hi));
        }
        EXPECT_EQ(two, scanned) << lo << " " << hi;
      }
    }
  }
}

}  // namespace
}  // namespace zentrova::core
