// The fusion planner by counting, and what its programs compute: every run of
// one-qubit operations becomes one u, a lone one stays as it was, and a fused
// program's state is the unfused one's to within the rounding of the products.
#include "core/program/fuse.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "core/program/operation.h"
#include "core/qubit/register.h"

namespace zentrova::core {
namespace {

using u64 = std::uint64_t;

Operation gate(OpKind kind, std::vector<u64> qubits, double theta = 0.0) {
  Operation op;
  op.kind = kind;
  op.qubits = std::move(qubits);
  op.theta = theta;
  return op;
}

u64 count(const std::vector<Operation>& ops, OpKind kind) {
  u64 c = 0;
  for (const Operation& op : ops) c += op.kind == kind;
  return c;
}

TEST(FuseTest, EachRunOfOneQubitOperationsBecomesOneU) {
  // A layered ansatz: ry and rz on every qubit, then a chain of cnots.
  const u64 n = 6, layers = 3;
  std::vector<Operation> ops;
  for (u64 l = 0; l < layers; ++l) {
    for (u64 q = 0; q < n; ++q) ops.push_back(gate(OpKind::kRy, {q}, 0.1 * double(q + l)));
    for (u64 q = 0; q < n; ++q) ops.push_back(gate(OpKind::kRz, {q}, 0.2 * double(q + l)));
    for (u64 q = 0; q + 1 < n; ++q) ops.push_back(gate(OpKind::kCnot, {q, q + 1}));
  }
  const std::vector<Operation> fused = fuse(ops);
  EXPECT_EQ(count(fused, OpKind::kU), layers * n);
  EXPECT_EQ(count(fused, OpKind::kCnot), layers * (n - 1));
  EXPECT_EQ(fused.size(), layers * (2 * n - 1));

  // Lone operations between cnots are left as they were.
  std::vector<Operation> lone = {gate(OpKind::kRz, {0}, 0.3), gate(OpKind::kCnot, {0, 1}),
                                 gate(OpKind::kH, {0}), gate(OpKind::kRx, {1}, 0.5)};
  const std::vector<Operation> kept = fuse(lone);
  ASSERT_EQ(kept.size(), lone.size());
  for (u64 i = 0; i < lone.size(); ++i) EXPECT_EQ(kept[i].kind, lone[i].kind);
}

TEST(FuseTest, FusedProgramsGiveTheUnfusedStateToWithinRounding) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> angle(-7.0, 7.0);
  const OpKind one[] = {OpKind::kX, OpKind::kH, OpKind::kRx, OpKind::kRy, OpKind::kRz, OpKind::kU};
  for (u64 trial = 0; trial < 20; ++trial) {
    const u64 n = 2 + trial % 5;
    std::vector<Operation> ops;
    for (u64 k = 0; k < 60; ++k) {
      const u64 q = rng() % n;
      if (rng() % 5 == 0) {
        ops.push_back(gate(OpKind::kCnot, {q, (q + 1 + rng() % (n - 1)) % n}));
        continue;
      }
      Operation op = gate(one[rng() % 6], {q}, angle(rng));
      op.m = Matrix2{{0.6, 0.0}, {0.0, 0.8}, {0.0, 0.8}, {0.6, 0.0}};
      ops.push_back(op);
    }
    const std::vector<Operation> fused = fuse(ops);
    EXPECT_LT(fused.size(), ops.size());
    Register plain(n), merged(n);
    for (const Operation& op : ops) run_operation(plain, op);
    for (const Operation& op : fused) run_operation(merged, op);
    for (u64 i = 0; i < plain.dimension(); ++i) {
      EXPECT_NEAR(plain.amplitudes()[i].re, merged.amplitudes()[i].re, 1e-13);
      EXPECT_NEAR(plain.amplitudes()[i].im, merged.amplitudes()[i].im, 1e-13);
    }
  }
}

}  // namespace
}  // namespace zentrova::core
