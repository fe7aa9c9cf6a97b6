"""`zelnor batch` throughput: 16 measurements of 4-frame 512 x 512 sets, with
--workers 1 and --workers 2, each timed as the whole command (cluster start and
stop included, as a user waits for it) over a few rounds: first with the default
options, which draw each measurement's figure.png, then with --no-figure.

Prints the range of wall times and of measurements per second for each worker
count, and the ratio of the one-worker time to the two-worker time (median,
and the range over rounds paired in order).

    python benchmarks/bench_batch.py [--sets 16] [--size 512] [--rounds 3] [--workers 1,2] [--no-figure-only]
"""
import argparse
import ctypes
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

import zelnor
from zelnor_cli import road


def write_sets(root, sets, size):
    mask = road.disc_pupil(size, size)
    ctypes.CDLL(None).srand(1)
    folders = []
    for index in range(sets):
        coefficients = {4: 1.0 + 0.1 * index, 5: 0.4, 7: -0.3 + 0.05 * index, 9: 0.2}
        frames = road.make_frames(road.synthesize_surface(coefficients, mask), mask, 4, noise=200.0)
        folder = os.path.join(root, f"part{index:02d}")
        os.makedirs(folder)
        for k, frame in enumerate(frames):
            zelnor.save_pgm(os.path.join(folder, f"frame_{k}.pgm"), frame)
        folders.append(folder)
    return folders


def time_batch(folders, workers, out, options):
    """(whole command, measuring phase) wall times in seconds; the command reports the
    measuring phase, first submission to last result, on its last line."""
    command = [sys.executable, "-m", "zelnor_cli", "batch", *folders, "--workers", str(workers),
               "--out", out, *options]
    start = time.perf_counter()
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"batch failed ({done.returncode}): {done.stderr.strip()}")
    return elapsed, float(re.search(r"measured in ([0-9.]+) s", done.stdout).group(1))


def report(args, counts, times, phases):
    for title, series_of in (("whole command (cluster start and stop included)", times),
                             ("measuring phase (first submission to last result)", phases)):
        print(f"\n{title}")
        print(f"{'workers':>7}  {'wall s: min   median      max':>28}  {'measurements/s':>16}")
        for count in counts:
            series = series_of[count]
            print(f"{count:>7}  {min(series):12.2f} {statistics.median(series):8.2f} {max(series):8.2f}"
                  f"  {args.sets / max(series):7.2f} - {args.sets / min(series):5.2f}")
        base = counts[0]
        for count in counts[1:]:
            ratios = [one / many for one, many in zip(series_of[base], series_of[count])]
            median = statistics.median(series_of[base]) / statistics.median(series_of[count])
            print(f"speed-up {count} vs {base} workers: {median:.2f}x of the medians, "
                  f"{min(ratios):.2f}x - {max(ratios):.2f}x over the rounds")
    if len(counts) > 1:
        # Amdahl: start-up and shutdown (interpreter, Dask, cluster) do not split over workers.
        base, many = counts[0], counts[-1]
        overhead = statistics.median(whole - phase for whole, phase in zip(times[base], phases[base]))
        work = statistics.median(phases[base])
        print(f"fixed cost outside the measuring phase: {overhead:.2f} s (median, {base} worker); "
              f"with it, a perfect split of the measuring phase gives at most "
              f"{(overhead + work) / (overhead + work / (many / base)):.2f}x on the whole command")


# The command as users run it first (each measurement also draws figure.png), then the road alone.
MODES = (("default options (figure.png drawn)", []), ("--no-figure", ["--no-figure"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sets", type=int, default=16)
    parser.add_argument("--size", type=int, default=512)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--workers", default="1,2")
    parser.add_argument("--no-figure-only", action="store_true", help="skip the runs that draw figures")
    args = parser.parse_args()
    counts = [int(text) for text in args.workers.split(",")]
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print(f"zelnor batch: {args.sets} measurements of {args.size}x{args.size}, 4 frames, "
          f"{args.rounds} rounds, {cores} cores, load average {os.getloadavg()[0]:.1f}")
    same = True
    with tempfile.TemporaryDirectory() as root:
        folders = write_sets(os.path.join(root, "sets"), args.sets, args.size)
        for title, options in MODES[1:] if args.no_figure_only else MODES:
            times = {count: [] for count in counts}
            phases = {count: [] for count in counts}
            summaries = {}
            for _ in range(args.rounds):  # interleaved, so that load on the machine hits every count alike
                for count in counts:
                    out = os.path.join(root, f"out{count}")
                    whole, phase = time_batch(folders, count, out, options)
                    times[count].append(whole)
                    phases[count].append(phase)
                    with open(os.path.join(out, "summary.csv"), "rb") as handle:
                        summaries[count] = handle.read()
            print(f"\n== {title}")
            report(args, counts, times, phases)
            same = same and len(set(summaries.values())) == 1
    print(f"\nsummaries identical across worker counts: {'yes' if same else 'NO'}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
