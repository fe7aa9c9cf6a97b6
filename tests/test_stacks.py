"""The Dask stack recipe of docs/stacks.md: whole-image chunks, no guessing calls, serial results."""
import ast
import re
from pathlib import Path

import numpy as np
import pytest

import zelnor

da = pytest.importorskip("dask.array")


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


def recipe():
    """The functions of the recipe as docs/stacks.md gives them, so that the doc's own code is what is tested."""
    text = (Path(__file__).resolve().parent.parent / "docs" / "stacks.md").read_text(encoding="utf-8")
    code = re.search(r"^```python\n(.*?)^```", text, re.S | re.M).group(1)
    functions = [node for node in ast.parse(code).body if isinstance(node, ast.FunctionDef)]
    namespace = {"np": np, "zelnor": zelnor}
    exec(compile(ast.Module(body=functions, type_ignores=[]), "stacks.md", "exec"), namespace)
    return namespace["wrapped_phase"], namespace["unwrapped_waves"]


@pytest.mark.parametrize("count, shape, per_block", [(5, (64, 64), 1), (5, (48, 80), 1), (5, (48, 80), 2),
                                                     (0, (48, 80), 1)])
def test_map_blocks_recipe_matches_the_serial_loop(count, shape, per_block):
    mask, frames = frame_stack(count, *shape)
    frames = frames.reshape((count, 4) + shape)
    calls = []
    phase_of, unwrap = recipe()

    def wrapped_phase(block):
        calls.append(block.shape)
        return phase_of(block)

    def unwrapped(block, mask):
        calls.append(block.shape)
        return unwrap(block, mask)

    meta = np.empty((0, 0, 0), np.float64)
    stack = da.from_array(frames, chunks={0: per_block, 1: -1, 2: -1, 3: -1})
    phase = stack.map_blocks(wrapped_phase, drop_axis=1, dtype=np.float64, meta=meta)
    result = phase.map_blocks(unwrapped, mask=mask, dtype=np.float64, meta=meta).compute(scheduler="threads",
                                                                                         num_workers=2)

    serial = np.array([zelnor.fast_unwrap(mask, zelnor.phase(list(f)), 1.0 / (2 * np.pi)) for f in frames])
    assert result.dtype == np.float64 and result.shape == (count,) + shape
    assert np.array_equal(result.view(np.uint64), serial.reshape(result.shape).view(np.uint64))
    # With dtype and meta given, Dask never probes the functions with 0-d blocks, nor with empty ones it makes up:
    # one call per block and step, the empty series' one block included.
    blocks = [min(per_block, count - start) for start in range(0, count, per_block)] or [0]
    assert sorted(calls) == sorted([(size, 4) + shape for size in blocks] + [(size,) + shape for size in blocks])
