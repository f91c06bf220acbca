"""A small mutation pass over the pure twin: how many mutants of a stretch of code the tests let through.

    python tools/mutate.py FILE FIRST LAST [pytest arguments...]

Each mutant changes one line of FILE (a path under python/ostrelin) between
FIRST and LAST: an arithmetic operator swapped, a comparison turned round, a
returned value negated, a number nudged, a slice bound moved. The package is
copied with the mutant into a temporary folder, beside the native modules of
the installed package, and pytest runs on it with the given arguments
(default: the twins' derivation and catalogue tests, pure side only). A
mutant survives when pytest passes. Prints each survivor and the counts.
"""

from __future__ import annotations

import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
DEFAULT_TESTS = ["tests/python/test_derive.py", "tests/python/test_catalogue.py",
                 "tests/python/test_catalogue_twins.py", "tests/python/test_codata.py", "-k", "python"]
# (pattern, replacement): each match on a line is one mutant.
RULES = [
    (r"(?<=[\w)\]]) \+ (?=[\w(])", " - "), (r"(?<=[\w)\]]) - (?=[\w(])", " + "),
    (r"(?<=[\w)\]]) \* (?=[\w(])", " / "), (r"(?<=[\w)\]]) / (?=[\w(])", " * "),
    (r" < ", " <= "), (r" <= ", " < "), (r" > ", " >= "), (r" >= ", " > "), (r" == ", " != "), (r" != ", " == "),
    (r"(?<=return )(?!None\b|True\b|False\b)(.+)$", r"-(\1)"),
    (r"\b0\.5\b", "0.25"), (r"\b1\.0\b", "2.0"), (r"\b2\.0\b", "3.0"), (r"\[1:\]", "[2:]"), (r"\[:-1\]", "[:-2]"),
    (r"\bnot\b ", ""), (r"\band\b", "or"), (r"\bor\b", "and"),
]


def mutants(lines: list[str], first: int, last: int):
    in_docstring = False
    for number, line in enumerate(lines, start=1):
        # Words of a docstring are no code to mutate.
        quotes = line.count('"""') % 2 == 1
        skip = in_docstring or quotes
        in_docstring ^= quotes
        if skip or not first <= number <= last:
            continue
        code = line.split("#", 1)[0]
        if not code.strip() or code.strip().startswith(("def ", "class ", '"""', "import ", "from ")):
            continue
        for pattern, replacement in RULES:
            for match in re.finditer(pattern, code):
                mutated = code[: match.start()] + match.expand(replacement) + code[match.end():]
                yield number, line.rstrip("\n"), mutated + line[len(code):]


def main() -> None:
    target, first, last = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    tests = sys.argv[4:] or DEFAULT_TESTS
    source = (ROOT / target).read_text(encoding="utf-8").splitlines(keepends=True)
    installed = Path(importlib.util.find_spec("ostrelin").origin).parent
    relative = Path(target).relative_to("python/ostrelin")
    survivors, total = [], 0
    with tempfile.TemporaryDirectory() as work:
        package = Path(work) / "ostrelin"
        shutil.copytree(ROOT / "python/ostrelin", package)
        for extension in installed.glob("*.so"):
            shutil.copy(extension, package)
        for number, before, after in mutants(source, first, last):
            total += 1
            mutated = source.copy()
            mutated[number - 1] = after
            (package / relative).write_text("".join(mutated), encoding="utf-8")
            run = subprocess.run([sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", *tests],
                                 cwd=ROOT, env={**os.environ, "PYTHONPATH": work}, capture_output=True, text=True)
            if run.returncode == 0:
                survivors.append((number, before.strip(), after.strip()))
                print(f"survived {target}:{number}: {before.strip()}  ->  {after.strip()}", flush=True)
        (package / relative).write_text("".join(source), encoding="utf-8")
    print(f"{len(survivors)} of {total} mutants survived")


if __name__ == "__main__":
    main()
