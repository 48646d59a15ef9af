// Applying recorded gates in passes. A group is a run of consecutive gates
// whose moving positions (targets; both positions of a swap) fit one block;
// the block's positions are those plus the lowest others. Positions outside
// the block are fixed for the whole block: a control there decides whether
// the gate acts on the block at all (and is dropped where it does), and so
// does the target of a diagonal gate, which only picks the factor. A block
// whose positions are not one contiguous low range is gathered into a scratch
// block, worked on there and put back. Inside a block the same holds one
// level down: consecutive gates that move only the block's lowest positions
// meet it sub-block by sub-block, each sub-block (in the first-level cache)
// meeting all of them before the next.
//
// Every kernel maps each pair (or quadruple) of amplitudes by the same
// operations wherever the pair lies and however long the array is, so running
// it on a block with the positions renumbered gives each amplitude exactly
// the operations of the whole-array call, and the group order keeps their
// order. The walks a kernel chooses by array size (lines asked for ahead of
// use from 2 MiB on) see the block's size instead; they move no value.
#include "core/qubit/passes.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstring>
#include <new>

#include "core/internal.h"
#include "core/platform/memory.h"
#include "core/qubit/index_bits.h"

namespace zentrova::core {
namespace {

// Blocks of 2^15 amplitudes (512 KiB): a block and its gathered copy fit a
// core's 1 MiB second-level cache together. Up to 8 of a block's 15 positions
// may be gathered (runs of 2 KiB), so fewer groups form than with 6 (runs of
// 16 KiB), and the short runs still copy well. At-once time over recorded,
// AVX-512, 2^16/6 -> 2^15/8, two runs of each in one session: at 24 qubits
// ansatz 2.49-2.50 -> 2.48-2.51, Fourier 3.68-3.72 -> 3.83-3.88, random
// 2.11-2.14 -> 2.24-2.25; at 20 ansatz 1.47-1.53 -> 1.46-1.54, Fourier
// 1.73-1.75 -> 1.76-1.87, random 1.41-1.46 -> 1.43-1.49 (other sessions up to
// 1.60 at 20, 2.37 at 24). 2^16/8 was between them (ansatz at 24 a little
// above), 2^17 with 10 gathered slower than all of them. At 16 qubits
// (two blocks) recording was 0.86-0.93 times as fast as applying at once, so
// registers record from 17 qubits on, as with blocks of 2^16.
// Sub-blocks of 2^11 amplitudes (32 KiB, a first-level cache): without them
// and with them, same session, at 20 qubits ansatz 1.51-1.59 -> 1.70-1.76,
// random 1.45-1.53 -> 1.61-1.68, Fourier level; at 24 ansatz 2.60 -> 2.76,
// random 2.27 -> 2.45. Sub-blocks of 2^10 and 2^12 gained nothing: smaller
// ones pay each kernel call's set-up more often, larger ones leave the cache.
constexpr PassShape kDefaultShape{15, 8, 1024, 16, 11};

thread_local bool t_shape_injected = false;
thread_local PassShape t_shape{};

// The positions a gate moves amplitudes across: they must lie inside a block.
std::uint64_t moved_positions(const PendingGate& g) {
  switch (g.kind) {
    case GateKind::kDiagonal:
      return 0;
    case GateKind::kSwap:
    case GateKind::kCsswap:
      return bit(g.a) | bit(g.b);
    default:
      return bit(g.a);
  }
}

// The block's positions for a group that moves `needed`: those plus the
// lowest others, block_bits in all. False when they do not fit, or when the
// contiguous low runs a gathered block would copy are too short.
bool plan_block(std::uint64_t needed, std::uint64_t qubit_count, const PassShape& shape,
                std::uint64_t& inside) {
  const std::uint64_t wanted = static_cast<std::uint64_t>(std::popcount(needed));
  if (wanted > shape.block_bits) return false;
  std::uint64_t k = needed;
  std::uint64_t free = low_bits_mask(qubit_count) & ~needed;
  for (std::uint64_t left = shape.block_bits - wanted; left > 0; --left) {
    k |= free & (~free + 1);
    free &= free - 1;
  }
  inside = k;
  return static_cast<std::uint64_t>(std::countr_one(k)) + shape.gathered_bits >= shape.block_bits;
}

void run_controlled(const KernelSet& kernels, Amplitude* amps, std::uint64_t dimension,
                    const PendingGate& g) {
  // Ascending positions of the controls and the target, as mcu hands them over.
  std::array<std::uint64_t, 64> positions;
  std::uint64_t count = 0;
  for (std::uint64_t bits = g.controls | bit(g.a); bits != 0; bits &= bits - 1) {
    positions[count++] = static_cast<std::uint64_t>(std::countr_zero(bits));
  }
  kernels.controlled_general(amps, dimension, positions.data(), count, g.a, g.m);
}

}  // namespace

void apply_gate(const KernelSet& kernels, Amplitude* amps, std::uint64_t dimension,
                const PendingGate& g) {
  switch (g.kind) {
    case GateKind::kExchange:
      return kernels.exchange(amps, dimension, g.a);
    case GateKind::kHadamard:
      return kernels.hadamard(amps, dimension, g.a, g.m.m00.re);
    case GateKind::kGeneral:
      return kernels.general(amps, dimension, g.a, g.m);
    case GateKind::kDiagonal:
      return kernels.diagonal(amps, dimension, g.a, g.m);
    case GateKind::kCnot:
      return kernels.cnot(amps, dimension, g.b, g.a);
    case GateKind::kSwap:
      return kernels.swap(amps, dimension, g.a, g.b);
    case GateKind::kCcnot:
      return kernels.ccnot(amps, dimension, g.b, g.c, g.a);
    case GateKind::kCsswap:
      return kernels.csswap(amps, dimension, g.c, g.a, g.b);
    case GateKind::kControlled:
      return run_controlled(kernels, amps, dimension, g);
  }
}

// A gate of a group as it acts inside a block: positions renumbered to the
// block's, controls outside the block moved to `require`.
struct LocalGate {
  PendingGate gate;
  // Positions outside the block that must all read 1 for the gate to act on
  // the block; it then acts without them.
  std::uint64_t require;
  // A diagonal gate's target outside the block: every amplitude of the block
  // is multiplied by m11 where the block's bit there is 1, by m00 where 0.
  std::uint64_t factor_from;
};

namespace {

// g inside a block with positions `inside`.
LocalGate localise(const PendingGate& g, std::uint64_t inside) {
  const auto rank = [inside](std::uint64_t p) {
    return static_cast<std::uint8_t>(std::popcount(inside & low_bits_mask(p)));
  };
  const auto in = [inside](std::uint64_t p) { return (inside & bit(p)) != 0; };
  LocalGate l{g, 0, 0};
  PendingGate& lg = l.gate;
  switch (g.kind) {
    case GateKind::kExchange:
    case GateKind::kHadamard:
    case GateKind::kGeneral:
    case GateKind::kSwap:
      lg.a = rank(g.a);
      lg.b = rank(g.b);
      break;
    case GateKind::kDiagonal:
      if (in(g.a)) {
        lg.a = rank(g.a);
      } else {
        // Target 0 with both factors equal: each amplitude meets the product
        // the whole-array call gives it.
        l.factor_from = bit(g.a);
        lg.a = 0;
      }
      break;
    case GateKind::kCnot:
      lg.a = rank(g.a);
      if (in(g.b)) {
        lg.b = rank(g.b);
      } else {
        l.require = bit(g.b);
        lg.kind = GateKind::kExchange;
      }
      break;
    case GateKind::kCcnot: {
      lg.a = rank(g.a);
      std::uint8_t kept[2];
      int count = 0;
      for (const std::uint8_t c : {g.b, g.c}) {
        if (in(c)) {
          kept[count++] = rank(c);
        } else {
          l.require |= bit(c);
        }
      }
      if (count == 2) {
        lg.b = kept[0];
        lg.c = kept[1];
      } else if (count == 1) {
        lg.kind = GateKind::kCnot;
        lg.b = kept[0];
      } else {
        lg.kind = GateKind::kExchange;
      }
      break;
    }
    case GateKind::kCsswap:
      lg.a = rank(g.a);
      lg.b = rank(g.b);
      if (in(g.c)) {
        lg.c = rank(g.c);
      } else {
        l.require = bit(g.c);
        lg.kind = GateKind::kSwap;
        if (lg.a > lg.b) std::swap(lg.a, lg.b);
      }
      break;
    case GateKind::kControlled:
      lg.a = rank(g.a);
      lg.controls = 0;
      l.require = g.controls & ~inside;
      for (std::uint64_t bits = g.controls & inside; bits != 0; bits &= bits - 1) {
        lg.controls |= bit(rank(static_cast<std::uint64_t>(std::countr_zero(bits))));
      }
      break;
  }
  return l;
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

std::unique_ptr<GateRecord> GateRecord::create(const PassShape& shape) {
  auto* gates = new (std::nothrow) PendingGate[shape.capacity];
  auto* local = new (std::nothrow) LocalGate[shape.capacity];
  auto* sub = new (std::nothrow) LocalGate[shape.capacity];
  auto* run = new (std::nothrow) std::uint64_t[shape.capacity];
  void* scratch = platform::allocate_aligned(sizeof(Amplitude) << shape.block_bits, 64);
  auto* record = gates && local && sub && run && scratch
                     ? new (std::nothrow) GateRecord(shape, gates, local, sub, run,
                                                     static_cast<Amplitude*>(scratch))
                     : nullptr;
  if (!record) {
    delete[] gates;
    delete[] local;
    delete[] sub;
    delete[] run;
    platform::release_aligned(scratch);
  }
  return std::unique_ptr<GateRecord>(record);
}

GateRecord::~GateRecord() {
  delete[] gates_;
  delete[] local_;
  delete[] sub_;
  delete[] run_;
  platform::release_aligned(scratch_);
}

void GateRecord::apply(const KernelSet& kernels, Amplitude* amps, std::uint64_t qubit_count) {
  assert(qubit_count > shape_.block_bits);
  const std::uint64_t dimension = bit(qubit_count);
  std::uint64_t i = 0;
  while (i < count_) {
    std::uint64_t needed = moved_positions(gates_[i]);
    std::uint64_t inside = 0;
    std::uint64_t end = i + 1;
    if (plan_block(needed, qubit_count, shape_, inside)) {
      for (; end < count_; ++end) {
        const std::uint64_t more = needed | moved_positions(gates_[end]);
        if (more != needed) {
          std::uint64_t wider = 0;
          if (!plan_block(more, qubit_count, shape_, wider)) break;
          needed = more;
          inside = wider;
        }
      }
    }
    // A gate alone is one pass either way, and the whole-array walk is
    // tuned for it.
    if (end - i == 1) {
      apply_gate(kernels, amps, dimension, gates_[i]);
    } else {
      for (std::uint64_t k = i; k < end; ++k) {
        local_[k - i] = localise(gates_[k], inside);
        if (sub_blocks()) sub_[k - i] = localise(local_[k - i].gate, low_bits_mask(shape_.sub_bits));
      }
      apply_group(kernels, amps, qubit_count, end - i, inside);
    }
    i = end;
  }
  count_ = 0;
}

namespace {

// l over the `dimension` amplitudes at b, whose fixed positions outside them
// read as in `base`.
void apply_local(const KernelSet& kernels, Amplitude* b, std::uint64_t dimension,
                 std::uint64_t base, const LocalGate& l) {
  if ((base & l.require) != l.require) return;
  if (l.factor_from != 0) {
    const Amplitude f = (base & l.factor_from) != 0 ? l.gate.m.m11 : l.gate.m.m00;
    kernels.diagonal(b, dimension, 0, Matrix2{f, {0.0, 0.0}, {0.0, 0.0}, f});
  } else {
    apply_gate(kernels, b, dimension, l.gate);
  }
}

}  // namespace

// The block's gates in order. Consecutive ones that act on it and move only
// positions below sub_bits gather into run_ and meet the block sub-block by
// sub-block; any other gate sweeps the whole block, after the run before it.
void GateRecord::apply_in_block(const KernelSet& kernels, Amplitude* b, std::uint64_t base,
                                std::uint64_t count) {
  const std::uint64_t block = bit(shape_.block_bits);
  const bool sub = sub_blocks();
  std::uint64_t pending = 0;
  for (std::uint64_t k = 0; k < count; ++k) {
    const LocalGate& l = local_[k];
    if ((base & l.require) != l.require) continue;
    if (sub && (l.factor_from != 0 || (moved_positions(l.gate) >> shape_.sub_bits) == 0)) {
      run_[pending++] = k;
      continue;
    }
    apply_in_sub_blocks(kernels, b, base, pending);
    pending = 0;
    apply_local(kernels, b, block, base, l);
  }
  apply_in_sub_blocks(kernels, b, base, pending);
}

void GateRecord::apply_in_sub_blocks(const KernelSet& kernels, Amplitude* b, std::uint64_t base,
                                     std::uint64_t count) {
  const std::uint64_t block = bit(shape_.block_bits);
  if (count == 1) return apply_local(kernels, b, block, base, local_[run_[0]]);
  if (count == 0) return;
  const std::uint64_t size = bit(shape_.sub_bits);
  for (std::uint64_t s = 0; s < block; s += size) {
    for (std::uint64_t k = 0; k < count; ++k) {
      const LocalGate& l = local_[run_[k]];
      // A factor fixed for the whole block stays one for each of its parts.
      if (l.factor_from != 0) {
        apply_local(kernels, b + s, size, base, l);
      } else {
        apply_local(kernels, b + s, size, s, sub_[run_[k]]);
      }
    }
  }
}

void GateRecord::apply_group(const KernelSet& kernels, Amplitude* amps, std::uint64_t qubit_count,
                             std::uint64_t count, std::uint64_t inside) {
  const std::uint64_t dimension = bit(qubit_count);
  const std::uint64_t run_bits = static_cast<std::uint64_t>(std::countr_one(inside));
  const std::uint64_t gathered = inside & ~low_bits_mask(run_bits);
  const std::size_t run_bytes = static_cast<std::size_t>(sizeof(Amplitude) << run_bits);
  // base runs over the indices whose bits inside the block are 0: counting up
  // in the other bits, the carry jumping over the block's.
  for (std::uint64_t base = 0; base < dimension; base = ((base | inside) + 1) & ~inside) {
    Amplitude* b = amps + base;
    if (gathered != 0) {
      b = scratch_;
      Amplitude* to = scratch_;
      for_each_subset(gathered, [&](std::uint64_t offset) {
        std::memcpy(static_cast<void*>(to), amps + base + offset, run_bytes);
        to += bit(run_bits);
      });
    }
    apply_in_block(kernels, b, base, count);
    if (gathered != 0) {
      const Amplitude* from = scratch_;
      for_each_subset(gathered, [&](std::uint64_t offset) {
        std::memcpy(static_cast<void*>(amps + base + offset), from, run_bytes);
        from += bit(run_bits);
      });
    }
  }
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
