#include "support/shard_amount.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <mutex>

#include "support/cpu_count.hpp"

namespace veldra {

std::size_t shard_amount_for(std::size_t parallelism) noexcept {
    return std::bit_ceil(std::max<std::size_t>(parallelism, 1) * 4);
}

std::size_t shard_amount() {
    // Every map asks, so the settled value is read with one load; the once
    // flag's own fast path goes through thread-local state on every call.
    static std::atomic<std::size_t> settled{0};
    if (const std::size_t known = settled.load(std::memory_order_acquire)) return known;
    static std::once_flag once;
    static std::size_t amount = 4;
    // Running out of memory here propagates and leaves the flag unset, so the
    // next map asks again instead of settling on a guess.
    std::call_once(once, [] {
        if (auto p = available_parallelism("/")) amount = shard_amount_for(*p);
        settled.store(amount, std::memory_order_release);
    });
    return amount;
}

}  // namespace veldra
