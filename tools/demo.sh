#!/usr/bin/env bash
# Builds and installs ostrelin for CPython 3.12 into .venv-3.12, then runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh

apt_ensure "${BUILD_PACKAGES[@]}"
py=$(venv_for 3.12)
"$py" -m pip install -q --disable-pip-version-check .
"$py" -m ostrelin "$@"
