#!/usr/bin/env bash
# Makes sure clang can build the extension with libFuzzer coverage and the sanitizers, and that the
# LLVM coverage tools are there; installs Debian's clang, compiler-rt and llvm packages when not.
# Exits non-zero (with the reason) when that cannot be done, e.g. without root or apt-get.
#
#   bash scripts/install-clang.sh
set -euo pipefail

# Compiling with these flags needs the compiler-rt ignore lists; linking a shared module needs no
# sanitizer runtime (the fuzz run preloads atheris's).
can_instrument() {
    command -v clang++ >/dev/null && command -v llvm-profdata >/dev/null && command -v llvm-cov >/dev/null &&
        echo 'int f(int x) { return x > 1 ? x : 0; }' |
        clang++ -x c++ -shared -fPIC -fsanitize=address,undefined,fuzzer-no-link -o /dev/null - 2>/dev/null
}

can_instrument && exit 0

if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
    echo "clang with libFuzzer coverage is missing and cannot be installed here (needs root and apt-get)" >&2
    exit 1
fi
echo "== installing clang, compiler-rt and the LLVM tools from Debian's packages"
apt-get update -qq
# Debian 12 ships compiler-rt in libclang-rt-dev; older releases carry it inside clang's own packages.
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-dev llvm >/dev/null ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang llvm >/dev/null
if ! can_instrument; then
    echo "clang was installed but cannot build with -fsanitize=address,undefined,fuzzer-no-link" >&2
    exit 1
fi
