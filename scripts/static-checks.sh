#!/usr/bin/env bash
# Static checks of the C++ sources: clang-tidy (checks in .clang-tidy) and cppcheck, both of which
# must report nothing. Installs clang-tidy and cppcheck with apt-get when they are missing.
#
#   bash scripts/static-checks.sh
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$root/.venvs/static"
export PIP_DISABLE_PIP_VERSION_CHECK=1

if ! command -v clang-tidy >/dev/null || ! command -v cppcheck >/dev/null; then
    echo "== installing clang-tidy and cppcheck"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-tidy cppcheck >/dev/null
fi

# The compile command of the one translation unit: the build's flags plus the Python and NumPy headers.
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install --quiet "numpy>=2"
python_include=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
numpy_include=$("$venv/bin/python" -c 'import numpy; print(numpy.get_include())')
flags=(-std=c++17 -Wall -Wextra -ffp-contract=off -fvisibility=hidden
       -DNPY_NO_DEPRECATED_API=NPY_1_20_API_VERSION -DNPY_TARGET_VERSION=NPY_1_20_API_VERSION
       "-DZELNOR_VERSION=\"0.1\"" -isystem "$python_include" -isystem "$numpy_include")

status=0
echo "== clang-tidy ($(clang-tidy --version | grep -o 'version [0-9.]*'))"
(cd "$root" && clang-tidy --quiet src/module/zelnor.cpp -- "${flags[@]}") || status=1

echo "== cppcheck ($(cppcheck --version))"
# PyMODINIT_FUNC comes from Python's headers, which cppcheck is not given.
cppcheck --std=c++17 --language=c++ --enable=warning,style,performance,portability --inline-suppr \
    --suppress=missingIncludeSystem --error-exitcode=1 -q \
    -DPyMODINIT_FUNC='extern "C" PyObject*' "$root/src" || status=1

if [ "$status" -eq 0 ]; then
    echo "== static checks clean"
else
    echo "== static checks found problems" >&2
fi
exit "$status"
