// What of the machine this process may use: the processors its CPU
// affinity mask allows, and the memory it can still take within its
// memory cgroup's limit.
//
// On a cluster a job sees the whole machine in /proc/meminfo and
// std::thread::hardware_concurrency, but runs in a cgroup (Slurm,
// containers) whose memory limit is smaller, and on the processors its
// affinity mask (Slurm's cpuset, taskset) names. Sizing memory by the
// machine gets the job killed when it builds past its limit; sizing threads
// by the machine puts several on one processor.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace mendseqs {

// The processors the calling thread may run on (sched_getaffinity), at
// least 1: what default thread counts follow.
unsigned usable_processors() noexcept;

// The bytes this process can still take: the least of the system's
// MemAvailable and, at every level of its memory cgroup from its own up to
// the hierarchy's root, that level's limit less its usage (reclaimable file
// pages not counted as used): cgroup v2's memory.max and memory.current,
// v1's memory.limit_in_bytes and memory.usage_in_bytes, each level found
// through `proc`/self/cgroup and `proc`/self/mountinfo. nullopt when none
// of it can be read. `proc` is "/proc" but for tests, which give a
// directory of their own whose mountinfo names cgroup mounts inside it.
std::optional<uint64_t> available_memory(const std::string& proc = "/proc");

}  // namespace mendseqs
