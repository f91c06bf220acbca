"""What the wheel ships and what the extension exports."""

import os
import shutil
import subprocess
import zipfile
from pathlib import Path

import pytest

import ostrelin._veldra_catalogue as catalogue
import ostrelin._veldra_core as core

MODULES = [core, catalogue]


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_extension_exports_only_its_entry_point(module):
    out = subprocess.run(["nm", "-D", "--defined-only", module.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_" + module.__name__.rsplit(".", 1)[1]]


@pytest.mark.skipif(bool(os.environ.get("OSTRELIN_SANITIZER")), reason="sanitizers record source paths of their own")
@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_extension_does_not_carry_the_build_machines_paths(module):
    # Fault reports name sources from the project root, and the same tree
    # builds the same bytes wherever it lies.
    project = Path(__file__).resolve().parents[2]
    assert bytes(project) not in Path(module.__file__).read_bytes()


def test_package_ships_stubs_and_marker():
    package = Path(core.__file__).parent
    assert (package / "py.typed").is_file()
    assert (package / "_veldra_core.pyi").is_file()
    assert (package / "_veldra_catalogue.pyi").is_file()


@pytest.mark.skipif("OSTRELIN_WHEEL" not in os.environ, reason="set OSTRELIN_WHEEL to the built wheel")
def test_wheel_holds_the_package_only():
    names = zipfile.ZipFile(os.environ["OSTRELIN_WHEEL"]).namelist()
    # A repaired wheel may list its folders too; only files are compared.
    files = [n for n in names if not n.endswith("/")]
    package = {n for n in files if not n.startswith(("ostrelin-2.3.0.dist-info/", "ostrelin.libs/"))}
    # Every file of the package's source tree, and the two extensions.
    tree = Path(__file__).resolve().parents[2] / "python"
    sources = {p.relative_to(tree).as_posix() for p in (tree / "ostrelin").rglob("*") if p.is_file()}
    sources = {s for s in sources if "__pycache__" not in s}
    assert package == sources | {f"ostrelin/{Path(m.__file__).name}" for m in MODULES}
    # The wheel carries the simdjson it links, and the extension finds it there.
    assert [n for n in names if n.startswith("ostrelin.libs/")] and any("simdjson" in n for n in names)


@pytest.mark.skipif(shutil.which("ldd") is None, reason="needs ldd")
def test_simdjson_comes_with_the_package():
    if os.environ.get("OSTRELIN_SANITIZER") or "OSTRELIN_WHEEL" not in os.environ:
        pytest.skip("only the repaired wheel carries its libraries")
    out = subprocess.run(["ldd", catalogue.__file__], capture_output=True, text=True, check=True).stdout
    line = next(line for line in out.splitlines() if "simdjson" in line)
    assert "ostrelin.libs" in line, line
