// A layer for kernels_vector.h in plain C++: each operation is a loop over the
// doubles of a register, doing exactly what its name says, so a set built on
// it computes what the body computes, lane by lane, at that width.
#include "tests/core/kernels_emulated.h"

#include <cstdint>
#include <cstring>

#include "core/qubit/kernels/kernels_vector.h"
#include "tests/core/gate_model.h"

namespace zentrova::core {
namespace {

template <unsigned kWidth, unsigned kReadWidth>
struct EmulatedLayer {
  struct Reg {
    double v[kWidth];
  };
  using Mask = unsigned;
  struct Perm {
    std::uint64_t source[kWidth];
  };
  using ReadOnly = EmulatedLayer<kReadWidth, kReadWidth>;
  static constexpr std::uint64_t kDoubles = kWidth;

  template <class Fn>
  static Reg each(Fn fn) {
    Reg r;
    for (unsigned d = 0; d < kWidth; ++d) r.v[d] = fn(d);
    return r;
  }

  static Reg load(const double* p) { return each([&](unsigned d) { return p[d]; }); }
  static void store(double* p, Reg x) { std::memcpy(p, x.v, sizeof x.v); }
  static Reg broadcast(double v) { return each([&](unsigned) { return v; }); }
  static Reg set(const double* v) { return load(v); }
  static Reg zero() { return broadcast(0.0); }

  static Reg add(Reg a, Reg b) { return each([&](unsigned d) { return a.v[d] + b.v[d]; }); }
  static Reg sub(Reg a, Reg b) { return each([&](unsigned d) { return a.v[d] - b.v[d]; }); }
  static Reg mul(Reg a, Reg b) { return each([&](unsigned d) { return a.v[d] * b.v[d]; }); }
  static Reg div(Reg a, Reg b) { return each([&](unsigned d) { return a.v[d] / b.v[d]; }); }
  static Reg bit_xor(Reg a, Reg b) {
    return each(
        [&](unsigned d) { return model::from_bits(model::bits_of(a.v[d]) ^ model::bits_of(b.v[d])); });
  }

  static Mask mask(unsigned bits) { return bits; }
  static Reg blend(Mask m, Reg a, Reg b) {
    return each([&](unsigned d) { return (m >> d) & 1 ? b.v[d] : a.v[d]; });
  }
  static Reg zero_unless(Mask m, Reg x) { return blend(m, zero(), x); }

  template <unsigned kXor>
  static Reg flip(Reg x) {
    return each([&](unsigned d) { return x.v[d ^ kXor]; });
  }
  static Perm permutation(const std::uint64_t* source) {
    Perm p;
    std::memcpy(p.source, source, sizeof p.source);
    return p;
  }
  static Reg permute(Reg x, Perm p) { return each([&](unsigned d) { return x.v[p.source[d]]; }); }

  static unsigned zero_doubles(Reg x) {
    unsigned bits = 0;
    for (unsigned d = 0; d < kWidth; ++d) bits |= (x.v[d] == 0.0 ? 1u : 0u) << d;
    return bits;
  }
  static Reg pair_sums(Reg a, Reg b) {
    return each([&](unsigned d) {
      const double* c = 2 * d < kWidth ? a.v + 2 * d : b.v + (2 * d - kWidth);
      return c[0] + c[1];
    });
  }

  static void prefetch(const void*) {}
};

}  // namespace

static_assert(Layer<EmulatedLayer<8, 4>>);

// The contract refuses a layer lacking an operation or giving one the wrong
// type, rather than failing inside a kernel (or, worse, not at all).
struct WithoutPairSums : EmulatedLayer<8, 4> {
  static void pair_sums();
};
struct WithBoolZeroDoubles : EmulatedLayer<8, 4> {
  static bool zero_doubles(Reg x);
};
static_assert(!Layer<WithoutPairSums> && !Layer<WithBoolZeroDoubles>);
const KernelSet kEmulated512Kernels = vector_kernels<EmulatedLayer<8, 4>>("emulated512");

}  // namespace zentrova::core
