// The per-thread generator: seeding on first use, batches of four blocks,
// rekeying, and the thread-local instance behind uniform_draw, forgotten in
// a forked child.
#include "core/random/thread_rng.h"

#include <string>

#include "core/fatal_error.h"
#include "core/messages.h"
#include "core/platform/fork_watch.h"

namespace zentrova::core {

namespace {

enum class Life : unsigned char { kAbsent, kAlive, kGone };

// Both trivially destructible, so they can still be read while the thread's
// other thread-local objects are destroyed, and from a fork handler.
thread_local Life t_life = Life::kAbsent;
thread_local ThreadRng* t_rng = nullptr;  // the thread's generator, once kAlive

// Runs in a forked child before fork returns there, on its only thread: the
// one that forked. Threads the child starts later get generators of their own.
void forget_inherited_generator() {
  if (t_life == Life::kAlive) t_rng->forget_key();
}

// Registered when the library is loaded, before any thread can draw: a lazy
// registration at a first draw would leave a window in which another thread's
// fork goes unseen. Forgetting in the handler rather than checking at every
// draw keeps the draw as it was.
const std::optional<std::string> g_fork_watch_error =
    platform::run_in_forked_children(&forget_inherited_generator);

}  // namespace

std::uint64_t ThreadRng::next_u64() {
  if (next_word_ == ChaCha12::kBatchWords) refill();
  const std::uint64_t lo = buffer_[next_word_];
  const std::uint64_t hi = buffer_[next_word_ + 1];
  next_word_ += 2;
  return hi << 32 | lo;
}

void ThreadRng::forget_key() {
  cipher_.reset();
  buffer_.fill(0);
  next_word_ = ChaCha12::kBatchWords;
}

void ThreadRng::refill() {
  platform::EntropyKey key;
  if (!cipher_) {
    // Without the fork watch a forked child would silently share this stream.
    std::optional<std::string> error = g_fork_watch_error;
    if (!error) error = source_->fill(key);
    if (error) ZV_FATAL(std::string(kRngInitPrefix) + *error);
    cipher_.emplace(key);
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

struct Holder {
  ThreadRng rng;
  explicit Holder(platform::EntropySource& source) : rng(source) {
    t_rng = &rng;
    t_life = Life::kAlive;
  }
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
