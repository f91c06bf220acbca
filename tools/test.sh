#!/usr/bin/env bash
# Installs what the tests need and runs every test: the C++ unit tests through
# CTest; on CPython 3.12 and 3.13 a wheel built, installed into that version's
# venv and checked with pytest (the package both with its native core and in
# pure Python), stubtest and mypy --strict; the sanitizer runs; and a short
# run of each fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh

apt_ensure "${BUILD_PACKAGES[@]}" libgtest-dev:/usr/include/gtest/gtest.h binutils:/usr/bin/nm

versions=(3.12 3.13)
for version in "${versions[@]}"; do
    py=$(venv_for "$version")
    echo "== building the wheel for Python $version"
    wheel=$(repaired_wheel "$py" "$version")
    "$py" -m pip install -q --disable-pip-version-check --force-reinstall "$wheel[test]"
done

echo "== C++ unit tests"
cmake -S . -B build/native-tests -DOSTRELIN_BUILD_TESTS=ON -DOSTRELIN_BUILD_EXTENSION=OFF >/dev/null
cmake --build build/native-tests -j "$(nproc)"
ctest --test-dir build/native-tests --output-on-failure -j "$(nproc)"

for version in "${versions[@]}"; do
    echo "== Python tests on $version"
    py=".venv-$version/bin/python"
    OSTRELIN_WHEEL=$(ls "dist/$version"/ostrelin-*.whl) "$py" -m pytest -q tests/python
    "$py" -m mypy.stubtest ostrelin --allowlist tests/typing/stubtest-allowlist.txt
    (cd python && "../$py" -m mypy --strict -p ostrelin)
    "$py" -m mypy --strict tests/typing/user_script.py
    "$py" tests/typing/user_script.py >/dev/null
done

bash tools/sanitizers.sh
bash tools/fuzz.sh "${OSTRELIN_FUZZ_SECONDS:-30}"
