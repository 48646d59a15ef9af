// POSIX: a pthread_atfork child handler bumps the generation in every child
// that fork() creates, grandchildren included.
#include <pthread.h>

#include <system_error>

#include "core/platform/process_generation.h"

namespace zentrova::core::platform {

namespace detail {
std::atomic<std::uint64_t> generation_counter{0};
}  // namespace detail

namespace {

void on_fork_child() { detail::generation_counter.fetch_add(1, std::memory_order_relaxed); }

// Registered when the library is loaded, before any thread can draw: a lazy
// registration at a first draw would leave a window in which another thread's
// fork goes unseen, and its lock could be copied held into the child.
const int g_registration = pthread_atfork(nullptr, nullptr, &on_fork_child);

}  // namespace

std::optional<std::string> fork_watch_error() {
  if (g_registration == 0) return std::nullopt;
  return "cannot watch for fork: " + std::system_category().message(g_registration);
}

}  // namespace zentrova::core::platform
