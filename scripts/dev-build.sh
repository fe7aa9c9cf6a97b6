#!/usr/bin/env bash
# Incremental developer build of the extension into a build folder (default
# build/dev); run the tests against it with
#   PYTHONPATH=build/dev:python python3 -m pytest tests
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-"$root/build/dev"}
[ -f "$build/build.ninja" ] || meson setup "$build" "$root" >/dev/null
ninja -C "$build"
