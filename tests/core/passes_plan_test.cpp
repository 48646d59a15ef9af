// The planner against what a group means, worked out by brute force: random
// lists of moved positions on small arrays, for tiles with and without
// gathered positions. Every group's gates fit its tile, and no group stops
// where the next gate would still have fitted one tile with it.
#include "core/qubit/passes_plan.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <vector>

namespace zentrova::core {
namespace {

using u64 = std::uint64_t;

// Whether some tile of this shape holds every position in `needed`: tile.bits
// positions below qubit_count, the lowest tile.bits - gathered_bits of them
// contiguous from position 0.
bool some_tile_holds(u64 needed, u64 qubit_count, const TileShape& tile) {
  for (u64 inside = 0; inside < (u64{1} << qubit_count); ++inside) {
    if (static_cast<u64>(std::popcount(inside)) == tile.bits && (inside & needed) == needed &&
        static_cast<u64>(std::countr_one(inside)) + tile.gathered_bits >= tile.bits) {
      return true;
    }
  }
  return false;
}

TEST(PassesPlanTest, GroupsAreAsLongAsOneTileAllows) {
  const TileShape tiles[] = {{3, 0}, {3, 1}, {4, 2}, {2, 2}};
  std::mt19937_64 rng(28);
  for (const TileShape& tile : tiles) {
    for (u64 n = tile.bits + 1; n <= tile.bits + 4; ++n) {
      for (int round = 0; round < 20; ++round) {
        // One or two moved positions (a swap), or none (a diagonal gate).
        std::vector<u64> moved(1 + rng() % 30);
        for (u64& m : moved) {
          const u64 second = rng() % 4 == 0 ? u64{1} << rng() % n : 0;
          m = rng() % 5 == 0 ? 0 : (u64{1} << rng() % n) | second;
        }
        std::vector<Group> groups(moved.size());
        groups.resize(plan_groups(moved.data(), moved.size(), n, tile, groups.data()));
        u64 next = 0;
        for (const Group& g : groups) {
          ASSERT_EQ(g.begin, next);
          ASSERT_LT(g.begin, g.end);
          next = g.end;
          u64 needed = 0;
          for (u64 k = g.begin; k < g.end; ++k) needed |= moved[k];
          if (g.end - g.begin > 1) {
            EXPECT_EQ(g.inside & needed, needed);
            EXPECT_EQ(static_cast<u64>(std::popcount(g.inside)), tile.bits);
            EXPECT_GE(static_cast<u64>(std::countr_one(g.inside)) + tile.gathered_bits, tile.bits);
            EXPECT_EQ(g.inside >> n, 0u);
          }
          if (g.end < moved.size()) {
            EXPECT_FALSE(some_tile_holds(needed | moved[g.end], n, tile))
                << "n=" << n << " tile=" << tile.bits << "/" << tile.gathered_bits
                << " group ends at " << g.end;
          }
        }
        ASSERT_EQ(next, moved.size());
      }
    }
  }
}

}  // namespace
}  // namespace zentrova::core
