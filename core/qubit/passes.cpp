// Applying a plan of recorded gates. Positions outside a group's tile are
// fixed for the whole tile: a control there decides whether the gate acts on
// the tile at all (and is dropped where it does), and so does the target of a
// diagonal gate, which only picks the factor. A tile whose positions are not
// one contiguous low range is gathered into a scratch tile, worked on there
// and put back. Inside a tile the same holds one level down: a sub-group of
// gates that move only the tile's lowest positions meets it sub-tile by
// sub-tile, each sub-tile (in the first-level cache) meeting all of them
// before the next.
//
// Every kernel maps each pair (or quadruple) of amplitudes by the same
// operations wherever the pair lies and however long the array is, so running
// it on a tile with the positions renumbered gives each amplitude exactly
// the operations of the whole-array call, and the group order keeps their
// order. The walks a kernel chooses by array size (lines asked for ahead of
// use from 2 MiB on) see the tile's size instead; they move no value.
#include "core/qubit/passes.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <new>
#include <utility>

#include "core/internal.h"
#include "core/platform/memory.h"
#include "core/qubit/index_bits.h"
#include "core/qubit/parallel.h"

namespace zentrova::core {
namespace {

// Tiles of 2^15 amplitudes (512 KiB: a tile and its gathered copy fit a core's
// 1 MiB second-level cache), sub-tiles of 2^11 (32 KiB, a first-level cache);
// the measurements behind each figure are in bench/README.md, "passes_bench".
constexpr PassShape kDefaultShape{
    .tile_bits = 15, .gathered_bits = 8, .capacity = 1024, .record_above = 16, .sub_bits = 11};

thread_local bool t_shape_injected = false;
thread_local PassShape t_shape{};

}  // namespace

// A gate of a group as it acts inside a tile: positions renumbered to the
// tile's, controls outside the tile moved to `require`.
struct LocalGate {
  PreparedGate gate;
  // Positions outside the tile that must all read 1 for the gate to act on
  // the tile; it then acts without them.
  std::uint64_t require;
  // A diagonal gate's target outside the tile: every amplitude of the tile
  // is multiplied by m11 where the tile's bit there is 1, by m00 where 0.
  std::uint64_t factor_from;
  // A phase's positions outside the tile that must read 0 for it to act.
  std::uint64_t forbid = 0;
};

namespace {

// g inside a tile with positions `inside`.
LocalGate localise(const PreparedGate& g, std::uint64_t inside) {
  const auto rank = [inside](std::uint64_t p) {
    return static_cast<std::uint8_t>(std::popcount(inside & low_bits_mask(p)));
  };
  LocalGate l{g, g.controls & ~inside, 0};
  PreparedGate& lg = l.gate;
  if (g.kind == GateKind::kPhase) {
    l.require = g.controls & ~inside & g.want;
    l.forbid = g.controls & ~inside & ~g.want;
    lg.controls = 0;
    lg.want = 0;
    for (std::uint64_t bits = g.controls & inside; bits != 0; bits &= bits - 1) {
      const auto p = static_cast<std::uint64_t>(std::countr_zero(bits));
      lg.controls |= bit(rank(p));
      if (g.want & bit(p)) lg.want |= bit(rank(p));
    }
    return l;
  }
  if (g.kind == GateKind::kDiagonal && (inside & bit(g.target)) == 0) {
    // Target 0 with both factors equal: each amplitude meets the product the
    // whole-array call gives it.
    l.factor_from = bit(g.target);
    lg.target = 0;
    return l;
  }
  lg.target = rank(g.target);
  lg.target_2 = rank(g.target_2);
  lg.controls = 0;
  for (std::uint64_t bits = g.controls & inside; bits != 0; bits &= bits - 1) {
    lg.controls |= bit(rank(static_cast<std::uint64_t>(std::countr_zero(bits))));
  }
  if (l.require != 0) {
    // The gate with fewer controls, where the kernel has one.
    switch (g.kind) {
      case GateKind::kCnot:
        lg.kind = GateKind::kExchange;
        break;
      case GateKind::kCcnot:
        lg.kind = lg.controls != 0 ? GateKind::kCnot : GateKind::kExchange;
        break;
      case GateKind::kCsswap:
        lg.kind = GateKind::kSwap;
        if (lg.target > lg.target_2) std::swap(lg.target, lg.target_2);
        break;
      default:
        break;
    }
  }
  return l;
}

// l over the `dimension` amplitudes at amps, whose positions outside them
// read as in `fixed`.
// Whether l acts where the positions outside its tile read as in `fixed`.
bool acts_where(std::uint64_t fixed, const LocalGate& l) {
  return (fixed & l.require) == l.require && (fixed & l.forbid) == 0;
}

void apply_local(const KernelSet& kernels, Amplitude* amps, std::uint64_t dimension,
                 std::uint64_t fixed, const LocalGate& l) {
  if (!acts_where(fixed, l)) return;
  if (l.factor_from != 0) {
    const Amplitude f = (fixed & l.factor_from) != 0 ? l.gate.m.m11 : l.gate.m.m00;
    kernels.diagonal(amps, dimension, 0, Matrix2{f, {0.0, 0.0}, {0.0, 0.0}, f});
  } else {
    run_gate(kernels, amps, dimension, l.gate);
  }
}

// Calls fn(offset) for every subset of the positions in `mask`, ascending.
template <class Fn>
void for_each_subset(std::uint64_t mask, Fn fn) {
  std::uint64_t offset = 0;
  do {
    fn(offset);
    offset = ((offset | ~mask) + 1) & mask;
  } while (offset != 0);
}

}  // namespace

PassShape pass_shape() { return t_shape_injected ? t_shape : kDefaultShape; }

void GateRecord::Scratch::operator()(Amplitude* p) const noexcept { platform::release_aligned(p); }

GateRecord::GateRecord(const PassShape& shape) : shape_(shape) {}

GateRecord::~GateRecord() = default;

std::unique_ptr<GateRecord> GateRecord::create(const PassShape& shape) {
  std::unique_ptr<GateRecord> r(new (std::nothrow) GateRecord(shape));
  if (!r) return nullptr;
  const std::uint64_t n = shape.capacity;
  r->gates_.reset(new (std::nothrow) PreparedGate[n]);
  r->moved_.reset(new (std::nothrow) std::uint64_t[n]);
  r->groups_.reset(new (std::nothrow) Group[n]);
  r->local_.reset(new (std::nothrow) LocalGate[n]);
  r->sub_groups_.reset(new (std::nothrow) Group[n]);
  r->sub_.reset(new (std::nothrow) LocalGate[n]);
  void* scratch = platform::allocate_aligned(sizeof(Amplitude) << shape.tile_bits, 64);
  r->scratch_.reset(static_cast<Amplitude*>(scratch));
  const bool complete = r->gates_ && r->moved_ && r->groups_ && r->local_ && r->sub_groups_ &&
                        r->sub_ && r->scratch_;
  return complete ? std::move(r) : nullptr;
}

void GateRecord::apply(const KernelSet& kernels, Amplitude* amps, std::uint64_t qubit_count) {
  assert(qubit_count > shape_.tile_bits);
  for (std::uint64_t k = 0; k < count_; ++k) moved_[k] = moved_positions(gates_[k]);
  const std::uint64_t groups = plan_groups(moved_.get(), count_, qubit_count,
                                           TileShape{shape_.tile_bits, shape_.gathered_bits},
                                           groups_.get());
  for (std::uint64_t k = 0; k < groups; ++k) {
    const Group& group = groups_[k];
    // A gate alone is one pass either way, and the whole-array walk is
    // tuned for it; on several threads it goes tile by tile like a group.
    if (group.end - group.begin == 1 && thread_budget() == 1) {
      run_gate(kernels, amps, bit(qubit_count), gates_[group.begin]);
    } else {
      apply_group(kernels, amps, qubit_count, group);
    }
  }
  count_ = 0;
}

// The sub-groups of the `count` gates in local_: the same grouping one level
// down, the tile standing for the array and its lowest sub_bits positions for
// a tile, which needs no gathering. Without sub-tiles every gate is one.
std::uint64_t GateRecord::plan_sub_groups(std::uint64_t count) {
  if (!has_sub_tiles()) {
    for (std::uint64_t k = 0; k < count; ++k) sub_groups_[k] = Group{k, k + 1, 0};
    return count;
  }
  for (std::uint64_t k = 0; k < count; ++k) moved_[k] = moved_positions(local_[k].gate);
  const std::uint64_t groups = plan_groups(moved_.get(), count, shape_.tile_bits,
                                           TileShape{shape_.sub_bits, 0}, sub_groups_.get());
  for (std::uint64_t s = 0; s < groups; ++s) {
    const Group& sg = sub_groups_[s];
    if (sg.end - sg.begin == 1) continue;
    for (std::uint64_t k = sg.begin; k < sg.end; ++k) sub_[k] = localise(local_[k].gate, sg.inside);
  }
  return groups;
}

void GateRecord::apply_in_tile(const KernelSet& kernels, Amplitude* tile, std::uint64_t fixed,
                               std::uint64_t sub_groups) {
  const std::uint64_t tile_size = bit(shape_.tile_bits);
  const std::uint64_t sub_size = bit(shape_.sub_bits);
  for (std::uint64_t s = 0; s < sub_groups; ++s) {
    const Group& sg = sub_groups_[s];
    if (sg.end - sg.begin == 1) {
      apply_local(kernels, tile, tile_size, fixed, local_[sg.begin]);
      continue;
    }
    for (std::uint64_t offset = 0; offset < tile_size; offset += sub_size) {
      for (std::uint64_t k = sg.begin; k < sg.end; ++k) {
        const LocalGate& l = local_[k];
        if (!acts_where(fixed, l)) continue;
        // A factor fixed for the whole tile stays one for each of its parts.
        if (l.factor_from != 0) {
          apply_local(kernels, tile + offset, sub_size, fixed, l);
        } else {
          apply_local(kernels, tile + offset, sub_size, offset, sub_[k]);
        }
      }
    }
  }
}

void GateRecord::apply_group(const KernelSet& kernels, Amplitude* amps, std::uint64_t qubit_count,
                             const Group& group) {
  const std::uint64_t count = group.end - group.begin;
  for (std::uint64_t k = 0; k < count; ++k) {
    local_[k] = localise(gates_[group.begin + k], group.inside);
  }
  const std::uint64_t sub_groups = plan_sub_groups(count);

  const std::uint64_t inside = group.inside;
  const std::uint64_t dimension = bit(qubit_count);
  const std::uint64_t run_bits = static_cast<std::uint64_t>(std::countr_one(inside));
  const std::uint64_t gathered = inside & ~low_bits_mask(run_bits);
  const std::size_t run_bytes = static_cast<std::size_t>(sizeof(Amplitude) << run_bits);
  // A tile's first index: its number's bits spread over the positions
  // outside the tile. Consecutive numbers are consecutive tiles: counting up
  // in the outside bits, the carry jumping over the tile's.
  const std::uint64_t outside = (dimension - 1) & ~inside;
  const auto first_index = [outside](std::uint64_t number) {
    std::uint64_t fixed = 0;
    for (std::uint64_t m = outside; m != 0 && number != 0; m &= m - 1, number >>= 1) {
      if (number & 1) fixed |= m & (~m + 1);
    }
    return fixed;
  };
  const std::uint64_t tiles = dimension >> std::popcount(inside);
  const std::uint64_t workers =
      gathered != 0 ? scratch_for(std::min(thread_budget(), tiles)) : thread_budget();
  auto work = [&](std::uint64_t worker, std::uint64_t first, std::uint64_t end) {
    Amplitude* scratch = gathered == 0 ? nullptr
                         : worker == 0 ? scratch_.get()
                                       : more_scratch_[worker - 1].get();
    std::uint64_t fixed = first_index(first);
    for (std::uint64_t t = first; t < end; ++t, fixed = ((fixed | inside) + 1) & ~inside) {
      Amplitude* tile = amps + fixed;
      if (gathered != 0) {
        tile = scratch;
        Amplitude* to = tile;
        for_each_subset(gathered, [&](std::uint64_t offset) {
          std::memcpy(static_cast<void*>(to), amps + fixed + offset, run_bytes);
          to += bit(run_bits);
        });
      }
      apply_in_tile(kernels, tile, fixed, sub_groups);
      if (gathered != 0) {
        const Amplitude* from = tile;
        for_each_subset(gathered, [&](std::uint64_t offset) {
          std::memcpy(static_cast<void*>(amps + fixed + offset), from, run_bytes);
          from += bit(run_bits);
        });
      }
    }
  };
  parallel_ranges(workers, tiles, work);
}

std::uint64_t GateRecord::scratch_for(std::uint64_t workers) {
  while (more_scratch_.size() + 1 < workers) {
    void* block = platform::allocate_aligned(sizeof(Amplitude) << shape_.tile_bits, 64);
    if (!block) break;
    more_scratch_.emplace_back(static_cast<Amplitude*>(block));
  }
  return std::min<std::uint64_t>(workers, more_scratch_.size() + 1);
}

ScopedPassShapeForTesting::ScopedPassShapeForTesting(const PassShape& shape)
    : had_previous_(t_shape_injected), previous_(t_shape) {
  t_shape_injected = true;
  t_shape = shape;
}

ScopedPassShapeForTesting::~ScopedPassShapeForTesting() {
  t_shape_injected = had_previous_;
  t_shape = previous_;
}

}  // namespace zentrova::core
