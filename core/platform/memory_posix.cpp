// Linux: MemAvailable from /proc/meminfo, lowered to the room left under the
// memory limit of the process's cgroup (v2, or v1) and of every cgroup above
// it, since exceeding any of those gets the process killed rather than refused.
#include <sys/mman.h>
#include <sys/sysinfo.h>

#include <cstdlib>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "core/platform/memory.h"

namespace zentrova::core::platform {
namespace detail {

namespace {

std::optional<std::uint64_t> parse_u64(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::uint64_t> parse_mem_available(std::string_view meminfo) {
  constexpr std::string_view kKey = "MemAvailable:";
  std::size_t pos = 0;
  while (pos < meminfo.size()) {
    std::size_t eol = meminfo.find('\n', pos);
    if (eol == std::string_view::npos) eol = meminfo.size();
    std::string_view line = meminfo.substr(pos, eol - pos);
    pos = eol + 1;
    if (line.substr(0, kKey.size()) != kKey) continue;
    line.remove_prefix(kKey.size());
    std::uint64_t multiplier = 1;
    if (line.size() >= 3 && line.substr(line.size() - 3) == " kB") {
      multiplier = 1024;
      line.remove_suffix(3);
    }
    auto kib = parse_u64(line);
    if (!kib || *kib > UINT64_MAX / multiplier) return std::nullopt;
    return *kib * multiplier;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> parse_cgroup_limit(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  if (text == "max") return std::nullopt;
  return parse_u64(text);
}

std::uint64_t cgroup_headroom(std::uint64_t limit, std::uint64_t usage) {
  return usage >= limit ? 0 : limit - usage;
}

namespace {

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void keep_smaller(std::optional<std::uint64_t>& best, std::optional<std::uint64_t> room) {
  if (room) best = best ? std::min(*best, *room) : *room;
}

// Room under the limits of the cgroup at `dir` and of each cgroup above it,
// down to `root`; nullopt when none of them has a limit.
std::optional<std::uint64_t> headroom_along(std::string dir, const std::string& root,
                                            const char* limit_file, const char* usage_file) {
  std::optional<std::uint64_t> best;
  for (;;) {
    auto limit_text = read_file(dir + "/" + limit_file);
    auto usage_text = read_file(dir + "/" + usage_file);
    if (limit_text && usage_text) {
      auto limit = parse_cgroup_limit(*limit_text);
      auto usage = parse_cgroup_limit(*usage_text);
      if (limit && usage) keep_smaller(best, cgroup_headroom(*limit, *usage));
    }
    if (dir.size() <= root.size()) break;
    dir.erase(dir.rfind('/'));
  }
  return best;
}

}  // namespace

std::optional<std::uint64_t> cgroup_headroom_along(std::string_view table, const std::string& root) {
  std::istringstream lines{std::string(table)};
  std::string line;
  std::optional<std::uint64_t> best;
  while (std::getline(lines, line)) {
    // "hierarchy-id:controllers:path"; v2 is "0::path", v1 lists "memory" among the controllers.
    std::size_t first = line.find(':');
    std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    if (path == "/") path.clear();
    if (line.compare(0, first, "0") == 0 && controllers.empty()) {
      keep_smaller(best, headroom_along(root + path, root, "memory.max", "memory.current"));
    } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
      keep_smaller(best, headroom_along(root + "/memory" + path, root + "/memory",
                                        "memory.limit_in_bytes", "memory.usage_in_bytes"));
    }
  }
  return best;
}

}  // namespace detail

std::uint64_t available_physical_memory() {
  std::optional<std::uint64_t> host;
  if (auto meminfo = detail::read_file("/proc/meminfo")) host = detail::parse_mem_available(*meminfo);
  if (!host) {
    // Kernels before 3.14 have no MemAvailable; free RAM is the nearest figure.
    struct sysinfo info {};
    host = sysinfo(&info) == 0 ? std::uint64_t{info.freeram} * info.mem_unit : 0;
  }
  if (auto table = detail::read_file("/proc/self/cgroup")) {
    if (auto room = detail::cgroup_headroom_along(*table, "/sys/fs/cgroup")) {
      return std::min(*host, *room);
    }
  }
  return *host;
}

void* allocate_aligned(std::uint64_t bytes, std::uint64_t alignment) noexcept {
  // malloc's own alignment needs no aligned path, which costs several times
  // as much; either block is released by free.
  if (alignment <= alignof(std::max_align_t)) return std::malloc(static_cast<std::size_t>(bytes));
  void* block = nullptr;
  if (posix_memalign(&block, static_cast<std::size_t>(alignment), static_cast<std::size_t>(bytes)) != 0) {
    return nullptr;
  }
  return block;
}

void release_aligned(void* block) noexcept { std::free(block); }

void advise_huge_pages(void* block, std::uint64_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
  // Refused where transparent huge pages are off; the block works either way.
  (void)madvise(block, static_cast<std::size_t>(bytes), MADV_HUGEPAGE);
#else
  (void)block;
  (void)bytes;
#endif
}

}  // namespace zentrova::core::platform
