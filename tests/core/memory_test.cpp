#include "core/platform/memory.h"

#include <gtest/gtest.h>

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

TEST(MemoryTest, HostFigureIsPlausible) {
  const std::uint64_t m = available_physical_memory();
  EXPECT_GT(m, std::uint64_t{1} << 20);
  EXPECT_LT(m, std::uint64_t{1} << 50);
}

}  // namespace
}  // namespace zentrova::core::platform
