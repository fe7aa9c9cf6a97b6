"""`zelnor measure --no-figure` of a 4-frame set against the `unwrap` call it makes.

For each size it simulates a frame set, runs `zelnor measure` in a fresh process (best of a few runs for
the time, the largest peak resident set for the memory), and times `zelnor.unwrap` on the same wrapped
phase in the layout the road hands it. Prints ns/px and bytes/px, and the ratio measure / unwrap.
Sizes: ZELNOR_ROAD_SIZES (default 1024,2048; 4096 needs some 4 GB)."""
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

import zelnor
from zelnor_cli import road

ROUNDS = 3


def run_measure(frames, out):
    """Wall time and peak resident bytes of one `zelnor measure` process."""
    started = time.perf_counter()
    process = subprocess.Popen([sys.executable, "-m", "zelnor_cli", "measure", *frames, "--no-figure", "--out", out],
                               stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - started
    if status:
        sys.exit(f"zelnor measure failed with status {status}")
    return elapsed, usage.ru_maxrss * 1024


def unwrap_time(frames):
    wrapped = road.retrieve_phase(frames)
    mask = road.disc_pupil(*wrapped.shape)
    best = float("inf")
    for _ in range(ROUNDS):
        started = time.perf_counter()
        road.unwrap_waves(mask, wrapped, "unwrap")
        best = min(best, time.perf_counter() - started)
    return best


def main():
    sizes = [int(size) for size in os.environ.get("ZELNOR_ROAD_SIZES", "1024,2048").split(",")]
    print(f"{'size':>6} {'measure ns/px':>14} {'unwrap ns/px':>13} {'ratio':>6} {'peak B/px':>10}")
    for size in sizes:
        with tempfile.TemporaryDirectory() as folder:
            mask = road.disc_pupil(size, size)
            surface = road.synthesize_surface({2: 3.0, 4: 1.5, 5: 0.8, 7: 0.6, 9: 0.5}, mask)
            frames = road.make_frames(surface, mask, 4, noise=500.0)
            paths = []
            for k, frame in enumerate(frames):
                paths.append(os.path.join(folder, f"frame_{k}.pgm"))
                zelnor.save_pgm(paths[-1], frame)
            runs = [run_measure(paths, os.path.join(folder, "out")) for _ in range(ROUNDS)]
            seconds, peak = min(run[0] for run in runs), max(run[1] for run in runs)
            unwrap_seconds = unwrap_time(frames)
        pixels = size * size
        print(f"{size:>6} {seconds / pixels * 1e9:>14.0f} {unwrap_seconds / pixels * 1e9:>13.0f} "
              f"{seconds / unwrap_seconds:>6.2f} {peak / pixels:>10.0f}", flush=True)


if __name__ == "__main__":
    main()
