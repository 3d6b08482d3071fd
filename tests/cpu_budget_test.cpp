// The CPU budget: affinity mask and cgroup quotas, read from fake cgroup
// trees laid out as the kernel presents them (v2, hybrid, v1, containers).
#include "core/cpu_budget.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/one_cpu.hpp"
#include "support/test_util.hpp"

namespace vexil::core {
namespace {

using test::OneCpu;
using test::TempDir;

// A fake cgroup tree: `self` is /proc/self/cgroup's content; each file is
// (path below the root, content).
CgroupFiles fake_tree(const TempDir& dir, const std::string& self,
                      std::initializer_list<std::pair<std::string, std::string>> files) {
  const std::string root = dir / "cgroup";
  std::filesystem::create_directories(root);
  for (const auto& [path, content] : files) {
    std::filesystem::create_directories(std::filesystem::path(root + "/" + path).parent_path());
    test::write_file(root + "/" + path, content + "\n");
  }
  test::write_file(dir / "self_cgroup", self);
  return {root, dir / "self_cgroup"};
}

}  // namespace

TEST(CgroupQuota, V2CpuMaxRoundsUpAndTakesTheTightestAncestor) {
  TempDir dir;
  // 1.5 CPUs on the process's own cgroup.
  EXPECT_EQ(cgroup_cpu_limit(fake_tree(dir, "0::/job/step\n",
                                       {{"cgroup.controllers", "cpu memory"},
                                        {"job/cpu.max", "max 100000"},
                                        {"job/step/cpu.max", "150000 100000"}})),
            2);
  TempDir dir2;
  // A parent's half CPU binds a child without a limit.
  EXPECT_EQ(cgroup_cpu_limit(fake_tree(dir2, "0::/job/step\n",
                                       {{"cgroup.controllers", "cpu"},
                                        {"cpu.max", "max 100000"},
                                        {"job/cpu.max", "50000 100000"},
                                        {"job/step/cpu.max", "max 100000"}})),
            1);
  TempDir dir3;
  EXPECT_EQ(cgroup_cpu_limit(fake_tree(dir3, "0::/\n", {{"cgroup.controllers", "cpu"}, {"cpu.max", "max 100000"}})), 0);
  TempDir dir4;
  // Hybrid layout: v2 mounted at unified/, exactly 3 CPUs.
  EXPECT_EQ(cgroup_cpu_limit(
                fake_tree(dir4, "1:name=systemd:/\n0::/user.slice\n",
                          {{"unified/cgroup.controllers", "cpu"}, {"unified/user.slice/cpu.max", "300000 100000"}})),
            3);
}

TEST(CgroupQuota, V1CfsQuotaIncludingContainersThatHideTheHostPath) {
  TempDir dir;
  EXPECT_EQ(cgroup_cpu_limit(fake_tree(dir, "5:memory:/x\n4:cpu,cpuacct:/slurm/job_7\n",
                                       {{"cpu,cpuacct/slurm/job_7/cpu.cfs_quota_us", "250000"},
                                        {"cpu,cpuacct/slurm/job_7/cpu.cfs_period_us", "100000"},
                                        {"cpu,cpuacct/slurm/cpu.cfs_quota_us", "-1"},
                                        {"cpu,cpuacct/slurm/cpu.cfs_period_us", "100000"}})),
            3);
  TempDir dir2;
  // Inside a container the listed path is the host's; the container's own
  // cgroup is mounted at the hierarchy's root.
  EXPECT_EQ(cgroup_cpu_limit(fake_tree(dir2, "3:cpu:/docker/0123abcd\n",
                                       {{"cpu/cpu.cfs_quota_us", "150000"}, {"cpu/cpu.cfs_period_us", "100000"}})),
            2);
  TempDir dir3;
  EXPECT_EQ(cgroup_cpu_limit(
                fake_tree(dir3, "3:cpu,cpuacct:/\n",
                          {{"cpu,cpuacct/cpu.cfs_quota_us", "-1"}, {"cpu,cpuacct/cpu.cfs_period_us", "100000"}})),
            0);
}

TEST(CgroupQuota, MissingOrGarbledFilesMeanNoLimit) {
  TempDir dir;
  EXPECT_EQ(cgroup_cpu_limit({dir / "nowhere", dir / "no_self"}), 0);
  TempDir dir2;
  EXPECT_EQ(cgroup_cpu_limit(
                fake_tree(dir2, "garbage\n0::/a\n", {{"cgroup.controllers", "cpu"}, {"a/cpu.max", "lots 100000"}})),
            0);
  TempDir dir3;
  EXPECT_EQ(cgroup_cpu_limit(fake_tree(dir3, "0::/a\n", {{"cgroup.controllers", "cpu"}, {"a/cpu.max", "100000 0"}})),
            0);
}

TEST(CpuBudget, AffinityLoweredByTheQuotaNeverBelowOne) {
  const int affinity = affinity_cpus();
  ASSERT_GE(affinity, 1);
  TempDir none;
  EXPECT_EQ(cpu_budget({none / "nowhere", none / "no_self"}), affinity);
  TempDir half;
  EXPECT_EQ(cpu_budget(fake_tree(half, "0::/\n", {{"cgroup.controllers", "cpu"}, {"cpu.max", "50000 100000"}})), 1);
  TempDir one_and_half;
  EXPECT_EQ(
      cpu_budget(fake_tree(one_and_half, "0::/\n", {{"cgroup.controllers", "cpu"}, {"cpu.max", "150000 100000"}})),
      std::min(affinity, 2));
  TempDir many;
  EXPECT_EQ(cpu_budget(fake_tree(many, "0::/\n", {{"cgroup.controllers", "cpu"}, {"cpu.max", "6400000 100000"}})),
            affinity);

  {
    OneCpu pinned;  // as under taskset -c 0
    EXPECT_EQ(affinity_cpus(), 1);
    EXPECT_EQ(cpu_budget({none / "nowhere", none / "no_self"}), 1);
    EXPECT_EQ(resolve_workers(0), 1);
    EXPECT_EQ(resolve_workers(3), 3);
  }
  EXPECT_EQ(affinity_cpus(), affinity);
}

}  // namespace vexil::core
