#include "core/program/fuse.h"

#include <map>

#include "core/math/trig.h"
#include "core/qubit/complex_ops.h"
#include "core/qubit/rotations.h"

namespace zentrova::core {
namespace {

constexpr double kHadamardScale = 0.7071067811865476;

// Whether op acts on one qubit alone, and so may join a run.
bool one_qubit(const Operation& op) {
  switch (op.kind) {
    case OpKind::kX: case OpKind::kH: case OpKind::kU:
    case OpKind::kRx: case OpKind::kRy: case OpKind::kRz:
      return true;
    case OpKind::kDiagonal: case OpKind::kMatrix:
      return op.qubits.size() == 1 && op.controls.empty();
    default:
      return false;
  }
}

Matrix2 matrix_of(const Operation& op) {
  switch (op.kind) {
    case OpKind::kX:
      return Matrix2{{0.0, 0.0}, {1.0, 0.0}, {1.0, 0.0}, {0.0, 0.0}};
    case OpKind::kH:
      return Matrix2{{kHadamardScale, 0.0}, {kHadamardScale, 0.0}, {kHadamardScale, 0.0},
                     {-kHadamardScale, 0.0}};
    case OpKind::kRx: return rx_matrix(sin_cos(op.theta * 0.5));
    case OpKind::kRy: return ry_matrix(sin_cos(op.theta * 0.5));
    case OpKind::kRz: return rz_matrix(op.theta, sin_cos(op.theta * 0.5), &sin_cos);
    case OpKind::kDiagonal:
      return Matrix2{op.entries[0], {0.0, 0.0}, {0.0, 0.0}, op.entries[1]};
    case OpKind::kMatrix:
      return Matrix2{op.entries[0], op.entries[1], op.entries[2], op.entries[3]};
    default:
      return op.m;
  }
}

// later * earlier, each entry's two products summed in column order.
Matrix2 product(const Matrix2& b, const Matrix2& a) {
  return Matrix2{complex_row(b.m00, a.m00, b.m01, a.m10), complex_row(b.m00, a.m01, b.m01, a.m11),
                 complex_row(b.m10, a.m00, b.m11, a.m10), complex_row(b.m10, a.m01, b.m11, a.m11)};
}

struct Run {
  const Operation* first = nullptr;
  std::uint64_t length = 0;
  Matrix2 m{};
};

void emit(std::uint64_t qubit, Run& run, std::vector<Operation>& out) {
  if (run.length == 1) {
    out.push_back(*run.first);
  } else if (run.length > 1) {
    Operation u;
    u.kind = OpKind::kU;
    u.qubits = {qubit};
    u.m = run.m;
    out.push_back(std::move(u));
  }
  run = Run{};
}

}  // namespace

std::vector<Operation> fuse(const std::vector<Operation>& ops) {
  std::vector<Operation> out;
  out.reserve(ops.size());
  // The waiting run of each qubit, by qubit: at most one each.
  std::map<std::uint64_t, Run> waiting;
  for (const Operation& op : ops) {
    if (one_qubit(op)) {
      Run& run = waiting[op.qubits[0]];
      const Matrix2 m = matrix_of(op);
      run.m = run.length == 0 ? m : product(m, run.m);
      if (run.length++ == 0) run.first = &op;
      continue;
    }
    for (const auto* list : {&op.qubits, &op.controls}) {
      for (std::uint64_t q : *list) {
        auto it = waiting.find(q);
        if (it != waiting.end()) {
          emit(q, it->second, out);
          waiting.erase(it);
        }
      }
    }
    out.push_back(op);
  }
  for (auto& [q, run] : waiting) emit(q, run, out);
  return out;
}

}  // namespace zentrova::core
