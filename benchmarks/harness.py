"""Timing helpers shared by the benchmark scripts.

Each script times zelnor and its peers on the same data in one run and prints
one table: case, nanoseconds per pixel of each contender, and the ratio of the
peer's time to ours (above 1: zelnor is faster).
"""
import time


def best_time(fn, repeat=7, min_total=0.2):
    """Best wall time of one call of `fn`, in seconds, over `repeat` rounds
    (each round repeats the call until it has run for min_total / repeat)."""
    fn()  # warm-up
    best = float("inf")
    per_round = min_total / repeat
    for _ in range(repeat):
        calls = 0
        start = time.perf_counter()
        while True:
            fn()
            calls += 1
            elapsed = time.perf_counter() - start
            if elapsed >= per_round:
                break
        best = min(best, elapsed / calls)
    return best


def print_table(title, rows):
    """rows: (case, pixels, ours_seconds, [(peer_name, peer_seconds), ...])"""
    print(f"\n{title}")
    print(f"{'case':<34} {'zelnor ns/px':>12}  {'peer':<26} {'peer ns/px':>10} {'ratio':>7}")
    for case, pixels, ours, peers in rows:
        for k, (peer_name, peer) in enumerate(peers):
            label = case if k == 0 else ""
            ours_txt = f"{ours / pixels * 1e9:12.2f}" if k == 0 else " " * 12
            print(f"{label:<34} {ours_txt}  {peer_name:<26} {peer / pixels * 1e9:10.2f} {peer / ours:6.2f}x")



def print_environment():
    """Prints the CPU model and the versions that the timings depend on."""
    import os
    import platform

    import numpy

    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), cpu)
    except OSError:
        pass
    try:
        import skimage
        skimage_version = skimage.__version__
    except ImportError:
        skimage_version = "not installed"
    print(f"CPU: {cpu} ({os.cpu_count()} logical cores); Python {platform.python_version()}, "
          f"NumPy {numpy.__version__}, scikit-image {skimage_version}")
