// The per-thread generator: seeding on first use and again in a forked child,
// batches of four blocks, rekeying, and the thread-local instance behind
// uniform_draw.
#include "core/random/thread_rng.h"

#include <string>

#include "core/fatal_error.h"
#include "core/messages.h"
#include "core/platform/process_generation.h"

namespace zentrova::core {

std::uint64_t ThreadRng::next_u64() {
  // In a forked child even the buffered words are the parent's, and the
  // parent hands them out too.
  if (next_word_ == ChaCha12::kBatchWords || generation_ != platform::process_generation()) {
    refill();
  }
  const std::uint64_t lo = buffer_[next_word_];
  const std::uint64_t hi = buffer_[next_word_ + 1];
  next_word_ += 2;
  return hi << 32 | lo;
}

void ThreadRng::refill() {
  platform::EntropyKey key;
  const std::uint64_t generation = platform::process_generation();
  if (!cipher_ || generation_ != generation) {
    // A key copied from the parent is no key: seeded afresh, under the rules
    // of a first seeding, and the copy stays untouched until that succeeds.
    std::optional<std::string> error = platform::fork_watch_error();
    if (!error) error = source_->fill(key);
    if (error) ZV_FATAL(std::string(kRngInitPrefix) + *error);
    cipher_.emplace(key);
    generation_ = generation;
  } else if (cipher_->counter() >= kRekeyBlocks) {
    // On failure the old key goes on, and the next batch asks again; a
    // generator that works must not stop measurement for want of a new key.
    const auto error = source_->fill(key);
    if (!error) cipher_->rekey(key);
  }
  cipher_->next_batch(buffer_);
  next_word_ = 0;
}

namespace {

enum class Life : unsigned char { kAbsent, kAlive, kGone };

// Trivially destructible, so it can still be read while the thread's other
// thread-local objects are destroyed.
thread_local Life t_life = Life::kAbsent;

struct Holder {
  ThreadRng rng;
  explicit Holder(platform::EntropySource& source) : rng(source) { t_life = Life::kAlive; }
  ~Holder() { t_life = Life::kGone; }
};

ThreadRng& this_thread_rng() {
  if (t_life == Life::kGone) ZV_FATAL(std::string(kRngTornDownText));
  thread_local Holder holder(platform::os_entropy());
  return holder.rng;
}

}  // namespace

double uniform_draw() { return this_thread_rng().uniform(); }

ScopedThreadRngForTesting::ScopedThreadRngForTesting(platform::EntropySource& source) {
  this_thread_rng() = ThreadRng(source);
}

ScopedThreadRngForTesting::~ScopedThreadRngForTesting() {
  this_thread_rng() = ThreadRng(platform::os_entropy());
}

}  // namespace zentrova::core
