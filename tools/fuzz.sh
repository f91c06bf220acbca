#!/usr/bin/env bash
# Builds the libFuzzer harnesses (Debian's clang) and runs each one:
#   bash tools/fuzz.sh [SECONDS]      each harness for SECONDS (default 60)
#   FUZZ_RUNS=N bash tools/fuzz.sh    each harness for N executions
# Corpora grow in build/fuzz/corpus/<harness>; a crash leaves its input in
# build/fuzz/ and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh

apt_ensure cmake:/usr/bin/cmake clang:/usr/bin/clang++ \
    libclang-rt-14-dev:/usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a

seconds=${1:-60}
CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRELIN_SANITIZE=fuzzer \
    -DOSTRELIN_BUILD_FUZZERS=ON -DOSTRELIN_BUILD_EXTENSION=OFF >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target json_writer_fuzz sharded_map_fuzz

for harness in json_writer_fuzz sharded_map_fuzz; do
    corpus="build/fuzz/corpus/$harness"
    mkdir -p "$corpus"
    if [ -n "${FUZZ_RUNS:-}" ]; then limit="-runs=$FUZZ_RUNS"; else limit="-max_total_time=$seconds"; fi
    echo "== fuzzing $harness ($limit)"
    (cd build/fuzz && "./fuzz/$harness" "$limit" -print_final_stats=1 "corpus/$harness" 2>"$harness.log") || {
        tail -40 "build/fuzz/$harness.log"
        exit 1
    }
    grep -E '^stat::number_of_executed_units|^Done' "build/fuzz/$harness.log"
    echo "corpus: $(ls "$corpus" | wc -l) inputs"
done
