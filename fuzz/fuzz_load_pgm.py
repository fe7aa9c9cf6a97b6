#!/usr/bin/env python3
"""Coverage-guided fuzzing of zelnor.load_pgm with atheris (libFuzzer).

Each input is written to a file and loaded twice. Allowed: OSError, or a 2-D C-contiguous uint8 or
uint16 array that holds no more bytes than the file has after its header, and is the same for both
loads (so no uninitialised memory reaches the caller). Anything else - another exception, a crash,
a sanitizer report, a hang or a runaway allocation - is a finding.

Run it through scripts/fuzz.sh, which builds the extension with coverage instrumentation and the
sanitizers and preloads the matching runtime. Arguments after the script go to libFuzzer.
"""
import os
import sys
import tempfile

import atheris
import numpy as np

import zelnor

# The loader echoes header bytes to the C stdout: keep them out of libFuzzer's report.
_devnull = os.open(os.devnull, os.O_WRONLY)
os.dup2(_devnull, 1)

# libFuzzer ends the process with exit(): scripts/fuzz.sh names the scratch file and removes it.
_PATH = os.environ.get("ZELNOR_FUZZ_FILE")
if not _PATH:
    _fd, _PATH = tempfile.mkstemp(prefix="zelnor-fuzz-", suffix=".pgm")
    os.close(_fd)


def load(data):
    with open(_PATH, "wb") as f:
        f.write(data)
    try:
        return zelnor.load_pgm(_PATH)
    except OSError:
        return None


def test_one_input(data):
    first = load(data)
    if first is None:
        return
    assert type(first) is np.ndarray and first.ndim == 2 and first.flags.c_contiguous, repr(first)
    assert first.dtype in (np.uint8, np.uint16), first.dtype
    # The magic and the shortest header of a non-empty image ("1 1\n\n": an empty maxval reads as 0)
    # take at least 8 bytes; the raster comes from the rest.
    assert first.nbytes <= max(len(data) - 8, 0), f"{first.nbytes} raster bytes from a {len(data)}-byte file"
    second = load(data)
    assert second is not None and second.dtype == first.dtype and second.shape == first.shape
    assert first.tobytes() == second.tobytes(), "two loads of one file differ"


def main():
    if not hasattr(zelnor, "load_pgm"):
        print("zelnor has no load_pgm yet: nothing to fuzz", file=sys.stderr)
        return
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
