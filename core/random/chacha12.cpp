// The ChaCha block function with 12 rounds (six double rounds), including the
// final addition of the input state; keystream words come out in block order.
#include "core/random/chacha12.h"

namespace zentrova::core {

namespace {

constexpr std::uint32_t kSigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
constexpr int kDoubleRounds = 6;

inline std::uint32_t rotl(std::uint32_t v, int s) { return (v << s) | (v >> (32 - s)); }

inline void quarter_round(std::uint32_t* x, int a, int b, int c, int d) {
  x[a] += x[b];
  x[d] = rotl(x[d] ^ x[a], 16);
  x[c] += x[d];
  x[b] = rotl(x[b] ^ x[c], 12);
  x[a] += x[b];
  x[d] = rotl(x[d] ^ x[a], 8);
  x[c] += x[d];
  x[b] = rotl(x[b] ^ x[c], 7);
}

void block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t stream,
           std::uint32_t* out) {
  std::uint32_t input[16];
  for (int i = 0; i < 4; ++i) input[i] = kSigma[i];
  for (int i = 0; i < 8; ++i) input[4 + i] = key[i];
  input[12] = static_cast<std::uint32_t>(counter);
  input[13] = static_cast<std::uint32_t>(counter >> 32);
  input[14] = static_cast<std::uint32_t>(stream);
  input[15] = static_cast<std::uint32_t>(stream >> 32);

  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = input[i];
  for (int r = 0; r < kDoubleRounds; ++r) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (int i = 0; i < 16; ++i) out[i] = x[i] + input[i];
}

}  // namespace

ChaCha12::ChaCha12(const Key& key, std::uint64_t counter, std::uint64_t stream)
    : key_words_{}, counter_(counter), stream_(stream) {
  rekey(key, counter);
}

void ChaCha12::rekey(const Key& key, std::uint64_t counter) {
  // Little-endian words whatever the host's byte order.
  for (std::uint64_t i = 0; i < 8; ++i) {
    key_words_[i] = std::uint32_t{key[4 * i]} | std::uint32_t{key[4 * i + 1]} << 8 |
                    std::uint32_t{key[4 * i + 2]} << 16 | std::uint32_t{key[4 * i + 3]} << 24;
  }
  counter_ = counter;
}

void ChaCha12::next_batch(Batch& out) {
  for (std::uint64_t b = 0; b < kBlocksPerBatch; ++b) {
    block(key_words_, counter_ + b, stream_, out.data() + b * kBlockWords);
  }
  counter_ += kBlocksPerBatch;
}

ChaCha12::Block ChaCha12::block_at(std::uint64_t counter) const {
  Block out;
  block(key_words_, counter, stream_, out.data());
  return out;
}

}  // namespace zentrova::core
