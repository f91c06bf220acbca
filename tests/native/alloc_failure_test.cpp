// Fails the Nth allocation of a build and checks that the failure surfaces as
// std::bad_alloc with every earlier allocation given back.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <new>

#include "catalogue/catalogue_reader.hpp"
#include "datasheet/datasheet.hpp"
#include "particles/quark_registry.hpp"
#include "registry/builtin_entries.hpp"
#include "registry/constant_listing.hpp"
#include "registry/formulas_registry.hpp"
#include "support/sharded_map.hpp"
#include "testing/sharded_map_access.hpp"

namespace {

std::atomic<long> live_blocks{0};
std::atomic<long> fail_countdown{-1};  // fail when it reaches 0; negative: never

void* counted_alloc(std::size_t size, std::size_t align) {
    long left = fail_countdown.load();
    if (left >= 0 && fail_countdown.fetch_sub(1) == 0) throw std::bad_alloc();
    void* p = align > alignof(std::max_align_t) ? std::aligned_alloc(align, (size + align - 1) / align * align)
                                                : std::malloc(size ? size : 1);
    if (p == nullptr) throw std::bad_alloc();
    ++live_blocks;
    return p;
}

void counted_free(void* p) noexcept {
    if (p == nullptr) return;
    --live_blocks;
    std::free(p);
}

}  // namespace

void* operator new(std::size_t size) { return counted_alloc(size, 0); }
void* operator new[](std::size_t size) { return counted_alloc(size, 0); }
void* operator new(std::size_t size, std::align_val_t a) { return counted_alloc(size, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return counted_alloc(size, static_cast<std::size_t>(a)); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }
void operator delete(void* p, std::align_val_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { counted_free(p); }

namespace {

// Runs `build` with the 1st, 2nd, … allocation failing until one run succeeds;
// returns how many allocations the build makes.
template <class F>
long fail_each_allocation(const char* what, F build) {
    for (long n = 0;; ++n) {
        const long before = live_blocks.load();
        bool failed = false;
        fail_countdown = n;
        try {
            build();
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        fail_countdown = -1;
        EXPECT_EQ(live_blocks.load(), before) << what << ": leaked after failing allocation " << n;
        if (!failed) return n;
        if (n > 100000) {
            ADD_FAILURE() << what << ": never succeeded";
            return n;
        }
    }
}

// The catalogue's entries in a map of `shards` shards, lent a call room.
void catalogue_map_in_room(std::size_t shards) {
    std::array<std::pair<std::string_view, const veldra::Constant*>, veldra::kBuiltinEntryCount> entries;
    for (std::size_t i = 0; i < entries.size(); ++i) entries[i] = {veldra::builtin_entries()[i].name, &veldra::builtin_entries()[i]};
    veldra::FormulasRegistry::CallRoom room;
    veldra::ShardedMap<const veldra::Constant*, std::string_view> map(shards, entries, room.bytes);
    (void)map.len();
}

// Loads `text` and asks the catalogue everything once.
void load_and_read(const char* text) {
    auto loaded = veldra::load_catalogue(veldra::PaddedText::copy_of(text), "alloc");
    if (!loaded) return;
    const veldra::CatalogueStore& store = **loaded;
    for (std::uint32_t row : store.sorted()) {
        (void)store.derive(row);
        (void)store.uncertainty(row);
    }
    (void)store.dumps();
}

constexpr const char* kFormulas = R"json({"format": "ostrelin-catalogue", "version": 1, "constants": [
    {"name": "a", "units": "m", "value": 2, "uncertainty": 0.1},
    {"name": "f", "units": "m", "expression": "a * a + sqrt(a)", "description": "eff"},
    {"name": "g", "units": "m", "expression": "f / a", "dependencies": ["a", "f"]}]})json";
constexpr const char* kCycle = R"json({"format": "ostrelin-catalogue", "version": 1, "constants": [
    {"name": "f", "units": "", "expression": "g"}, {"name": "g", "units": "", "expression": "f * 2"}]})json";
constexpr const char* kBigNumber = R"json({"format": "ostrelin-catalogue", "version": 1, "constants": [
    {"name": "n", "units": "", "value": 1234567890123456789012345}, {"name": "n", "units": "", "value": 1}]})json";

TEST(AllocationFailure, EveryBuildReleasesWhatItTookBeforeFailing) {
    // Process-wide state made once is not a leak: seed the thread's keys and
    // build the catalogue rows outside the measured runs.
    veldra::next_map_keys();
    (void)veldra::builtin_entries();
    load_and_read(kFormulas);  // simdjson picks its kernels once per process
    // Registries built for one call live in stack memory when they fit: up to
    // 64 shards, which covers this host unless it has more than 16 processors.
    const bool per_call_fits = veldra::shard_amount() <= 64;
    struct Row { const char* what; void (*build)(); bool allocates; };
    const Row rows[] = {
        {"registry with 8 shards", [] { veldra::FormulasRegistry r(8); (void)r.len(); }, true},
        {"registry with 1024 shards", [] { veldra::FormulasRegistry r(1024); (void)r.len(); }, true},
        {"registry lookup miss", [] { veldra::FormulasRegistry r(4); (void)r.value("no such name"); }, true},
        {"catalogue map with 64 shards in a call room", [] { catalogue_map_in_room(64); }, false},
        {"catalogue map with 128 shards in a call room", [] { catalogue_map_in_room(128); }, true},
        {"constant listing", [] { (void)veldra::list_constant_names(); }, !per_call_fits},
        {"bulk-built map with owned text",
         [] {
             std::vector<std::pair<std::string, std::string>> entries;
             for (int i = 0; i < 40; ++i) entries.emplace_back("a fairly long key number " + std::to_string(i), std::string(64, 'v'));
             veldra::ShardedMap<std::string> map(16, entries);
             veldra::ShardedMapTesting::insert(map, "and one more key that is long", std::string(100, 'w'));
         }, true},
        {"quark listing", [] { (void)veldra::list_quark_names(); }, false},
        {"datasheet", [] { (void)veldra::constant_datasheet_json("sterile_check"); }, !per_call_fits},
        {"catalogue with formulas", [] { load_and_read(kFormulas); }, true},
        {"catalogue with a cycle", [] { load_and_read(kCycle); }, true},
        {"catalogue read by our own reader, with a duplicate", [] { load_and_read(kBigNumber); }, true},
    };
    for (const auto& row : rows) {
        const long allocations = fail_each_allocation(row.what, row.build);
        EXPECT_EQ(allocations > 0, row.allocates) << row.what << ": " << allocations << " allocations";
    }
}

}  // namespace
