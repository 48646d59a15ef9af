// The keystream against known answers: the published 12-round vectors, eight
// blocks for each of two keys, and a counter that crosses into word 13.
#include "core/random/chacha12.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/core/data/chacha12_vectors.h"

namespace zentrova::core {
namespace {

std::string hex_of(const std::uint32_t* words, std::uint64_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::uint64_t i = 0; i < count; ++i) {
    for (int byte = 0; byte < 4; ++byte) {  // little-endian bytes
      const unsigned v = (words[i] >> (8 * byte)) & 0xFF;
      out += kDigits[v >> 4];
      out += kDigits[v & 15];
    }
  }
  return out;
}

ChaCha12::Key key_of(const char* hex) {
  ChaCha12::Key key{};
  for (std::uint64_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<std::uint8_t>(std::stoul(std::string(hex + 2 * i, 2), nullptr, 16));
  }
  return key;
}

// The 8-byte IV of the published vectors is the stream number, little-endian.
std::uint64_t stream_of(const char* hex) {
  std::uint64_t stream = 0;
  for (int i = 7; i >= 0; --i) {
    stream = stream << 8 | std::stoul(std::string(hex + 2 * i, 2), nullptr, 16);
  }
  return stream;
}

TEST(ChaCha12Test, PublishedVectors) {
  for (const auto& v : testdata::kPublished12Rounds) {
    ChaCha12 cipher(key_of(v.key_hex), 0, stream_of(v.iv_hex));
    ChaCha12::Batch batch;
    cipher.next_batch(batch);
    const std::string expected = v.keystream_hex;
    EXPECT_EQ(hex_of(batch.data(), expected.size() / 8), expected) << v.name;
  }
}

TEST(ChaCha12Test, BatchesFollowTheCounter) {
  for (const auto& k : testdata::kKeyedStreams) {
    ChaCha12 cipher(key_of(k.key_hex));
    for (std::uint64_t batch_index = 0; batch_index < 2; ++batch_index) {
      EXPECT_EQ(cipher.counter(), 4 * batch_index);
      ChaCha12::Batch batch;
      cipher.next_batch(batch);
      for (std::uint64_t b = 0; b < 4; ++b) {
        const std::uint64_t block = 4 * batch_index + b;
        EXPECT_EQ(hex_of(batch.data() + 16 * b, 16), k.block_hex[block]) << k.name << " " << block;
        EXPECT_EQ(hex_of(cipher.block_at(block).data(), 16), k.block_hex[block]);
      }
    }
    EXPECT_EQ(cipher.counter(), 8u);
  }
}

TEST(ChaCha12Test, CounterCarriesIntoWord13) {
  const std::uint64_t start = (std::uint64_t{1} << 32) - 2;
  ChaCha12 cipher(key_of(testdata::kCarryKeyHex), start);
  ChaCha12::Batch batch;
  cipher.next_batch(batch);
  EXPECT_EQ(hex_of(batch.data() + 32, 16), testdata::kCarryBlockHex);
  for (std::uint64_t b = 0; b < 4; ++b) {
    EXPECT_EQ(hex_of(batch.data() + 16 * b, 16), hex_of(cipher.block_at(start + b).data(), 16));
  }
  EXPECT_EQ(cipher.counter(), start + 4);
}

}  // namespace
}  // namespace zentrova::core
