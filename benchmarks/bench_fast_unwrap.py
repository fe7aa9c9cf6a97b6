"""fast_unwrap against the reliability-sorted unwrap and scikit-image's unwrap_phase.

A smooth surface (defocus, tilt and coma-like terms, several dozen fringes
across the pupil) is wrapped into one period and unwrapped inside the disc
inscribed in the image, at 512x512, 1024x1024 and 2048x2048. ns/px is per
image pixel; ratio is the peer's time over ours (above 1: fast_unwrap is faster).
"""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import best_time, print_environment, print_table  # noqa: E402

import zelnor  # noqa: E402

try:
    from skimage.restoration import unwrap_phase
except ImportError:  # the peer is optional
    unwrap_phase = None

HALF = 3.14159265


def case(size):
    mask = zelnor.roundmask(1.0, size, size)
    y, x = np.mgrid[-1:1:size * 1j, -1:1:size * 1j]
    truth = 60.0 * (x * x + y * y) + 40.0 * x - 25.0 * y + 15.0 * x * (x * x + y * y)
    wrapped = truth - 2 * HALF * np.floor((truth + HALF) / (2 * HALF))
    return mask, wrapped


def main():
    print_environment()
    rows = []
    for size in (512, 1024, 2048):
        mask, wrapped = case(size)
        ours = best_time(lambda: zelnor.fast_unwrap(mask, wrapped, 1.0), repeat=5, min_total=0.5)
        peers = []
        if hasattr(zelnor, "unwrap"):
            mask8 = np.where(mask, 255, 0).astype(np.uint8)
            phase32 = wrapped.astype(np.float32)
            peers.append(("zelnor.unwrap", best_time(lambda: zelnor.unwrap(mask8, phase32), repeat=3,
                                                     min_total=0.3)))
        if unwrap_phase is not None:
            masked = np.ma.array(wrapped, mask=~mask)
            peers.append(("skimage unwrap_phase", best_time(lambda: unwrap_phase(masked), repeat=3,
                                                            min_total=0.3)))
        rows.append((f"{size}x{size} disc", size * size, ours, peers))
    print_table("fast_unwrap (flood fill, float64)", rows)


if __name__ == "__main__":
    main()
