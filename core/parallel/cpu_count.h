// How many processors this process may really use.
#pragma once

namespace tavrik {

// The processors of the affinity mask (taskset, a container's cpuset), capped by the CPU
// quota of the process's cgroup where one is set (cpu.max); at least 1. Each pool of
// helper threads bases its own policy on this figure.
int UsableCpuCount();

}  // namespace tavrik
