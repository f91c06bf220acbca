#pragma once
// How many processors the process may use: its affinity mask, capped by
// control-group CPU quotas. The shard count (shard_amount.hpp) and the worker
// threads (parallel.hpp) are sized by it.

#include <cstddef>
#include <filesystem>
#include <optional>

namespace veldra {

// Processors in the calling thread's affinity mask; the mask is sized to the
// kernel's, however many CPUs it has. nullopt if the query fails.
std::optional<std::size_t> affinity_cpu_count();

// The CPU limit set by control-group quotas for this process: the tightest
// quota/period (whole CPUs, at least 1) found from the process's own cgroup up
// to the hierarchy's root, for cgroup v2 (cpu.max) or v1
// (cpu.cfs_quota_us / cpu.cfs_period_us). `root` stands for "/" so tests can
// point it at a fake tree holding proc/self/cgroup, proc/self/mountinfo and
// the cgroup files. nullopt means no quota applies or none could be read.
std::optional<std::size_t> cgroup_cpu_limit(const std::filesystem::path& root);

// Affinity count capped by the cgroup limit; nullopt if the affinity query fails.
std::optional<std::size_t> available_parallelism(const std::filesystem::path& root);

}  // namespace veldra
