// The generator against known draws, and its dealings with the entropy
// source: seeding on first use and in a forked child, rekeying every 1024
// blocks, and what happens when the source fails at any of these points.
#include "core/random/thread_rng.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "core/fatal_error.h"
#include "core/messages.h"
#include "tests/core/data/chacha12_vectors.h"
#include "tests/core/test_support.h"

namespace zentrova::core {
namespace {

using test_support::fatal_text_of;

ChaCha12::Key key_of(const char* hex) {
  ChaCha12::Key key{};
  for (std::uint64_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<std::uint8_t>(std::stoul(std::string(hex + 2 * i, 2), nullptr, 16));
  }
  return key;
}

const ChaCha12::Key kZeroKey = key_of(testdata::kKeyedStreams[0].key_hex);
const ChaCha12::Key kCountingKey = key_of(testdata::kKeyedStreams[1].key_hex);

// Hands out the keys and failures it was given, in order, and counts the requests.
class ScriptedEntropy final : public platform::EntropySource {
 public:
  using Step = std::variant<ChaCha12::Key, std::string>;
  explicit ScriptedEntropy(std::deque<Step> steps) : steps_(std::move(steps)) {}

  std::optional<std::string> fill(platform::EntropyKey& key) override {
    ++calls;
    if (steps_.empty()) {
      ADD_FAILURE() << "entropy asked for more than the script holds";
      return "script exhausted";
    }
    const Step step = steps_.front();
    steps_.pop_front();
    if (const auto* k = std::get_if<ChaCha12::Key>(&step)) {
      key = *k;
      return std::nullopt;
    }
    key.fill(0xEE);  // a failing source may leave anything behind
    return std::get<std::string>(step);
  }

  int calls = 0;

