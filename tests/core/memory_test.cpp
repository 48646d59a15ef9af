#include "core/platform/memory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zentrova::core::platform {
namespace {

TEST(MemoryTest, ParsesMemAvailable) {
  EXPECT_EQ(detail::parse_mem_available("MemTotal:       24000000 kB\n"
                                        "MemFree:        1000 kB\n"
                                        "MemAvailable:   23000000 kB\n"),
            std::uint64_t{23000000} * 1024);
  EXPECT_EQ(detail::parse_mem_available("MemTotal: 5 kB\n"), std::nullopt);
  EXPECT_EQ(detail::parse_mem_available("MemAvailable: lots kB\n"), std::nullopt);
  EXPECT_EQ(detail::parse_mem_available("MemAvailable: 99999999999999999999 kB\n"), std::nullopt);
}

TEST(MemoryTest, ParsesCgroupLimits) {
  EXPECT_EQ(detail::parse_cgroup_limit("max\n"), std::nullopt);
  EXPECT_EQ(detail::parse_cgroup_limit("1073741824\n"), std::uint64_t{1073741824});
  EXPECT_EQ(detail::cgroup_headroom(1000, 400), 600u);
  EXPECT_EQ(detail::cgroup_headroom(1000, 4000), 0u);
}

// Both layouts side by side under one root, each with a peak usage far above
// the current one, so reading the peak instead gives a different answer, and
// each with its tightest limit one level above the process's own cgroup.
TEST(MemoryTest, WalksEveryCgroupLevelUpToTheRoot) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("zentrova-cgroup-" + std::to_string(getpid()));
  const std::vector<std::pair<std::string, std::string>> files = {
      {"memory/memory.limit_in_bytes", "9223372036854771712"},
      {"memory/memory.usage_in_bytes", "5000000"},
      {"memory/a/memory.limit_in_bytes", "1000"},
      {"memory/a/memory.usage_in_bytes", "400"},
      {"memory/a/memory.max_usage_in_bytes", "990"},
      {"memory/a/b/memory.limit_in_bytes", "5000"},
      {"memory/a/b/memory.usage_in_bytes", "100"},
      {"memory/a/b/memory.max_usage_in_bytes", "4990"},
      {"x/memory.max", "1200"},
      {"x/memory.current", "700"},
      {"x/memory.peak", "1190"},
      {"x/y/memory.max", "max"},
      {"x/y/memory.current", "650"},
      {"x/y/memory.peak", "3000"},
  };
  for (const auto& [name, text] : files) {
    fs::create_directories((root / name).parent_path());
    std::ofstream(root / name) << text << "\n";
  }
  const std::vector<std::pair<std::string, std::optional<std::uint64_t>>> cases = {
      {"4:memory:/a/b\n1:cpu:/\n0::/\n", 600},
      {"0::/x/y\n", 500},
      {"2:cpuacct,memory:/a\n0::/x/y\n", 500},
      {"4:memory:/\n", 9223372036854771712u - 5000000},
      {"1:cpu:/a/b\n0::/\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [table, room] : cases) {
    EXPECT_EQ(detail::cgroup_headroom_along(table, root.string()), room) << table;
  }
  fs::remove_all(root);
}

TEST(MemoryTest, HostFigureIsPlausible) {
  const std::uint64_t m = available_physical_memory();
  EXPECT_GT(m, std::uint64_t{1} << 20);
  EXPECT_LT(m, std::uint64_t{1} << 50);
}

}  // namespace
}  // namespace zentrova::core::platform
