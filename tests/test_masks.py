"""Pupil grid, roundmask and make_mask."""
import numpy as np
import pytest

import zelnor
from conftest import assert_bits_equal, grid_coordinates


def roundmask_model(limit, width, height):
    x = grid_coordinates(width)
    y = grid_coordinates(height)
    return limit >= (x * x)[None, :] + (y * y)[:, None]


def test_four_by_four_disc_drops_the_corners():
    expected = np.ones((4, 4), bool)
    expected[[0, 0, 3, 3], [0, 3, 0, 3]] = False
    assert_bits_equal(zelnor.roundmask(1.0, 4, 4), expected)


@pytest.mark.parametrize(
    "limit, width, height, expected",
    [
        (0.5, 2, 2, np.ones((2, 2), bool)),  # boundary is inclusive
        (0.49, 2, 2, np.zeros((2, 2), bool)),
        (0.0, 1, 1, np.ones((1, 1), bool)),
        (-1e-300, 3, 3, np.zeros((3, 3), bool)),
        (float("nan"), 3, 3, np.zeros((3, 3), bool)),
        (1.0, 3, 1, np.ones((1, 3), bool)),  # second argument is the width
    ],
)
def test_roundmask_pinned_cases(limit, width, height, expected):
    assert_bits_equal(zelnor.roundmask(limit, width, height), expected)


@pytest.mark.parametrize("width, height", [(0, 0), (0, 5), (7, 0)])
def test_roundmask_empty_shapes(width, height):
    mask = zelnor.roundmask(1.0, width, height)
    assert mask.dtype == np.bool_ and mask.shape == (height, width)


@pytest.mark.parametrize("width, height", [(1, 1), (3, 3), (37, 53), (53, 37), (1000, 999), (2, 70000)])
@pytest.mark.parametrize("limit", [1.0, 0.3, 1.7])
def test_roundmask_matches_accumulated_grid(limit, width, height):
    result = zelnor.roundmask(limit, width, height)
    assert result.flags.c_contiguous and result.dtype == np.bool_
    assert_bits_equal(result, roundmask_model(limit, width, height))


def test_roundmask_is_an_ellipse_for_unequal_sides():
    mask = zelnor.roundmask(1.0, 40, 10)
    assert mask[:, 0].sum() < mask[0, :].sum()


@pytest.mark.parametrize("width, height", [(-1, 3), (3, -2)])
def test_roundmask_negative_sizes_raise_numpy_error(width, height):
    with pytest.raises(ValueError):
        zelnor.roundmask(1.0, width, height)


def test_make_mask_thresholds_inclusively_and_drops_nan():
    surface = np.array([[0.5, 1.0, np.nan], [2.0, -np.inf, np.inf]])
    assert_bits_equal(zelnor.make_mask(surface, 1.0), np.array([[0, 1, 0], [1, 0, 1]], bool))
    assert not zelnor.make_mask(surface, float("nan")).any()


@pytest.mark.parametrize("shape", [(0, 4), (4, 0), (1, 1), (70000, 3)])
def test_make_mask_shapes(shape, rng):
    surface = rng.standard_normal(shape)
    assert_bits_equal(zelnor.make_mask(surface, 0.1), surface >= 0.1)


def test_make_mask_accepts_subclasses():
    surface = np.ma.masked_array(np.array([[1.0, -1.0]]))
    assert_bits_equal(zelnor.make_mask(surface, 0.0), np.array([[True, False]]))
