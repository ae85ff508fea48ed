// Pool size rules: the environment grammar and precedence, the cap, and cgroup CPU quotas read
// through a fake file system.
#include "pool/thread_count.h"

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <string>
#include <vector>

namespace vexilo::pool {
namespace {

TEST(ThreadCount, ParsesOnlyPlainUnsignedDecimals) {
    const std::string size_max = std::to_string(std::numeric_limits<std::size_t>::max());
    const std::string size_max_plus_one =
        size_max.substr(0, size_max.size() - 1) + static_cast<char>(size_max.back() + 1);
    const struct {
        std::string text;
        std::optional<std::size_t> expected;
    } cases[] = {
        {"4", 4},
        {"+4", 4},
        {"0", 0},
        {"+0", 0},
        {"0012", 12},
        {"1000", 1000},
        {size_max, std::numeric_limits<std::size_t>::max()},
        {"", {}},
        {"+", {}},
        {"++4", {}},
        {"-2", {}},
        {"-0", {}},
        {" 4", {}},
        {"4 ", {}},
        {"4\n", {}},
        {"4a", {}},
        {"0x10", {}},
        {"1e3", {}},
        {"abc", {}},
        {size_max_plus_one, {}},
        {"99999999999999999999999", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_thread_count(c.text), c.expected) << c.text;
}

TEST(ThreadCount, EnvironmentPrecedenceAndCap) {
    const char* unset = nullptr;
    const struct {
        const char* primary;
        const char* fallback;
        std::size_t default_count;
        std::size_t expected;
        std::vector<std::string> consulted;
    } cases[] = {
        {unset, unset, 6, 6, {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}},
        {"3", "7", 6, 3, {"RAYON_NUM_THREADS"}},
        {"+4", unset, 6, 4, {"RAYON_NUM_THREADS"}},
        {"0", "7", 6, 6, {"RAYON_NUM_THREADS"}},  // zero: the default, second variable unread
        {"abc", "7", 6, 7, {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}},
        {"-2", "7", 6, 7, {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}},
        {"", "+7", 6, 7, {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}},
        {"99999999999999999999999", "5", 6, 5, {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}},
        {unset, "0", 6, 6, {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}},
        {"x", "y", 6, 6, {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}},
        {"1000", unset, 6, 255, {"RAYON_NUM_THREADS"}},
        {"256", unset, 6, 255, {"RAYON_NUM_THREADS"}},
        {"255", unset, 6, 255, {"RAYON_NUM_THREADS"}},
        {unset, "1000", 6, 255, {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}},
        {unset, unset, 1000, 255, {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}},
        {"0", unset, 0, 1, {"RAYON_NUM_THREADS"}},
        {"1", unset, 6, 1, {"RAYON_NUM_THREADS"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> consulted;
        const auto lookup = [&](const char* name) -> const char* {
            consulted.emplace_back(name);
            return std::string(name) == "RAYON_NUM_THREADS" ? c.primary : c.fallback;
        };
        const std::string label = std::string(c.primary ? c.primary : "<unset>") + " / " +
                                  (c.fallback ? c.fallback : "<unset>");
        EXPECT_EQ(thread_count_from_env(lookup, c.default_count), c.expected) << label;
        EXPECT_EQ(consulted, c.consulted) << label;
    }
}

TEST(ThreadCount, QuotaFilesRoundUpAndKnowNoLimit) {
    const struct {
        std::string text;
        std::optional<std::size_t> expected;
    } cpu_max[] = {
        {"max 100000\n", {}},
        {"100000 100000\n", 1},
        {"150000 100000", 2},
        {"50000 100000\n", 1},
        {"1 100000", 1},
        {"400000 100000", 4},
        {"100000 0", {}},
        {"-1 100000", {}},
        {"100000", {}},
        {"garbage", {}},
        {"", {}},
        {"100000 100000 1", {}},
    };
    for (const auto& c : cpu_max) EXPECT_EQ(cpu_limit_from_cpu_max(c.text), c.expected) << c.text;

    EXPECT_EQ(cpu_limit_from_cfs("-1\n", "100000\n"), std::nullopt);
    EXPECT_EQ(cpu_limit_from_cfs("250000\n", "100000\n"), 3u);
    EXPECT_EQ(cpu_limit_from_cfs("100000", "100000"), 1u);
    EXPECT_EQ(cpu_limit_from_cfs("x", "100000"), std::nullopt);
    EXPECT_EQ(cpu_limit_from_cfs("100000", "0"), std::nullopt);
}

using Files = std::map<std::string, std::string>;

std::optional<std::size_t> limit_with(const Files& files) {
    return cgroup_cpu_limit([&](const std::string& path) -> std::optional<std::string> {
        const auto found = files.find(path);
        if (found == files.end()) return std::nullopt;
        return found->second;
    });
}

const std::string v2_mount =
    "22 1 0:21 / /proc rw - proc proc rw\n"
    "30 22 0:26 / /sys/fs/cgroup rw,nosuid shared:4 - cgroup2 cgroup2 rw,nsdelegate\n";
const std::string v1_mount =
    "31 22 0:27 / /sys/fs/cgroup/cpu,cpuacct rw shared:5 - cgroup cgroup rw,cpu,cpuacct\n"
    "32 22 0:28 / /sys/fs/cgroup/memory rw shared:6 - cgroup cgroup rw,memory\n";

TEST(ThreadCount, CgroupQuotaIsTheTightestOnThePathToTheRoot) {
    const struct {
        const char* name;
        Files files;
        std::optional<std::size_t> expected;
    } cases[] = {
        {"v2 at the namespace root",
         {{"/proc/self/cgroup", "0::/\n"},
          {"/proc/self/mountinfo", v2_mount},
          {"/sys/fs/cgroup/cpu.max", "200000 100000\n"}},
         2},
        {"v2 nested, parent tighter",
         {{"/proc/self/cgroup", "0::/a/b\n"},
          {"/proc/self/mountinfo", v2_mount},
          {"/sys/fs/cgroup/a/b/cpu.max", "max 100000\n"},
          {"/sys/fs/cgroup/a/cpu.max", "300000 100000\n"}},
         3},
        {"v2 nested, child tighter",
         {{"/proc/self/cgroup", "0::/a/b\n"},
          {"/proc/self/mountinfo", v2_mount},
          {"/sys/fs/cgroup/a/b/cpu.max", "100000 100000\n"},
          {"/sys/fs/cgroup/a/cpu.max", "300000 100000\n"}},
         1},
        {"v2 unlimited everywhere",
         {{"/proc/self/cgroup", "0::/a\n"},
          {"/proc/self/mountinfo", v2_mount},
          {"/sys/fs/cgroup/a/cpu.max", "max 100000\n"}},
         {}},
        {"v2 mount rooted at the process's own cgroup",
         {{"/proc/self/cgroup", "0::/docker/abc\n"},
          {"/proc/self/mountinfo",
           "30 22 0:26 /docker/abc /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n"},
          {"/sys/fs/cgroup/cpu.max", "50000 100000\n"}},
         1},
        {"v1 cpu controller",
         {{"/proc/self/cgroup", "5:memory:/x\n4:cpu,cpuacct:/user/job\n"},
          {"/proc/self/mountinfo", v1_mount},
          {"/sys/fs/cgroup/cpu,cpuacct/user/job/cpu.cfs_quota_us", "-1\n"},
          {"/sys/fs/cgroup/cpu,cpuacct/user/job/cpu.cfs_period_us", "100000\n"},
          {"/sys/fs/cgroup/cpu,cpuacct/user/cpu.cfs_quota_us", "450000\n"},
          {"/sys/fs/cgroup/cpu,cpuacct/user/cpu.cfs_period_us", "100000\n"}},
         5},
        {"hybrid: v2 without cpu.max, quota in v1",
         {{"/proc/self/cgroup", "4:cpu,cpuacct:/\n0::/s\n"},
          {"/proc/self/mountinfo", v2_mount + v1_mount},
          {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "200000\n"},
          {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}},
         2},
        {"escaped blank in the mount point",
         {{"/proc/self/cgroup", "0::/\n"},
          {"/proc/self/mountinfo", "30 22 0:26 / /my\\040cgroup rw - cgroup2 cgroup2 rw\n"},
          {"/my cgroup/cpu.max", "700000 100000\n"}},
         7},
        {"no cgroup mount", {{"/proc/self/cgroup", "0::/\n"}, {"/proc/self/mountinfo", ""}}, {}},
        {"nothing readable", {}, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(limit_with(c.files), c.expected) << c.name;
}

TEST(ThreadCount, ThisMachineReportsAUsableCount) {
    const std::optional<std::size_t> affinity = affinity_cpu_count();
    ASSERT_TRUE(affinity.has_value());
    EXPECT_GE(available_parallelism(), 1u);
    EXPECT_LE(available_parallelism(), *affinity);
}

}  // namespace
}  // namespace vexilo::pool
