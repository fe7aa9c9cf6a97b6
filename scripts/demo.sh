#!/usr/bin/env bash
# Sets up a virtual environment with zelnor installed and runs the short example.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$root/.venvs/demo"
export PIP_DISABLE_PIP_VERSION_CHECK=1
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install --quiet "$root"
cd "$root/examples" && "$venv/bin/python" quickstart.py
