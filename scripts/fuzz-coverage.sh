#!/usr/bin/env bash
# Line and branch coverage that the load_pgm fuzz corpus reaches in the PGM code.
#
#   bash scripts/fuzz-coverage.sh                       the committed corpus fuzz/corpus/load_pgm
#   bash scripts/fuzz-coverage.sh build/fuzz-corpus     that folder as well (a fuzz run's new entries)
#
# Builds the extension with clang's source-based coverage (-fprofile-instr-generate
# -fcoverage-mapping, no optimisation, no sanitizers) into build/fuzz-coverage, runs every corpus file
# once through the fuzz target (fuzz/replay_load_pgm.py) and prints llvm-cov's report for
# src/imageio/pgm.cpp: the whole file, then per function. The annotated source, with the execution
# count of every line and branch, goes to build/fuzz-coverage/pgm.txt.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$root/.venvs/fuzz"
build="$root/build/fuzz-coverage"
export PIP_DISABLE_PIP_VERSION_CHECK=1

bash "$root/scripts/install-clang.sh"
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install --quiet "numpy>=2" "meson>=1.4" ninja atheris

# The build names sources relative to its folder: map them back to the source tree for llvm-cov.
flags="-fprofile-instr-generate -fcoverage-mapping -fcoverage-prefix-map=../..=$root"
rm -rf "$build"
CC=clang CXX=clang++ PATH="$venv/bin:$PATH" "$venv/bin/meson" setup "$build" "$root" --buildtype=debug \
    "-Dcpp_args=$flags" "-Dcpp_link_args=$flags" >/dev/null
PATH="$venv/bin:$PATH" ninja -C "$build" >/dev/null
module=$(ls "$build"/zelnor.cpython-*.so)

rm -rf "$build/profiles"
mkdir -p "$build/profiles"
LLVM_PROFILE_FILE="$build/profiles/%p.profraw" PYTHONPATH="$build" ZELNOR_FUZZ_FILE="$build/scratch.pgm" \
    "$venv/bin/python" "$root/fuzz/replay_load_pgm.py" "$root/fuzz/corpus/load_pgm" "$@"
rm -f "$build/scratch.pgm"
llvm-profdata merge -sparse -o "$build/load_pgm.profdata" "$build"/profiles/*.profraw

cov=(-instr-profile="$build/load_pgm.profdata" "$module")
echo "== coverage of src/imageio/pgm.cpp"
llvm-cov report "${cov[@]}" "$root/src/imageio/pgm.cpp"
echo "== per function (lines and branches covered / total); the loader is what the fuzzer can reach"
llvm-cov report -show-functions "${cov[@]}" "$root/src/imageio/pgm.cpp" | grep '^zelnor.cpp:' |
    sed -e 's/^zelnor\.cpp://' | c++filt | sed -e 's/zelnor::(anonymous namespace):://g' |
    awk '{ lines = $(NF-5); lmiss = $(NF-4); branches = $(NF-2); bmiss = $(NF-1)
           name = $0; sub(/( +[0-9.%]+){9} *$/, "", name)
           # Writer kernels are one template instance per sample format, each with its lambda.
           if (match(name, /::\$_[0-9]+/)) { tag = substr(name, RSTART + 2, RLENGTH - 2) } else { tag = "" }
           if (name ~ /^int write_pgm</) { sub(/^int write_pgm</, "", name); sub(/\(.*/, "", name)
                                           name = "write_pgm<" name " " tag ">" }
           else if (tag != "") { sub(/\(.*/, "", name); name = name " lambda " tag }
           else { sub(/\(.*/, "", name) }
           printf "  %-34s lines %3d/%-3d branches %3d/%-3d\n", name, lines - lmiss, lines, branches - bmiss, branches
           if (name ~ /^(open_pgm|read_pgm|to_big_endian)/) { L += lines; LM += lmiss; B += branches; BM += bmiss } }
         END { printf "  %-34s lines %3d/%-3d (%.1f%%), branches %d/%d (%.1f%%)\n", "loader (the 5 above)", L - LM, L,
               100 * (L - LM) / L, B - BM, B, 100 * (B - BM) / B }'
llvm-cov show -show-branches=count -show-line-counts-or-regions "${cov[@]}" "$root/src/imageio/pgm.cpp" \
    > "$build/pgm.txt"
echo "== annotated source: build/fuzz-coverage/pgm.txt"
