// The register: n qubits as a full state vector of 2^n complex amplitudes, and
// every operation done to it. Amplitude i belongs to basis state i; qubit q is
// bit q of the index, qubit 0 the least significant.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/amplitude.h"
#include "core/op_result.h"

namespace zentrova::core {

// Hands out the amplitude block; a seam so tests can make allocation fail.
// Returns nullptr on failure; the block is released with release_amplitudes.
using AllocateFn = void* (*)(std::uint64_t bytes);
void* allocate_amplitudes(std::uint64_t bytes);
void release_amplitudes(void* block) noexcept;

// Blocks from kLineAlignedFrom bytes on start on a cache line, so that no
// vector access straddles two; smaller ones keep the allocator's own 16-byte
// alignment, which it hands out several times faster (a third of the time it
// takes to build a one-qubit register went on a cache-line-aligned block).
inline constexpr std::uint64_t kAmplitudeAlignment = 64;
inline constexpr std::uint64_t kSmallBlockAlignment = 16;
inline constexpr std::uint64_t kLineAlignedFrom = 1024;
// Blocks from kHugePageAlignedFrom bytes on (18 qubits), where a state no
// longer fits in the TLB's reach, start on a huge-page boundary and fill whole
// huge pages, so the hint to back them with huge pages covers all of them.
inline constexpr std::uint64_t kHugePageSize = std::uint64_t{2} << 20;
inline constexpr std::uint64_t kHugePageAlignedFrom = std::uint64_t{4} << 20;

// The record of gates not yet applied (passes.h), and a checked gate ready to
// be recorded or run (prepared_gate.h).
class GateRecord;
struct PreparedGate;

class Register {
 public:
  // Reads the host's available memory and decides with it (small registers
  // ask only if their allocation fails).
  explicit Register(std::uint64_t qubit_count) : Register(from_host(qubit_count)) {}
  // The same with any allocator.
  static Register from_host(std::uint64_t qubit_count, AllocateFn allocate = &allocate_amplitudes);
  // The deciding half of construction: any memory figure, any allocator.
  static Register with_memory(std::uint64_t qubit_count, std::uint64_t available_bytes,
                              AllocateFn allocate = &allocate_amplitudes);

  Register(Register&&) noexcept = default;
  Register& operator=(Register&&) noexcept = default;
  Register(const Register&) = delete;
  Register& operator=(const Register&) = delete;

  std::uint64_t qubit_count() const { return qubit_count_; }
  std::uint64_t dimension() const { return dimension_; }
  // The state after every gate so far: the one way to the amplitudes, for
  // every read-out, so none can miss a gate still recorded (they are applied
  // first). The pointer shows later gates only once it is asked for again.
  const Amplitude* amplitudes() { return store_.settled(qubit_count_); }
  // The same array to write: for the measurements' collapses, the adjoint's
  // co-states and the operations that run on the settled state.
  Amplitude* mutable_amplitudes() { return store_.settled(qubit_count_); }

  // Single-qubit gates.
  OpResult x(std::uint64_t target);
  OpResult h(std::uint64_t target);
  OpResult u(std::uint64_t target, const Matrix2& m);
  OpResult rx(std::uint64_t target, double theta);
  OpResult ry(std::uint64_t target, double theta);
  OpResult rz(std::uint64_t target, double theta);

  // Gates on several qubits.
  OpResult cnot(std::uint64_t control, std::uint64_t target);
  OpResult swap(std::uint64_t q1, std::uint64_t q2);
  OpResult ccnot(std::uint64_t control1, std::uint64_t control2, std::uint64_t target);
  OpResult csswap(std::uint64_t control, std::uint64_t target_1, std::uint64_t target_2);
  OpResult mcu(const std::vector<std::uint64_t>& control, std::uint64_t target,
               const Matrix2& m);

  // Not one of the module's operations: factor times every amplitude whose
  // positions in `mask` read `want`, recorded with the gates like them. A
  // phase under controls of either value, and each entry of a diagonal, are
  // one such. Requires every position of mask below qubit_count() and want
  // inside mask (the caller has checked).
  void phase_where(std::uint64_t mask, std::uint64_t want, Amplitude factor);

  // Measurements: one uniform draw each, collapse in place. A bad target is a
  // fatal error, raised before anything is drawn or written.
  Ket observe();
  Ket observe_one(std::uint64_t target);
  Ket observe_mul(std::vector<std::uint64_t> targets);

  // Probabilities |a_i|^2 of basis states begin .. begin+count-1 into out; the
  // state is not changed. Not const: like every read, it first applies the
  // gates still recorded. Requires begin + count <= dimension().
  void god_observe(std::uint64_t begin, std::uint64_t count, double* out);
  // All 2^n probabilities.
  std::vector<double> god_observe();

 private:
  struct Release {
    void operator()(Amplitude* p) const noexcept { release_amplitudes(p); }
  };
  struct DropRecord {
    void operator()(GateRecord* r) const noexcept;
  };

  // The amplitude array and the gates recorded against it, reached only
  // through these two: a gate comes in by take(), and the array goes out by
  // settled(), after the record has been applied to it.
  class Store {
   public:
    Store(std::unique_ptr<Amplitude, Release> amps, std::unique_ptr<GateRecord, DropRecord> record)
        : amps_(std::move(amps)), record_(std::move(record)) {}
    // Records g where the register records (applying a full record first),
    // else runs it now.
    void take(const PreparedGate& g, std::uint64_t qubit_count);
    Amplitude* settled(std::uint64_t qubit_count);

   private:
    std::unique_ptr<Amplitude, Release> amps_;
    // Only for registers larger than one tile, and only while its buffers
    // could be had; gates on the others run at once.
    std::unique_ptr<GateRecord, DropRecord> record_;
  };

  // Takes ownership of a block of 16 * 2^qubit_count bytes and puts it in
  // basis state zero.
  static Register adopt(std::uint64_t qubit_count, void* block);

  Register(std::uint64_t qubit_count, Store store)
      : qubit_count_(qubit_count), dimension_(std::uint64_t{1} << qubit_count),
        store_(std::move(store)) {}

  // The one door from a gate function to the state.
  void apply(const PreparedGate& g) { store_.take(g, qubit_count_); }

  std::uint64_t qubit_count_;
  std::uint64_t dimension_;
  Store store_;
};

}  // namespace zentrova::core
