"""python -m ostrelin evaluate NAME --input CSV, run as a user runs it, in both twins.

The oracle for every number is the scalar API: the same catalogue rebuilt from its dumps() with the row's
values (and uncertainties) put into the replaced seeds and their correlations dropped, then derived(NAME).
"""

import csv
import io
import json
import math
import os
import struct
import subprocess
import sys

import pytest

import ostrelin
import ostrelin.__main__ as main
from conftest import python_package, run_module

numpy = pytest.importorskip("numpy")

BLOCKED = 'import sys, runpy; sys.modules["ostrelin._veldra_core"] = sys.modules["ostrelin._veldra_catalogue"] = None; '

# Symbols as second names, a unit conversion, a correlation between a seed the rows replace and one they
# do not, a seed without an uncertainty.
LAB = {
    "format": "ostrelin-catalogue",
    "version": 2,
    "constants": [
        {"name": "distance", "symbol": "d", "units": "m", "value": 10.0, "uncertainty": 0.02},
        {"name": "time", "symbol": "t", "units": "s", "value": 4.0, "uncertainty": 0.004},
        {"name": "offset", "units": "m", "value": 1.0, "uncertainty": 0.5},
        {"name": "exact", "units": "m", "value": 2.0},
        {"name": "speed", "symbol": "v", "units": "m/s", "expression": "(d + offset) / t"},
        {"name": "speed_kmh", "units": "km/h", "expression": "d / t"},
        {"name": "ratio", "units": "", "expression": "log(distance / exact) * offset / exact"},
    ],
    "correlations": [["distance", "offset", 0.3], ["time", "offset", -0.2]],
}
# Nothing uncertain: a result without a sigma column.
PLAIN = {
    "format": "ostrelin-catalogue",
    "version": 1,
    "constants": [
        {"name": "x", "units": "", "value": 1.0},
        {"name": "y", "units": "", "value": 2.0},
        {"name": "f", "units": "", "expression": "x * y - sqrt(x)"},
    ],
}
# A file over codata, in other units.
OVER = {
    "format": "ostrelin-catalogue",
    "version": 2,
    "constants": [{"name": "rest_energy", "units": "MeV", "expression": "m_e * c ** 2"}],
}


@pytest.fixture(scope="module", params=["native", "python"])
def twin(request):
    package = ostrelin if request.param == "native" else python_package()
    assert package.implementation == request.param
    return package


@pytest.fixture
def files(tmp_path):
    paths = {}
    for key, doc in (("lab", LAB), ("plain", PLAIN), ("over", OVER)):
        paths[key] = tmp_path / f"{key}.json"
        paths[key].write_text(json.dumps(doc), encoding="utf-8")
    paths["codata"] = "codata"
    return paths


RUN = 'import runpy; runpy.run_module("ostrelin", run_name="__main__")'


def cli(twin, *args, stdin=None):
    """`python -m ostrelin args…` in a fresh interpreter, the native modules blocked for the pure twin."""
    if twin.implementation == "native" and stdin is None:
        return run_module("ostrelin", *args)
    code = (BLOCKED if twin.implementation == "python" else "") + RUN
    return subprocess.run([sys.executable, "-c", code, *args], input=stdin, capture_output=True, text=True,
                          timeout=120)


def open_in(twin, files, which):
    if which == "codata":
        return twin.codata
    return twin.load(str(files[which]), base=twin.codata if which == "over" else None)


def catalogue_args(files, which):
    return ["-c", str(files[which]), *(["--base", "codata"] if which == "over" else [])]


def bits(x):
    return struct.pack("<d", x)


def same(a, b):
    """Equal as doubles, NaN equal to NaN."""
    return (math.isnan(a) and math.isnan(b)) or bits(a) == bits(b)


NOT_FINITE = object()


