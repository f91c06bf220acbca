#pragma once
// How many shards a sharded map gets (the registries' and the catalogues'
// name indexes): four per processor available to the
// process, raised to a power of two, so that concurrent readers rarely meet
// on one lock.

#include <cstddef>

namespace veldra {

// The process-wide shard count, computed once on first use (thread-safe) and
// reused by every map made afterwards. 4 when the processor query fails.
// Raises std::bad_alloc (and computes again next time) if memory runs out.
std::size_t shard_amount();

// 4 × parallelism raised to the next power of two (parallelism 0 counts as 1).
std::size_t shard_amount_for(std::size_t parallelism) noexcept;

}  // namespace veldra
