#!/usr/bin/env bash
# Builds zelnor with ThreadSanitizer into build/tsan, installs it into its own environment
# .venvs/tsan and runs the threaded tests against it, with the TSan runtime preloaded into the
# interpreter (which is not itself instrumented).
#
#   bash scripts/tsan.sh              tests/test_threads.py
#   bash scripts/tsan.sh -k noise     extra arguments go to pytest
#
# Any data race in zelnor's code ends the run with a report on standard error.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$root/.venvs/tsan"
build="$root/build/tsan"
deps=("numpy>=2" "meson-python>=0.15" "meson>=1.4" ninja pytest)
export PIP_DISABLE_PIP_VERSION_CHECK=1

tsan=$(gcc -print-file-name=libtsan.so)
if [ ! -e "$tsan" ] && [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "== installing gcc's ThreadSanitizer runtime"
    major=$(gcc -dumpversion | cut -d. -f1)
    apt-get install -y -qq "libtsan$((major < 12 ? 0 : 2))" >/dev/null 2>&1 ||
        { apt-get update -qq >/dev/null && apt-get install -y -qq "libtsan$((major < 12 ? 0 : 2))" >/dev/null; }
    tsan=$(gcc -print-file-name=libtsan.so)
fi
if [ ! -e "$tsan" ]; then
    echo "tsan: gcc has no libtsan.so (install the gcc sanitizer runtimes)" >&2
    exit 2
fi

# pip's configuration here names local indexes that may be absent; drop its warnings about them.
pip_quiet() { "$@" 2> >(grep -v '^WARNING: Location .* is ignored' >&2); }

[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
pip_quiet "$venv/bin/python" -m pip install --quiet "${deps[@]}"

echo "== building with -fsanitize=thread into $build"
pip_quiet "$venv/bin/python" -m pip install --quiet --no-deps --no-build-isolation --force-reinstall \
    -Cbuild-dir="$build" \
    -Csetup-args=-Dbuildtype=debugoptimized \
    -Csetup-args=-Db_sanitize=thread \
    -Csetup-args=-Db_lundef=false \
    "-Csetup-args=-Dcpp_args=-fno-omit-frame-pointer" \
    "$root"

# The interpreter and NumPy are not instrumented: TSan sees only zelnor's own accesses, the
# memory and thread calls it intercepts, and the interpreter lock (a pthread mutex and condition)
# as the synchronisation between them. The suppressions cover what the interpreter itself does
# through intercepted calls, never zelnor's code.
# Reports go to files, since pytest captures standard error and a halted run would lose them.
reports="$build/tsan-report"
rm -f "$reports".*
export TSAN_OPTIONS="suppressions=$root/scripts/tsan.supp:halt_on_error=1:exitcode=66:second_deadlock_stack=1:report_signal_unsafe=0:log_path=$reports"
export PYTHONMALLOC=malloc
# More rounds than the plain run: a race is reported only when two calls actually overlap.
export ZELNOR_THREAD_REPEATS=${ZELNOR_THREAD_REPEATS:-12}

echo "== running the threaded tests under ThreadSanitizer ($tsan)"
status=0
# Without address-space randomisation: TSan's fixed memory layout clashes with the wide random
# mmap bases of recent kernels ("unexpected memory mapping").
norandom=()
if command -v setarch >/dev/null && setarch "$(uname -m)" -R true 2>/dev/null; then
    norandom=(setarch "$(uname -m)" -R)
fi
(cd "$root/tests" && "${norandom[@]}" env LD_PRELOAD="$tsan" "$venv/bin/python" -m pytest -q -p no:cacheprovider \
    test_threads.py "$@") || status=$?
if compgen -G "$reports.*" >/dev/null; then
    cat "$reports".* >&2
    echo "== tsan: ThreadSanitizer reported (above)" >&2
    exit 1
fi
if [ "$status" -eq 5 ]; then
    echo "== tsan: pytest collected no tests" >&2
    exit 1
fi
exit "$status"
