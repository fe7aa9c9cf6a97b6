"""Runs every benchmark script in this folder, one after the other, with the
interpreter that runs this script."""
import pathlib
import subprocess
import sys

here = pathlib.Path(__file__).resolve().parent
status = 0
for script in sorted(here.glob("bench_*.py")):
    print(f"\n===== {script.name}", flush=True)
    status |= subprocess.run([sys.executable, str(script)], cwd=here).returncode
sys.exit(status)
