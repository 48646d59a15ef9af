// The sine and cosine's multi-word integers against GMP's, on random words
// salted with the words that make carries and borrows run (0, 1, 2^63, all
// ones): every operation at several sizes, and each truncating one within the
// bound its comment states.
#include "core/math/multiword.h"

#include <gmp.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

namespace zentrova::core {
namespace {

class Model {
 public:
  Model() { mpz_inits(a_, b_, want_, got_, nullptr); }
  ~Model() { mpz_clears(a_, b_, want_, got_, nullptr); }
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  template <int M>
  static void set(mpz_t out, const Num<M>& n) {
    mpz_import(out, M, -1, sizeof(u64), 0, 0, n.limb);
  }
  // want, reduced modulo 2^(64 * limbs) when wrap is set, against got.
  template <int M>
  ::testing::AssertionResult equal(const Num<M>& got, bool wrap = true) {
    if (wrap) mpz_fdiv_r_2exp(want_, want_, 64 * M);
    set(got_, got);
    if (mpz_cmp(want_, got_) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "want " << text(want_) << ", got " << text(got_);
  }
  // 0 <= want - got < units * 2^shift.
  template <int M>
  ::testing::AssertionResult short_by_under(const Num<M>& got, unsigned long units,
                                            unsigned long shift = 0) {
    set(got_, got);
    mpz_sub(got_, want_, got_);
    mpz_fdiv_q_2exp(want_, got_, shift);
    if (mpz_sgn(got_) >= 0 && mpz_cmp_ui(want_, units) < 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "short by " << text(got_) << ", bound " << units
                                         << " * 2^" << shift;
  }
  static std::string text(const mpz_t v) {
    char* s = mpz_get_str(nullptr, 16, v);
    std::string t(s);
    void (*free_fn)(void*, std::size_t);
    mp_get_memory_functions(nullptr, nullptr, &free_fn);
    free_fn(s, t.size() + 1);
    return t;
  }

  mpz_t a_, b_, want_, got_;
};

template <int M>
Num<M> random_num(std::mt19937_64& rng) {
  constexpr u64 kSpecial[] = {0, 1, u64{1} << 63, ~u64{0}};
  Num<M> n;
  for (u64& w : n.limb) {
    const u64 r = rng();
    w = r % 4 == 0 ? kSpecial[(r >> 2) % 4] : rng();
  }
  return n;
}

template <int M>
void check_size(std::mt19937_64& rng) {
  Model m;
  for (int round = 0; round < 3000; ++round) {
    const Num<M> a = random_num<M>(rng), b = random_num<M>(rng);
    Model::set(m.a_, a);
    Model::set(m.b_, b);
    const int pos = static_cast<int>(rng() % (128 * M + 1)) - 64 * M;
    const auto where = [&] { return "M=" + std::to_string(M) + " a=" + Model::text(m.a_) +
                                    " b=" + Model::text(m.b_) + " pos=" + std::to_string(pos); };

    mpz_add(m.want_, m.a_, m.b_);
    EXPECT_TRUE(m.equal(add(a, b))) << where();
    mpz_sub(m.want_, m.a_, m.b_);
    EXPECT_TRUE(m.equal(sub(a, b))) << where();
    mpz_neg(m.want_, m.a_);
    EXPECT_TRUE(m.equal(negate_if(a, true))) << where();
    mpz_set(m.want_, m.a_);
    EXPECT_TRUE(m.equal(negate_if(a, false))) << where();
    mpz_mul(m.want_, m.a_, m.b_);
    EXPECT_TRUE(m.equal(mul_full(a, b), false)) << where();
    // Columns from M - 1 up: short by under M units of column M; mul_fixed
    // drops that column too, and stays under M units of its last bit.
    mpz_mul(m.want_, m.a_, m.b_);
    mpz_fdiv_q_2exp(m.want_, m.want_, 64 * (M - 1));
    EXPECT_TRUE(m.short_by_under(columns<M - 1>(a, b), M, 64)) << where();
    mpz_mul(m.want_, m.a_, m.b_);
    mpz_fdiv_q_2exp(m.want_, m.want_, 64 * M);
    EXPECT_TRUE(m.short_by_under(mul_fixed(a, b), M)) << where();
    // Shifts either way; bits_from keeps M limbs, modulo.
    if (pos >= 0) {
      mpz_fdiv_q_2exp(m.want_, m.a_, static_cast<unsigned long>(pos));
    } else {
      mpz_mul_2exp(m.want_, m.a_, static_cast<unsigned long>(-pos));
    }
    EXPECT_TRUE(m.equal(bits_from<M>(a, pos))) << where();
    EXPECT_EQ(bit(a, pos), pos >= 0 && mpz_tstbit(m.a_, static_cast<mp_bitcnt_t>(pos)) != 0)
        << where();
    Num<M> cleared = a;
    clear_from(cleared, pos);
    mpz_fdiv_r_2exp(m.want_, m.a_, static_cast<unsigned long>(pos < 0 ? 0 : pos));
    EXPECT_TRUE(m.equal(cleared, false)) << where();
    EXPECT_EQ(is_zero(a), mpz_sgn(m.a_) == 0) << where();
    if (mpz_sgn(m.a_) != 0) {
      EXPECT_EQ(top_bit(a), static_cast<int>(mpz_sizeinbase(m.a_, 2)) - 1) << where();
    }
    // 2^(64M) - a, and one unit short of 1 for a = 0.
    mpz_set_ui(m.want_, 0);
    mpz_setbit(m.want_, 64 * M);
    mpz_sub(m.want_, m.want_, m.a_);
    if (mpz_sgn(m.a_) == 0) mpz_sub_ui(m.want_, m.want_, 1);
    EXPECT_TRUE(m.equal(one_minus(a), false)) << where();
    const u64 d = 1 + rng() % 0xFFFFFFFFu;
    mpz_fdiv_q_ui(m.want_, m.a_, d);
    EXPECT_TRUE(m.equal(div_small(a, d), false)) << where() << " d=" << d;
  }
}

TEST(MultiwordTest, OperationsAgainstGmp) {
  std::mt19937_64 rng(29);
  check_size<1>(rng);
  check_size<2>(rng);
  check_size<3>(rng);
  check_size<5>(rng);
  check_size<8>(rng);
}

}  // namespace
}  // namespace zentrova::core
