#!/usr/bin/env bash
# Installs what the tests need and runs every test: the C++ unit tests through
# CTest, then pytest against the installed package on CPython 3.12 and 3.13.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh

apt_ensure cmake:/usr/bin/cmake g++:/usr/bin/g++ libgtest-dev:/usr/include/gtest/gtest.h

versions=(3.12 3.13)
for version in "${versions[@]}"; do
    py=$(venv_for "$version")
    echo "== building and installing for Python $version"
    "$py" -m pip install -q --disable-pip-version-check ".[test]"
done

echo "== C++ unit tests"
cmake -S . -B build/native-tests -DOSTRELIN_BUILD_TESTS=ON -DOSTRELIN_BUILD_EXTENSION=OFF >/dev/null
cmake --build build/native-tests -j "$(nproc)"
ctest --test-dir build/native-tests --output-on-failure -j "$(nproc)"

for version in "${versions[@]}"; do
    echo "== Python tests on $version"
    ".venv-$version/bin/python" -m pytest -q tests/python
done
