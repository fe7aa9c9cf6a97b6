"""zelnor.unwrap against scikit-image's unwrap_phase (the same reliability-sorted
method, in C) on the same wrapped data, at 512 and 1024 pixels square:

- smooth: a surface of about 30 rad peak to valley;
- tilted: the same surface on a steep tilt (0.25 and 0.1 rad per pixel);
- noisy: either one plus Gaussian phase noise of 0.1 or 0.3 rad;

under a disc touching the image borders, a disc clear of them (radius 0.8),
or the full image. The two unwrappers are timed in turn, call by call, so that
load from other processes falls on both alike; the best call of each counts.
Both run on the calling thread, so the table gives the thread's CPU time per
call, which other processes on a busy machine disturb far less than the wall
time; the last lines give the range of the ratios over all cases, by CPU time
and by wall time.

Also prints the peak memory that one call adds, in bytes per pixel (result
included), measured in a fresh process from the peak resident set size.

    python benchmarks/bench_unwrap.py [--quick]
"""
import os
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import print_environment, print_table  # noqa: E402

import zelnor  # noqa: E402

try:
    from skimage.restoration import unwrap_phase
except ImportError:  # pragma: no cover
    unwrap_phase = None

SIZES = (512, 1024)
# (surface, noise sigma in rad, pupil)
CASES = [
    ("smooth", 0.0, "touching"),
    ("smooth", 0.0, "clear"),
    ("smooth", 0.0, "full"),
    ("tilted", 0.0, "clear"),
    ("smooth", 0.1, "touching"),
    ("smooth", 0.3, "touching"),
    ("tilted", 0.1, "clear"),
    ("tilted", 0.3, "full"),
]
PUPIL_RADIUS = {"touching": 1.0, "clear": 0.8}


def case(size, surface_kind, sigma, pupil):
    """uint8 mask (255 inside), float32 wrapped phase and the bool pupil."""
    y, x = np.mgrid[-1:1:size * 1j, -1:1:size * 1j]
    surface = 9.0 * (x * x + y * y) + 6.0 * x * y + 4.0 * x - 3.0 * y  # about 30 rad peak to valley
    if surface_kind == "tilted":
        r, c = np.indices((size, size))
        surface = surface + 0.25 * c + 0.1 * r
    if sigma > 0:
        surface = surface + np.random.default_rng(size).normal(0.0, sigma, surface.shape)
    phase = np.angle(np.exp(1j * surface)).astype(np.float32)
    if pupil == "full":
        inside = np.ones((size, size), bool)
    else:
        inside = x * x + y * y <= PUPIL_RADIUS[pupil] ** 2
    mask = np.where(inside, 255, 0).astype(np.uint8)
    return mask, phase, inside


def label_of(size, surface_kind, sigma, pupil):
    noise = f" +{sigma:g} rad" if sigma else ""
    return f"{size}x{size} {surface_kind}{noise}, {pupil}"


def contenders(mask, phase, inside):
    fns = [lambda: zelnor.unwrap(mask, phase)]
    if unwrap_phase is not None:
        arg = phase if inside.all() else np.ma.array(phase, mask=~inside)
        fns.append(lambda: unwrap_phase(arg))
    return fns


def interleaved_best(fns, calls):
    """Best single-call CPU time and wall time of each function, calling them in turn."""
    for fn in fns:
        fn()  # warm-up
    cpu = [float("inf")] * len(fns)
    wall = [float("inf")] * len(fns)
    for _ in range(calls):
        for k, fn in enumerate(fns):
            start_cpu = time.thread_time()
            start = time.perf_counter()
            fn()
            wall[k] = min(wall[k], time.perf_counter() - start)
            cpu[k] = min(cpu[k], time.thread_time() - start_cpu)
    return cpu, wall


PEAK_SCRIPT = r"""
import sys, numpy as np
sys.path.insert(0, {here!r})
from bench_unwrap import case, contenders
size, who = int(sys.argv[1]), int(sys.argv[5])
run = contenders(*case(size, sys.argv[2], float(sys.argv[3]), sys.argv[4]))[who]
def hwm():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM"):
            return int(line.split()[1]) * 1024
import ctypes
ctypes.CDLL(None).malloc_trim(0)  # hand freed set-up memory back, so that it is not reused unseen
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
base = hwm()
result = run()
print((hwm() - base) / (size * size))
"""


def peak_bytes_per_pixel(size, setup, who):
    if not os.path.exists("/proc/self/clear_refs"):
        return float("nan")
    here = os.path.dirname(os.path.abspath(__file__))
    code = PEAK_SCRIPT.format(here=here)
    surface_kind, sigma, pupil = setup
    try:
        out = subprocess.run([sys.executable, "-c", code, str(size), surface_kind, str(sigma), pupil, str(who)],
                             capture_output=True, text=True, check=True, env=dict(os.environ))
        return float(out.stdout.split()[-1])
    except (subprocess.CalledProcessError, ValueError, IndexError):
        return float("nan")


def main():
    quick = "--quick" in sys.argv
    print_environment()
    rows = []
    ratios = []
    wall_ratios = []
    for size in SIZES:
        for setup in CASES:
            mask, phase, inside = case(size, *setup)
            cpu, wall = interleaved_best(contenders(mask, phase, inside), 2 if quick else (7 if size <= 512 else 4))
            peers = [("skimage unwrap_phase", t) for t in cpu[1:]]
            rows.append((label_of(size, *setup), size * size, cpu[0], peers))
            ratios.extend(t / cpu[0] for t in cpu[1:])
            wall_ratios.extend(t / wall[0] for t in wall[1:])
    print_table("unwrap: reliability-sorted unwrapping of a float32 map (CPU time per call)", rows)
    if ratios:
        print(f"\nratio skimage / zelnor over all {len(ratios)} cases: {min(ratios):.2f}x to {max(ratios):.2f}x "
              f"by CPU time, {min(wall_ratios):.2f}x to {max(wall_ratios):.2f}x by wall time")

    print("\npeak memory added by one call, bytes per pixel (result included)")
    print(f"{'case':<40} {'zelnor':>8} {'skimage':>8}")
    for size in SIZES:
        for setup in CASES[:3]:
            ours = peak_bytes_per_pixel(size, setup, 0)
            peer = peak_bytes_per_pixel(size, setup, 1) if unwrap_phase else float("nan")
            print(f"{label_of(size, *setup):<40} {ours:8.1f} {peer:8.1f}")


if __name__ == "__main__":
    main()
