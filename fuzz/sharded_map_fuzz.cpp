// Random operation sequences on a ShardedMap, mirrored on a std::map model:
// every answer must agree, whatever the shard count and the hash keys.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/sharded_map.hpp"
#include "testing/sharded_map_access.hpp"

using namespace veldra;

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "model disagrees: %s\n", what);
        std::abort();
    }
}

// Short keys over a small alphabet, so that operations keep meeting.
std::string random_key(FuzzedDataProvider& in) {
    const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 12);
    std::string key;
    for (std::size_t i = 0; i < n; ++i) key += in.PickValueInArray({'a', 'b', '\0', '\xff', '_', 'Z'});
    return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::size_t shards = std::size_t{1} << in.ConsumeIntegralInRange(1, 10);
    std::map<std::string, int> model;

    // Start empty, or from a bulk build (later duplicates replace earlier ones).
    std::vector<std::pair<std::string, int>> initial;
    const std::size_t bulk = in.ConsumeIntegralInRange<std::size_t>(0, 40);
    for (std::size_t i = 0; i < bulk; ++i) {
        initial.emplace_back(random_key(in), in.ConsumeIntegral<int>());
        model[initial.back().first] = initial.back().second;
    }
    auto map = std::make_unique<ShardedMap<int>>(shards, initial);

    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange(0, 4)) {
            case 0: {
                std::string key = random_key(in);
                const int value = in.ConsumeIntegral<int>();
                const auto previous = ShardedMapTesting::insert(*map, key, value);
                const auto it = model.find(key);
                check(previous.has_value() == (it != model.end()), "insert: previous presence");
                if (previous) check(*previous == it->second, "insert: previous value");
                model[key] = value;
                break;
            }
            case 1: {
                const std::string key = random_key(in);
                const auto got = ShardedMapTesting::get(*map, key);
                const auto it = model.find(key);
                check(got.has_value() == (it != model.end()), "get: presence");
                if (got) check(*got == it->second, "get: value");
                break;
            }
            case 2:
                check(map->len() == model.size(), "len");
                break;
            case 3: {
                auto names = ShardedMapTesting::names(*map);
                std::sort(names.begin(), names.end());
                std::vector<std::string> keys;
                for (const auto& kv : model) keys.push_back(kv.first);
                check(names == keys, "names");
                std::size_t visited = 0;
                std::size_t shard_total = 0;
                map->for_each([&](std::string_view key, const int& value) {
                    ++visited;
                    check(model.at(std::string(key)) == value, "for_each: value");
                });
                for (std::size_t s = 0; s < map->shard_count(); ++s) shard_total += ShardedMapTesting::shard_len(*map, s);
                check(visited == model.size() && shard_total == model.size(), "for_each: count");
                break;
            }
            default: {
                // Moving the map keeps every entry.
                auto moved = std::make_unique<ShardedMap<int>>(std::move(*map));
                map = std::move(moved);
                check(map->len() == model.size(), "len after move");
            }
        }
    }
    return 0;
}
