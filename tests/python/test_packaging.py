"""What the wheel ships and what the extension exports."""

import os
import shutil
import subprocess
import sys
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


def test_the_console_command_is_python_m_ostrelin():
    command = Path(sys.executable).with_name("ostrelin")
    if not command.exists():
        pytest.skip("the package was not installed by pip")
    for args in (["phi"], ["Phi"], ["find", "topo", "--json"], ["--version"]):
        ran = subprocess.run([command, *args], capture_output=True, text=True, timeout=120)
        module = subprocess.run([sys.executable, "-m", "ostrelin", *args], capture_output=True, text=True, timeout=120)
        assert (ran.returncode, ran.stdout, ran.stderr) == (module.returncode, module.stdout, module.stderr), args


@pytest.mark.skipif(shutil.which("cmake") is None, reason="needs cmake")
def test_without_simdjson_the_build_leaves_the_catalogue_to_the_pure_twin(tmp_path):
    project = Path(__file__).resolve().parents[2]
    configure = subprocess.run(
        ["cmake", "-S", project, "-B", tmp_path, "-DCMAKE_DISABLE_FIND_PACKAGE_simdjson=TRUE",
         f"-DPython_EXECUTABLE={sys.executable}"], capture_output=True, text=True, timeout=300)
    assert configure.returncode == 0, configure.stderr
    said = [line for line in configure.stderr.splitlines() if "simdjson" in line]
    assert said == ['ostrelin: simdjson not found (Debian: libsimdjson-dev): building without the native catalogue '
                    'module; the pure-Python catalogue answers (ostrelin.implementation is "python")']
    targets = subprocess.run(["cmake", "--build", tmp_path, "--target", "help"], capture_output=True, text=True,
                             check=True).stdout
    assert "_veldra_core" in targets and "_veldra_catalogue" not in targets
    # What such an install imports: the core, and the catalogue in pure Python.
    code = ("import sys; sys.modules['ostrelin._veldra_catalogue'] = None; import ostrelin; "
            "print(ostrelin.implementation, ostrelin.constants.derive('topo_gen_check'), ostrelin.Get('b3')['value'])")
    ran = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert ran.stdout == "python 3.0 24.0\n", ran.stderr
