// POSIX: a pthread_atfork child handler.
#include <pthread.h>

#include <system_error>

#include "core/platform/fork_watch.h"

namespace zentrova::core::platform {

std::optional<std::string> run_in_forked_children(void (*on_child)()) {
  const int error = pthread_atfork(nullptr, nullptr, on_child);
  if (error == 0) return std::nullopt;
  return "cannot watch for fork: " + std::system_category().message(error);
}

}  // namespace zentrova::core::platform
