#pragma once
// Splitting a loop over the processors the process may use. Only large
// catalogue builds and listings use it: a thread costs tens of microseconds,
// so below a few thousand items per thread one thread does the work alone.

#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace veldra {

// How many threads may work at once: the processors available to the
// process (affinity and cgroup quota), computed once; at least 1.
std::size_t worker_threads();

// Calls work(part, begin, end) for consecutive parts of [0, count), each of
// at least `least` items, on up to worker_threads() threads (the calling
// thread takes the first part). Returns the number of parts. The first
// exception a part throws is rethrown here once every part has ended; if a
// thread cannot be started, its part runs on the calling thread.
template <class Work>
std::size_t for_each_part(std::size_t count, std::size_t least, Work&& work) {
    std::size_t parts = least == 0 ? worker_threads() : count / least;
    if (parts > worker_threads()) parts = worker_threads();
    if (parts < 1) parts = 1;
    const auto bound = [&](std::size_t part) { return count * part / parts; };
    std::vector<std::exception_ptr> failures(parts);
    auto run = [&](std::size_t part) {
        try {
            work(part, bound(part), bound(part + 1));
        } catch (...) {
            failures[part] = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(parts - 1);  // may throw, before any thread runs
    for (std::size_t part = 1; part < parts; ++part) {
        // Out of threads or of memory for one: the threads already started
        // must still be joined, so the part runs here instead.
        try {
            threads.emplace_back(run, part);
        } catch (...) {
            run(part);
        }
    }
    run(0);
    for (std::thread& thread : threads) thread.join();
    for (const std::exception_ptr& failure : failures) {
        if (failure) std::rethrow_exception(failure);
    }
    return parts;
}

}  // namespace veldra
