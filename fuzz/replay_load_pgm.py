#!/usr/bin/env python3
"""Runs every file of the given corpus folders once through the load_pgm fuzz target, without libFuzzer:
scripts/fuzz-coverage.sh uses it to measure the coverage that a corpus reaches.

    python fuzz/replay_load_pgm.py fuzz/corpus/load_pgm [more folders...]
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fuzz_load_pgm import test_one_input  # noqa: E402  (the target silences the C stdout on import)


def main(folders):
    count = 0
    # The loader's "unknown file format" goes to the C stderr: keep it out of the report, but let a
    # failing input's traceback through.
    saved = os.dup(2)
    os.dup2(os.open(os.devnull, os.O_WRONLY), 2)
    try:
        for folder in folders:
            for name in sorted(os.listdir(folder)):
                path = os.path.join(folder, name)
                if os.path.isfile(path):
                    with open(path, "rb") as f:
                        data = f.read()
                    try:
                        test_one_input(data)
                    except BaseException:
                        os.dup2(saved, 2)
                        print(f"input {path} fails:", file=sys.stderr)
                        raise
                    count += 1
    finally:
        os.dup2(saved, 2)
    print(f"replayed {count} inputs", file=sys.stderr)


if __name__ == "__main__":
    main(sys.argv[1:])
