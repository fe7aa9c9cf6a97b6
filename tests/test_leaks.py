"""Every function called many times, on success and on each error path: the reference counts of
the argument objects and the process's memory stay flat.

tracemalloc sees Python objects and NumPy's array data; RSS sees what C++ code allocates itself,
so the success cases use large images or scratch rows that a leak per call would make visible.
One entry of CASES per function; entries of functions the module does not have yet are skipped.
"""
import atexit
import gc
import os
import shutil
import sys
import tempfile
import tracemalloc

import numpy as np
import pytest

import zelnor
from conftest import layouts

WARM_UP = 30
CALLS = 300
# A leak of this much per call on average fails the traced-memory check (small leaked objects).
TRACED_BYTES_PER_CALL = 24
# Slack for the resident-set check (allocator caches, NumPy's small-buffer cache, page rounding).
RSS_SLACK = 24 * 2**20
MAYBE = "either"  # the outcome is the implementation's choice: any exception or a result
SCRATCH = tempfile.mkdtemp(prefix="zelnor-leaks-")
atexit.register(shutil.rmtree, SCRATCH, ignore_errors=True)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def pgm_file(name, data):
    path = os.path.join(SCRATCH, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


rng = np.random.default_rng(7)
surface = rng.standard_normal((256, 256))
mask = np.ones((256, 256), bool)
mask8 = np.full((256, 256), 255, np.uint8)
frame = rng.integers(0, 65535, (256, 256), dtype=np.uint16)
strided = layouts(surface)["strided"]
swapped_frame = layouts(frame)["byteswapped"]
small = np.zeros((3, 4))
pgm8 = pgm_file("8.pgm", b"P5\n256 256\n255\n" + bytes(256 * 256))
pgm16 = pgm_file("16.pgm", b"P5\n256 256\n65535\n" + bytes(2 * 256 * 256))
pgm_magic = pgm_file("p2.pgm", b"P2\n3 2\n255\n123456")
pgm_header = pgm_file("cut.pgm", b"P5\n3 2\n25")
pgm_short = pgm_file("short.pgm", b"P5\n300 200\n255\n" + bytes(100))
out_path = os.path.join(SCRATCH, "out.pgm")

# (function, label, arguments, expected exception class, None for a result, or MAYBE)
CASES = [
    ("roundmask", "wide-row", (1.0, 100000, 1), None),
    ("roundmask", "square", (1.0, 256, 256), None),
    ("roundmask", "negative", (1.0, -1, 3), ValueError),
    ("roundmask", "impossible", (1.0, 2**31 - 1, 2**31 - 1), MemoryError),
    ("roundmask", "overflow", (1.0, 2**40, 1), OverflowError),
    ("roundmask", "kind", ("1", 3, 3), TypeError),
    ("make_mask", "contiguous", (surface, 0.0), None),
    ("make_mask", "strided", (strided, 0.0), None),
    ("make_mask", "float32", (surface.astype(np.float32), 0.0), ValueError),
    ("make_mask", "1-d", (surface[0], 0.0), ValueError),
    ("make_mask", "not-array", ([[1.0]], 0.0), TypeError),
    ("zernike_surface", "ok", (np.ones(36)[::-1], mask), None),
    ("zernike_surface", "coefficients-type", (np.ones(4, np.float32), mask), ValueError),
    ("zernike_surface", "coefficients-ndim", (np.ones((2, 2)), mask), ValueError),
    ("zernike_surface", "mask-type", (np.ones(4), mask8), ValueError),
    ("zernike_surface", "mask-ndim", (np.ones(4), mask[0]), ValueError),
    ("zernike_matrix", "ok", (mask[:64, :64], 40), None),
    ("zernike_matrix", "mask-type", (mask8, 3), ValueError),
    ("zernike_matrix", "mask-ndim", (mask[None], 3), ValueError),
    ("zernike_matrix", "negative-count", (mask, -1), ValueError),
    ("interferogram", "ok", (1.0, 0.0, 65535, mask, strided), None),
    ("interferogram", "mask-type", (1.0, 0.0, 255, mask8, surface), ValueError),
    ("interferogram", "mask-ndim", (1.0, 0.0, 255, mask[0], surface), ValueError),
    ("interferogram", "surface-type", (1.0, 0.0, 255, mask, frame), ValueError),
    ("interferogram", "surface-ndim", (1.0, 0.0, 255, mask, surface[None]), ValueError),
    ("interferogram", "shapes", (1.0, 0.0, 255, mask, surface[:, :8]), ValueError),
    ("phase", "four", ([frame, swapped_frame, frame, frame],), None),
    ("phase", "five", ([frame] * 5,), None),
    ("phase", "seven", ([frame] * 7,), None),
    ("phase", "size", ([frame] * 6,), ValueError),
    ("phase", "item-kind", ([frame, frame, [[1]], frame],), TypeError),
    ("phase", "item-type", ([frame, frame, frame, mask8],), ValueError),
    ("phase", "item-ndim", ([frame, frame[None], frame, frame],), ValueError),
    ("phase", "item-shape", ([frame, frame, frame, frame[:, :8]],), ValueError),
    ("phase", "tuple", ((frame,) * 4,), TypeError),
    ("phase5", "ok", ([frame, swapped_frame, frame, frame, frame],), None),
    ("phase5", "size", ([frame] * 4,), ValueError),
    ("phase5", "item-kind", ([frame, None, frame, frame, frame],), TypeError),
    ("phase5", "item-type", ([frame, frame, frame, frame, mask8],), ValueError),
    ("phase5", "item-shape", ([frame, frame, frame, frame, frame[:8]],), ValueError),
    ("wrap", "ok", (strided, 2 * np.pi), None),
    ("wrap", "type", (frame, 1.0), ValueError),
    ("wrap", "ndim", (surface[0], 1.0), ValueError),
    ("fast_unwrap", "ok", (mask, strided, 1.0), None),
    ("fast_unwrap", "mask-type", (mask8, surface, 1.0), ValueError),
    ("fast_unwrap", "mask-ndim", (mask[0], surface, 1.0), ValueError),
    ("fast_unwrap", "surface-type", (mask, surface.astype(np.float32), 1.0), ValueError),
    ("fast_unwrap", "surface-ndim", (mask, surface[None], 1.0), ValueError),
    ("fast_unwrap", "shapes", (mask, surface[:8], 1.0), ValueError),
    ("unwrap", "ok", (mask8[:64, :64], surface[:64, :64].astype(np.float32)), None),
    ("unwrap", "no-pairs", (mask8[:1, :1], surface[:1, :1].astype(np.float32)), None),
    ("unwrap", "mask-type", (mask, surface.astype(np.float32)), ValueError),
    ("unwrap", "mask-ndim", (mask8[0], surface.astype(np.float32)), ValueError),
    ("unwrap", "phase-type", (mask8, surface), ValueError),
    ("unwrap", "phase-ndim", (mask8, surface[None].astype(np.float32)), ValueError),
    ("unwrap", "shapes", (mask8, surface[:8].astype(np.float32)), ValueError),
    ("add_noise", "ok", (strided, 0.5), None),
    ("add_noise", "0-d", (np.array(1.0), 0.5), None),
    ("add_noise", "type", (frame, 0.5), ValueError),
    ("save_pgm", "float", (out_path, strided, 0.5), None),
    ("save_pgm", "uint16", (out_path, swapped_frame), None),
    ("save_pgm", "no-dir", (os.path.join(SCRATCH, "none", "x.pgm"), small), OSError),
    ("save_pgm", "ndim", (out_path, surface[None]), ValueError),
    ("save_pgm", "type", (out_path, mask8), ValueError),
    ("load_pgm", "8-bit", (pgm8,), None),
    ("load_pgm", "16-bit", (pgm16,), None),
    ("load_pgm", "missing", (os.path.join(SCRATCH, "missing.pgm"),), OSError),
    ("load_pgm", "magic", (pgm_magic,), OSError),
    ("load_pgm", "header", (pgm_header,), OSError),
    ("load_pgm", "short-raster", (pgm_short,), MAYBE),
    ("binning", "ok", (strided, 4), None),
    ("binning", "ndim", (surface[None], 2), ValueError),
    ("binning", "type", (frame, 2), ValueError),
    ("binning", "zero", (surface, 0), MAYBE),
    ("binning", "not-dividing", (surface, 3), MAYBE),
]

def referents(args):
    """The argument objects whose reference counts must come back: arrays and lists and their items.
    Small ints, strings and NumPy's built-in dtypes are shared with the whole interpreter."""
    objects = []
    for arg in args:
        for item in [arg, *(arg if isinstance(arg, (list, tuple)) else [])]:
            if isinstance(item, (np.ndarray, list, tuple)):
                objects.append(item)
    return objects


def call(function, args, expected):
    try:
        function(*args)
    except Exception as exc:  # noqa: BLE001 - judged against the expectation below
        if expected is None or (expected is not MAYBE and not isinstance(exc, expected)):
            raise
        return
    assert expected in (None, MAYBE), f"no {expected.__name__} raised"


@pytest.mark.parametrize("name, label, args, expected", CASES, ids=[f"{c[0]}-{c[1]}" for c in CASES])
def test_repeated_calls_do_not_leak(name, label, args, expected):
    function = getattr(zelnor, name, None)
    if function is None:
        pytest.skip(f"zelnor has no {name} yet")
    for _ in range(WARM_UP):
        call(function, args, expected)
    gc.collect()
    objects = referents(args)
    counts = [sys.getrefcount(o) for o in objects]
    rss = rss_bytes()
    tracemalloc.start()
    try:
        # NumPy records a failed allocation as a trace of the null pointer: let that settle first.
        for _ in range(3):
            call(function, args, expected)
        traced = tracemalloc.get_traced_memory()[0]
        for _ in range(CALLS):
            call(function, args, expected)
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced
    finally:
        tracemalloc.stop()
    rss_growth = rss_bytes() - rss
    assert [sys.getrefcount(o) for o in objects] == counts, "reference counts changed"
    assert traced_growth < TRACED_BYTES_PER_CALL * CALLS, f"{traced_growth} bytes traced after {CALLS} calls"
    if not os.environ.get("ZELNOR_SANITIZE"):  # ASan's quarantine of freed blocks grows the resident set
        assert rss_growth < RSS_SLACK, f"resident set grew by {rss_growth} bytes over {CALLS} calls"
