// Windows: the physical memory available for allocation as the system reports
// it, ullAvailPhys of GlobalMemoryStatusEx (neither the total nor the page file).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>

#include "core/platform/memory.h"

namespace zentrova::core::platform {

std::uint64_t available_physical_memory() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof(status);
  // A query that fails reports nothing available: every register is then
  // refused with the figures rather than allocated on a guess.
  if (!GlobalMemoryStatusEx(&status)) return 0;
  return status.ullAvailPhys;
}

}  // namespace zentrova::core::platform
