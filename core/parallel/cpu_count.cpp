// Reads the process's own CPU limits from /proc and /sys: these are facts about this
// process, not about the user's files, so they do not go through the file-system seam.
// This is the one place in core that reads them.
#include "core/parallel/cpu_count.h"

#include <sched.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <thread>

namespace tavrik {

namespace {

int AffinityCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// The cgroup (v2) path of this process, "/" for the root; empty when not on cgroup v2.
std::string OwnCgroup() {
  std::ifstream in("/proc/self/cgroup");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("0::", 0) == 0) return line.substr(3);
  return {};
}

// "max 100000" (no quota) or "QUOTA PERIOD": processors' worth, rounded up; 0 for none.
int QuotaAt(const std::string& folder) {
  std::ifstream in(folder + "/cpu.max");
  std::string quota;
  long long period = 0;
  if (!(in >> quota >> period) || quota == "max" || period <= 0) return 0;
  long long q = 0;
  try {
    q = std::stoll(quota);
  } catch (...) {
    return 0;
  }
  if (q <= 0) return 0;
  return static_cast<int>(std::max(1LL, (q + period - 1) / period));
}

// The tightest quota of the process's cgroup and the cgroups above it.
int CgroupQuota() {
  std::string path = OwnCgroup();
  if (path.empty()) return 0;
  int tightest = 0;
  for (;;) {
    const int quota = QuotaAt("/sys/fs/cgroup" + (path == "/" ? std::string() : path));
    if (quota > 0) tightest = tightest == 0 ? quota : std::min(tightest, quota);
    if (path.empty() || path == "/") break;
    const size_t cut = path.rfind('/');
    path = cut == 0 || cut == std::string::npos ? "/" : path.substr(0, cut);
  }
  return tightest;
}

}  // namespace

int UsableCpuCount() {
  static const int count = [] {
    const int affinity = AffinityCount();
    const int quota = CgroupQuota();
    return std::max(1, quota > 0 ? std::min(affinity, quota) : affinity);
  }();
  return count;
}

}  // namespace tavrik
