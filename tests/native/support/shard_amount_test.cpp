#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>

#include "support/cpu_count.hpp"
#include "support/shard_amount.hpp"

using namespace veldra;
namespace fs = std::filesystem;

namespace {

TEST(ShardAmount, IsFourPerProcessorRaisedToAPowerOfTwo) {
    struct Row { std::size_t parallelism, shards; };
    for (const Row& row : {Row{0, 4}, Row{1, 4}, Row{2, 8}, Row{3, 16}, Row{4, 16}, Row{6, 32},
                           Row{64, 256}, Row{65, 512}, Row{256, 1024}}) {
        EXPECT_EQ(shard_amount_for(row.parallelism), row.shards) << row.parallelism;
    }
}

TEST(ShardAmount, ProcessValueFollowsTheAffinityMask) {
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    ASSERT_EQ(affinity_cpu_count(), static_cast<std::size_t>(CPU_COUNT(&set)));
    const auto parallelism = available_parallelism("/");
    ASSERT_TRUE(parallelism);
    EXPECT_LE(*parallelism, static_cast<std::size_t>(CPU_COUNT(&set)));
    EXPECT_EQ(shard_amount(), shard_amount_for(*parallelism));
    EXPECT_EQ(shard_amount(), shard_amount());
}

// A fake root holding proc/self/cgroup, an optional mountinfo and cgroup files.
class FakeRoot {
public:
    FakeRoot() {
        char pattern[] = "/tmp/veldra-cgroup-XXXXXX";
        root_ = mkdtemp(pattern);
    }
    ~FakeRoot() { fs::remove_all(root_); }
    void write(const std::string& relative, const std::string& text) const {
        fs::path file = root_ / relative;
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    const fs::path& path() const { return root_; }

private:
    fs::path root_;
};

struct TreeRow {
    const char* what;
    std::map<std::string, std::string> files;
    std::optional<std::size_t> limit;
};

TEST(CgroupLimit, ReadsTheTightestQuotaAlongTheHierarchy) {
    const std::string v2 = "proc/self/cgroup";
    const std::string v2_line = "0::/app/worker\n";
    const std::string leaf = "sys/fs/cgroup/app/worker/";
    const std::string parent = "sys/fs/cgroup/app/";
    const std::string v1_line = "4:cpu,cpuacct:/job\n3:memory:/job\n";
    const std::string v1_leaf = "sys/fs/cgroup/cpu,cpuacct/job/";
    const std::string v1_mount =
        "30 25 0:26 / /sys/fs/cgroup/cpu,cpuacct rw,nosuid - cgroup cgroup rw,cpu,cpuacct\n"
        "31 25 0:27 / /sys/fs/cgroup/memory rw,nosuid - cgroup cgroup rw,memory\n";
    const std::vector<TreeRow> rows = {
        {"no cgroup file", {}, std::nullopt},
        {"v2 without quota", {{v2, v2_line}, {leaf + "cpu.max", "max 100000\n"}}, std::nullopt},
        {"v2 one and a half cpus", {{v2, v2_line}, {leaf + "cpu.max", "150000 100000\n"}}, 1},
        {"v2 half a cpu is still one", {{v2, v2_line}, {leaf + "cpu.max", "50000 100000\n"}}, 1},
        {"v2 four cpus", {{v2, v2_line}, {leaf + "cpu.max", "400000 100000\n"}}, 4},
        {"v2 tighter parent",
         {{v2, v2_line}, {leaf + "cpu.max", "400000 100000\n"}, {parent + "cpu.max", "200000 100000\n"}}, 2},
        {"v2 tighter leaf",
         {{v2, v2_line}, {leaf + "cpu.max", "300000 100000\n"}, {parent + "cpu.max", "max 100000\n"}}, 3},
        {"v2 garbage", {{v2, v2_line}, {leaf + "cpu.max", "lots of cpus\n"}}, std::nullopt},
        {"v2 garbage numbers", {{v2, v2_line}, {leaf + "cpu.max", "12x 100000\n"}}, std::nullopt},
        {"v2 missing cpu.max", {{v2, v2_line}}, std::nullopt},
        {"v2 at the root cgroup", {{v2, "0::/\n"}, {"sys/fs/cgroup/cpu.max", "200000 100000\n"}}, 2},
        {"v2 mounted elsewhere",
         {{v2, v2_line},
          {"proc/self/mountinfo", "29 1 0:25 / /cg2 rw - cgroup2 cgroup2 rw\n"},
          {"cg2/app/worker/cpu.max", "200000 100000\n"},
          {leaf + "cpu.max", "100000 100000\n"}},
         2},
        {"v1 quota", {{v2, v1_line}, {v1_leaf + "cpu.cfs_quota_us", "300000\n"},
                      {v1_leaf + "cpu.cfs_period_us", "100000\n"}, {"proc/self/mountinfo", v1_mount}}, 3},
        {"v1 no quota", {{v2, v1_line}, {v1_leaf + "cpu.cfs_quota_us", "-1\n"},
                         {v1_leaf + "cpu.cfs_period_us", "100000\n"}, {"proc/self/mountinfo", v1_mount}},
         std::nullopt},
        {"v1 one and a half", {{v2, v1_line}, {v1_leaf + "cpu.cfs_quota_us", "150000\n"},
                               {v1_leaf + "cpu.cfs_period_us", "100000\n"}, {"proc/self/mountinfo", v1_mount}},
         1},
        {"v1 period missing", {{v2, v1_line}, {v1_leaf + "cpu.cfs_quota_us", "150000\n"},
                               {"proc/self/mountinfo", v1_mount}},
         std::nullopt},
        {"v1 default mount point without mountinfo",
         {{v2, "4:cpu:/job\n"}, {"sys/fs/cgroup/cpu/job/cpu.cfs_quota_us", "200000\n"},
          {"sys/fs/cgroup/cpu/job/cpu.cfs_period_us", "100000\n"}},
         2},
        {"v1 mount root stripped from the path",
         {{v2, "4:cpu,cpuacct:/docker/abc\n"},
          {"proc/self/mountinfo", "30 25 0:26 /docker/abc /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpuacct,cpu\n"},
          {"sys/fs/cgroup/cpu/cpu.cfs_quota_us", "100000\n"},
          {"sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"}},
         1},
        {"v1 and v2 both present, tightest wins",
         {{v2, "0::/app/worker\n4:cpu:/job\n"}, {leaf + "cpu.max", "300000 100000\n"},
          {"sys/fs/cgroup/cpu/job/cpu.cfs_quota_us", "200000\n"},
          {"sys/fs/cgroup/cpu/job/cpu.cfs_period_us", "100000\n"}},
         2},
        {"path escaping the mount is ignored",
         {{v2, "0::/../../../etc\n"}, {"etc/cpu.max", "100000 100000\n"}}, std::nullopt},
    };
    for (const auto& row : rows) {
        FakeRoot root;
        for (const auto& [file, text] : row.files) root.write(file, text);
        EXPECT_EQ(cgroup_cpu_limit(root.path()), row.limit) << row.what;
    }
}

}  // namespace
