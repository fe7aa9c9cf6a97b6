"""zelnor.unwrap against scikit-image's unwrap_phase (the same reliability-sorted
method, in C) on the same wrapped data: a smooth surface of about 30 rad
peak-to-valley, under a disc mask and on the full image, at 512 and 1024.

Also prints the peak memory that one call adds, in bytes per pixel (result
included), measured in a fresh process from the peak resident set size.

    python benchmarks/bench_unwrap.py
"""
import os
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import best_time, print_table  # noqa: E402

import zelnor  # noqa: E402

try:
    from skimage.restoration import unwrap_phase
except ImportError:  # pragma: no cover
    unwrap_phase = None


def case(size, disc):
    y, x = np.mgrid[-1:1:size * 1j, -1:1:size * 1j]
    surface = 9.0 * (x * x + y * y) + 6.0 * x * y + 4.0 * x - 3.0 * y  # about 30 rad peak to valley
    phase = np.angle(np.exp(1j * surface)).astype(np.float32)
    if disc:
        inside = x * x + y * y <= 1.0
    else:
        inside = np.ones((size, size), bool)
    mask = np.where(inside, 255, 0).astype(np.uint8)
    return mask, phase, inside


PEAK_SCRIPT = r"""
import sys, numpy as np
sys.path.insert(0, {here!r})
from bench_unwrap import case
size, disc, who = int(sys.argv[1]), sys.argv[2] == "1", sys.argv[3]
mask, phase, inside = case(size, disc)
if who == "skimage":
    from skimage.restoration import unwrap_phase
    arg = np.ma.array(phase, mask=~inside) if disc else phase
    run = lambda: unwrap_phase(arg)
else:
    import zelnor
    run = lambda: zelnor.unwrap(mask, phase)
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


def peak_bytes_per_pixel(size, disc, who):
    if not os.path.exists("/proc/self/clear_refs"):
        return float("nan")
    here = os.path.dirname(os.path.abspath(__file__))
    code = PEAK_SCRIPT.format(here=here)
    try:
        out = subprocess.run([sys.executable, "-c", code, str(size), "1" if disc else "0", who],
                             capture_output=True, text=True, check=True, env=dict(os.environ))
        return float(out.stdout.split()[-1])
    except (subprocess.CalledProcessError, ValueError, IndexError):
        return float("nan")


def main():
    rows = []
    memory = []
    for size in (512, 1024):
        for disc in (True, False):
            mask, phase, inside = case(size, disc)
            label = f"{size}x{size} {'disc' if disc else 'full'}"
            ours = best_time(lambda: zelnor.unwrap(mask, phase), repeat=5, min_total=1.0)
            peers = []
            if unwrap_phase is not None:
                arg = np.ma.array(phase, mask=~inside) if disc else phase
                peers.append(("skimage unwrap_phase", best_time(lambda: unwrap_phase(arg), repeat=5,
                                                                min_total=1.0)))
            rows.append((label, size * size, ours, peers))
            memory.append((label, peak_bytes_per_pixel(size, disc, "zelnor"),
                           peak_bytes_per_pixel(size, disc, "skimage") if unwrap_phase else float("nan")))
    print_table("unwrap: reliability-sorted unwrapping of a float32 map", rows)
    print("\npeak memory added by one call, bytes per pixel (result included)")
    print(f"{'case':<34} {'zelnor':>8} {'skimage':>8}")
    for label, ours, peer in memory:
        print(f"{label:<34} {ours:8.1f} {peer:8.1f}")


if __name__ == "__main__":
    main()
