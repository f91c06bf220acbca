#!/usr/bin/env bash
# Builds the fuzzers (Debian's clang, whatever its version) and runs each one:
# the libFuzzer harnesses of the C++ core, and the atheris harnesses that drive
# the whole Python surface of an instrumented extension (CPython 3.12) and
# hold the native catalogue to its pure-Python twin.
#   bash tools/fuzz.sh [SECONDS]      each fuzzer for SECONDS (default 60)
#   FUZZ_RUNS=N bash tools/fuzz.sh    each fuzzer for N executions
# Corpora grow in build/fuzz/corpus/<fuzzer>; a finding leaves its input in
# build/fuzz/, prints where, and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh

apt_ensure "${BUILD_PACKAGES[@]}" clang:/usr/bin/clang++
# libFuzzer and the sanitizer runtimes come with the compiler-rt of the
# default clang; ask clang where its own version keeps them.
rt="$(clang++ -print-resource-dir)/lib/linux"
arch=$(uname -m)
apt_ensure libclang-rt-dev:"$rt/libclang_rt.fuzzer_no_main-$arch.a"

seconds=${1:-60}
if [ -n "${FUZZ_RUNS:-}" ]; then limit="-runs=$FUZZ_RUNS"; else limit="-max_total_time=$seconds"; fi

# run_fuzzer NAME COMMAND...: runs one fuzzer on its corpus (and its seeds in
# fuzz/seeds/NAME, if any), fails on a finding.
run_fuzzer() {
    local name=$1 log="build/fuzz/$1.log" seeds=()
    shift
    mkdir -p "build/fuzz/corpus/$name"
    [ -d "fuzz/seeds/$name" ] && seeds=("fuzz/seeds/$name")
    echo "== fuzzing $name ($limit)"
    if ! "$@" "$limit" -print_final_stats=1 -artifact_prefix=build/fuzz/ "build/fuzz/corpus/$name" "${seeds[@]}" >"$log" 2>&1; then
        tail -40 "$log"
        local input
        input=$(grep -o 'Test unit written to .*' "$log" | tail -1 | cut -d' ' -f5-)
        echo "$name found a fault; input: $input"
        echo "rerun it: $* $input"
        exit 1
    fi
    grep -E '^stat::number_of_executed_units|^stat::average_exec_per_sec|^Done' "$log"
    echo "corpus: $(ls "build/fuzz/corpus/$name" | wc -l) inputs"
}

CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRELIN_SANITIZE=fuzzer \
    -DOSTRELIN_BUILD_FUZZERS=ON -DOSTRELIN_BUILD_EXTENSION=OFF >/dev/null
harnesses=(json_writer_fuzz sharded_map_fuzz catalogue_loader_fuzz expression_fuzz units_fuzz)
cmake --build build/fuzz -j "$(nproc)" --target "${harnesses[@]}"
for harness in "${harnesses[@]}"; do
    dict=()
    [ "$harness" = catalogue_loader_fuzz ] && dict=(-dict=fuzz/catalogue.dict)
    [ "$harness" = units_fuzz ] && dict=(-dict=fuzz/units.dict)
    run_fuzzer "$harness" "build/fuzz/fuzz/$harness" "${dict[@]}"
done

echo "== building the instrumented extension for the surface fuzzer"
py=$(venv_for 3.12 fuzz)
"$py" -m pip install -q --disable-pip-version-check atheris numpy
CXX=clang++ "$py" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps \
    -C cmake.define.OSTRELIN_SANITIZE=fuzzer -C cmake.build-type=RelWithDebInfo -C build-dir=build/fuzz-ext .

# The interpreter is not instrumented, so libFuzzer and the sanitizer runtime
# must be preloaded as one library, libFuzzer first, or coverage goes to the
# runtime's weak stubs. Atheris ships such a library, but built by another
# LLVM and without the C++ part of the undefined-behaviour runtime, which an
# extension built with -fsanitize=undefined needs to load at all; so merge
# the same library from this clang's own runtime, as atheris does.
runtime=build/fuzz/asan_with_fuzzer.so
if [ ! -e "$runtime" ] || [ "$rt/libclang_rt.asan-$arch.a" -nt "$runtime" ]; then
    work=$(mktemp -d)
    cp "$rt/libclang_rt.asan-$arch.a" "$work/asan.a"
    # The preinit member would make the runtime start before the interpreter
    # has loaded; preloading starts it early enough.
    ar d "$work/asan.a" $(ar t "$work/asan.a" | grep preinit)
    clang++ -shared -o "$runtime" -Wl,--whole-archive "$rt/libclang_rt.fuzzer_no_main-$arch.a" "$work/asan.a" \
        "$rt/libclang_rt.asan_cxx-$arch.a" -Wl,--no-whole-archive -lpthread -ldl
    rm -rf "$work"
fi
# libstdc++ is preloaded too, so that the runtime finds the C++ exception
# machinery it wraps; Python's objects go through malloc, where it sees them.
# Leaks are the interpreter's business at exit.
preloaded=(env LD_PRELOAD="$PWD/$runtime:$(clang++ -print-file-name=libstdc++.so)" PYTHONMALLOC=malloc
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 "$py")
run_fuzzer surface_fuzz "${preloaded[@]}" fuzz/surface_fuzz.py -detect_leaks=0
# Both catalogue twins on each input: the reference needs no instrumenting,
# but the native reader under the sanitizer shows memory errors as well.
run_fuzzer twins_fuzz "${preloaded[@]}" fuzz/twins_fuzz.py -detect_leaks=0 -dict=fuzz/catalogue.dict
