"""python -m ostrelin, run the way a user runs it."""

import json

import ostrelin._veldra_core as core
from conftest import CATALOGUE, run_module


def demo(*args):
    return run_module("ostrelin", *args)


def test_overview_table_lists_every_entry_aligned():
    proc = demo()
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    header = next(line for line in lines if line.startswith("name"))
    start = lines.index(header)
    rows = lines[start + 2 : start + 2 + len(CATALOGUE)]
    assert [row.split()[0] for row in rows] == core.py_list_constants()
    units_column = header.index("units")
    for row in rows:
        name, status, value, units = row.split()
        assert (float(value), units, status) == CATALOGUE[name][:3]
        assert row.index(units, units_column - 1) == units_column  # aligned
    assert "quarks: bottom, charm, down, strange, top, up" in lines
    assert any("Jarlskog invariant J = 0.0" in line and "True" in line for line in lines)


def test_named_entry_prints_its_datasheet_as_indented_json():
    proc = demo("sterile_check")
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == core.py_get_constant("sterile_check")
    assert proc.stdout.startswith('{\n  "name": "sterile_check",\n')


def test_unknown_name_reports_on_stderr_and_fails():
    proc = demo("Phi")
    assert proc.returncode == 1
    assert proc.stdout == ""
    assert proc.stderr == "constant `Phi` not found in registry\ndid you mean 'phi'?\n"
    far = demo("nothing_like_it")
    assert (far.returncode, far.stderr) == (1, "constant `nothing_like_it` not found in registry\n")


def test_help_and_usage_errors():
    helped = demo("--help")
    assert helped.returncode == 0 and "usage: python -m ostrelin" in helped.stdout
    empty = demo("")
    assert empty.returncode == 2 and "NAME must not be empty" in empty.stderr
    extra = demo("b3", "phi")
    assert extra.returncode == 2
