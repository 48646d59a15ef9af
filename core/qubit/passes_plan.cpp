#include "core/qubit/passes_plan.h"

#include <bit>

#include "core/qubit/index_bits.h"

namespace zentrova::core {
namespace {

// The tile's positions for gates that move `needed`: those plus the lowest
// others, tile.bits in all. False when they do not fit, or when the
// contiguous low runs a gathered tile would copy are too short.
bool plan_tile(std::uint64_t needed, std::uint64_t qubit_count, const TileShape& tile,
               std::uint64_t& inside) {
  const std::uint64_t wanted = static_cast<std::uint64_t>(std::popcount(needed));
  if (wanted > tile.bits) return false;
  std::uint64_t k = needed;
  std::uint64_t free = low_bits_mask(qubit_count) & ~needed;
  for (std::uint64_t left = tile.bits - wanted; left > 0; --left) {
    k |= free & (~free + 1);
    free &= free - 1;
  }
  inside = k;
  return static_cast<std::uint64_t>(std::countr_one(k)) + tile.gathered_bits >= tile.bits;
}

}  // namespace

std::uint64_t plan_groups(const std::uint64_t* moved, std::uint64_t count,
                          std::uint64_t qubit_count, const TileShape& tile, Group* out) {
  std::uint64_t groups = 0;
  std::uint64_t i = 0;
  while (i < count) {
    std::uint64_t needed = moved[i];
    std::uint64_t inside = 0;
    std::uint64_t end = i + 1;
    if (plan_tile(needed, qubit_count, tile, inside)) {
      for (; end < count; ++end) {
        const std::uint64_t more = needed | moved[end];
        if (more != needed) {
          std::uint64_t wider = 0;
          if (!plan_tile(more, qubit_count, tile, wider)) break;
          needed = more;
          inside = wider;
        }
      }
    }
    out[groups++] = Group{i, end, inside};
    i = end;
  }
  return groups;
}

}  // namespace zentrova::core
