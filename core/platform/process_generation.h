// Tells per-thread state that it was copied into a forked child: a number the
// child sees change and its parent never does. A generator copied by fork would
// otherwise hand the child the very key and buffered output its parent goes on
// using. Each operating system has its own body; where there is no fork the
// number never changes.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

namespace zentrova::core::platform {

namespace detail {
// Written only by the child's fork handler, while the child has one thread.
extern std::atomic<std::uint64_t> generation_counter;
}  // namespace detail

// Read at every draw, hence inline. Relaxed is enough: the number changes only
// inside fork(), a call that orders everything before it in the child.
inline std::uint64_t process_generation() {
  return detail::generation_counter.load(std::memory_order_relaxed);
}

// Nothing while forks are being watched; otherwise why not. A generator must not
// be seeded without the watch, or a forked child would silently share its stream.
std::optional<std::string> fork_watch_error();

}  // namespace zentrova::core::platform
