#!/usr/bin/env bash
# Runs both benchmarks: the C++ one (Google Benchmark) and the Python one
# (each native call against its floor, three runs) on CPython 3.12 and 3.13.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh

apt_ensure "${BUILD_PACKAGES[@]}" libbenchmark-dev:/usr/include/benchmark/benchmark.h
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DOSTRELIN_BUILD_EXTENSION=OFF -DOSTRELIN_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build/bench -j "$(nproc)" --target registry_bench
build/bench/bench/registry_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true "$@"

for version in 3.12 3.13; do
    py=$(venv_for "$version")
    "$py" -m pip install -q --disable-pip-version-check .
    "$py" bench/bench_python.py --runs 3 --markdown
done

# The catalogue against the fastest loaders a user would otherwise pick (msgspec, orjson, json) and
# against its pure twin, at 10^4, 10^5 and 10^6 entries, on CPython 3.12.
py=$(venv_for 3.12)
"$py" -m pip install -q --disable-pip-version-check ".[bench]"
"$py" bench/bench_catalogue.py --runs 3

# Units against pint, and a version-2 catalogue of 10^6 entries against the same file as version 1.
"$py" bench/bench_units.py --runs 3

# codata as the adjustment computes it, against the table of seeds it replaced.
"$py" bench/bench_codata.py --runs 5

# Catalogue.evaluate over NumPy arrays against numexpr, NumPy with derivatives by hand, uncertainties and
# gvar, at 10^6 and 10^7 elements, on two threads and then pinned to one processor; and its peak memory.
"$py" bench/bench_evaluate.py --repeat 5
