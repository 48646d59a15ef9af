// The gates on several qubits: check every index in the documented order, then
// hand the prepared gate to the register, which runs it or records it
// (Register::apply). All checks come before the first write or record, so a
// refusal leaves the state bit for bit as it was.
#include <cstdint>
#include <vector>

#include "core/messages.h"
#include "core/qubit/prepared_gate.h"
#include "core/qubit/register.h"

namespace zentrova::core {
namespace {

std::uint64_t mask(std::uint64_t q) { return std::uint64_t{1} << q; }

}  // namespace

OpResult Register::cnot(std::uint64_t control, std::uint64_t target) {
  if (control == target || target >= qubit_count_ || control >= qubit_count_) {
    return OpResult::failure(kBadQubitText);
  }
  apply({.kind = GateKind::kCnot, .target = position(target), .controls = mask(control)});
  return OpResult::success(*this);
}

OpResult Register::swap(std::uint64_t q1, std::uint64_t q2) {
  if (q1 == q2 || q1 >= qubit_count_ || q2 >= qubit_count_) {
    return OpResult::failure(kBadQubitText);
  }
  const std::uint64_t lo = q1 < q2 ? q1 : q2;
  const std::uint64_t hi = q1 < q2 ? q2 : q1;
  apply({.kind = GateKind::kSwap, .target = position(lo), .target_2 = position(hi)});
  return OpResult::success(*this);
}

OpResult Register::ccnot(std::uint64_t control1, std::uint64_t control2, std::uint64_t target) {
  const std::uint64_t n = qubit_count_;
  if (control2 >= n || target >= n || control1 >= n || control1 == target ||
      control1 == control2 || control2 == target) {
    return OpResult::failure(kCcnotOutOfScopeText);
  }
  apply({.kind = GateKind::kCcnot,
         .target = position(target),
         .controls = mask(control1) | mask(control2)});
  return OpResult::success(*this);
}

OpResult Register::csswap(std::uint64_t control, std::uint64_t target_1,
                          std::uint64_t target_2) {
  const std::uint64_t n = qubit_count_;
  if (target_2 >= n || control >= n || target_1 >= n || control == target_2 ||
      control == target_1 || target_1 == target_2) {
    return OpResult::failure(kBadQubitText);
  }
  apply({.kind = GateKind::kCsswap,
         .target = position(target_1),
         .target_2 = position(target_2),
         .controls = mask(control)});
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
    repeated = repeated || (control_bits & mask(c)) != 0;
    control_bits |= mask(c);
  }
  // A repeated control would make the enumeration open the same position twice
  // and address indices beyond the array.
  if (repeated) return OpResult::failure(kBadQubitText);
  apply({.kind = GateKind::kControlled,
         .target = position(target),
         .controls = control_bits,
         .m = m});
  return OpResult::success(*this);
}

void Register::phase_where(std::uint64_t mask, std::uint64_t want, Amplitude factor) {
  PreparedGate g{.kind = GateKind::kPhase, .controls = mask};
  g.m.m00 = factor;
  g.want = want;
  apply(g);
}

}  // namespace zentrova::core