def scalar(cat, twin, name, replaced):
    """(value, uncertainty) of derived(name) for `cat` with each seed in `replaced` (canonical name ->
    (value, uncertainty or None)) holding that value, uncorrelated; the value is None and the uncertainty
    the error's text when the value cannot be derived, the uncertainty the text when only it cannot;
    NOT_FINITE for a value or uncertainty that is not finite, which no catalogue holds."""
    if not all(math.isfinite(x) for pair in replaced.values() for x in pair if x is not None):
        return NOT_FINITE, None
    doc = json.loads(cat.dumps())
    for entry in doc["constants"]:
        if entry["name"] in replaced:
            entry["value"], entry["uncertainty"] = replaced[entry["name"]]
    if "correlations" in doc:
        doc["correlations"] = [c for c in doc["correlations"]
                               if cat[c[0]].name not in replaced and cat[c[1]].name not in replaced]
    rebuilt = twin.loads(json.dumps(doc), source=cat.source)
    try:
        value = rebuilt.derive(name)
    except twin.DerivationError as exc:
        return None, str(exc)
    try:
        return value, rebuilt.derived(name).uncertainty
    except twin.DerivationError as exc:
        return value, str(exc)


def rows_of(text):
    return [row for row in csv.reader(io.StringIO(text.removeprefix("\ufeff"), newline="")) if row]


def split(header):
    """The value columns and the uncertainty columns (by the seed they belong to) of a header in which
    no entry's name starts with sigma_, as in every input below but the few that test that rule."""
    values = {i: column for i, column in enumerate(header) if not column.startswith("sigma_")}
    sigmas = {i: column.removeprefix("sigma_") for i, column in enumerate(header) if column.startswith("sigma_")}
    return values, sigmas


def replacements(cat, header, row):
    values, sigmas = split(header)
    replaced = {cat[seed].name: [float(row[i]), None] for i, seed in values.items()}
    for i, seed in sigmas.items():
        replaced[cat[seed].name][1] = float(row[i])
    return replaced


# name, catalogue, input text, extra arguments
GOOD = [
    ("speed", "lab", "d,t,sigma_t\n1,2,0.1\n3,4.5,0\n-2.5,1e-3,1e-6\n", ()),
    ("speed", "lab", "distance,sigma_d\n20,0.5\n0.1,1e-9\n", ()),
    ("v", "lab", "time\n4\n8\n", ()),
    ("speed_kmh", "lab", "d,t\n1000,3600\n1,3\n", ()),
    ("ratio", "lab", "exact,offset,sigma_offset\n1,2,0\n4,0.5,0.25\n", ()),
    ("m_e", "codata", "alpha,R_inf,sigma_alpha\n0.0072973525643,10973731.568157,1.1e-12\n0.0073,1.1e7,0\n", ()),
    ("electron_mass", "codata", "rydberg_constant,sigma_R_inf,alpha\n10973731.568157,1.2e-5,0.0072973525643\n", ()),
    ("m_e", "codata", "R_inf,fine_structure_constant,sigma_alpha\n10973731.568157,0.0072973525643,2e-12\n", ()),
    ("f", "plain", "x,y\n1,2\n4,0.25\n", ()),
    ("f", "plain", "y\n3\n", ()),
    ("rest_energy", "over", "R_inf,alpha,sigma_alpha\n10973731.568157,0.0072973525643,1.1e-12\n", ()),
    ("rest_energy", "over", "alpha\n0.0072973525643\n0.0073\n", ()),
    ("speed", "lab", '\ufeff"d",t\r\n" 1.5 ",2\r\n\r\n3,"4"\r\n7,1_000\n', ()),
    ("speed", "lab", "d,t\n1e-320,1\n1.7976931348623157e308,0.5\nnan,1\n-0.0,2\n5,0\n", ("--errors", "nan")),
    ("speed", "lab", "d,t,sigma_t\n-2.5,1e-3,inf\n1,2,1e300\n1,inf,0.1\n1,1e-300,1e-3\n", ("--errors", "nan")),
    ("ratio", "lab", "exact\n0\n-1\n1\n", ("--errors", "nan")),
    ("f", "plain", "x\n-1\n4\n", ("--errors", "nan")),
]


