// The host's physical memory available for allocation, read afresh whenever a
// register or a large read-out buffer is about to be allocated. Each operating
// system has its own body of this header.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zentrova::core::platform {

// Bytes the process can still allocate without being refused or killed.
std::uint64_t available_physical_memory();

// A block of `bytes` aligned to `alignment` (a power of two, at least the size
// of a pointer), or nullptr; released with release_aligned.
void* allocate_aligned(std::uint64_t bytes, std::uint64_t alignment) noexcept;
void release_aligned(void* block) noexcept;

// Asks the system to back a large block with huge pages where it can: a sweep
// over a state vector otherwise misses the TLB every 4 KiB. Only a hint; a
// system that cannot does nothing.
void advise_huge_pages(void* block, std::uint64_t bytes) noexcept;

namespace detail {
// Parsers kept apart from the file reads so tests can feed them any text.

// "MemAvailable:" of /proc/meminfo, in bytes.
std::optional<std::uint64_t> parse_mem_available(std::string_view meminfo);
// A cgroup limit file ("max" or a decimal byte count); nullopt when unlimited.
std::optional<std::uint64_t> parse_cgroup_limit(std::string_view text);
// Room left under a cgroup limit; 0 when usage has reached it.
std::uint64_t cgroup_headroom(std::uint64_t limit, std::uint64_t usage);
// The least room under the memory limit of each cgroup that `table` (the text
// of /proc/self/cgroup) names and of every cgroup above it, with the
// hierarchies mounted under `root` (v2 at the root itself, v1 at root/memory);
// nullopt when none of them has a limit.
std::optional<std::uint64_t> cgroup_headroom_along(std::string_view table, const std::string& root);
}  // namespace detail

}  // namespace zentrova::core::platform
