#!/usr/bin/env bash
# Sets up, builds and tests zelnor from a fresh clone: one virtual environment
# per interpreter / NumPy pairing under .venvs/, the package built once per
# interpreter as a wheel (against NumPy 2 headers) and installed, then pytest.
#
#   bash scripts/test.sh            all pairings
#   bash scripts/test.sh -k grid    extra arguments go to pytest
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
envs="$root/.venvs"
wheels="$root/.venvs/wheels"
mkdir -p "$envs" "$wheels"
test_deps=(pytest hypothesis pillow tifffile imagecodecs scikit-image matplotlib mypy "dask[distributed]")
export PIP_DISABLE_PIP_VERSION_CHECK=1
export ZELNOR_CI=1  # hypothesis draws its examples from a fixed seed (tests/conftest.py)

# pip's configuration here names local indexes that may be absent; drop its warnings about them.
pip_quiet() { "$@" 2> >(grep -v '^WARNING: Location .* is ignored' >&2); }

find_python39() {
    local candidate
    for candidate in "$(command -v python3.9 || true)" "$HOME"/.pyenv/versions/3.9*/bin/python3.9 \
        /usr/bin/python3.9 /usr/local/bin/python3.9; do
        if [ -n "$candidate" ] && [ -x "$candidate" ] && "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 9)' 2>/dev/null; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

# build_wheel PYTHON -> prints the wheel's path (built once per interpreter tag)
build_wheel() {
    local python=$1 tag dir
    tag=$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
    dir="$wheels/$tag"
    rm -rf "$dir"
    mkdir -p "$dir"
    pip_quiet "$python" -m pip wheel --quiet --no-deps --wheel-dir "$dir" "$root" >&2
    ls "$dir"/zelnor-*.whl
}

# run_suite NAME PYTHON NUMPY_REQUIREMENT WHEEL [pytest args...]
run_suite() {
    local name=$1 python=$2 numpy_req=$3 wheel=$4
    shift 4
    local venv="$envs/$name"
    echo "== $name: $("$python" --version 2>&1), $numpy_req"
    [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
    pip_quiet "$venv/bin/python" -m pip install --quiet "$numpy_req" "${test_deps[@]}"
    pip_quiet "$venv/bin/python" -m pip install --quiet --no-deps --force-reinstall "$wheel"
    local status=0
    # tests/test_typing.py installs the same wheel into a fresh environment, as a user would.
    (cd "$root/tests" && ZELNOR_WHEEL="$wheel" "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" .) || status=$?
    if [ "$status" -eq 5 ]; then
        echo "== $name: pytest collected no tests" >&2
        return 1
    fi
    return "$status"
}

failed=0
default_python=$(command -v python3)
default_wheel=$(build_wheel "$default_python")
run_suite default "$default_python" "numpy>=2" "$default_wheel" "$@" || failed=1

if python39=$(find_python39); then
    wheel39=$(build_wheel "$python39")
    run_suite py39 "$python39" "numpy>=2" "$wheel39" "$@" || failed=1
    run_suite py39-numpy1 "$python39" "numpy==1.26.*" "$wheel39" "$@" || failed=1
else
    echo "== CPython 3.9 is not installed on this machine: its runs were NOT made (default python3 only)."
fi

# The hardening runs: the suite under ASan/UBSan, the threaded tests under TSan, the static checks, and both fuzzers for a
# bounded time. ZELNOR_TEST_QUICK=1 leaves them out (the plain test runs only).
if [ -z "${ZELNOR_TEST_QUICK:-}" ]; then
    echo "== sanitizer run"
    bash "$root/scripts/sanitize.sh" "$@" || failed=1
    echo "== thread sanitizer run"
    bash "$root/scripts/tsan.sh" || failed=1
    echo "== static checks"
    bash "$root/scripts/static-checks.sh" || failed=1
    echo "== fuzzing (load_pgm 60 s, then every function 10 s)"
    FUZZ_PROPERTY_SECONDS=10 bash "$root/scripts/fuzz.sh" 60 || failed=1
fi

if [ "$failed" -ne 0 ]; then
    echo "== some test runs failed"
    exit 1
fi
echo "== all test runs passed"
