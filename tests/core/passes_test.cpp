// Recorded gates applied in passes against the same gates applied one
// whole-array pass at a time, bit for bit (any NaN matching a NaN, as in the
// kernel equivalence tests): random circuits of every kind of gate on states
// and matrices full of signed zeros, subnormals, infinities and NaNs, for every
// kernel set, on tiles small enough that registers of a few qubits hold
// several of them, contiguous and gathered. Then the register itself: gate
// calls, refusals, moves and every read-out on a recording register against
// one that applies at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "core/platform/entropy.h"
#include "core/qubit/kernels/dispatch.h"
#include "core/qubit/passes.h"
#include "core/qubit/parallel.h"
#include "core/random/thread_rng.h"
#include "tests/core/gate_model.h"
#include "tests/core/kernels_emulated.h"

namespace zentrova::core {
namespace {

using model::State;
using u64 = std::uint64_t;

std::vector<const KernelSet*> every_set() {
  std::vector<const KernelSet*> sets = kernel_sets_for_testing();
  sets.push_back(&kEmulated512Kernels);
#ifdef ZENTROVA_PORTABLE_AVX512
  if (platform::cpu_features().avx2) sets.push_back(&kPortableAvx512Kernels);
#endif
  return sets;
}

// Contiguous tiles only, one or more gathered positions, a record that fills
// within a circuit, and sub-tiles of one to three positions or none.
const PassShape kShapes[] = {
    {.tile_bits = 3, .gathered_bits = 0, .capacity = 64},
    {.tile_bits = 3, .gathered_bits = 1, .capacity = 64, .sub_bits = 2},
    {.tile_bits = 4, .gathered_bits = 2, .capacity = 7, .sub_bits = 1},
    {.tile_bits = 5, .gathered_bits = 3, .capacity = 64, .sub_bits = 3},
    {.tile_bits = 4, .gathered_bits = 4, .capacity = 3, .sub_bits = 2},
};

// Qubits drawn mostly from a few, so that targets repeat and groups form.
u64 qubit(std::mt19937_64& rng, u64 n) {
  return rng() % 2 ? rng() % std::min<u64>(n, 3) + n - std::min<u64>(n, 3) : rng() % n;
}

// Distinct qubits below n, as many as `out` holds (n >= 3).
void distinct(std::mt19937_64& rng, u64 n, std::vector<u64>& out) {
  for (u64 k = 0; k < out.size(); ++k) {
    do out[k] = qubit(rng, n); while (std::find(out.begin(), out.begin() + k, out[k]) != out.begin() + k);
  }
}

Matrix2 matrix(std::mt19937_64& rng) { return model::random_matrix(rng, rng() % 4 == 0); }

// A gate of one of the eleven kinds (rx and ry share the general form, h its
// scale), as the gate functions prepare it.
PreparedGate random_gate(std::mt19937_64& rng, u64 n) {
  std::vector<u64> q(3);
  distinct(rng, n, q);
  const auto p = [&](int k) { return static_cast<std::uint8_t>(q[k]); };
  const u64 c1 = model::bit(q[1]);
  const u64 c2 = model::bit(q[2]);
  const Matrix2 h{{0.7071067811865476, 0.0}, {}, {}, {}};
  switch (rng() % 10) {
    case 9: {
      // A phase on the amplitudes whose chosen positions read chosen values.
      const u64 mask = rng() & (model::bit(n) - 1);
      PreparedGate g{.kind = GateKind::kPhase, .controls = mask, .m = matrix(rng)};
      g.want = rng() & mask;
      return g;
    }
    case 0: return {.kind = GateKind::kExchange, .target = p(0)};
    case 1: return {.kind = GateKind::kHadamard, .target = p(0), .m = h};
    case 2: return {.kind = GateKind::kGeneral, .target = p(0), .m = matrix(rng)};
    case 3: return {.kind = GateKind::kDiagonal, .target = p(0), .m = matrix(rng)};
    case 4: return {.kind = GateKind::kCnot, .target = p(0), .controls = c1};
    case 5: return {.kind = GateKind::kSwap, .target = std::min(p(0), p(1)), .target_2 = std::max(p(0), p(1))};
    case 6: return {.kind = GateKind::kCcnot, .target = p(0), .controls = c1 | c2};
    case 7: return {.kind = GateKind::kCsswap, .target = p(0), .target_2 = p(1), .controls = c2};
    default: {
      const u64 any = rng() & (model::bit(n) - 1) & ~model::bit(q[0]);
      const u64 controls = rng() % 2 ? c1 : any;
      return {.kind = GateKind::kControlled, .target = p(0), .controls = controls, .m = matrix(rng)};
    }
  }
}

// Awkward values everywhere, ordinary ones, or a third each of +0, -0 and
// ordinary parts.
State random_state(std::mt19937_64& rng, u64 n, int family) {
  State s = model::random_state(n, rng, family != 0);
  if (family == 2) {
    for (Amplitude& a : s) {
      if (rng() % 3 == 0) a.re = rng() % 2 ? 0.0 : -0.0;
      if (rng() % 3 == 0) a.im = rng() % 2 ? 0.0 : -0.0;
    }
  }
  return s;
}

TEST(PassesTest, RecordedCircuitsGiveTheBitsOfOneGateAtATime) {
  // The small shapes reach every case cheaply; the shape registers take by
  // default is run too, on a few rounds, as its runs are what the
  // benchmarks time.
  std::vector<PassShape> shapes(std::begin(kShapes), std::end(kShapes));
  shapes.push_back(pass_shape());
  for (const KernelSet* set : every_set()) {
    for (const PassShape& shape : shapes) {
      const int rounds = shape.tile_bits > 8 ? 3 : 6;
      for (u64 n = shape.tile_bits + 1; n <= shape.tile_bits + 3; ++n) {
        for (int round = 0; round < rounds; ++round) {
          std::mt19937_64 rng(n * 1000 + shape.tile_bits * 100 + shape.gathered_bits * 10 + round);
          const State start = random_state(rng, n, round % 3);
          State want = start, got = start, shared = start;
          std::unique_ptr<GateRecord> record = GateRecord::create(shape);
          std::vector<PreparedGate> gates;
          const u64 started = threads_started();
          for (int k = 0; k < 40; ++k) {
            const PreparedGate g = random_gate(rng, n);
            gates.push_back(g);
            run_gate(*set, want.data(), want.size(), g);
            if (record->full()) record->apply(*set, got.data(), n);
            record->push(g);
          }
          record->apply(*set, got.data(), n);
          // One thread unless asked: the module's own methods start none.
          ASSERT_EQ(threads_started(), started);
          {
            // Tiles shared out among threads: the same bits, whichever
            // thread held each tile.
            ScopedThreads threads(3);
            for (const PreparedGate& g : gates) {
              if (record->full()) record->apply(*set, shared.data(), n);
              record->push(g);
            }
            record->apply(*set, shared.data(), n);
          }
          ASSERT_GT(threads_started(), started);
          ASSERT_TRUE(model::same_bits(shared, got, true))
              << set->name << " threads n=" << n << " tile=" << shape.tile_bits << "/" << shape.gathered_bits
              << "/" << shape.sub_bits << " round=" << round;
          const std::string where = std::string(set->name) + " n=" + std::to_string(n) + " tile=" +
                                    std::to_string(shape.tile_bits) + "/" +
                                    std::to_string(shape.gathered_bits) + "/" +
                                    std::to_string(shape.sub_bits) + " round=" + std::to_string(round);
          ASSERT_TRUE(model::same_bits(got, want, true)) << where;
          std::vector<double> p_got(got.size()), p_want(want.size());
          set->probabilities(got.data(), got.size(), p_got.data());
          set->probabilities(want.data(), want.size(), p_want.data());
          for (u64 i = 0; i < got.size(); ++i) {
            ASSERT_TRUE(model::bits_of(p_got[i]) == model::bits_of(p_want[i]) ||
                        (std::isnan(p_got[i]) && std::isnan(p_want[i])))
                << where << " probability " << i;
          }
        }
      }
    }
  }
}

// The kernel calls of a circuit: where each starts and how many amplitudes it
// is given, through the scalar set.
struct Call {
  const Amplitude* amps;
  u64 dimension;
};
thread_local std::vector<Call> t_calls;

template <auto Entry, class... Args>
void counted(Amplitude* amps, u64 dimension, Args... args) {
  t_calls.push_back(Call{amps, dimension});
  (kScalarKernels.*Entry)(amps, dimension, args...);
}

const KernelSet kCountingKernels = [] {
  KernelSet s = kScalarKernels;
  s.exchange = &counted<&KernelSet::exchange, u64>;
  s.hadamard = &counted<&KernelSet::hadamard, u64, double>;
  s.general = &counted<&KernelSet::general, u64, const Matrix2&>;
  s.diagonal = &counted<&KernelSet::diagonal, u64, const Matrix2&>;
  s.cnot = &counted<&KernelSet::cnot, u64, u64>;
  s.swap = &counted<&KernelSet::swap, u64, u64>;
  s.ccnot = &counted<&KernelSet::ccnot, u64, u64, u64>;
  s.csswap = &counted<&KernelSet::csswap, u64, u64, u64>;
  s.controlled_general =
      &counted<&KernelSet::controlled_general, const u64*, u64, u64, const Matrix2&>;
  return s;
}();

TEST(PassesTest, GatesThatFitOneTileStreamTheArrayOnce) {
  // Three layers of ry and rz on each of the tile's qubits and a cnot chain
  // among them, on four tiles. A pass over the array starts wherever a call
  // begins below the tile the call before it ended in.
  const PassShape shape{.tile_bits = 5, .gathered_bits = 0, .capacity = 64, .sub_bits = 2};
  const u64 n = shape.tile_bits + 2;
  std::mt19937_64 rng(5);
  std::vector<PreparedGate> circuit;
  for (int layer = 0; layer < 3; ++layer) {
    for (std::uint8_t q = 0; q < shape.tile_bits; ++q) {
      circuit.push_back({.kind = GateKind::kGeneral, .target = q, .m = matrix(rng)});
      circuit.push_back({.kind = GateKind::kDiagonal, .target = q, .m = matrix(rng)});
    }
    for (std::uint8_t q = 1; q < shape.tile_bits; ++q) {
      circuit.push_back({.kind = GateKind::kCnot, .target = q, .controls = model::bit(q - 1)});
    }
  }
  State s = random_state(rng, n, 1);
  std::unique_ptr<GateRecord> record = GateRecord::create(shape);
  for (const PreparedGate& g : circuit) record->push(g);
  t_calls.clear();
  record->apply(kCountingKernels, s.data(), n);

  u64 passes = 0;
  u64 sub_tile_calls = 0;
  u64 reached = 0;  // the last tile the call before reached
  for (const Call& c : t_calls) {
    const u64 first = static_cast<u64>(c.amps - s.data()) >> shape.tile_bits;
    if (passes == 0 || first < reached) ++passes;
    reached = (static_cast<u64>(c.amps - s.data()) + c.dimension - 1) >> shape.tile_bits;
    sub_tile_calls += c.dimension == model::bit(shape.sub_bits);
  }
  EXPECT_EQ(passes, 1u) << t_calls.size() << " calls for " << circuit.size() << " gates";
  EXPECT_GT(sub_tile_calls, 0u);
}

class FixedEntropy final : public platform::EntropySource {
 public:
  std::optional<std::string> fill(platform::EntropyKey& key) override {
    key.fill(0x5A);
    return std::nullopt;
  }
};

// One step of a random program on a register: a gate call (now and then a
// refused one), a read-out, or a move. Returns what the caller can see.
std::string step(Register& reg, u64 choice, std::mt19937_64& rng) {
  const u64 n = reg.qubit_count();
  // A qubit, out of range one time in twelve.
  const auto q = [&] { return rng() % 12 == 0 ? n + rng() % 2 : qubit(rng, n); };
  const auto result = [](const OpResult& r) { return r.ok() ? std::string("ok") : r.message(); };
  const auto ket = [](Ket k) { return std::to_string(k.value) + "/" + std::to_string(k.width); };
  // Every read-out draws from a generator keyed afresh, the same for both registers.
  FixedEntropy entropy;
  switch (choice) {
    case 0: return result(reg.x(q()));
    case 1: return result(reg.h(q()));
    case 2: return result(reg.u(q(), matrix(rng)));
    case 3: return result(reg.rx(q(), model::random_double(rng, true) * 4));
    case 4: return result(reg.ry(q(), model::random_double(rng, true) * 4));
    case 5: return result(reg.rz(q(), model::random_double(rng, true) * 4));
    case 6: return result(reg.cnot(q(), q()));
    case 7: return result(reg.swap(q(), q()));
    case 8: return result(reg.ccnot(q(), q(), q()));
    case 9: return result(reg.csswap(q(), q(), q()));
    case 10: {
      std::vector<u64> controls(rng() % 3);
      for (u64& c : controls) c = q();
      return result(reg.mcu(controls, q(), matrix(rng)));
    }
    case 11: {
      ScopedThreadRngForTesting rng_guard(entropy);
      return ket(reg.observe_one(rng() % n));
    }
    case 12: {
      ScopedThreadRngForTesting rng_guard(entropy);
      return ket(reg.observe_mul({rng() % n, rng() % n}));
    }
    case 13: {
      ScopedThreadRngForTesting rng_guard(entropy);
      return ket(reg.observe());
    }
    case 14: {
      std::string out;
      for (double p : reg.god_observe()) {
        out += std::isnan(p) ? std::string("nan") : std::to_string(model::bits_of(p));
        out += ",";
      }
      return out;
    }
    default: {
      Register moved = std::move(reg);
      reg = std::move(moved);
      return "moved";
    }
  }
}

TEST(PassesTest, RegisterReadsAsIfEveryGateHadRunAtOnce) {
  const PassShape never{.tile_bits = 63, .gathered_bits = 0, .capacity = 0};
  for (const PassShape& shape : kShapes) {
    // Below, at and above the tile size.
    for (u64 n = shape.tile_bits - 1; n <= shape.tile_bits + 2; ++n) {
      for (int round = 0; round < 4; ++round) {
        std::mt19937_64 rng(n * 100 + round);
        const State start = random_state(rng, n, round % 3);
        Register recorded = [&] {
          ScopedPassShapeForTesting guard(shape);
          return model::register_with(start);
        }();
        Register at_once = [&] {
          ScopedPassShapeForTesting guard(never);
          return model::register_with(start);
        }();
        for (int k = 0; k < 120; ++k) {
          // Read-outs and moves rarely, so that records fill between them.
          const u64 choice = rng() % 8 == 0 ? 11 + rng() % 5 : rng() % 11;
          const u64 seed = rng();
          std::mt19937_64 a(seed), b(seed);
          const std::string where = "n=" + std::to_string(n) + " tile=" +
                                    std::to_string(shape.tile_bits) + " round=" +
                                    std::to_string(round) + " step=" + std::to_string(k);
          ASSERT_EQ(step(recorded, choice, a), step(at_once, choice, b)) << where;
          if (rng() % 16 == 0) {
            ASSERT_TRUE(model::same_bits(model::state_of(recorded), model::state_of(at_once), true))
                << where;
          }
        }
        ASSERT_TRUE(model::same_bits(model::state_of(recorded), model::state_of(at_once), true));
      }
    }
  }
}

}  // namespace
}  // namespace zentrova::core