@pytest.mark.parametrize("name, which, text, extra", GOOD)
def test_rows_agree_with_the_scalar_api(twin, files, tmp_path, name, which, text, extra):
    source = tmp_path / "in.csv"
    source.write_text(text, encoding="utf-8", newline="")
    proc = cli(twin, "evaluate", name, *catalogue_args(files, which), "--input", str(source), *extra)
    assert (proc.returncode, proc.stderr) == (0, "")
    out = list(csv.reader(io.StringIO(proc.stdout, newline="")))
    header, *rows = rows_of(text)
    cat = open_in(twin, files, which)
    expected = [scalar(cat, twin, cat[name].name, replacements(cat, header, row)) for row in rows]
    informed = next(u for v, u in expected if v is not None and v is not NOT_FINITE) is not None
    assert out[0] == [*header, name, *([f"sigma_{name}"] if informed else [])]
    assert len(out) == 1 + len(rows)
    for row, written, (value, sigma) in zip(rows, out[1:], expected):
        assert written[: len(row)] == row  # the input's cells as read
        cells = written[len(row) :]
        assert all(cell == repr(float(cell)) for cell in cells)  # the shortest text that reads back
        if value is NOT_FINITE:
            continue  # no catalogue holds such a value: the next test holds these rows to the method
        assert same(float(cells[0]), math.nan if value is None else value), (row, cells, value)
        if informed:
            # A value that cannot be computed has no uncertainty; one that cannot be propagated has a NaN one.
            assert same(float(cells[1]), sigma if isinstance(sigma, float) else math.nan), (row, cells, sigma)


@pytest.mark.parametrize("name, which, text, extra", GOOD)
def test_output_is_the_methods_result_over_the_whole_input(twin, files, tmp_path, name, which, text, extra):
    source, target = tmp_path / "in.csv", tmp_path / "out.csv"
    source.write_text(text, encoding="utf-8", newline="")
    proc = cli(twin, "evaluate", name, *catalogue_args(files, which), "-i", str(source), "-o", str(target), *extra)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "", "")
    out = list(csv.reader(io.StringIO(target.read_text(encoding="utf-8"), newline="")))
    header, *rows = rows_of(text)
    cat = open_in(twin, files, which)
    values, sigmas = split(header)
    columns = [numpy.array([float(row[i]) for row in rows]) for i in range(len(header))]
    result = cat.evaluate(name, {seed: columns[i] for i, seed in values.items()},
                          uncertainties={seed: columns[i] for i, seed in sigmas.items()} or None,
                          errors="nan" if "nan" in extra else "raise")
    assert [bits(float(row[len(header)])) for row in out[1:]] == [bits(x) for x in result.value.tolist()]
    if result.uncertainty is None:
        assert len(out[0]) == len(header) + 1
    else:
        assert [bits(float(row[-1])) for row in out[1:]] == [bits(x) for x in result.uncertainty.tolist()]
    assert sorted(os.listdir(tmp_path)) == ["in.csv", "lab.json", "out.csv", "over.json", "plain.json"]


def lab_error(text, row, line):
    """What the scalar API says of the row numbered `row` (from 0) of a lab input, which is on `line`."""
    def expected(twin, cat, path):
        header, *rows = rows_of(text)
        value, problem = scalar(cat, twin, "speed", replacements(cat, header, rows[row]))
        assert isinstance(problem, str)
        return f"{path}, line {line}: {problem}\n"
    return expected


