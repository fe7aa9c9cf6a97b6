#!/usr/bin/env bash
# Coverage-guided fuzzing of load_pgm for a bounded time (default 60 s), then the property-based
# fuzzer over every function for the same time per function.
#
#   bash scripts/fuzz.sh                 60 s each
#   bash scripts/fuzz.sh 600             10 minutes each
#   FUZZ_ONLY=pgm bash scripts/fuzz.sh   only the load_pgm fuzzer (FUZZ_ONLY=properties: only the other)
#   FUZZ_PROPERTY_SECONDS=20 bash scripts/fuzz.sh 60   60 s for load_pgm, 20 s per function after
#
# The extension is built with clang's libFuzzer coverage and AddressSanitizer + UBSan into
# build/fuzz and installed into .venvs/fuzz; atheris's matching sanitizer runtime is preloaded.
# Without clang it falls back to gcc's sanitizers, where libFuzzer sees no coverage inside the
# extension and mutates blindly. New corpus entries go to build/fuzz-corpus; a crashing input is
# saved as build/fuzz-findings/crash-* (copy it into fuzz/corpus/load_pgm/ with its fix).
set -euo pipefail

seconds=${1:-60}
# Seconds per function for the property fuzzer (default: the same as the load_pgm fuzzer).
property_seconds=${FUZZ_PROPERTY_SECONDS:-$seconds}
only=${FUZZ_ONLY:-all}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$root/.venvs/fuzz"
build="$root/build/fuzz"
export PIP_DISABLE_PIP_VERSION_CHECK=1

[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install --quiet "numpy>=2" "meson-python>=0.15" "meson>=1.4" ninja atheris pytest hypothesis

setup=(-Cbuild-dir="$build" -Csetup-args=-Dbuildtype=debugoptimized -Csetup-args=-Db_lundef=false)
if command -v clang++ >/dev/null; then
    runtime_dir=$("$venv/bin/python" -c 'import atheris; print(atheris.path())')
    preload="$runtime_dir/asan_with_fuzzer.so"
    echo "== building with clang, libFuzzer coverage and ASan/UBSan into $build"
    # A shared module links no sanitizer runtime: it comes from the preloaded library.
    # (vptr and function checks need the C++ UBSan runtime, absent from the preloaded one.)
    flags="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize=vptr,function -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
    CC=clang CXX=clang++ "$venv/bin/python" -m pip install --quiet --no-deps --no-build-isolation --force-reinstall \
        "${setup[@]}" "-Csetup-args=-Dcpp_args=$flags" "-Csetup-args=-Dcpp_link_args=$flags" "$root"
else
    preload=$(gcc -print-file-name=libasan.so)
    echo "== clang++ not found: gcc ASan/UBSan build without coverage feedback into $build"
    "$venv/bin/python" -m pip install --quiet --no-deps --no-build-isolation --force-reinstall \
        "${setup[@]}" -Csetup-args=-Db_sanitize=address,undefined \
        "-Csetup-args=-Dcpp_args=-fno-omit-frame-pointer -fno-sanitize-recover=undefined" "$root"
fi

export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0

if [ "$only" != properties ]; then
    has_loader=0
    LD_PRELOAD="$preload" "$venv/bin/python" -c 'import sys, zelnor; sys.exit(0 if hasattr(zelnor, "load_pgm") else 3)' \
        || has_loader=$?
    if [ "$has_loader" -eq 3 ]; then
        echo "== load_pgm: zelnor has no load_pgm yet, coverage-guided fuzzing skipped"
    elif [ "$has_loader" -ne 0 ]; then
        echo "== load_pgm: the instrumented zelnor does not import" >&2
        status=1
    else
        mkdir -p "$root/build/fuzz-corpus" "$root/build/fuzz-findings"
        export ZELNOR_FUZZ_FILE="$root/build/fuzz/scratch.pgm"
        echo "== load_pgm: fuzzing for $seconds s (seed corpus fuzz/corpus/load_pgm)"
        # -rss_limit_mb also limits single allocations: a header must not make the loader allocate
        # far beyond what the file can fill.
        LD_PRELOAD="$preload" "$venv/bin/python" "$root/fuzz/fuzz_load_pgm.py" \
            -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 \
            -artifact_prefix="$root/build/fuzz-findings/" \
            "$root/build/fuzz-corpus" "$root/fuzz/corpus/load_pgm" 2> "$root/build/fuzz-findings/load_pgm.log" || status=$?
        grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb|Done|==[0-9]+==ERROR|SUMMARY)" \
            "$root/build/fuzz-findings/load_pgm.log" || true
        rm -f "$ZELNOR_FUZZ_FILE"
        if [ "$status" -ne 0 ]; then
            echo "== load_pgm: FINDING, see build/fuzz-findings/load_pgm.log" >&2
        else
            echo "== load_pgm: ran $seconds s clean"
        fi
    fi
fi

if [ "$only" != pgm ]; then
    echo "== properties: $property_seconds s per function"
    report="$root/build/fuzz-findings/properties.txt"
    mkdir -p "$(dirname "$report")"
    : > "$report"
    (cd "$root/tests" && LD_PRELOAD="$preload" ZELNOR_FUZZ_SECONDS="$property_seconds" ZELNOR_FUZZ_REPORT="$report" \
        "$venv/bin/python" -m pytest -q -p no:cacheprovider test_properties.py) || status=1
    cat "$report"
fi
exit "$status"
