// Windows has no fork: a process never starts as a copy of another, so the
// generation stays 0 and there is nothing to watch.
#include "core/platform/process_generation.h"

namespace zentrova::core::platform {

namespace detail {
std::atomic<std::uint64_t> generation_counter{0};
}  // namespace detail

std::optional<std::string> fork_watch_error() { return std::nullopt; }

}  // namespace zentrova::core::platform
