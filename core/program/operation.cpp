#include "core/program/operation.h"

#include <algorithm>
#include <cassert>

#include "core/qubit/kernels/dispatch.h"
#include "core/qubit/register.h"

namespace zentrova::core {
namespace {

std::uint64_t bit(std::uint64_t p) { return std::uint64_t{1} << p; }

// How many qubits a register gate names; 0 for the others.
std::uint64_t gate_qubits(OpKind kind) {
  switch (kind) {
    case OpKind::kX: case OpKind::kH: case OpKind::kU:
    case OpKind::kRx: case OpKind::kRy: case OpKind::kRz:
      return 1;
    case OpKind::kCnot: case OpKind::kSwap:
      return 2;
    case OpKind::kCcnot: case OpKind::kCsswap:
      return 3;
    default:
      return 0;
  }
}

// Diagonals with at most this many entries that are not 1 are recorded, one
// phase an entry; larger ones run at once on the settled state.
constexpr std::uint64_t kRecordedEntries = 16;

bool is_identity(const Amplitude& a) { return a.re == 1.0 && a.im == 0.0; }

// The kernels' view of targets (least significant first) and controls.
struct Where {
  std::vector<std::uint64_t> targets;
  std::vector<std::uint64_t> opened;
  std::uint64_t want = 0;

