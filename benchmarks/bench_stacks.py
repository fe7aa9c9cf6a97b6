"""A stack of measurements through `dask.array.map_blocks`, one image per chunk, on Dask's
threaded scheduler against its synchronous one (one thread), as docs/stacks.md recommends.

Each pipeline takes an (N, 4, H, W) uint16 frame stack to an (N, H, W) stack of unwrapped phase:
zelnor's `phase` then `fast_unwrap` or `unwrap`, and the same road built from peers, NumPy's
arctan2 for the four-step phase then scikit-image's `unwrap_phase`. Frames vary as users' do:
defocus and coma, tilted or not, noisy or clean, pupils touching the borders or clear of them.

Prints, per pipeline, the best synchronous and threaded times over alternating rounds, the speed-up
of the best threaded time over the best synchronous one, the range of the rounds' own ratios, and how
much longer the peers' road takes on the same scheduler. Threads only help a function that lets other
threads run while it works. On a virtual machine a round can be disturbed (the kernel compacting memory
for huge pages stalls fresh allocations): a ratio above the core count marks such a round.

    python benchmarks/bench_stacks.py [--count 16] [--side 1024] [--rounds 5]
"""
import argparse
import importlib
import time

import numpy as np

import zelnor
from harness import print_environment
from zelnor_cli import road


def frame_stack(count, side):
    frames = np.empty((count, 4, side, side), np.uint16)
    masks = []
    rng = np.random.default_rng(7)
    for index in range(count):
        mask = zelnor.roundmask(1.0 if index % 2 == 0 else 0.8, side, side)  # touching / clear of the borders
        coefficients = np.zeros(29)
        coefficients[3] = rng.uniform(2, 6)  # defocus, waves
        coefficients[6] = rng.uniform(-1, 1)  # coma
        if index % 4 < 2:
            coefficients[1:3] = rng.uniform(-8, 8, 2)  # tilted: dense fringes
        surface = zelnor.zernike_surface(coefficients, mask)
        frames[index] = road.make_frames(surface, mask, 4, peak=60000, noise=2000.0 if index % 3 == 2 else 0.0)
        masks.append(mask)
    return frames, np.stack(masks)


PEERS = "NumPy arctan2 + skimage"


def pipelines(frames, masks):
    import dask.array as da

    stack = da.from_array(frames, chunks=(1, 4) + frames.shape[2:])
    mask_stack = da.from_array(masks, chunks=(1,) + masks.shape[1:])
    meta = np.empty((0, 0, 0), np.float64)

    def zelnor_phase(block):
        return zelnor.phase(list(block[0]))[np.newaxis]

    def numpy_phase(block):
        f = block[0].astype(np.float64)
        return np.arctan2(f[3] - f[1], f[0] - f[2])[np.newaxis]

    def zelnor_fast(block, mask):
        return zelnor.fast_unwrap(mask[0], block[0], 1.0)[np.newaxis]

    def zelnor_reliability(block, mask):
        quality = mask[0].astype(np.uint8) * np.uint8(255)
        return zelnor.unwrap(quality, block[0].astype(np.float32)).astype(np.float64)[np.newaxis]

    def skimage_unwrap(block, mask):
        from skimage.restoration import unwrap_phase

        return np.ma.filled(unwrap_phase(np.ma.masked_array(block[0], ~mask[0])), 0.0)[np.newaxis]

    def road(phase, unwrapper):
        wrapped = stack.map_blocks(phase, drop_axis=1, dtype=np.float64, meta=meta)
        return da.map_blocks(unwrapper, wrapped, mask_stack, dtype=np.float64, meta=meta)

    roads = {
        "zelnor phase + fast_unwrap": road(zelnor_phase, zelnor_fast),
        "zelnor phase + unwrap": road(zelnor_phase, zelnor_reliability),
    }
    try:
        importlib.import_module("skimage.restoration")
    except ImportError:
        print("scikit-image not installed: the peers' road is left out (pip install 'zelnor[bench]')")
    else:
        roads[PEERS] = road(numpy_phase, skimage_unwrap)
    return roads


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=16)
    parser.add_argument("--side", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    print_environment()
    frames, masks = frame_stack(args.count, args.side)
    roads = pipelines(frames, masks)
    print(f"{args.count} measurements of 4 x {args.side}^2 frames, one chunk each; "
          f"{args.rounds} rounds, synchronous and threads alternating")
    print(f"\n{'pipeline':<28} {'1 thread s':>10} {'threads s':>10} {'speed-up':>9} {'rounds: min':>12} {'max':>6}")
    threaded = {}
    for name, result in roads.items():
        result.compute(scheduler="threads")  # warm-up: imports, first allocations
        ones, manys = [], []
        for _ in range(args.rounds):
            start = time.perf_counter()
            serial = result.compute(scheduler="synchronous")
            ones.append(time.perf_counter() - start)
            start = time.perf_counter()
            parallel = result.compute(scheduler="threads")
            manys.append(time.perf_counter() - start)
        if name.endswith("fast_unwrap"):  # no random draws: threads must give the serial bits
            assert np.array_equal(serial, parallel), "threads changed the result"
        ratios = [one / many for one, many in zip(ones, manys)]
        threaded[name] = min(manys)
        print(f"{name:<28} {min(ones):10.2f} {min(manys):10.2f} {min(ones) / min(manys):8.2f}x "
              f"{min(ratios):11.2f}x {max(ratios):5.2f}x")
    peer = threaded.get(PEERS)
    for name in list(threaded)[:2] if peer else []:
        print(f"peers' road on threads / {name} on threads: {peer / threaded[name]:.1f}x")


if __name__ == "__main__":
    main()
