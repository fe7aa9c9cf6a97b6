#!/usr/bin/env bash
# Sets up .venvs/demo with zelnor (matplotlib for the figure, Pillow and tifffile for camera files), simulates a
# measurement with `zelnor simulate`, then measures the frames it wrote with
# `zelnor measure`. Outputs go to demo-out/ (simulate) and demo-out/measure/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$root/.venvs/demo"
export PIP_DISABLE_PIP_VERSION_CHECK=1
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install --quiet "$root[figure,command]" 2> >(grep -v '^WARNING: Location .* is ignored' >&2)
out="$root/demo-out"
"$venv/bin/zelnor" simulate --out "$out"
echo
"$venv/bin/zelnor" measure "$out"/frame_0.pgm "$out"/frame_1.pgm "$out"/frame_2.pgm "$out"/frame_3.pgm \
    --out "$out/measure"
