// The record of gates a large register has accepted but not yet applied, and
// their application in passes over the array. A register whose state is
// larger than one cache-sized block records each checked gate with every
// constant its kernel needs; before anything reads the state, the recorded
// gates are applied group by group: consecutive gates whose moving qubits fit
// one block walk the array once, block by block, each block meeting every
// gate of the group before the next block is touched. Each amplitude still
// meets the same operations in the same order as under one pass per gate, so
// no bit changes; what changes is how often the array streams through memory.
#pragma once

#include <cstdint>
#include <memory>

#include "core/qubit/kernels/kernels.h"
#include "core/qubit/register.h"

namespace zentrova::core {

enum class GateKind : std::uint8_t {
  kExchange,    // x: a = target
  kHadamard,    // h: a = target, m.m00.re = the scale
  kGeneral,     // u, rx, ry: a = target, m
  kDiagonal,    // rz: a = target, m (m00 and m11 read)
  kCnot,        // a = target, b = control
  kSwap,        // a = lower position, b = higher
  kCcnot,       // a = target, b = control1, c = control2
  kCsswap,      // a = target_1, b = target_2, c = control
  kControlled,  // mcu: a = target, controls = the mask of the controls, m
};

// One checked gate and the constants the gate function prepared for it, so
// that applying it later runs the kernel the gate function would have run,
// with the same operands.
struct PendingGate {
  GateKind kind;
  std::uint8_t a = 0;
  std::uint8_t b = 0;
  std::uint8_t c = 0;
  std::uint64_t controls = 0;
  Matrix2 m{};
};

// How a register groups its gates. Blocks hold 2^block_bits amplitudes; up to
// gathered_bits of a block's positions may lie above its contiguous low bits
// (a gate on a high target), the block then being 2^gathered_bits runs copied
// into a scratch block. capacity gates are recorded before the record must be
// applied. Registers of more than max(block_bits, record_above) qubits
// record: a state of a few blocks gains less from passes than their copies
// cost. Inside a block, consecutive gates that move only its lowest sub_bits
// positions meet it sub-block by sub-block in turn (0: never), so that they
// run from the first-level cache.
struct PassShape {
  std::uint64_t block_bits;
  std::uint64_t gathered_bits;
  std::uint64_t capacity;
  std::uint64_t record_above = 0;
  std::uint64_t sub_bits = 0;
};

// The shape registers take when built on this thread: the default, or the one
// a ScopedPassShapeForTesting set.
PassShape pass_shape();

// Runs g's kernel over all dimension amplitudes at amps, as the gate function
// does when it does not record.
void apply_gate(const KernelSet& kernels, Amplitude* amps, std::uint64_t dimension,
                const PendingGate& g);

// A recorded gate as it acts inside one block (passes.cpp).
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
  void push(const PendingGate& g) { gates_[count_++] = g; }

  // Applies every recorded gate, in order, to the 2^qubit_count amplitudes at
  // amps with the given kernels, and empties the record. Requires
  // qubit_count > block_bits.
  void apply(const KernelSet& kernels, Amplitude* amps, std::uint64_t qubit_count);

 private:
  GateRecord(const PassShape& shape, PendingGate* gates, LocalGate* local, LocalGate* sub,
             std::uint64_t* run, Amplitude* scratch)
      : shape_(shape), gates_(gates), local_(local), sub_(sub), run_(run), scratch_(scratch) {}
  void apply_group(const KernelSet& kernels, Amplitude* amps, std::uint64_t qubit_count,
                   std::uint64_t count, std::uint64_t inside);
  bool sub_blocks() const { return shape_.sub_bits != 0 && shape_.sub_bits < shape_.block_bits; }
  void apply_in_block(const KernelSet& kernels, Amplitude* b, std::uint64_t base,
                      std::uint64_t count);
  void apply_in_sub_blocks(const KernelSet& kernels, Amplitude* b, std::uint64_t base,
                           std::uint64_t count);

  PassShape shape_;
  std::uint64_t count_ = 0;
  PendingGate* gates_;
  // One group's gates as they act inside a block, rebuilt for each group.
  LocalGate* local_;
  // The same gates as they act inside a sub-block, where they fit one.
  LocalGate* sub_;
  // The gates of local_ that meet a block's sub-blocks together.
  std::uint64_t* run_;
  // A gathered block: a block whose positions are not all contiguous.
  Amplitude* scratch_;
};

// While one of these lives, registers built on this thread take `shape`, so
// tests reach blocks, gathered blocks and a full record on small registers.
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
