// Lets per-thread state learn that fork() copied it into a child. The child
// starts as a copy of the thread that forked, generator included, and would
// otherwise hand out the very key and buffered draws its parent goes on using.
// Each operating system has its own body; where there is no fork, nothing is
// ever called.
#pragma once

#include <optional>
#include <string>

namespace zentrova::core::platform {

// Has `on_child` run in every child that fork() makes, grandchildren included,
// on the child's only thread, the one that called fork, before fork returns
// there. For use once per process, at load time: it cannot be undone. Returns
// nothing, or why `on_child` will not run.
std::optional<std::string> run_in_forked_children(void (*on_child)());

}  // namespace zentrova::core::platform
