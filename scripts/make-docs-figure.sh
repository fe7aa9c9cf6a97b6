#!/usr/bin/env bash
# Regenerates docs/figure.png and docs/report-excerpt.txt (the README's
# walkthrough) from `zelnor simulate` with its defaults.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/demo.sh" > /dev/null
tmp=$(mktemp -d)
"$root/.venvs/demo/bin/zelnor" simulate --out "$tmp" | grep -v "^wrote " > "$root/docs/report-excerpt.txt"
cp "$tmp/figure.png" "$root/docs/figure.png"
rm -rf "$tmp"