 private:
  std::deque<Step> steps_;
};

std::uint64_t u64_of(const ChaCha12::Block& block, std::uint64_t pair) {
  return std::uint64_t{block[2 * pair + 1]} << 32 | block[2 * pair];
}

// Forty outputs span blocks 0 to 4: draws 1-32 come from the first batch of
// four blocks, draw 33 from block 4.
TEST(ThreadRngTest, OutputsAndDrawsMatchKnownAnswers) {
  for (const auto& k : testdata::kKeyedStreams) {
    ScriptedEntropy words({key_of(k.key_hex)});
    ScriptedEntropy draws({key_of(k.key_hex)});
    ThreadRng rng_words(words);
    ThreadRng rng_draws(draws);
    for (std::uint64_t i = 0; i < 40; ++i) {
      EXPECT_EQ(rng_words.next_u64(), k.u64[i]) << k.name << " output " << i;
      const double r = rng_draws.uniform();
      EXPECT_EQ(std::memcmp(&r, &k.uniform[i], sizeof r), 0) << k.name << " draw " << i;
    }
    EXPECT_EQ(words.calls, 1);
  }
}

TEST(ThreadRngTest, DrawsStayBelowOne) {
  EXPECT_EQ(uniform_from_u64(0), 0.0);
  EXPECT_EQ(uniform_from_u64(2047), 0.0);
  EXPECT_EQ(uniform_from_u64(2048), 0x1.0p-53);
  EXPECT_EQ(uniform_from_u64(UINT64_MAX), 0x1.fffffffffffffp-1);
  EXPECT_EQ(uniform_from_u64(std::uint64_t{1} << 63), 0.5);
}

TEST(ThreadRngTest, RekeysBeforeBlock1024) {
  ScriptedEntropy source({kZeroKey, kCountingKey});
  ThreadRng rng(source);
  const ChaCha12 first(kZeroKey);
  for (std::uint64_t block = 0; block < ThreadRng::kRekeyBlocks; ++block) {
    const ChaCha12::Block expected = first.block_at(block);
    for (std::uint64_t pair = 0; pair < 8; ++pair) {
      ASSERT_EQ(rng.next_u64(), u64_of(expected, pair)) << "block " << block;
    }
  }
  EXPECT_EQ(source.calls, 1);  // the new key is asked for only when needed
  // Draw 8193 is block 0 of the new key, not block 1024 of the old one.
  for (std::uint64_t i = 0; i < 40; ++i) {
    EXPECT_EQ(rng.next_u64(), testdata::kKeyedStreams[1].u64[i]) << i;
  }
  EXPECT_EQ(source.calls, 2);
}

TEST(ThreadRngTest, FailedRekeyGoesOnWithTheOldKeyAndRetries) {
  ScriptedEntropy source({kZeroKey, std::string("busy"), std::string("busy"), kCountingKey});
  ThreadRng rng(source);
  for (std::uint64_t i = 0; i < 8192; ++i) (void)rng.next_u64();
  const ChaCha12 old_key(kZeroKey);
  // Blocks 1024 .. 1031 of the old key, one request per batch of four.
  for (std::uint64_t block = 1024; block < 1032; ++block) {
    const ChaCha12::Block expected = old_key.block_at(block);
    for (std::uint64_t pair = 0; pair < 8; ++pair) {
      ASSERT_EQ(rng.next_u64(), u64_of(expected, pair)) << "block " << block;
    }
    EXPECT_EQ(source.calls, block < 1028 ? 2 : 3);
  }
  EXPECT_EQ(rng.next_u64(), testdata::kKeyedStreams[1].u64[0]);
  EXPECT_EQ(source.calls, 4);
}

TEST(ThreadRngTest, FailedSeedingIsFatalAndTheNextDrawSeeds) {
  ScriptedEntropy source({std::string("no entropy today"), kZeroKey});
  ThreadRng rng(source);
  EXPECT_EQ(fatal_text_of([&] { (void)rng.uniform(); }),
            "could not initialize ThreadRng: no entropy today");
  EXPECT_EQ(rng.next_u64(), testdata::kKeyedStreams[0].u64[0]);
  EXPECT_EQ(source.calls, 2);
}

#if !defined(_WIN32)
// Nothing made before the fork reaches the child, not even the 31 draws
// waiting in the buffer: it seeds afresh, under the rules of a first seeding,
// while the parent's stream goes on as if there had been no fork.
TEST(ThreadRngTest, AForkedChildSeedsAfreshAndTheParentGoesOn) {
  ScriptedEntropy source({kZeroKey, std::string("not in the child"), kCountingKey});
  ScopedThreadRngForTesting guard(source);
  const auto& parent = testdata::kKeyedStreams[0];
  EXPECT_EQ(uniform_draw(), parent.uniform[0]);
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    // Only the exit status reaches the parent's test.
    bool ok = fatal_text_of([] { (void)uniform_draw(); }) ==
              std::string(kRngInitPrefix) + "not in the child";
    for (double r : testdata::kKeyedStreams[1].uniform) ok &= uniform_draw() == r;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  for (std::uint64_t i = 1; i < std::size(parent.uniform); ++i) {
    EXPECT_EQ(uniform_draw(), parent.uniform[i]) << i;
  }
  EXPECT_EQ(source.calls, 1);
}
#endif

TEST(ThreadRngTest, ThisThreadsGeneratorCanBeReplacedForTests) {
  {
    ScriptedEntropy source({std::string("unplugged"), kZeroKey});
    ScopedThreadRngForTesting guard(source);
    EXPECT_EQ(source.calls, 0);  // created unseeded
    EXPECT_EQ(fatal_text_of([] { (void)uniform_draw(); }),
              std::string(kRngInitPrefix) + "unplugged");
    for (std::uint64_t i = 0; i < 40; ++i) {
      EXPECT_EQ(uniform_draw(), testdata::kKeyedStreams[0].uniform[i]) << i;
    }
  }
  // Back on the operating system's source: no longer the zero key's stream.
  EXPECT_NE(uniform_draw(), testdata::kKeyedStreams[0].uniform[0]);
}

TEST(ThreadRngTest, ThreadsHaveTheirOwnStreams) {
  auto four_draws = [] {
    std::vector<double> r;
    for (int i = 0; i < 4; ++i) r.push_back(uniform_draw());
    return r;
  };
  std::vector<double> a, b;
  std::thread ta([&] { a = four_draws(); });
  std::thread tb([&] { b = four_draws(); });
  ta.join();
  tb.join();
  EXPECT_NE(a, b);
  EXPECT_NE(a, four_draws());
}

TEST(ThreadRngTest, OperatingSystemSourceFillsTheKey) {
  platform::EntropyKey first{}, second{};
  EXPECT_EQ(platform::os_entropy().fill(first), std::nullopt);
  EXPECT_EQ(platform::os_entropy().fill(second), std::nullopt);
  EXPECT_NE(first, second);  // equal only with probability 2^-256
}

}  // namespace
}  // namespace zentrova::core
