"""PGM save/load against Pillow and raw numpy tofile/fromfile, binning against NumPy.

    python benchmarks/bench_imageio.py

Files go to a temporary folder (page cache, so the figures are mostly CPU and
system-call cost). load_pgm echoes each header to the C library's stdout; that
echo is sent to /dev/null while timing.
"""
import contextlib
import os
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import best_time, print_environment, print_table  # noqa: E402

import zelnor  # noqa: E402

try:
    from PIL import Image
except ImportError:  # Pillow is optional: the raw floor is still measured
    Image = None

SIDE = 1024


@contextlib.contextmanager
def quiet_stdout():
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(devnull)
        os.close(saved)


def file_rows(folder):
    rng = np.random.default_rng(1)
    wide = rng.integers(0, 65536, (SIDE, SIDE)).astype(np.uint16)
    wide[0, 0] = 65535
    narrow16 = rng.integers(0, 256, (SIDE, SIDE)).astype(np.uint16)
    narrow8 = narrow16.astype(np.uint8)
    surface = rng.uniform(-1, 1, (SIDE, SIDE))
    ours = os.path.join(folder, "ours.pgm")
    theirs = os.path.join(folder, "pillow.pgm")
    raw = os.path.join(folder, "raw.bin")
    pixels = SIDE * SIDE
    rows = []

    def save_row(case, fn_ours, pillow_array, raw_array):
        peers = [("numpy tofile (floor)", best_time(lambda: raw_array.tofile(raw)))]
        if Image is not None and pillow_array is not None:
            peers.append(("Pillow save", best_time(lambda: Image.fromarray(pillow_array).save(theirs))))
        rows.append((case, pixels, best_time(fn_ours), peers))

    save_row("save uint16 -> 16-bit", lambda: zelnor.save_pgm(ours, wide), wide, wide)
    save_row("save uint16 -> 8-bit", lambda: zelnor.save_pgm(ours, narrow16), narrow8, narrow8)
    save_row("save float64 -> 8-bit", lambda: zelnor.save_pgm(ours, surface), None, narrow8)

    def load_row(case, array, dtype):
        zelnor.save_pgm(ours, array)
        header = len(b"P5\n%d %d\n%d\n" % (SIDE, SIDE, array.max()))
        peers = [("numpy fromfile (floor)", best_time(lambda: np.fromfile(ours, dtype, offset=header)))]
        if Image is not None:
            def pillow_load():
                with Image.open(ours) as im:
                    return np.asarray(im)
            peers.append(("Pillow open + asarray", best_time(pillow_load)))
        with quiet_stdout():
            ours_time = best_time(lambda: zelnor.load_pgm(ours))
        rows.append((case, pixels, ours_time, peers))

    load_row("load 16-bit", wide, ">u2")
    load_row("load 8-bit", narrow16, np.uint8)
    return rows


def binning_rows():
    image = np.random.default_rng(2).normal(size=(SIDE, SIDE))
    rows = []
    for factor in (2, 4, 8):
        n = SIDE // factor

        def numpy_sum():
            return image.reshape(n, factor, n, factor).sum(axis=(1, 3))

        rows.append((f"binning factor {factor}", SIDE * SIDE, best_time(lambda: zelnor.binning(image, factor)),
                     [("numpy reshape-sum", best_time(numpy_sum))]))
    return rows


def main():
    print_environment()
    with tempfile.TemporaryDirectory() as folder:
        print_table(f"PGM files, {SIDE} x {SIDE} (ratio above 1: zelnor faster)", file_rows(folder))
    print_table(f"binning, {SIDE} x {SIDE} float64", binning_rows())


if __name__ == "__main__":
    main()
