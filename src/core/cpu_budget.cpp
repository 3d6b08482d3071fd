#include "core/cpu_budget.hpp"

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string_view>
#include <thread>
#include <vector>

namespace vexil::core {
namespace {

int machine_cpus() {
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (online > 0) return static_cast<int>(std::min<long>(online, 1 << 20));
  const unsigned hw = std::thread::hardware_concurrency();
  return hw ? static_cast<int>(hw) : 1;
}

// The first line of a small file; empty when it cannot be read.
std::string first_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (in) std::getline(in, line);
  return line;
}

bool is_dir(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool parse_u64(std::string_view s, std::uint64_t& out) {
  if (s.empty() || s.size() > 19) return false;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  out = v;
  return true;
}

// CPUs (rounded up) of a quota of `quota` microseconds per `period`; 0 for none.
int quota_cpus(std::uint64_t quota, std::uint64_t period) {
  if (quota == 0 || period == 0) return 0;
  const std::uint64_t cpus = (quota + period - 1) / period;
  return static_cast<int>(std::min<std::uint64_t>(cpus, 1u << 20));
}

// cgroup v2: "max 100000" (no limit) or "150000 100000".
int read_cpu_max(const std::string& dir) {
  std::istringstream fields(first_line(dir + "/cpu.max"));
  std::string quota, period;
  fields >> quota >> period;
  std::uint64_t q = 0, p = 0;
  if (!parse_u64(quota, q) || !parse_u64(period, p)) return 0;
  return quota_cpus(q, p);
}

// cgroup v1: cpu.cfs_quota_us is -1 when no limit is set.
int read_cfs_quota(const std::string& dir) {
  std::uint64_t q = 0, p = 0;
  if (!parse_u64(first_line(dir + "/cpu.cfs_quota_us"), q) || !parse_u64(first_line(dir + "/cpu.cfs_period_us"), p))
    return 0;
  return quota_cpus(q, p);
}

// The tightest limit over `path` and its ancestors below `base`. Inside a
// container the listed path may be the host's, absent from the container's
// view; the walk then ends at the container's own cgroup, `base` itself.
template <class Read>
int tightest_along(const std::string& base, std::string path, Read read) {
  int best = 0;
  for (;;) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::string dir = path == "/" ? base : base + path;
    if (const int cpus = read(dir); cpus > 0 && (best == 0 || cpus < best)) best = cpus;
    if (path.empty() || path == "/") return best;
    const std::size_t slash = path.rfind('/');
    path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
  }
}

bool lists_cpu_controller(std::string_view controllers) {
  while (!controllers.empty()) {
    const std::size_t comma = controllers.find(',');
    if (controllers.substr(0, comma) == "cpu") return true;
    if (comma == std::string_view::npos) break;
    controllers.remove_prefix(comma + 1);
  }
  return false;
}

int tighter(int a, int b) { return a == 0 ? b : b == 0 ? a : std::min(a, b); }

}  // namespace

int affinity_cpus() {
  // Grown until the kernel's mask fits, for machines beyond CPU_SETSIZE.
  for (int n = CPU_SETSIZE; n <= (1 << 20); n *= 2) {
    cpu_set_t* set = CPU_ALLOC(n);
    if (!set) break;
    const std::size_t size = CPU_ALLOC_SIZE(n);
    CPU_ZERO_S(size, set);
    const int rc = ::sched_getaffinity(0, size, set);
    const int err = errno;
    const int count = rc == 0 ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    if (rc == 0) return std::max(count, 1);
    if (err != EINVAL) break;
  }
  return machine_cpus();
}

int cgroup_cpu_limit(const CgroupFiles& files) {
  std::ifstream self(files.self);
  int limit = 0;
  std::string line;
  while (std::getline(self, line)) {
    // "hierarchy-id:controller-list:path"
    const std::size_t a = line.find(':');
    const std::size_t b = a == std::string::npos ? a : line.find(':', a + 1);
    if (b == std::string::npos) continue;
    const std::string_view id = std::string_view(line).substr(0, a);
    const std::string_view controllers = std::string_view(line).substr(a + 1, b - a - 1);
    const std::string path = line.substr(b + 1);
    if (id == "0" && controllers.empty()) {
      // cgroup v2, mounted at the root or, on hybrid systems, at unified/.
      for (const std::string& base : {files.root, files.root + "/unified"}) {
        if (!std::ifstream(base + "/cgroup.controllers")) continue;
        limit = tighter(limit, tightest_along(base, path, read_cpu_max));
        break;
      }
    } else if (lists_cpu_controller(controllers)) {
      for (const std::string& base :
           {files.root + "/" + std::string(controllers), files.root + "/cpu", files.root + "/cpu,cpuacct"}) {
        if (!is_dir(base)) continue;
        limit = tighter(limit, tightest_along(base, path, read_cfs_quota));
        break;
      }
    }
  }
  return limit;
}

int cpu_budget(const CgroupFiles& files) {
  int cpus = std::min(affinity_cpus(), machine_cpus());
  if (const int quota = cgroup_cpu_limit(files); quota > 0) cpus = std::min(cpus, quota);
  return std::max(cpus, 1);
}

int resolve_workers(int requested) { return requested > 0 ? requested : cpu_budget(); }

}  // namespace vexil::core
