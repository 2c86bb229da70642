// What the system lets this process use: processors (affinity and a cgroup
// CPU quota) and memory (the machine's available memory and the memory
// cgroup's limit). One reader of the cgroup tree serves both, for the pool's
// default size and for the check before a state vector is committed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vastrel::sim {

// Processors this process may run on: affinity mask, reduced by a cgroup CPU
// quota; 1 if that cannot be determined.
std::size_t available_parallelism();

// The CPUs a cgroup quota allows (quota / period, at least 1), the smallest
// from the process's cgroup up to the root of either cgroup version, given
// the text of /proc/self/cgroup and the cgroup mount root; SIZE_MAX when no
// quota is set. Parameters so tests can point it at a made-up tree.
std::size_t cgroup_cpu_limit(std::string_view proc_self_cgroup, const std::string& mount_root);

// Bytes the memory cgroups leave this process, the tightest level from its
// own group up to the root of either version: limit minus usage, with the
// file pages the kernel can reclaim counted as free (read only where the
// plain difference is below `wanted`: the statistics cost more than the
// rest). nullopt when no level sets a limit. Parameters as above.
std::optional<std::size_t> cgroup_memory_left(std::string_view proc_self_cgroup,
                                              const std::string& mount_root,
                                              std::size_t wanted = SIZE_MAX);

// Bytes of memory this process can still fill, from the text of /proc/meminfo
// (MemAvailable plus SwapFree) and of one memory cgroup's limit, usage and
// statistics (memory.max, memory.current and memory.stat, or v1's
// limit_in_bytes, usage_in_bytes and memory.stat; empty: not known); nullopt
// when nothing is known.
std::optional<std::size_t> available_memory(std::string_view meminfo, std::string_view memory_max,
                                            std::string_view memory_current,
                                            std::string_view memory_stat = {});

// What this process can still fill, read now from /proc and the cgroup tree:
// the smaller of the machine's and the cgroups' figures, exact at least up
// to `wanted`; nullopt when nothing is known.
std::optional<std::size_t> memory_left(std::size_t wanted = SIZE_MAX);

}  // namespace vastrel::sim
