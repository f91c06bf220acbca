#pragma once
// How many shards a registry map gets: four per processor available to the
// process, raised to a power of two, so that concurrent readers rarely meet
// on one lock.

#include <cstddef>
#include <filesystem>
#include <optional>

namespace veldra {

// The process-wide shard count, computed once on first use (thread-safe) and
// reused by every map made afterwards. 4 when the processor query fails.
// Raises std::bad_alloc (and computes again next time) if memory runs out.
std::size_t shard_amount();

// 4 × parallelism raised to the next power of two (parallelism 0 counts as 1).
std::size_t shard_amount_for(std::size_t parallelism) noexcept;

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
