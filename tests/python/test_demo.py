"""python -m ostrelin, run the way a user runs it."""

import json
import subprocess
import sys
from pathlib import Path

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
    for name in ("sterile_check", "top", "b3"):
        proc = demo(name)
        assert proc.returncode == 0, proc.stderr
        # A formula's datasheet keeps its stored placeholder; what it gives comes after.
        derived = {"derived": ostrelin.derive(name)} if ostrelin.Get(name).get("status") == "Pending" else {}
        assert json.loads(proc.stdout) == ostrelin.Get(name) | derived
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


DERIVATIONS = str(Path(ostrelin.__file__).parent / "data" / "codata-2022-derivations.json")


def test_subcommands_exit_and_print_as_documented(tmp_path):
    from catalogue_cases import VALID, doc, formula, seed

    good, bad = tmp_path / "good.json", tmp_path / "bad.json"
    good.write_text(VALID[-1], encoding="utf-8")
    bad.write_text(doc(seed("a"), seed("a")), encoding="utf-8")
    missing = tmp_path / "no.json"
    rows = [
        (["check", str(good)], 0, f"{good}: 9 entries (4 seeds, 5 formulas), loaded in ", ""),
        (["check", DERIVATIONS, "--base", "codata"], 0, f"{DERIVATIONS}: 32 entries (0 seeds, 32 formulas)", ""),
        (["check", str(bad)], 1, "", f"invalid JSON schema in `{bad}`\nentry 1 (`a`): duplicate name, first at entry 0\n"),
        (["check", str(missing)], 1, "", f"[Errno 2] No such file or directory: '{missing}'\n"
         f"failed to load constants from `{missing}`: No such file or directory (os error 2)\n"),
        (["check", DERIVATIONS], 1, "", "expression parse error in `derived_reduced_planck_constant`: "),
        (["show", "nope", "-c", "codata"], 1, "", "constant `nope` not found in registry\n"),
        (["find", "\udcff"], 1, "", "'utf-8' codec can't encode character '\\udcff' in position 0"),
        (["show", "b3", "-c", "builtin", "--base", "codata"], 1, "", "--base applies to a catalogue file, not to builtin\n"),
        (["show", "b3"], 1, "", "constant `b3` not found in registry\n`b3` is a built-in entry: add -c builtin\n"),
        (["show", "electron_mass"], 0, "name          electron_mass\n", ""),
        (["show"], 2, "", "usage: python -m ostrelin show"),
        (["table", "--nope"], 2, "", "usage: python -m ostrelin"),
        (["--catalogue", str(good), "nope"], 1, "", "constant `nope` not found in registry\n"),
        (["--version"], 0, f"ostrelin {ostrelin.__version__}\n", ""),
        (["convert", "1", "MeV/c^2", "kg"], 0, "1.782661921627898e-30 kg\n", ""),
        (["convert", "-656.279", "nm", "Å"], 0, "-6562.79 Å\n", ""),
        (["convert", "1", "MeV", "kg"], 1, "", "cannot convert `MeV` (kg m^2 s^-2) to `kg` (kg)\n"),
        (["convert", "1", "furlong", "m"], 1, "", "invalid units `furlong`: unknown unit `furlong` at offset 0\n"),
        (["convert", "one", "m", "m"], 1, "", "could not convert string to float: 'one'\n"),
        (["show", "electron_mass", "-c", "codata", "--units", "furlong"], 1, "",
         "invalid units `furlong`: unknown unit `furlong` at offset 0\n"),
        (["show", "b3", "-c", "builtin", "--units", "GeV"], 0, "name", ""),
    ]
    for args, status, out, err in rows:
        proc = demo(*args)
        assert (proc.returncode, proc.stdout[: len(out)], proc.stderr[: len(err)]) == (status, out, err), args


def test_show_find_and_table_agree_with_the_api():
    codata = ostrelin.codata
    lines = dict(line.split(maxsplit=1) for line in demo("show", "topo_gen_check", "-c", "builtin").stdout.splitlines()
                 if " " in line)
    assert (lines["derived"], lines["dependencies"]) == ("3.0", "chi_eff, b3")
    shown = json.loads(demo("show", "derived_bohr_magneton", "-c", DERIVATIONS, "--base", "codata", "--json").stdout)
    cat = ostrelin.load(DERIVATIONS, base=codata)
    derived = cat.derived("derived_bohr_magneton")
    assert shown["derived"] == {"value": derived.value, "uncertainty": derived.uncertainty,
                                "budget": [list(share) for share in cat.budget("derived_bohr_magneton")]}
    assert shown["entry"]["expression"] == derived.expression
    text = demo("show", "derived_bohr_magneton", "-c", DERIVATIONS, "--base", "codata").stdout
    assert "uncertainty budget:" in text and "fine_structure_constant" in text.split("uncertainty budget:")[1]
    assert json.loads(demo("find", "electron mass", "-c", "codata", "--json").stdout) == codata.find("electron mass")
    found = demo("find", "Bohr", "-c", "codata").stdout.splitlines()
    assert [line.split()[0] for line in found[2:]] == codata.find("Bohr")
    rows = json.loads(demo("table", "--json").stdout)
    assert [row["name"] for row in rows] == ostrelin.constants.names()
    assert rows[-1]["derived"]["value"] == ostrelin.derive(rows[-1]["name"])
    table = demo("table", "-c", DERIVATIONS, "--base", "codata").stdout.splitlines()
    assert len(table) == 2 + len(cat)


def test_a_closed_pipe_ends_quietly():
    proc = subprocess.run(f"{sys.executable} -m ostrelin table -c codata | head -2", shell=True,
                          capture_output=True, text=True, timeout=120)
    assert proc.stdout.splitlines()[0].split()[0] == "name" and proc.stderr == ""
