"""Speed-up of two threads over one, now that the kernels let other threads run.

For each of phase, zernike_surface, unwrap and fast_unwrap on 1024 x 1024 images: one thread
makes 2 x CALLS calls, alternating between two independent inputs; then two threads make the
same calls, each taking the next call as soon as it is free, as a thread pool shares work. The
ratio is the one-thread time over the two-thread time (2.0 is a perfect split over two cores).
Rounds alternate the two ways so that load from other processes falls on both; the median and
range over the rounds are printed. A first row times NumPy's sin the same way: the split the
machine allows at that moment, for reference. The table is printed twice: with glibc's default
allocator settings, then in a child process whose allocator keeps freed arrays on the heap, as
`zelnor measure` does for itself, to show whether the page faults of fresh result arrays,
which two threads of one process take in turn, cost the second thread anything.

    python benchmarks/bench_threads.py
"""
import collections
import os
import subprocess
import sys
import statistics
import threading
import time

import numpy as np

import zelnor
from harness import print_environment

SIDE = 1024
ROUNDS = 9
TARGET_SECONDS = 1.0  # per way and round: CALLS is chosen to take about this long in one thread


def inputs(k):
    """Arguments of each benchmarked function for the independent input k (0 or 1)."""
    rng = np.random.default_rng(k)
    mask = zelnor.roundmask(1.0, SIDE, SIDE)
    coefficients = np.concatenate(([0.0], rng.uniform(-2, 2, 28)))
    surface = zelnor.zernike_surface(coefficients, mask)
    frames = [zelnor.interferogram(2 * np.pi, j * np.pi / 2, 60000, mask, surface) for j in range(4)]
    wrapped = zelnor.phase(frames)
    return {
        # What two threads reach on this machine right now: a NumPy ufunc that lets other threads run.
        "numpy.sin (ref.)": (np.sin, (surface,)),
        "phase": (zelnor.phase, (frames,)),
        "zernike_surface": (zelnor.zernike_surface, (coefficients, mask)),
        "unwrap": (zelnor.unwrap, (mask.astype(np.uint8) * np.uint8(255), wrapped.astype(np.float32))),
        "fast_unwrap": (zelnor.fast_unwrap, (mask, wrapped, 1.0)),
    }


def one_thread(calls):
    start = time.perf_counter()
    for function, args in calls:
        function(*args)
    return time.perf_counter() - start


def two_threads(calls):
    queue = collections.deque(calls)

    def take():
        while True:
            try:
                function, args = queue.popleft()  # atomic: each call is taken once
            except IndexError:
                return
            function(*args)

    threads = [threading.Thread(target=take) for _ in range(2)]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return time.perf_counter() - start


# glibc settings that keep freed result arrays on the heap for the next call (the command's own).
HEAP_REUSE = {"MALLOC_MMAP_THRESHOLD_": str(32 * 2**20), "MALLOC_TRIM_THRESHOLD_": str(2**30)}


def main():
    child = "--heap-reuse" in sys.argv
    if not child:
        print_environment()
        print(f"zelnor {zelnor.__version__}")
        print(f"{SIDE} x {SIDE} images; ratio = one thread / two threads over the same calls, {ROUNDS} rounds\n")
        print("glibc defaults: each fresh result array of a few MB is mapped and page-faulted anew")
    else:
        print("\nagain with " + " ".join(f"{key}={value}" for key, value in HEAP_REUSE.items())
              + ": freed arrays serve the next results")
    table()
    if not child:
        sys.stdout.flush()
        subprocess.run([sys.executable, __file__, "--heap-reuse"], env=dict(os.environ, **HEAP_REUSE), check=True)


def table():
    cases = [inputs(0), inputs(1)]
    print(f"{'function':<16} {'calls':>5} {'1 thread ms':>12} {'2 threads ms':>13} {'ratio min':>10} "
          f"{'median':>7} {'max':>6}")
    for name in cases[0]:
        work = [case[name] for case in cases]
        single = min(one_thread(work) for _ in range(2)) / 2
        count = max(1, round(TARGET_SECONDS / 2 / single))
        calls = work * count
        ones, twos = [], []
        for r in range(ROUNDS):
            if r % 2:
                twos.append(two_threads(calls))
                ones.append(one_thread(calls))
            else:
                ones.append(one_thread(calls))
                twos.append(two_threads(calls))
        ratios = [a / b for a, b in zip(ones, twos)]
        print(f"{name:<16} {2 * count:>5} {statistics.median(ones) * 1e3:>12.1f} "
              f"{statistics.median(twos) * 1e3:>13.1f} {min(ratios):>9.2f}x {statistics.median(ratios):>6.2f}x "
              f"{max(ratios):>5.2f}x")


if __name__ == "__main__":
    main()
