#!/usr/bin/env bash
# Builds zelnor with AddressSanitizer and UndefinedBehaviorSanitizer into build/sanitize, installs it
# into its own environment .venvs/sanitize and runs the whole pytest suite against it, with the ASan
# runtime preloaded into the interpreter (which is not itself instrumented).
#
#   bash scripts/sanitize.sh              whole suite
#   bash scripts/sanitize.sh -k masks     extra arguments go to pytest
#
# Any memory error or undefined behaviour aborts the run with a report on standard error.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$root/.venvs/sanitize"
build="$root/build/sanitize"
deps=("numpy>=2" "meson-python>=0.15" "meson>=1.4" ninja pytest hypothesis pillow tifffile imagecodecs scikit-image matplotlib mypy)
export PIP_DISABLE_PIP_VERSION_CHECK=1

asan=$(gcc -print-file-name=libasan.so)
if [ ! -e "$asan" ]; then
    echo "sanitize: gcc has no libasan.so (install the gcc sanitizer runtimes)" >&2
    exit 2
fi

[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install --quiet "${deps[@]}"

# No build isolation, so that the build folder stays valid between runs and rebuilds are incremental.
# -fno-sanitize-recover makes the first undefined-behaviour report fatal instead of a warning.
echo "== building with -fsanitize=address,undefined into $build"
"$venv/bin/python" -m pip install --quiet --no-deps --no-build-isolation --force-reinstall \
    -Cbuild-dir="$build" \
    -Csetup-args=-Dbuildtype=debugoptimized \
    -Csetup-args=-Db_sanitize=address,undefined \
    -Csetup-args=-Db_lundef=false \
    "-Csetup-args=-Dcpp_args=-fno-omit-frame-pointer -fno-sanitize-recover=undefined" \
    "$root"

# detect_leaks=0: the interpreter never frees much of what it allocates at exit, which would drown
# the run in reports; tests/test_leaks.py checks our own leaks by counting instead.
# allocator_may_return_null=1: an impossible allocation must surface as MemoryError, as it does
# without the sanitizer, instead of aborting the process.
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=1:check_initialization_order=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Python objects through malloc, so that ASan sees them too.
export PYTHONMALLOC=malloc
# Lets the suite skip the one test that drives a third-party extension (matplotlib's
# font code) which cannot run under the preloaded runtime.
export ZELNOR_SANITIZE=1

echo "== running the test suite under ASan/UBSan ($asan)"
status=0
(cd "$root/tests" && LD_PRELOAD="$asan" "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" .) || status=$?
if [ "$status" -eq 5 ]; then
    echo "== sanitize: pytest collected no tests" >&2
    exit 1
fi
exit "$status"
