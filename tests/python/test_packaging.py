"""What the wheel ships and what the extension exports."""

import os
import shutil
import subprocess
import zipfile
from pathlib import Path

import pytest

import ostrelin._veldra_core as core


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
def test_extension_exports_only_its_entry_point():
    out = subprocess.run(["nm", "-D", "--defined-only", core.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit__veldra_core"]


@pytest.mark.skipif(bool(os.environ.get("OSTRELIN_SANITIZER")), reason="sanitizers record source paths of their own")
def test_extension_does_not_carry_the_build_machines_paths():
    # Fault reports name sources from the project root, and the same tree
    # builds the same bytes wherever it lies.
    project = Path(__file__).resolve().parents[2]
    assert bytes(project) not in Path(core.__file__).read_bytes()


def test_package_ships_stubs_and_marker():
    package = Path(core.__file__).parent
    assert (package / "py.typed").is_file()
    assert (package / "_veldra_core.pyi").is_file()


@pytest.mark.skipif("OSTRELIN_WHEEL" not in os.environ, reason="set OSTRELIN_WHEEL to the built wheel")
def test_wheel_holds_the_package_only():
    names = zipfile.ZipFile(os.environ["OSTRELIN_WHEEL"]).namelist()
    package = {n for n in names if not n.startswith("ostrelin-2.3.0.dist-info/")}
    sources = ["__init__", "__main__", "_catalogue", "_derive", "_lookup", "_native", "_pyostrelin", "_records"]
    assert package == {
        *(f"ostrelin/{source}.py" for source in sources),
        "ostrelin/_veldra_core.pyi",
        "ostrelin/py.typed",
        "ostrelin/" + Path(core.__file__).name,
    }