TOO_WIDE = "x" * 200_000
# name, catalogue, input text (None: no file), extra arguments, exit status, standard error: its first line
# and its last (None: one line), or a function of the twin, the catalogue and the input's path.
BAD = [
    ("m_e", "codata", "alhpa,R_inf\n1,2\n", (), 1, ("constant `alhpa` not found in registry",
                                                    "in the header of {path}: alhpa, R_inf")),
    ("m_p", "codata", "m_e\n1\n", (), 1, ("`electron_mass` is not a seed: only seeds' values can be given",
                                          "in the header of {path}: m_e")),
    ("m_e", "codata", "alpha,G\n1,2\n", (), 1,
     ("`electron_mass` does not depend on `newtonian_constant_of_gravitation`", "in the header of {path}: alpha, G")),
    ("m_e", "codata", "alpha,fine_structure_constant\n1,2\n", (), 1,
     ("`fine_structure_constant` is given twice", "in the header of {path}: alpha, fine_structure_constant")),
    ("m_e", "codata", "alpha,alpha\n1,2\n", (), 1, ("`alpha` is given twice", "in the header of {path}: alpha, alpha")),
    ("m_e", "codata", "R_inf,sigma_alpha\n1,2\n", (), 1,
     ("an uncertainty is given for `fine_structure_constant`, which has no values given",
      "in the header of {path}: R_inf, sigma_alpha")),
    ("m_e", "codata", "R_inf,sigma_foo\n1,2\n", (), 1, ("constant `foo` not found in registry",
                                                        "in the header of {path}: R_inf, sigma_foo")),
    ("m_e", "codata", "alpha,R_inf\n1,2\n3,abc\n", (), 1,
     ("{path}, line 3, column `R_inf`: 'abc' is not a number", None)),
    ("m_e", "codata", "alpha,R_inf\n1,2\n\n,4\n", ("--errors", "nan"), 1,
     ("{path}, line 4, column `alpha`: '' is not a number", None)),
    ("m_e", "codata", 'alpha,R_inf\n1,2\n"3\n4",5\n', (), 1,
     ("{path}, line 4, column `alpha`: '3\\n4' is not a number", None)),
    ("m_e", "codata", "alpha,R_inf\n1,2,3\n", (), 1, ("{path}, line 2: 3 cells, the header has 2", None)),
    ("m_e", "codata", "alpha,R_inf\n1\n", (), 1, ("{path}, line 2: 1 cell, the header has 2", None)),
    ("m_e", "codata", "R_inf,alpha,sigma_alpha\n1e7,0.0073,1e-12\n1e7,0.0073,-1\n", ("--errors", "nan"), 1,
     ("{path}, line 3: the uncertainty given for `fine_structure_constant` is negative or NaN", None)),
    ("m_e", "codata", "R_inf,alpha,sigma_R_inf\n1e7,0.0073,nan\n", (), 1,
     ("{path}, line 2: the uncertainty given for `rydberg_constant` is negative or NaN", None)),
    ("speed", "lab", "d,t\n1,2\n\n3,0\n", (), 1, lab_error("d,t\n1,2\n\n3,0\n", 1, 4)),
    ("speed", "lab", "d,t\n1,2\n3,1e-320\n", (), 1, lab_error("d,t\n1,2\n3,1e-320\n", 1, 3)),
    ("speed", "lab", "d,t,sigma_t\n1,2,0.1\n1,1,1e300\n", (), 1, lab_error("d,t,sigma_t\n1,2,0.1\n1,1,1e300\n", 1, 3)),
    ("nothing_like_it", "codata", "alpha\n1\n", (), 1, ("constant `nothing_like_it` not found in registry", None)),
    ("m_e", "codata", "", (), 1, ("{path} is empty: it has no header row", None)),
    ("m_e", "codata", "\n\n", (), 1, ("{path} is empty: it has no header row", None)),
    ("m_e", "codata", None, (), 1, ("[Errno 2] No such file or directory: '{path}'", None)),
    ("m_e", "codata", b"alpha\n1\n\xff\n", (), 1, ("{path} is not UTF-8 text", None)),
    ("m_e", "codata", f"alpha\n{TOO_WIDE}\n", (), 1, ("{path}, line 2: field larger than field limit (131072)", None)),
    ("m_e", "codata", "alpha\n1\n", ("--errors", "ignore"), 2, ("usage: python -m ostrelin evaluate", "")),
    ("m_e", "codata", "alpha\n1\n", ("--input",), 2, ("usage: python -m ostrelin evaluate", "")),
]


@pytest.mark.parametrize("name, which, text, extra, status, err", BAD)
def test_errors_print_one_line_and_exit(twin, files, tmp_path, name, which, text, extra, status, err):
    source = tmp_path / "in.csv"
    if isinstance(text, bytes):
        source.write_bytes(text)
    elif text is not None:
        source.write_text(text, encoding="utf-8", newline="")
    args = ["evaluate", name, *catalogue_args(files, which)]
    if "--input" not in extra:
        args += ["--input", str(source)]
    proc = cli(twin, *args, *extra)
    assert proc.returncode == status, proc.stderr
    if callable(err):
        assert proc.stderr == err(twin, open_in(twin, files, which), source)
        return
    first, last = (line if line is None else line.format(path=source) for line in err)
    lines = proc.stderr.splitlines()
    if status == 2:
        assert lines[0].startswith(first) and proc.stdout == ""
        return
    assert lines[0] == first
    assert lines[-1] == (first if last is None else last)
    assert len(lines) <= 3  # the error, at most one note of the lookup's and the header's
    # Nothing is written before the header is known good; a row's problem leaves the rows before it.
    assert proc.stdout == "" or proc.stdout.startswith(str(text).split("\n", 1)[0].removeprefix("\ufeff"))


