"""fast_unwrap: the breadth-first flood-fill unwrapper."""
import math
from collections import deque

import numpy as np
import pytest

import zelnor
from conftest import assert_bits_equal

HALF = 3.14159265
PERIOD = 2 * HALF


def fill_model(mask, surface, scale, row_bounded=True):
    """The flood fill pixel by pixel in plain Python floats. With row_bounded
    False, left and right neighbours are bounded only by the flat index range."""
    rows, cols = surface.shape
    n_pixels = rows * cols
    inside = [bool(b) for b in mask.ravel()]
    data = [float(v) for v in surface.ravel()]
    out = [0.0] * n_pixels
    set_pixels = [p for p in range(n_pixels) if inside[p]]
    if set_pixels:
        seed = set_pixels[0]
        visited = [False] * n_pixels
        visited[seed] = True
        queue = deque([seed])
        hi = lo = data[seed]
        while queue:
            p = queue.popleft()
            col = p % cols
            neighbours = [
                p - cols if p - cols >= 0 else None,
                p - 1 if p - 1 >= 0 and (col > 0 or not row_bounded) else None,
                p + cols if p + cols < n_pixels else None,
                p + 1 if p + 1 < n_pixels and (col < cols - 1 or not row_bounded) else None,
            ]
            for n in neighbours:
                if n is None or not inside[n] or visited[n]:
                    continue
                k = float(math.floor(((data[p] - data[n]) * 0.5) / HALF + 0.5))
                data[n] = (k + k) * HALF + data[n]
                queue.append(n)
                visited[n] = True
            v = data[p]
            hi = v if v > hi else hi
            lo = v if v < lo else lo
        centre = (hi + lo) * 0.5
        out = [(data[p] - centre) * scale if inside[p] else 0.0 for p in range(n_pixels)]
    return np.array(out, np.float64).reshape(rows, cols)


def wrapped(phase):
    return phase - PERIOD * np.floor((phase + HALF) / PERIOD)


def assert_continuous(result, truth, mask, scale=1.0):
    """Inside the mask the result is the true phase, shifted by one constant and scaled."""
    offset = (result - truth * scale)[mask]
    assert np.ptp(offset) < 1e-9 * max(1.0, np.abs(truth).max())


@pytest.mark.parametrize(
    "shape, where, scale",
    [((5, 7), None, 2.0), ((1, 1), None, 2.0), ((0, 3), None, 2.0), ((3, 0), None, 2.0),  # empty mask
     ((5, 7), (0, 0), 3.0), ((5, 7), (2, 3), 3.0), ((5, 7), (4, 6), 3.0)],  # a single pixel
)
def test_empty_mask_or_single_pixel_gives_zeros(shape, where, scale, rng):
    mask = np.zeros(shape, bool)
    if where is not None:
        mask[where] = True
    result = zelnor.fast_unwrap(mask, rng.uniform(-3, 3, shape), scale)
    assert_bits_equal(result, np.zeros(shape))


@pytest.mark.parametrize("slope", [(0.7, 0.0), (0.0, -1.1), (0.9, 0.8), (-2.0, 1.3)])
def test_wrapped_ramp_under_disc_is_continuous_and_centred(slope):
    mask = zelnor.roundmask(0.8, 64, 48)
    assert not mask[:, 0].any() and not mask[:, -1].any()
    rows, cols = np.mgrid[0:48, 0:64]
    truth = slope[0] * cols + slope[1] * rows
    scale = 1 / (2 * 3.14159265)
    result = zelnor.fast_unwrap(mask, wrapped(truth), scale)
    assert_continuous(result, truth, mask, scale)
    inside = result[mask]
    assert inside.max() == pytest.approx(-inside.min(), abs=1e-12)
    spread = (truth[mask].max() - truth[mask].min()) * scale
    assert inside.max() - inside.min() == pytest.approx(spread, rel=1e-12)
    assert_bits_equal(result[~mask], np.zeros(np.count_nonzero(~mask)))


def test_only_the_seed_region_is_unwrapped():
    mask = np.zeros((6, 12), bool)
    mask[1:5, 1:5] = True
    mask[1:5, 7:11] = True
    truth = np.tile(np.arange(12) * 2.0, (6, 1))
    surface = wrapped(truth)
    result = zelnor.fast_unwrap(mask, surface, 0.5)
    left = mask.copy()
    left[:, 6:] = False
    assert_continuous(result, truth, left, 0.5)
    centre = (truth[1, 4] + truth[1, 1]) * 0.5 - (truth[1, 1] - surface[1, 1])
    expected_right = (surface[1:5, 7:11] - centre) * 0.5
    np.testing.assert_allclose(result[1:5, 7:11], expected_right, rtol=0, atol=1e-12)
    assert_bits_equal(result, fill_model(mask, surface, 0.5))