  MultiTarget view() const {
    return MultiTarget{targets.data(), targets.size(), opened.data(), opened.size(), want};
  }
};

Where where_of(const std::vector<std::uint64_t>& targets, const Operation& op) {
  Where w;
  w.targets = targets;
  w.opened = targets;
  for (std::uint64_t i = 0; i < op.controls.size(); ++i) {
    w.opened.push_back(op.controls[i]);
    if ((op.control_values >> i) & 1) w.want |= bit(op.controls[i]);
  }
  std::sort(w.opened.begin(), w.opened.end());
  return w;
}

void run_diagonal(Register& reg, const Operation& op) {
  const std::uint64_t k = op.qubits.size();
  // Only the entries that change an amplitude are kept; a target on which
  // every one of them reads the same bit becomes a control of that value,
  // so a controlled phase touches only the part its controls select.
  std::vector<std::uint64_t> rows;
  std::vector<Amplitude> values;
  for (std::uint64_t r = 0; r < op.entries.size(); ++r) {
    if (is_identity(op.entries[r])) continue;
    rows.push_back(r);
    values.push_back(op.entries[r]);
  }
  if (rows.empty()) return;
  if (rows.size() == op.entries.size() && rows.size() > kRecordedEntries) {
    // Every entry changes something, so no target can become a control, and
    // there are too many entries to record one by one.
    std::vector<std::uint64_t> targets(op.qubits.rbegin(), op.qubits.rend());
    const Where w = where_of(targets, op);
    active_kernels().diagonal_entries(reg.mutable_amplitudes(), reg.dimension(), w.view(),
                                      rows.data(), values.data(), rows.size());
    return;
  }
  Operation folded;
  folded.controls = op.controls;
  folded.control_values = op.control_values;
  std::vector<std::uint64_t> kept;  // local bits that stay targets
  for (std::uint64_t j = 0; j < k; ++j) {
    const std::uint64_t position = op.qubits[k - 1 - j];
    std::uint64_t ones = 0;
    for (std::uint64_t r : rows) ones += (r >> j) & 1;
    if (ones == 0 || ones == rows.size()) {
      if (ones != 0) folded.control_values |= bit(folded.controls.size());
      folded.controls.push_back(position);
    } else {
      kept.push_back(j);
    }
  }
  std::vector<std::uint64_t> targets;
  for (std::uint64_t j : kept) targets.push_back(op.qubits[k - 1 - j]);
  for (std::uint64_t& r : rows) {
    std::uint64_t local = 0;
    for (std::uint64_t i = 0; i < kept.size(); ++i) local |= ((r >> kept[i]) & 1) << i;
    r = local;
  }
  // A few entries go in as phases, recorded with the gates around them, so a
  // large register still meets them in its passes; each touches only its own
  // amplitudes, as the kernel below would.
  if (rows.size() <= kRecordedEntries) {
    std::uint64_t mask = 0;
    for (std::uint64_t q : targets) mask |= bit(q);
    for (std::uint64_t q : folded.controls) mask |= bit(q);
    const std::uint64_t want = where_of({}, folded).want;
    for (std::uint64_t e = 0; e < rows.size(); ++e) {
      std::uint64_t at = want;
      for (std::uint64_t j = 0; j < targets.size(); ++j) {
        if ((rows[e] >> j) & 1) at |= bit(targets[j]);
      }
      reg.phase_where(mask, at, values[e]);
    }
    return;
  }
  const Where w = where_of(targets, folded);
  active_kernels().diagonal_entries(reg.mutable_amplitudes(), reg.dimension(), w.view(), rows.data(),
                                    values.data(), rows.size());
}

void run_matrix(Register& reg, const Operation& op) {
  // One target under controls that read 1 is the register's own u or mcu
  // (the same arithmetic, and recorded).
  const std::uint64_t all_ones = op.controls.empty() ? 0 : ~std::uint64_t{0} >> (64 - op.controls.size());
  if (op.qubits.size() == 1 && op.control_values == all_ones) {
    const Matrix2 m{op.entries[0], op.entries[1], op.entries[2], op.entries[3]};
    const OpResult done =
        op.controls.empty() ? reg.u(op.qubits[0], m) : reg.mcu(op.controls, op.qubits[0], m);
    assert(done.ok());
    (void)done;
    return;
  }
  std::vector<std::uint64_t> targets(op.qubits.rbegin(), op.qubits.rend());
  const Where w = where_of(targets, op);
  active_kernels().matrix(reg.mutable_amplitudes(), reg.dimension(), w.view(), op.entries.data());
}

}  // namespace

std::string check_operation(std::uint64_t qubit_count, const Operation& op) {
  const std::uint64_t fixed = gate_qubits(op.kind);
  const bool multi = op.kind == OpKind::kDiagonal || op.kind == OpKind::kMatrix;
  if (fixed != 0 && op.qubits.size() != fixed) {
    return "the gate takes " + std::to_string(fixed) + " qubits, not " +
           std::to_string(op.qubits.size());
  }
  if (op.kind == OpKind::kMcu && op.qubits.empty()) return "mcu needs a target";
  if (multi) {
    const std::uint64_t k = op.qubits.size();
    if (k > kMaxOperationQubits) {
      return std::string(op.kind == OpKind::kMatrix ? "a matrix" : "a diagonal") + " on " +
             std::to_string(k) + " qubits is more than the " +
             std::to_string(kMaxOperationQubits) + " an operation may act on";
    }
    if (op.kind == OpKind::kMatrix && k == 0) return "a matrix needs at least one target";
    const std::uint64_t want = op.kind == OpKind::kMatrix ? bit(2 * k) : bit(k);
    if (op.entries.size() != want) {
      return std::string(op.kind == OpKind::kMatrix ? "a matrix" : "a diagonal") + " on " +
             std::to_string(k) + " qubits needs " + std::to_string(want) + " entries, not " +
             std::to_string(op.entries.size());
    }
    if (op.controls.size() >= 64 || (op.control_values >> op.controls.size()) != 0) {
      return "the control values name more controls than there are";
    }
  } else if (!op.controls.empty()) {
    return "only a diagonal or a matrix takes controls with values";
  }
  std::uint64_t seen = 0;
  auto take = [&](std::uint64_t q) -> std::string {
    if (q >= qubit_count) {
      return "qubit " + std::to_string(q) + " is out of range for a register of " +
             std::to_string(qubit_count) + " qubits";
    }
    if (seen & bit(q)) return "qubit " + std::to_string(q) + " is named twice";
    seen |= bit(q);
    return {};
  };
  for (std::uint64_t q : op.qubits) {
    if (std::string why = take(q); !why.empty()) return why;
  }
  for (std::uint64_t q : op.controls) {
    if (std::string why = take(q); !why.empty()) return why;
  }
  return {};
}

void run_operation(Register& reg, const Operation& op) {
  const auto& q = op.qubits;
  OpResult done = OpResult::success(reg);
  switch (op.kind) {
    case OpKind::kX: done = reg.x(q[0]); break;
    case OpKind::kH: done = reg.h(q[0]); break;
    case OpKind::kU: done = reg.u(q[0], op.m); break;
    case OpKind::kRx: done = reg.rx(q[0], op.theta); break;
    case OpKind::kRy: done = reg.ry(q[0], op.theta); break;
    case OpKind::kRz: done = reg.rz(q[0], op.theta); break;
    case OpKind::kCnot: done = reg.cnot(q[0], q[1]); break;
    case OpKind::kSwap: done = reg.swap(q[0], q[1]); break;
    case OpKind::kCcnot: done = reg.ccnot(q[0], q[1], q[2]); break;
    case OpKind::kCsswap: done = reg.csswap(q[0], q[1], q[2]); break;
    case OpKind::kMcu: {
      const std::vector<std::uint64_t> controls(q.begin(), q.end() - 1);
      done = reg.mcu(controls, q.back(), op.m);
      break;
    }
    case OpKind::kDiagonal: run_diagonal(reg, op); break;
    case OpKind::kMatrix: run_matrix(reg, op); break;
  }
  assert(done.ok());
  (void)done;
}

}  // namespace zentrova::core
