"""python -m ostrelin, run the way a user runs it."""

import json

import ostrelin
import ostrelin._veldra_core as core
from conftest import CATALOGUE, run_module, run_python


def demo(*args):
    return run_module("ostrelin", *args)


def table_rows(lines):
    header = next(line for line in lines if line.startswith("name"))
    start = lines.index(header)
    return header, lines[start + 2 : start + 2 + len(CATALOGUE)]


def test_overview_table_lists_every_entry_aligned():
    proc = demo()
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    header, rows = table_rows(lines)
    assert header.split() == ["name", "status", "value", "derived", "units", "expression"]
    assert [row.split()[0] for row in rows] == core.py_list_constants()
    units_column, expression_column = header.index("units"), header.index("expression")
    for row in rows:
        name, status, value, derived, units, *expression = row.split(maxsplit=5)
        assert (float(value), units, status) == CATALOGUE[name][:3]
        assert float(derived) == ostrelin.derive(name)
        assert expression == ([CATALOGUE[name][3]] if CATALOGUE[name][3] else [])
        assert row.index(units, units_column - 1) == units_column  # aligned
        assert not expression or row.index(expression[0], expression_column - 1) == expression_column
    assert "quarks: bottom, charm, down, strange, top, up" in lines
    assert any("Jarlskog invariant J = 0.0" in line and "True" in line for line in lines)
    assert lines[0].startswith("ostrelin 2.3.0 (native): 17 ")


def test_overview_without_the_core():
    code = (
        'import sys, runpy; sys.modules["ostrelin._veldra_core"] = sys.modules["ostrelin._veldra_catalogue"] = None; '
        'runpy.run_module("ostrelin", run_name="__main__")'
    )
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    native = demo().stdout.splitlines()
    lines = proc.stdout.splitlines()
    assert lines[0].startswith("ostrelin 2.3.0 (python): 17 ")
    assert table_rows(lines) == table_rows(native)
    assert lines[-1] == "CKM matrix: needs the native core"


def test_named_entry_prints_its_record_as_indented_json():
    for name in ("sterile_check", "top"):
        proc = demo(name)
        assert proc.returncode == 0, proc.stderr
        assert json.loads(proc.stdout) == ostrelin.Get(name)
        assert proc.stdout.startswith("{\n  \"")
    assert demo("sterile_check").stdout.startswith('{\n  "name": "sterile_check",\n')


def test_unknown_name_reports_on_stderr_and_fails():
    for name, note in [("Phi", "phi"), ("tpo", "top")]:
        proc = demo(name)
        assert (proc.returncode, proc.stdout) == (1, "")
        assert proc.stderr == f"constant `{name}` not found in registry\ndid you mean '{note}'?\n"
    far = demo("nothing_like_it")
    assert (far.returncode, far.stderr) == (1, "constant `nothing_like_it` not found in registry\n")


def test_help_and_usage_errors():
    helped = demo("--help")
    assert helped.returncode == 0 and "usage: python -m ostrelin" in helped.stdout
    empty = demo("")
    assert empty.returncode == 2 and "NAME must not be empty" in empty.stderr
    extra = demo("b3", "phi")
    assert extra.returncode == 2


def test_catalogue_files_on_the_command_line(tmp_path):
    from catalogue_cases import VALID, doc, formula, seed

    good, bad, failing = tmp_path / "good.json", tmp_path / "bad.json", tmp_path / "failing.json"
    good.write_text(VALID[-1], encoding="utf-8")
    bad.write_text(doc(seed("a"), seed("a")), encoding="utf-8")
    failing.write_text(doc(seed("z", 0.0), formula("q", "1 / z")), encoding="utf-8")
    cat = ostrelin.load(good)
    rows = [
        (["check", str(good)], 0, f"{good}: 9 entries (4 seeds, 5 formulas), loaded in ", ""),
        (["check", str(bad)], 1, "", "invalid JSON schema in `%s`\nentry 1 (`a`): duplicate name, first at entry 0\n" % bad),
        (["check", str(tmp_path / "no.json")], 1, "",
         f"[Errno 2] No such file or directory: '{tmp_path / 'no.json'}'\n"
         f"failed to load constants from `{tmp_path / 'no.json'}`: No such file or directory (os error 2)\n"),
        (["--catalogue", str(good), "nope"], 1, "", "constant `nope` not found in registry\n"),
        (["check"], 2, "", "usage: python -m ostrelin check"),
    ]
    for args, status, out, err in rows:
        proc = demo(*args)
        assert (proc.returncode, proc.stdout[: len(out)], proc.stderr[: len(err)]) == (status, out, err), args
    table = demo("--catalogue", str(good)).stdout.splitlines()
    assert [line.split()[0] for line in table[2:]] == cat.names()
    assert any(line.split()[:2] == ["ε₀", "Pending"] for line in table)
    entry = dict(line.split(maxsplit=1) for line in demo("--catalogue", str(good), "f").stdout.splitlines())
    derived = cat.derived("f")
    assert entry["derived"] == f"{derived.value!r} ± {derived.uncertainty!r}" and entry["dependencies"] == "a, b, c"
    assert demo("--catalogue", str(failing)).returncode == 0
    assert "(division by zero in the expression of `q`)" in demo("--catalogue", str(failing), "q").stdout