@pytest.mark.parametrize(
    "seed, neighbour, unwrapped",
    [
        (HALF, 0.0, 2 * HALF),  # half a period below: raised by a full period
        (0.0, HALF, HALF),  # half a period above: unchanged
        (-HALF, -2 * HALF, 0.0),
        (-2 * HALF, -HALF, -HALF),
    ],
)
def test_half_period_tie_rule(seed, neighbour, unwrapped):
    # Scale 0 would hide the values: centre on the seed's own mid-range instead.
    mask = np.ones((1, 2), bool)
    result = zelnor.fast_unwrap(mask, np.array([[seed, neighbour]]), 1.0)
    centre = (seed + unwrapped) * 0.5
    assert_bits_equal(result, np.array([[seed - centre, unwrapped - centre]]))
    assert result[0, 1] - result[0, 0] == pytest.approx(HALF, rel=1e-15)


@pytest.mark.parametrize("shape", [(8, 16), (33, 20), (1, 40), (40, 1)])
def test_horizontal_ramp_under_full_mask_is_continuous(shape):
    # Rises 0.9 * (W - 1) along each row, far beyond half a period; rows are equal.
    truth = np.tile(np.arange(shape[1]) * 0.9, (shape[0], 1))
    mask = np.ones(shape, bool)
    result = zelnor.fast_unwrap(mask, wrapped(truth), 1.0)
    assert_continuous(result, truth, mask)


@pytest.mark.parametrize("trial", range(12))
def test_matches_pixel_model(trial):
    rng = np.random.default_rng(trial)
    shape = tuple(rng.integers(1, 14, 2))
    mask = rng.random(shape) < rng.choice([0.3, 0.6, 0.9, 1.0])
    surface = rng.uniform(-4, 4, shape) * rng.choice([1.0, 3.0])
    scale = rng.choice([1.0, -0.37, 1 / PERIOD])
    assert_bits_equal(zelnor.fast_unwrap(mask, surface, scale), fill_model(mask, surface, scale))


@pytest.mark.parametrize("trial", range(6))
def test_masks_clear_of_one_side_match_flat_index_fill(trial):
    # With the last (or first) column empty, row-bounded and flat-index neighbours agree.
    rng = np.random.default_rng(100 + trial)
    shape = (9, 11)
    mask = rng.random(shape) < 0.8
    mask[:, -1 if trial % 2 else 0] = False
    surface = rng.uniform(-6, 6, shape)
    assert_bits_equal(zelnor.fast_unwrap(mask, surface, 1.0),
                      fill_model(mask, surface, 1.0, row_bounded=False))


@pytest.mark.parametrize("shape", [(1025, 1024), (2048, 2048), (2, 70000)])
@pytest.mark.parametrize("full", [False, True])
def test_large_images(shape, full):
    mask = np.ones(shape, bool) if full else zelnor.roundmask(1.0, shape[1], shape[0])
    y, x = np.mgrid[-1:1:shape[0] * 1j, -1:1:shape[1] * 1j]
    truth = 40.0 * x * x + 25.0 * x
    if shape[0] > 2:
        truth = truth + 40.0 * y * y - 10.0 * y
    result = zelnor.fast_unwrap(mask, wrapped(truth), 1.0)
    assert_continuous(result, truth, mask)
    assert not result[~mask].any()


def test_nan_spreads_but_never_becomes_an_extreme():
    surface = np.array([[1.0, 2.0, np.nan, 5.0]])
    result = zelnor.fast_unwrap(np.ones((1, 4), bool), surface, 1.0)
    assert result[0, :2].tolist() == [-0.5, 0.5]
    assert np.isnan(result[0, 2:]).all()


@pytest.mark.parametrize("edge", [HALF, -HALF, 3 * HALF, -3 * HALF])
@pytest.mark.parametrize("ulps", [-3, -2, -1, 0, 1, 2, 3])
def test_corrections_next_to_half_a_period(edge, ulps):
    # Differences within a few units in the last place of an odd half period,
    # where a shortcut around the floor would first go wrong.
    difference = edge
    for _ in range(abs(ulps)):
        difference = np.nextafter(difference, np.inf if ulps > 0 else -np.inf)
    for reference in (0.0, 0.75, -2.5):
        surface = np.array([[reference, reference - difference]])
        mask = np.ones((1, 2), bool)
        assert_bits_equal(zelnor.fast_unwrap(mask, surface, 1.0), fill_model(mask, surface, 1.0))
