// The record of gates a large register has accepted but not yet applied, and
// their application in passes over the array. A register whose state is
// larger than one cache-sized tile records each checked gate with every
// constant its kernel needs; before anything reads the state, the recorded
// gates are planned into groups (passes_plan.h) and applied group by group:
// the gates of a group walk the array once, tile by tile, each tile meeting
// every gate of the group before the next tile is touched. Each amplitude
// still meets the same operations in the same order as under one pass per
// gate, so no bit changes; what changes is how often the array streams
// through memory.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/qubit/kernels/kernels.h"
#include "core/qubit/passes_plan.h"
#include "core/qubit/prepared_gate.h"
#include "core/qubit/register.h"

namespace zentrova::core {

// How a register groups its gates. Tiles hold 2^tile_bits amplitudes; up to
// gathered_bits of a tile's positions may lie above its contiguous low bits
// (a gate on a high target), the tile then being 2^gathered_bits runs copied
// into a scratch tile. capacity gates are recorded before the record must be
// applied. Registers of more than max(tile_bits, record_above) qubits record:
// a state of a few tiles gains less from passes than their copies cost.
// Inside a tile, consecutive gates that move only its lowest sub_bits
// positions meet it sub-tile by sub-tile in turn (0: never), so that they run
// from the first-level cache.
struct PassShape {
  std::uint64_t tile_bits;
  std::uint64_t gathered_bits;
  std::uint64_t capacity;
  std::uint64_t record_above = 0;
  std::uint64_t sub_bits = 0;
};

// The shape registers take when built on this thread: the default, or the one
// a ScopedPassShapeForTesting set.
PassShape pass_shape();

// A recorded gate as it acts inside one tile (passes.cpp).
struct LocalGate;

class GateRecord {
 public:
  // nullptr when the buffers cannot be had: the register then applies its
  // gates at once, which needs none.
  static std::unique_ptr<GateRecord> create(const PassShape& shape);
  ~GateRecord();
  GateRecord(const GateRecord&) = delete;
  GateRecord& operator=(const GateRecord&) = delete;

  bool empty() const { return count_ == 0; }
  bool full() const { return count_ == shape_.capacity; }
  // Requires !full().
  void push(const PreparedGate& g) { gates_[count_++] = g; }

  // Applies every recorded gate, in order, to the 2^qubit_count amplitudes at
  // amps with the given kernels, and empties the record. Requires
  // qubit_count > tile_bits.
  void apply(const KernelSet& kernels, Amplitude* amps, std::uint64_t qubit_count);

 private:
  struct Scratch {
    void operator()(Amplitude* p) const noexcept;
  };

  explicit GateRecord(const PassShape& shape);
  bool has_sub_tiles() const { return shape_.sub_bits != 0 && shape_.sub_bits < shape_.tile_bits; }
  void apply_group(const KernelSet& kernels, Amplitude* amps, std::uint64_t qubit_count,
                   const Group& group);
  std::uint64_t plan_sub_groups(std::uint64_t count);
  void apply_in_tile(const KernelSet& kernels, Amplitude* tile, std::uint64_t fixed,
                     std::uint64_t sub_groups);
  // Scratch tiles for `workers` threads (the first is scratch_); fewer when
  // the memory cannot be had. Returns how many there are.
  std::uint64_t scratch_for(std::uint64_t workers);

  PassShape shape_;
  std::uint64_t count_ = 0;
  std::unique_ptr<PreparedGate[]> gates_;
  // The positions each gate moves, as the planner reads them: of the recorded
  // gates, then of one group's gates inside its tile.
  std::unique_ptr<std::uint64_t[]> moved_;
  std::unique_ptr<Group[]> groups_;
  // One group's gates as they act inside a tile, rebuilt for each group, and
  // its sub-groups.
  std::unique_ptr<LocalGate[]> local_;
  std::unique_ptr<Group[]> sub_groups_;
  // The same gates as they act inside a sub-tile, where a sub-group holds them.
  std::unique_ptr<LocalGate[]> sub_;
  // A gathered tile: a tile whose positions are not all contiguous.
  std::unique_ptr<Amplitude, Scratch> scratch_;
  // The same for each further thread of a pass, made when first needed.
  std::vector<std::unique_ptr<Amplitude, Scratch>> more_scratch_;
};

// While one of these lives, registers built on this thread take `shape`, so
// tests reach tiles, gathered tiles and a full record on small registers.
class ScopedPassShapeForTesting {
 public:
  explicit ScopedPassShapeForTesting(const PassShape& shape);
  ~ScopedPassShapeForTesting();
  ScopedPassShapeForTesting(const ScopedPassShapeForTesting&) = delete;
  ScopedPassShapeForTesting& operator=(const ScopedPassShapeForTesting&) = delete;

 private:
  bool had_previous_;
  PassShape previous_;
};

}  // namespace zentrova::core
