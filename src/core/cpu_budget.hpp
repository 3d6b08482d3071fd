// How many CPUs this process may keep busy: the CPUs of its affinity mask
// (taskset, Slurm's binding, a container's cpuset), lowered by a cgroup CPU
// quota (a container's --cpus, systemd's CPUQuota=) when one is set. Every
// worker pool sizes itself from this one number unless told otherwise.
#pragma once

#include <string>

namespace vexil::core {

// Where the cgroup facts are read from; tests point these at a fake tree.
struct CgroupFiles {
  std::string root = "/sys/fs/cgroup";     // where the hierarchies are mounted
  std::string self = "/proc/self/cgroup";  // this process's cgroup per hierarchy
};

// CPUs in the calling thread's affinity mask, at least 1 (the machine's
// count when the mask cannot be read).
int affinity_cpus();

// The CPUs a cgroup quota grants, rounded up (1.5 CPUs gives 2): the
// tightest of cgroup v2 `cpu.max` and v1 `cpu.cfs_quota_us` /
// `cpu.cfs_period_us` over this process's cgroup and its ancestors.
// 0 when no quota is set or none can be read.
int cgroup_cpu_limit(const CgroupFiles& files = {});

// The default number of workers: the affinity mask's CPUs, lowered by the
// cgroup quota, never more than the machine has, at least 1.
int cpu_budget(const CgroupFiles& files = {});

// `requested` when positive, else cpu_budget().
int resolve_workers(int requested);

}  // namespace vexil::core
