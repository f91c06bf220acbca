#include "support/parallel.hpp"

#include "support/cpu_count.hpp"

namespace veldra {

std::size_t worker_threads() {
    static const std::size_t threads = [] {
        const auto available = available_parallelism("/");
        return available && *available > 0 ? *available : std::size_t{1};
    }();
    return threads;
}

}  // namespace veldra
