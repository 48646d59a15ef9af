// The gates on several qubits: check every index in the documented order, then
// hand the enumeration to the active kernel set, or record the gate where the
// register records (passes.h). All checks come before the first write or
// record, so a refusal leaves the state bit for bit as it was.
#include <array>
#include <bit>
#include <cstdint>
#include <vector>

#include "core/messages.h"
#include "core/qubit/kernels/dispatch.h"
#include "core/qubit/passes.h"
#include "core/qubit/register.h"

namespace zentrova::core {
namespace {

// A checked position; a register has fewer than 60 qubits.
std::uint8_t position(std::uint64_t q) { return static_cast<std::uint8_t>(q); }

}  // namespace

OpResult Register::cnot(std::uint64_t control, std::uint64_t target) {
  if (control == target || target >= qubit_count_ || control >= qubit_count_) {
    return OpResult::failure(kBadQubitText);
  }
  if (record_) {
    record(PendingGate{GateKind::kCnot, position(target), position(control)});
  } else {
    active_kernels().cnot(amps_.get(), dimension_, control, target);
  }
  return OpResult::success(*this);
}

OpResult Register::swap(std::uint64_t q1, std::uint64_t q2) {
  if (q1 == q2 || q1 >= qubit_count_ || q2 >= qubit_count_) {
    return OpResult::failure(kBadQubitText);
  }
  const std::uint64_t lo = q1 < q2 ? q1 : q2;
  const std::uint64_t hi = q1 < q2 ? q2 : q1;
  if (record_) {
    record(PendingGate{GateKind::kSwap, position(lo), position(hi)});
  } else {
    active_kernels().swap(amps_.get(), dimension_, lo, hi);
  }
  return OpResult::success(*this);
}

OpResult Register::ccnot(std::uint64_t control1, std::uint64_t control2, std::uint64_t target) {
  const std::uint64_t n = qubit_count_;
  if (control2 >= n || target >= n || control1 >= n || control1 == target ||
      control1 == control2 || control2 == target) {
    return OpResult::failure(kCcnotOutOfScopeText);
  }
  if (record_) {
    record(PendingGate{GateKind::kCcnot, position(target), position(control1), position(control2)});
  } else {
    active_kernels().ccnot(amps_.get(), dimension_, control1, control2, target);
  }
  return OpResult::success(*this);
}

OpResult Register::csswap(std::uint64_t control, std::uint64_t target_1,
                          std::uint64_t target_2) {
  const std::uint64_t n = qubit_count_;
  if (target_2 >= n || control >= n || target_1 >= n || control == target_2 ||
      control == target_1 || target_1 == target_2) {
    return OpResult::failure(kBadQubitText);
  }
  if (record_) {
    record(PendingGate{GateKind::kCsswap, position(target_1), position(target_2), position(control)});
  } else {
    active_kernels().csswap(amps_.get(), dimension_, control, target_1, target_2);
  }
  return OpResult::success(*this);
}

OpResult Register::mcu(const std::vector<std::uint64_t>& control, std::uint64_t target,
                       const Matrix2& m) {
  if (target >= qubit_count_) return OpResult::failure(kBadQubitText);
  // Every index is below n < 64 once checked, so a 64-bit mask holds the set.
  std::uint64_t control_bits = 0;
  bool repeated = false;
  for (const std::uint64_t c : control) {
    if (c >= qubit_count_ || c == target) return OpResult::failure(kBadQubitText);
    const std::uint64_t bit = std::uint64_t{1} << c;
    repeated = repeated || (control_bits & bit) != 0;
    control_bits |= bit;
  }
  // A repeated control would make the enumeration open the same position twice
  // and address indices beyond the array.
  if (repeated) return OpResult::failure(kBadQubitText);
  if (record_) {
    record(PendingGate{GateKind::kControlled, position(target), 0, 0, control_bits, m});
    return OpResult::success(*this);
  }

  // The sorted positions fall out of the mask, lowest first; a fixed array on
  // the stack, since there are at most n of them.
  std::array<std::uint64_t, 64> positions;
  std::uint64_t count = 0;
  for (std::uint64_t bits = control_bits | (std::uint64_t{1} << target); bits != 0;
       bits &= bits - 1) {
    positions[count++] = static_cast<std::uint64_t>(std::countr_zero(bits));
  }
  active_kernels().controlled_general(amps_.get(), dimension_, positions.data(), count, target,
                                      m);
  return OpResult::success(*this);
}

}  // namespace zentrova::core
