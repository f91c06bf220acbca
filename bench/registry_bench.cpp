// The cost of the native operations behind each Python call, and how the
// registry's cost grows with its shard count (8: a 2-CPU host; 1024: 256 CPUs).

#include <benchmark/benchmark.h>

#include "datasheet/datasheet.hpp"
#include "particles/ckm_matrix.hpp"
#include "particles/quark_registry.hpp"
#include "registry/constant_listing.hpp"
#include "registry/formulas_registry.hpp"

namespace {

void BuildRegistry(benchmark::State& state) {
    const auto shards = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        veldra::FormulasRegistry registry(shards);
        benchmark::DoNotOptimize(registry);
    }
}
BENCHMARK(BuildRegistry)->Arg(8)->Arg(64)->Arg(1024);

void LookupHit(benchmark::State& state) {
    const veldra::FormulasRegistry registry(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(registry.value("sterile_sector"));
}
BENCHMARK(LookupHit)->Arg(8)->Arg(1024);

void LookupMiss(benchmark::State& state) {
    const veldra::FormulasRegistry registry(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(registry.find("no_such_name"));
}
BENCHMARK(LookupMiss)->Arg(8)->Arg(1024);

void CountEntries(benchmark::State& state) {
    const veldra::FormulasRegistry registry(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(registry.len());
}
BENCHMARK(CountEntries)->Arg(8)->Arg(1024);

void ListConstants(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(veldra::list_constant_names());
}
BENCHMARK(ListConstants);

void ListQuarks(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(veldra::list_quark_names());
}
BENCHMARK(ListQuarks);

void DatasheetText(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(veldra::constant_datasheet_json("b3"));
}
BENCHMARK(DatasheetText);

void IsUnitary(benchmark::State& state) {
    const auto m = veldra::CKMMatrix::from_topology();
    double tol = 0.5;
    for (auto _ : state) {
        benchmark::DoNotOptimize(tol);
        benchmark::DoNotOptimize(m.is_unitary(tol));
    }
}
BENCHMARK(IsUnitary);

}  // namespace

BENCHMARK_MAIN();
