// Windows: the physical memory available for allocation as the system reports
// it, ullAvailPhys of GlobalMemoryStatusEx (neither the total nor the page file).
#include <windows.h>

#include <malloc.h>

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

void* allocate_aligned(std::uint64_t bytes, std::uint64_t alignment) noexcept {
  return _aligned_malloc(static_cast<std::size_t>(bytes), static_cast<std::size_t>(alignment));
}

void release_aligned(void* block) noexcept { _aligned_free(block); }

// Large pages on Windows need a privilege most users lack; the hint is a no-op.
void advise_huge_pages(void*, std::uint64_t) noexcept {}

}  // namespace zentrova::core::platform
