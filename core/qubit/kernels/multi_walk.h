// The groups of the k-qubit kernels (kernels.h, MultiTarget): the index bits
// each row sets, and the runs of consecutive group starts. Index arithmetic
// only, with internal linkage (as in kernels_vector.h), so every kernel file
// may include it whatever its instruction options.
#pragma once

#include <cstdint>

#include "core/qubit/kernels/kernels.h"

namespace zentrova::core {
namespace {

constexpr std::uint64_t kMultiSize = std::uint64_t{1} << kMaxOperationQubits;

// off[r]: the index bits that row r sets, over the group's first amplitude;
// each row's from the row with its lowest bit cleared.
inline void multi_offsets(const MultiTarget& where, std::uint64_t* off) {
  const std::uint64_t size = std::uint64_t{1} << where.count;
  off[0] = 0;
  for (std::uint64_t r = 1; r < size; ++r) {
    std::uint64_t j = 0;
    while (((r >> j) & 1) == 0) ++j;
    off[r] = off[r & (r - 1)] | (std::uint64_t{1} << where.targets[j]);
  }
}

// Calls run(first, length) for the runs of consecutive group starts, in
// ascending order: below the lowest opened position, group starts and the
// counter move together.
template <class Run>
inline void for_each_group_run(std::uint64_t dimension, const MultiTarget& where, Run run) {
  const std::uint64_t groups = dimension >> where.opened_count;
  // The lowest opened position is at most n - opened_count, so a run never
  // passes the last group.
  const std::uint64_t length =
      where.opened_count == 0 ? groups : std::uint64_t{1} << where.opened[0];
  for (std::uint64_t v = 0; v < groups; v += length) {
    std::uint64_t first = v;
    for (std::uint64_t i = 0; i < where.opened_count; ++i) {
      const std::uint64_t p = where.opened[i];
      const std::uint64_t low = (std::uint64_t{1} << p) - 1;
      first = ((first & ~low) << 1) | (first & low);
    }
    run(first | where.want, length);
  }
}

}  // namespace
}  // namespace zentrova::core
