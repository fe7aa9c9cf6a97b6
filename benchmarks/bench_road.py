"""`zelnor measure --no-figure` end to end, against the `zelnor.unwrap` call it makes.

For each size, writes four 16-bit PGM frames of a smooth surface (a few waves of
defocus, astigmatism and coma under the inscribed disc) with zelnor.interferogram
and save_pgm, then runs `python -m zelnor_cli measure FRAMES --no-figure --out DIR`
as a child process: its wall time and its peak resident set size (from wait4).
Bytes per pixel are printed twice: the raw peak, and the peak minus the peak of a
child that only imports numpy, zelnor and the command's modules (the baseline).
The ratio is measure time / time of one zelnor.unwrap call on the same wrapped phase
and disc mask, timed in this process right after each run (the pairs' ratios). Also
prints the Zernike fit of the road against the former fit (lstsq on zernike_matrix)
at 1024 x 1024.

    PYTHONPATH=build/dev:python python benchmarks/bench_road.py [--sizes 1024,2048,4096] [--repeat 3]
"""
import argparse
import math
import statistics
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

import zelnor
from harness import print_environment
from zelnor_cli import fit, road


def run_child(args):
    """Wall seconds and peak RSS in bytes of one child process."""
    start = time.perf_counter()
    child = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status) if hasattr(os, "waitstatus_to_exitcode") else status
    if child.returncode != 0:
        raise SystemExit(f"{' '.join(args)} failed: {child.stderr.read().decode(errors='replace')}")
    child.stderr.close()
    return elapsed, usage.ru_maxrss * 1024  # kilobytes on Linux


def write_frames(folder, size):
    mask = zelnor.roundmask(1.0, size, size)
    coefficients = np.zeros(29)
    coefficients[[3, 4, 5, 6, 8]] = [2.5, 1.2, -0.7, 0.6, 0.4]  # waves
    surface = zelnor.zernike_surface(coefficients, mask)
    paths, frames = [], []
    for k in range(4):
        frame = zelnor.interferogram(2 * math.pi, k * math.pi / 2, 65535, mask, surface)
        path = os.path.join(folder, f"frame_{k}.pgm")
        zelnor.save_pgm(path, frame)
        paths.append(path)
        frames.append(frame)
    return paths, frames, mask


def unwrap_seconds(frames, mask, repeat):
    wrapped = road.retrieve_phase(frames).astype(np.float32)
    mask8 = mask.astype(np.uint8) * np.uint8(255)
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        zelnor.unwrap(mask8, wrapped)
        times.append(time.perf_counter() - start)
    return times


def lstsq_fit(surface, mask):
    inside = np.flatnonzero(mask)
    basis = zelnor.zernike_matrix(mask, 29)[:, inside].T
    coefficients, *_ = np.linalg.lstsq(basis, surface.ravel()[inside], rcond=None)
    return coefficients


def span(values, scale=1.0, digits=2):
    low, high = min(values) * scale, max(values) * scale
    return f"{low:.{digits}f}" if math.isclose(low, high, rel_tol=0.005) else f"{low:.{digits}f}-{high:.{digits}f}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1024,2048,4096")
    parser.add_argument("--repeat", type=int, default=3)
    options = parser.parse_args(argv)
    sizes = [int(text) for text in options.sizes.split(",")]

    print_environment()
    print(f"zelnor {zelnor.__version__}")
    python = sys.executable
    _, baseline = run_child([python, "-c", "import numpy, zelnor, zelnor_cli.cli, zelnor_cli.road"])
    print(f"baseline child (imports only): peak RSS {baseline / 2**20:.1f} MiB")
    print("\nzelnor measure FRAMES --no-figure, 4 frames of a smooth surface under the inscribed disc;"
          f" {options.repeat} runs per size, ranges over the runs")
    print(f"{'size':>6} {'measure s':>12} {'ns/px':>12} {'unwrap s':>12} {'measure/unwrap':>15}"
          f" {'peak B/px':>12} {'peak-baseline B/px':>19}")
    medians = []
    for size in sizes:
        pixels = size * size
        with tempfile.TemporaryDirectory() as folder:
            paths, frames, mask = write_frames(folder, size)
            out = os.path.join(folder, "out")
            command = [python, "-m", "zelnor_cli", "measure", *paths, "--no-figure", "--out", out]
            runs, unwraps = [], []
            for _ in range(options.repeat):  # each run paired with an unwrap timed right after it
                runs.append(run_child(command))
                unwraps += unwrap_seconds(frames, mask, 1)
            del frames
        times = [t for t, _ in runs]
        peaks = [p for _, p in runs]
        ratios = [t / u for t, u in zip(times, unwraps)]
        print(f"{size:>6} {span(times):>12} {span(times, 1e9 / pixels, 1):>12} {span(unwraps, 1, 3):>12}"
              f" {span(ratios):>15} {span(peaks, 1 / pixels, 0):>12} {span([p - baseline for p in peaks], 1 / pixels, 0):>19}")
        medians.append((size, statistics.median(ratios)))
    print("measure/unwrap, median of the paired runs: "
          + ", ".join(f"{size}: {ratio:.2f}x" for size, ratio in medians))

    size = 1024
    mask = zelnor.roundmask(1.0, size, size)
    coefficients = np.random.default_rng(1).normal(size=29)
    surface = zelnor.zernike_surface(coefficients, mask) + np.where(mask, 1e-3, 0.0)
    old, new = [], []
    for _ in range(options.repeat):
        start = time.perf_counter()
        lstsq_fit(surface, mask)
        old.append(time.perf_counter() - start)
        start = time.perf_counter()
        fit.fit(surface, mask)
        new.append(time.perf_counter() - start)
    ratios = [o / n for o in old for n in new]
    print(f"\nZernike fit, 29 terms, {size}x{size} disc: lstsq on zernike_matrix {span(old, 1e3, 0)} ms,"
          f" blocked moments {span(new, 1e3, 0)} ms, ratio old/new {span(ratios, 1, 1)}x")


if __name__ == "__main__":
    main()
