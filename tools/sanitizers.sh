#!/usr/bin/env bash
# The C++ unit tests under AddressSanitizer + UndefinedBehaviorSanitizer (leak
# detection on) and under ThreadSanitizer, then the whole pytest suite against
# an AddressSanitizer build of the extension (CPython 3.12, .venv-asan).
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh

apt_ensure "${BUILD_PACKAGES[@]}" libgtest-dev:/usr/include/gtest/gtest.h

# The random-double property test is slower under the sanitizers; a tenth of
# its samples still covers every layout many times over.
export VELDRA_PROPERTY_SAMPLES=${VELDRA_PROPERTY_SAMPLES:-100000}

for sanitizer in address thread; do
    echo "== C++ unit tests under the $sanitizer sanitizer"
    cmake -S . -B "build/$sanitizer-native" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRELIN_SANITIZE="$sanitizer" \
        -DOSTRELIN_BUILD_TESTS=ON -DOSTRELIN_BUILD_EXTENSION=OFF >/dev/null
    cmake --build "build/$sanitizer-native" -j "$(nproc)"
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 TSAN_OPTIONS=halt_on_error=1 \
        ctest --test-dir "build/$sanitizer-native" --output-on-failure -j "$(nproc)"
done

echo "== Python tests against the AddressSanitizer build"
py=$(venv_for 3.12 asan)
mapfile -t requirements < <(test_requirements "$py")
"$py" -m pip install -q --disable-pip-version-check "${requirements[@]}"
"$py" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps \
    -C cmake.define.OSTRELIN_SANITIZE=address -C cmake.build-type=RelWithDebInfo -C build-dir=build/asan-ext .
# The interpreter is not instrumented: the ASan runtime must load first, and
# libstdc++ with it so that ASan finds the C++ exception machinery it wraps.
# Leaks are the interpreter's business at exit; the C++ tests check ours.
LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libstdc++.so)" \
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=malloc \
OSTRELIN_SANITIZER=address \
    "$py" -m pytest -q -p no:cacheprovider tests/python
