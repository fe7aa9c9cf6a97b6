"""Benchmarks of interferogram, phase, phase5 and wrap.

Peers: the NumPy code a user would write for each, and, for interferogram and
phase, the floor of the exact method: a bare C loop of the C library's sin or
atan2 alone over the same pixels (compiled here with the system cc and called
through ctypes; only the loop is timed). phase5 is compared with 5-frame phase
on the same frames.

    python benchmarks/bench_phase.py
"""
import ctypes
import os
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import best_time, print_environment, print_table  # noqa: E402

import zelnor  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SIZES = (512, 1024)
SCALE = 2.0 * np.pi
ROUNDS = 3  # contenders are timed in turn, ROUNDS times; the best of each counts


def best_of_rounds(*fns):
    """Best time of each function, timed in turn so that load from other
    processes falls on all contenders alike."""
    best = [float("inf")] * len(fns)
    for _ in range(ROUNDS):
        for k, fn in enumerate(fns):
            best[k] = min(best[k], best_time(fn))
    return best


def build_floor():
    """Compiles clib_floor.c into a shared library; None when no cc is available."""
    out = os.path.join(tempfile.mkdtemp(prefix="zelnor-bench-"), "clib_floor.so")
    cmd = ["cc", "-O2", "-ffp-contract=off", "-fno-fast-math", "-fPIC", "-shared",
           os.path.join(HERE, "clib_floor.c"), "-o", out, "-lm"]
    try:
        subprocess.run(cmd, check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError) as exc:
        print(f"no C-library floor: {exc}", file=sys.stderr)
        return None
    lib = ctypes.CDLL(out)
    ptr = ctypes.c_void_p
    lib.sin_loop.argtypes = [ptr, ctypes.c_size_t, ptr]
    lib.atan2_loop.argtypes = [ptr, ptr, ctypes.c_size_t, ptr]
    return lib


def addr(a):
    return a.ctypes.data


def test_surface(n, rng):
    """A smooth surface of several waves over the pupil plus a little roughness."""
    y, x = np.mgrid[-1:1:n * 1j, -1:1:n * 1j]
    return 3.0 * (x * x + y * y) + 1.5 * x * y - 0.7 * x + 0.01 * rng.standard_normal((n, n))


def np_interferogram(scale, shift, peak, mask, surface):
    value = ((np.sin(scale * surface + shift) + 1.0) * 0.5) * (peak & 0xFFFF)
    return np.where(mask, value, 0.0).astype(np.uint16)


def np_phase(frames):
    f = [frame.astype(np.float64) for frame in frames]
    if len(f) == 4:
        return np.arctan2(f[3] - f[1], f[0] - f[2])
    if len(f) == 5:
        return np.arctan2(-(3 * f[1] - 3 * f[2] - f[3] + f[4]), f[0] - f[1] - 3 * f[2] + 3 * f[3])
    return np.arctan2((f[1] + f[2] - f[4] - f[5]) * -1.7320508075688772,
                      f[0] + f[1] - f[2] - 2 * f[3] - f[4] + f[5] + f[6])


def np_wrap(x, p):
    return x - np.floor(x / p + 0.5) * p


def main():
    print_environment()
    rng = np.random.default_rng(7)
    lib = build_floor()
    rows = {"interferogram": [], "phase": [], "phase5": [], "wrap": []}
    for n in SIZES:
        pixels = n * n
        surface = test_surface(n, rng)
        full = np.ones((n, n), bool)
        disc = zelnor.roundmask(1.0, n, n)
        out = np.empty((n, n))

        phases = SCALE * surface + 0.0
        for label, mask in (("full mask", full), ("disc mask", disc)):
            fns = [lambda: zelnor.interferogram(SCALE, 0.0, 65535, mask, surface),
                   lambda: np_interferogram(SCALE, 0.0, 65535, mask, surface)]
            if lib is not None:
                fns.append(lambda: lib.sin_loop(addr(phases), pixels, addr(out)))
            ours, *times = best_of_rounds(*fns)
            peers = list(zip(["numpy sin+where+cast", "C sin loop (all px)"], times))
            rows["interferogram"].append((f"{n}x{n} {label}", pixels, ours, peers))

        for count, step in ((4, np.pi / 2), (5, np.pi / 2), (7, np.pi / 3)):
            frames = [zelnor.interferogram(SCALE, k * step, 65535, full, surface) for k in range(count)]
            fns = [lambda: zelnor.phase(frames), lambda: np_phase(frames)]
            if lib is not None:
                f = [frame.astype(np.float64) for frame in frames]
                if count == 4:
                    num, den = f[3] - f[1], f[0] - f[2]
                elif count == 5:
                    num, den = -(3 * f[1] - 3 * f[2] - f[3] + f[4]), f[0] - f[1] - 3 * f[2] + 3 * f[3]
                else:
                    num = (f[1] + f[2] - f[4] - f[5]) * -1.7320508075688772
                    den = f[0] + f[1] - f[2] - 2 * f[3] - f[4] + f[5] + f[6]
                fns.append(lambda: lib.atan2_loop(addr(num), addr(den), pixels, addr(out)))
            ours, *times = best_of_rounds(*fns)
            peers = list(zip(["numpy arctan2", "C atan2 loop"], times))
            rows["phase"].append((f"{n}x{n} {count} frames", pixels, ours, peers))
            if count == 5:
                fast, = best_of_rounds(lambda: zelnor.phase5(frames))
                rows["phase5"].append((f"{n}x{n} 16-bit frames", pixels, fast, [("zelnor phase, 5 frames", ours)]))
                frames8 = [zelnor.interferogram(SCALE, k * step, 255, full, surface) for k in range(count)]
                fast8, slow8 = best_of_rounds(lambda: zelnor.phase5(frames8), lambda: zelnor.phase(frames8))
                rows["phase5"].append((f"{n}x{n} 8-bit frames", pixels, fast8, [("zelnor phase, 5 frames", slow8)]))

        x = 40.0 * surface
        ours, peer = best_of_rounds(lambda: zelnor.wrap(x, 2 * np.pi), lambda: np_wrap(x, 2 * np.pi))
        rows["wrap"].append((f"{n}x{n}", pixels, ours, [("numpy x-floor(x/p+.5)*p", peer)]))

    for name, table in rows.items():
        print_table(name, table)


if __name__ == "__main__":
    main()
