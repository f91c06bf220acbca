#!/usr/bin/env bash
# The pytest suite under valgrind memcheck (PYTHONMALLOC=malloc, CPython 3.12
# venv from tools/test.sh). Fails on any definite leak or invalid access whose
# stack passes through the extension; the interpreter's own exit-time
# allocations are not ours to judge.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh

apt_ensure valgrind:/usr/bin/valgrind
py=$(venv_for 3.12)
[ -x "${py%python}pytest" ] || "$py" -m pip install -q --disable-pip-version-check ".[test]"
log=build/valgrind.log
mkdir -p build
# Fewer repetitions in the leak tests: valgrind runs every call fifty times slower.
OSTRELIN_LEAK_REPEAT=${OSTRELIN_LEAK_REPEAT:-300} OSTRELIN_SANITIZER=valgrind PYTHONMALLOC=malloc \
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
    --num-callers=40 --log-file="$log" "$py" -m pytest -q -p no:cacheprovider tests/python "$@"
"$py" - "$log" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
blocks = re.split(r"\n==\d+== \n", text)
ours = [b for b in blocks if ("_veldra_core" in b or "_veldra_catalogue" in b or "veldra::" in b) and ("definitely lost" in b or "Invalid" in b or "uninitialised" in b)]
for line in text.splitlines():
    if "ERROR SUMMARY" in line or "definitely lost:" in line:
        print(line)
print(f"errors through the extension: {len(ours)}")
for b in ours[:5]:
    print(b)
sys.exit(1 if ours else 0)
PY