def test_a_failed_run_leaves_the_output_as_it_was(twin, files, tmp_path):
    source, target = tmp_path / "in.csv", tmp_path / "out.csv"
    target.write_text("kept\n", encoding="utf-8")
    for text in ("d,t\n1,2\n3,0\n", "d,t\n1,x\n", "q,t\n1,2\n"):
        source.write_text(text, encoding="utf-8")
        proc = cli(twin, "evaluate", "speed", "-c", str(files["lab"]), "-i", str(source), "-o", str(target))
        assert (proc.returncode, proc.stdout) == (1, ""), text
        assert target.read_text(encoding="utf-8") == "kept\n"
        assert sorted(os.listdir(tmp_path)) == ["in.csv", "lab.json", "out.csv", "over.json", "plain.json"]


def test_the_input_may_be_the_output_and_standard_streams_are_dashes(twin, files, tmp_path):
    source = tmp_path / "in.csv"
    text = "d,t,sigma_t\n1,2,0.1\n3,4,0.2\n"
    source.write_text(text, encoding="utf-8")
    expected = cli(twin, "evaluate", "speed", "-c", str(files["lab"]), "-i", str(source)).stdout
    assert expected.count("\n") == 3
    proc = cli(twin, "evaluate", "speed", "-c", str(files["lab"]), "-i", str(source), "-o", str(source))
    assert (proc.returncode, proc.stderr) == (0, "")
    assert source.read_text(encoding="utf-8") == expected
    piped = cli(twin, "evaluate", "speed", "-c", str(files["lab"]), "-i", "-", "-o", "-", stdin=text)
    assert (piped.returncode, piped.stdout, piped.stderr) == (0, expected, "")


class Counting:
    """A catalogue that counts the rows of each evaluate call."""

    def __init__(self, catalogue):
        self.catalogue, self.sizes = catalogue, []

    def __contains__(self, key):
        return key in self.catalogue

    def __getitem__(self, key):
        return self.catalogue[key]

    def evaluate(self, name, values, **options):
        self.sizes.append(numpy.broadcast_shapes(*(numpy.shape(v) for v in values.values()))[0])
        return self.catalogue.evaluate(name, values, **options)


