"""The Dask stack recipe of docs/stacks.md: whole-image chunks, no guessing calls, serial results."""
import numpy as np
import pytest

import zelnor

da = pytest.importorskip("dask.array")

PERIOD = 2 * 3.14159265


def frame_stack(count, height, width):
    mask = zelnor.roundmask(0.85, width, height)
    rng = np.random.default_rng(7)
    stack = []
    for _ in range(count):
        coefficients = np.zeros(29)
        coefficients[1:9] = rng.uniform(-1.5, 1.5, 8)
        surface = zelnor.zernike_surface(coefficients, mask)
        stack.append([zelnor.interferogram(2 * np.pi, k * np.pi / 2, 65535, mask, surface) for k in range(4)])
    return mask, np.array(stack)


@pytest.mark.parametrize("count, shape", [(5, (64, 64)), (5, (48, 80)), (0, (48, 80))])
def test_map_blocks_recipe_matches_the_serial_loop(count, shape):
    mask, frames = frame_stack(count, *shape)
    frames = frames.reshape((count, 4) + shape)
    calls = []

    # As the recipe writes them: every image of the block, and an empty series answered with an empty block.
    def wrapped_phase(block):
        calls.append(block.shape)
        maps = [zelnor.phase(list(measurement)) for measurement in block]
        return np.stack(maps) if maps else np.empty((0,) + block.shape[-2:])

    def unwrapped(block, mask):
        calls.append(block.shape)
        maps = [zelnor.fast_unwrap(mask, wrapped, 1.0 / PERIOD) for wrapped in block]
        return np.stack(maps) if maps else np.empty((0,) + block.shape[-2:])

    meta = np.empty((0, 0, 0), np.float64)
    stack = da.from_array(frames, chunks={0: 1, 1: -1, 2: -1, 3: -1})
    phase = stack.map_blocks(wrapped_phase, drop_axis=1, dtype=np.float64, meta=meta)
    result = phase.map_blocks(unwrapped, mask=mask, dtype=np.float64, meta=meta).compute(scheduler="threads",
                                                                                         num_workers=2)

    serial = np.array([zelnor.fast_unwrap(mask, zelnor.phase(list(f)), 1.0 / PERIOD) for f in frames])
    assert result.dtype == np.float64 and result.shape == (count,) + shape
    assert np.array_equal(result.view(np.uint64), serial.reshape(result.shape).view(np.uint64))
    # With dtype and meta given, Dask never probes the functions with 0-d blocks, nor with empty ones it makes up:
    # one call per measurement and step, or one call per step on the empty series' one block.
    assert sorted(set(calls)) == sorted({(min(count, 1), 4) + shape, (min(count, 1),) + shape})
    assert len(calls) == 2 * max(count, 1)
