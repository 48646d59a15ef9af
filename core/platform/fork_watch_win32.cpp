// Windows has no fork: a process never starts as a copy of another, so there
// is nothing to watch and `on_child` never runs.
#include "core/platform/fork_watch.h"

namespace zentrova::core::platform {

std::optional<std::string> run_in_forked_children(void (*)()) { return std::nullopt; }

}  // namespace zentrova::core::platform
