#!/usr/bin/env bash
# Coverage-guided fuzzing of load_pgm for a bounded time (default 60 s), then the property-based
# fuzzer over every function for the same time per function.
#
#   bash scripts/fuzz.sh                 60 s each
#   bash scripts/fuzz.sh 600             10 minutes each
#   FUZZ_ONLY=pgm bash scripts/fuzz.sh   only the load_pgm fuzzer (FUZZ_ONLY=properties: only the other)
#   FUZZ_PROPERTY_SECONDS=20 bash scripts/fuzz.sh 60   60 s for load_pgm, 20 s per function after
#   FUZZ_MERGE=1 FUZZ_ONLY=pgm bash scripts/fuzz.sh 600  a long run, then the inputs that reached new
#                                                      coverage are merged into fuzz/corpus/load_pgm
#
# The extension is built with clang's libFuzzer coverage and AddressSanitizer + UBSan into
# build/fuzz and installed into .venvs/fuzz; atheris's sanitizer runtime is preloaded. clang comes
# from Debian's packages when missing (scripts/install-clang.sh); only where it cannot be installed
# does the script fall back to gcc's sanitizers, where libFuzzer sees no coverage inside the
# extension and mutates blindly. New corpus entries go to build/fuzz-corpus; a crashing input is
# saved as build/fuzz-findings/crash-* (copy it into fuzz/corpus/load_pgm/ with its fix).
# scripts/fuzz-coverage.sh measures the line and branch coverage that the corpus reaches.
set -euo pipefail

seconds=${1:-60}
# Seconds per function for the property fuzzer (default: the same as the load_pgm fuzzer).
property_seconds=${FUZZ_PROPERTY_SECONDS:-$seconds}
only=${FUZZ_ONLY:-all}
merge=${FUZZ_MERGE:-0}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$root/.venvs/fuzz"
build="$root/build/fuzz"
export PIP_DISABLE_PIP_VERSION_CHECK=1

[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install --quiet "numpy>=2" "meson-python>=0.15" "meson>=1.4" ninja atheris pytest hypothesis

setup=(-Cbuild-dir="$build" -Csetup-args=-Dbuildtype=debugoptimized -Csetup-args=-Db_lundef=false)
coverage=0
if bash "$root/scripts/install-clang.sh"; then
    coverage=1
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
    echo "== WARNING: clang could not be installed: gcc ASan/UBSan build WITHOUT coverage feedback into $build" >&2
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
        log="$root/build/fuzz-findings/load_pgm.log"
        # -rss_limit_mb also limits single allocations: a header must not make the loader allocate
        # far beyond what the file can fill. libFuzzer runs the script itself again for -merge, hence
        # the interpreter of the environment first on PATH.
        limits=(-timeout=10 -rss_limit_mb=2048 -max_len=4096)
        PATH="$venv/bin:$PATH" LD_PRELOAD="$preload" "$venv/bin/python" "$root/fuzz/fuzz_load_pgm.py" \
            -max_total_time="$seconds" "${limits[@]}" -print_final_stats=1 \
            -artifact_prefix="$root/build/fuzz-findings/" \
            "$root/build/fuzz-corpus" "$root/fuzz/corpus/load_pgm" 2> "$log" || status=$?
        grep -aE "^(INFO: Loaded [0-9]+ modules|stat::number_of_executed_units|stat::peak_rss_mb|Done|==[0-9]+==ERROR|SUMMARY)" \
            "$log" || true
        grep -aoE "DONE[[:space:]]+cov: [0-9]+ ft: [0-9]+" "$log" || true
        if [ "$status" -ne 0 ]; then
            echo "== load_pgm: FINDING, see build/fuzz-findings/load_pgm.log" >&2
        elif [ "$coverage" -eq 1 ] && ! grep -aqE "^INFO: Loaded [0-9]+ modules +\([1-9][0-9]* inline 8-bit counters\)" "$log"; then
            echo "== load_pgm: the clang build registered no coverage counters with libFuzzer" >&2
            status=1
        else
            echo "== load_pgm: ran $seconds s clean"
        fi
        if [ "$status" -eq 0 ] && [ "$merge" = 1 ]; then
            # Only inputs that add coverage features to the committed corpus join it.
            PATH="$venv/bin:$PATH" LD_PRELOAD="$preload" "$venv/bin/python" "$root/fuzz/fuzz_load_pgm.py" \
                -merge=1 "${limits[@]}" "$root/fuzz/corpus/load_pgm" "$root/build/fuzz-corpus" 2> "$log.merge" \
                || status=$?
            grep -a "MERGE-OUTER: [0-9]* new files" "$log.merge" || true
        fi
        rm -f "$ZELNOR_FUZZ_FILE"
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