@pytest.mark.parametrize("chunk", [1, 2, 3, 7, main.CHUNK_ROWS])
def test_chunks_change_nothing(twin, files, chunk):
    cat = twin.load(str(files["lab"]))
    rng = numpy.random.default_rng(chunk)
    rows = [(repr(d), repr(t), repr(s)) for d, t, s in zip(rng.normal(10, 3, 20).tolist(),
                                                           rng.uniform(1, 5, 20).tolist(),
                                                           rng.uniform(0, 0.1, 20).tolist())]
    text = "d,t,sigma_t\n" + "".join(",".join(row) + "\n" for row in rows)
    whole, parts = io.StringIO(), io.StringIO()
    main.evaluate_csv(cat, "v", io.StringIO(text), whole, "in.csv", chunk=len(rows))
    counting = Counting(cat)
    main.evaluate_csv(counting, "v", io.StringIO(text), parts, "in.csv", chunk=chunk)
    assert parts.getvalue() == whole.getvalue()
    # The header's names are checked over no rows, then each call takes a chunk at most.
    assert counting.sizes == [0] + [chunk] * (len(rows) // chunk) + ([len(rows) % chunk] if len(rows) % chunk else [])
    # The line a problem is on, whichever chunk holds it: the 17th row is line 18.
    broken = text.replace(f"\n{rows[16][0]},{rows[16][1]},", f"\n{rows[16][0]},0,")
    with pytest.raises(twin.DerivationError) as caught:
        main.evaluate_csv(cat, "v", io.StringIO(broken), io.StringIO(), "in.csv", chunk=chunk)
    assert str(caught.value).startswith("in.csv, line 18: ")


# header -> (values, uncertainties, the seed each column names)
COLUMNS = [
    (["alpha", "R_inf", "sigma_alpha"], ([0, 1], [2], ["alpha", "R_inf", "alpha"])),
    (["fine_structure_constant", "sigma_alpha"], ([0], [1], ["fine_structure_constant", "alpha"])),
    (["sigma_R_inf", "rydberg_constant"], ([1], [0], ["R_inf", "rydberg_constant"])),
    (["sigma_T"], ([0], [], ["sigma_T"])),  # the Thomson cross-section's symbol: an entry, no column T
    (["sigma_e", "e"], ([1], [0], ["e", "e"])),
    (["sigma_foo"], ([], [0], ["foo"])),
    (["sigma_"], ([0], [], ["sigma_"])),
    (["x", "sigma_x", "sigma_sigma_x"], ([0], [1, 2], ["x", "x", "sigma_x"])),
]


# An entry named like another's uncertainty column: `sigma_d` is an entry, `d` the symbol of `distance`.
SHADOWED = {"format": "ostrelin-catalogue", "version": 2, "constants": [
    {"name": "distance", "symbol": "d", "units": "m", "value": 1.0},
    {"name": "sigma_d", "units": "m", "value": 2.0},
    {"name": "total", "units": "m", "expression": "distance + sigma_d"},
]}
COLUMNS_SHADOWED = [
    (["distance", "sigma_d"], ([0], [1], ["distance", "d"])),
    (["d", "sigma_d"], ([0], [1], ["d", "d"])),
    (["sigma_d"], ([0], [], ["sigma_d"])),
    (["sigma_d", "sigma_sigma_d"], ([0], [1], ["sigma_d", "sigma_d"])),
]


@pytest.mark.parametrize("header, expected", COLUMNS)
def test_which_columns_hold_uncertainties(header, expected):
    assert main.csv_columns(ostrelin.codata, header) == expected


@pytest.mark.parametrize("header, expected", COLUMNS_SHADOWED)
def test_a_column_named_like_an_entry_holds_uncertainties_when_its_seed_has_a_column(twin, header, expected):
    assert main.csv_columns(twin.loads(json.dumps(SHADOWED)), header) == expected


def test_a_repeated_column_is_refused():
    for header in (["alpha", "alpha"], ["alpha", "sigma_alpha", "sigma_alpha"]):
        with pytest.raises(ValueError, match=f"^`{header[-1]}` is given twice$"):
            main.csv_columns(ostrelin.codata, header)


@pytest.mark.parametrize("cells", [
    ["1", " 2.5 ", "1e-320", "-0.0", "nan", "-inf", "Infinity", "1_000", "\u0663"],
    ["9007199254740993", "2.2250738585072014e-308", "1.7976931348623157e308", "1e400", "0.1"],
])
def test_cells_read_as_python_reads_floats(cells):
    read = main.csv_floats(cells, "x", list(range(2, 2 + len(cells))), "in.csv")
    assert read.dtype == numpy.float64 and read.flags.c_contiguous
    assert [bits(x) for x in read.tolist()] == [bits(float(cell)) for cell in cells]


@pytest.mark.parametrize("cells, at", [(["1", "", "x"], 1), (["1", "2", "one"], 2), (["0x10"], 0), (["1,5"], 0)])
def test_the_first_cell_that_is_no_number_is_named(cells, at):
    with pytest.raises(ValueError) as caught:
        main.csv_floats(cells, "x", [10 + i for i in range(len(cells))], "in.csv")
    assert str(caught.value) == f"in.csv, line {10 + at}, column `x`: {cells[at]!r} is not a number"


@pytest.mark.parametrize("total, done, shows", [
    (None, [main.CHUNK_ROWS], False),
    (None, [main.PROGRESS_ROWS - 1, main.PROGRESS_ROWS], True),
    (main.PROGRESS_ROWS - 1, [main.PROGRESS_ROWS - 1], False),
    (main.PROGRESS_ROWS, [1], True),
    (2 * main.PROGRESS_ROWS, [main.PROGRESS_ROWS, 3 * main.PROGRESS_ROWS], True),
])
def test_progress_shows_only_for_long_inputs(monkeypatch, total, done, shows):
    err = io.StringIO()
    monkeypatch.setattr(sys, "stderr", err)
    progress = main.Progress("m_e", total)
    for rows in done:
        progress.update(rows)
    progress.close()
    text = err.getvalue()
    assert bool(text) == shows
    if shows:
        assert text.endswith("\n") and f"{done[-1]:,} " in text.splitlines()[-1].rsplit("\r", 1)[-1]
        assert text.count("[" + "#" * 30 + "]") == (total is not None and done[-1] >= total)


def test_evaluate_is_in_the_help():
    helped = run_module("ostrelin", "--help")
    assert helped.returncode == 0 and "evaluate" in helped.stdout
    own = run_module("ostrelin", "evaluate", "--help")
    assert own.returncode == 0 and "--input" in own.stdout and "sigma_" in own.stdout
