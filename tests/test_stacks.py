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


@pytest.mark.parametrize("shape", [(64, 64), (48, 80)])
def test_map_blocks_recipe_matches_the_serial_loop(shape):
    mask, frames = frame_stack(5, *shape)
    calls = []

    def wrapped_phase(block):
        calls.append(block.shape)
        return zelnor.phase(list(block[0]))[np.newaxis]

    def unwrapped(block, mask):
        calls.append(block.shape)
        return zelnor.fast_unwrap(mask, block[0], 1.0 / PERIOD)[np.newaxis]

    meta = np.empty((0, 0, 0), np.float64)
    stack = da.from_array(frames, chunks=(1, 4) + shape)
    phase = stack.map_blocks(wrapped_phase, drop_axis=1, dtype=np.float64, meta=meta)
    result = phase.map_blocks(unwrapped, mask=mask, dtype=np.float64, meta=meta).compute(scheduler="threads",
                                                                                         num_workers=2)

    serial = np.array([zelnor.fast_unwrap(mask, zelnor.phase(list(f)), 1.0 / PERIOD) for f in frames])
    assert result.dtype == np.float64 and result.shape == (5,) + shape
    assert np.array_equal(result.view(np.uint64), serial.view(np.uint64))
    # With dtype and meta given, Dask never probes the functions with 0-d or empty blocks.
    assert sorted(set(calls)) == sorted({(1, 4) + shape, (1,) + shape})
    assert len(calls) == 10
