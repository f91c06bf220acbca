// Many threads on one registry and one map at once, checked against the same
// operations run serially on a plain map. Meant to run under ThreadSanitizer
// too, which reports any access the shard locks fail to order.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "registry/formulas_registry.hpp"
#include "support/sharded_map.hpp"
#include "testing/sharded_map_access.hpp"

using namespace veldra;

namespace {

using Access = ShardedMapTesting;

constexpr int kThreads = 8;

// "<prefix><a>" or "<prefix><a>-<b>", built without operator+ chains.
std::string key(const char* prefix, int a, int b = -1) {
    std::string out(prefix);
    out += std::to_string(a);
    if (b >= 0) {
        out += '-';
        out += std::to_string(b);
    }
    return out;
}

template <class F>
void run_threads(F body) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) std::this_thread::yield();
            body(t);
        });
    }
    for (auto& thread : threads) thread.join();
}

TEST(Concurrency, ReadersOfOneRegistryAgreeWithASerialMap) {
    const FormulasRegistry registry(16);
    std::map<std::string, double> serial;
    registry.for_each([&](std::string_view name, const Constant& e) { serial.emplace(name, e.value); });

    std::atomic<int> mismatches{0};
    run_threads([&](int t) {
        for (int i = 0; i < 2000; ++i) {
            for (const auto& [name, value] : serial) {
                auto got = registry.value(name);
                if (!got || *got != value) mismatches.fetch_add(1);
            }
            if (registry.find(key("missing", t)) != nullptr) mismatches.fetch_add(1);
            if (registry.len() != serial.size()) mismatches.fetch_add(1);
            if (i % 100 == 0) {
                std::map<std::string, double> visited;
                registry.for_each([&](std::string_view name, const Constant& e) { visited.emplace(name, e.value); });
                if (visited != serial) mismatches.fetch_add(1);
            }
        }
    });
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(Concurrency, ConcurrentInsertsEndLikeSerialInserts) {
    // Each thread writes its own keys and some shared ones (last write per
    // thread wins for its own; shared keys end with one of the writers' values).
    ShardedMap<std::string> map(8);
    constexpr int kPerThread = 3000;
    std::atomic<int> bad_reads{0};
    run_threads([&](int t) {
        for (int i = 0; i < kPerThread; ++i) {
            Access::insert(map, key("t", t, i), std::to_string(i));
            Access::insert(map, key("shared-", i % 50), key("from ", t));
            if (auto mine = Access::get(map, key("t", t, i / 2)); !mine) bad_reads.fetch_add(1);
            if (i % 500 == 0) {
                std::size_t seen = 0;
                map.for_each([&](std::string_view, const std::string&) { ++seen; });
                if (seen > map.len() + kThreads * kPerThread) bad_reads.fetch_add(1);
            }
        }
    });
    EXPECT_EQ(bad_reads.load(), 0);

    std::map<std::string, std::string> serial;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kPerThread; ++i) serial[key("t", t, i)] = std::to_string(i);
    }
    for (int i = 0; i < 50; ++i) serial[key("shared-", i)] = "";
    EXPECT_EQ(map.len(), serial.size());
    for (const auto& [key, value] : serial) {
        auto got = Access::get(map, key);
        ASSERT_TRUE(got.has_value()) << key;
        if (key.starts_with("shared-")) {
            EXPECT_TRUE(got->starts_with("from ")) << key;
        } else {
            EXPECT_EQ(*got, value) << key;
        }
    }
    EXPECT_TRUE(Access::same_keys(map, serial));
}

// A shard is built by the first insert that reaches it. With many shards and
// fresh maps, most inserts are such first entries, racing each other and
// readers probing the same shards.
TEST(Concurrency, FirstEntriesOfShardsRaceSafely) {
    for (std::size_t shards : {2u, 1024u}) {
        for (int round = 0; round < 40; ++round) {
            ShardedMap<int> map(shards);
            std::atomic<int> bad{0};
            run_threads([&](int t) {
                for (int i = 0; i < 30; ++i) {
                    Access::insert(map, key("own", t, i), i);
                    Access::insert(map, key("both", i), t);
                    if (Access::get(map, key("own", t, i)) != i) bad.fetch_add(1);
                    if (auto other = Access::get(map, key("own", (t + 1) % kThreads, i)); other && *other != i) bad.fetch_add(1);
                }
            });
            ASSERT_EQ(bad.load(), 0) << shards << " shards, round " << round;
            ASSERT_EQ(map.len(), static_cast<std::size_t>(kThreads * 30 + 30)) << shards << " shards";
            for (int t = 0; t < kThreads; ++t) {
                for (int i = 0; i < 30; ++i) ASSERT_EQ(Access::get(map, key("own", t, i)), i);
            }
        }
    }
}

TEST(Concurrency, ReadersAndOneWriterOnTheSameShards) {
    ShardedMap<int> map(2);  // two shards: readers and the writer always meet
    for (int i = 0; i < 100; ++i) Access::insert(map, key("base", i), i);
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) Access::insert(map, key("w", i % 500), i);
        done = true;
    });
    run_threads([&](int) {
        while (!done.load()) {
            for (int i = 0; i < 100; i += 7) {
                if (Access::get(map, key("base", i)) != i) bad.fetch_add(1);
            }
            const std::size_t n = map.len();
            if (n < 100 || n > 600) bad.fetch_add(1);
        }
    });
    writer.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(map.len(), 600u);
}

}  // namespace
