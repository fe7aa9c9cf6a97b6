"""Zernike term table, zernike_surface and zernike_matrix."""
import numpy as np
import pytest

import zelnor
from conftest import assert_bits_equal, grid_coordinates


def fringe_terms(x, y):
    """Independent model of the 36 slots, each in its fixed evaluation grouping."""
    xx, yy = x * x, y * y
    r2 = x * x + y * y
    r4 = r2 * r2
    zero = np.zeros(np.broadcast(x, y).shape)
    one = zero + 1.0
    terms = [
        one,
        x + zero,
        y + zero,
        r2 + r2 - 1.0,
        xx - yy,
        (x + x) * y,
        r2 * (3.0 * x) - (x + x),
        r2 * (3.0 * y) - (y + y),
        (1.0 - r2 * 6.0) + r4 * 6.0,
        xx * x - yy * (3.0 * x),
        (xx * 3.0) * y - yy * y,
        ((yy * 3.0 - xx * 3.0) + (xx * 4.0) * r2) - (yy * 4.0) * r2,
        r2 * ((8.0 * x) * y) - (6.0 * x) * y,
        (3.0 * x - (12.0 * x) * r2) + ((10.0 * x) * r2) * r2,
        (3.0 * y - (12.0 * y) * r2) + ((10.0 * y) * r2) * r2,
        ((r2 * 12.0 - 1.0) - (r2 * 30.0) * r2) + ((r2 * 20.0) * r2) * r2,
        (yy * y) * y + ((xx * x) * x - (((6.0 * x) * x) * y) * y),
        (((4.0 * x) * x) * x) * y - (((4.0 * x) * y) * y) * y,
        ((((5.0 * x) * x) * x) * r2 + (((12.0 * x) * y) * y - ((4.0 * x) * x) * x))
        - (((15.0 * x) * y) * y) * r2,
        ((((15.0 * x) * x) * y) * r2 + (((4.0 * y) * y) * y - ((12.0 * x) * x) * y))
        - (((5.0 * y) * y) * y) * r2,
        (((yy * 20.0) * r2 + ((xx * 6.0 - yy * 6.0) - (xx * 20.0) * r2)) + (xx * 15.0) * r4)
        - (yy * 15.0) * r4,
        ((12.0 * x) * y - ((40.0 * x) * y) * r2) + r4 * ((30.0 * x) * y),
        (((30.0 * x) * r2 - 4.0 * x) - (60.0 * x) * r4) + (r4 * r2) * (35.0 * x),
        (((30.0 * y) * r2 - 4.0 * y) - (60.0 * y) * r4) + (r4 * r2) * (35.0 * y),
        (((1.0 - r2 * 20.0) + r4 * 90.0) - (r4 * r2) * 140.0) + ((r4 * r2) * r2) * 70.0,
        (((xx * x) * x) * x - ((xx * x) * 10.0) * yy) + ((yy * y) * y) * (5.0 * x),
        (((((xx * x) * x) * 5.0) * y) - (xx * 10.0) * (yy * y)) + ((yy * y) * y) * y,
        (((((xx * 30.0) * yy - ((xx * x) * x) * 5.0) - ((yy * y) * y) * 5.0)
          + (((xx * x) * x) * 6.0) * r2) - ((xx * 36.0) * yy) * r2) + (((yy * y) * y) * 6.0) * r2,
        (((20.0 * x) * (yy * y) - ((xx * x) * 20.0) * y) + (((xx * x) * 24.0) * y) * r2)
        - ((24.0 * x) * (yy * y)) * r2,
    ]
    # Broadcast without arithmetic, which would turn -0.0 into 0.0.
    return [np.broadcast_to(t, zero.shape).copy() for t in terms] + [zero] * 7


def grid(mask):
    height, width = mask.shape
    return grid_coordinates(width)[None, :], grid_coordinates(height)[:, None]


def surface_model(coefficients, mask):
    terms = fringe_terms(*grid(mask))
    total = np.zeros(mask.shape)
    for j, c in enumerate(coefficients[:36]):
        if c != 0.0:
            total = total + terms[j] * c
    return np.where(mask, total, 0.0)


def matrix_model(mask, count):
    terms = fringe_terms(*grid(mask))
    rows = [np.where(mask, terms[k], 0.0).ravel() if k < 36 else np.zeros(mask.size) for k in range(count)]
    return np.array(rows).reshape(count, mask.size)


def one_hot(k, n=36):
    c = np.zeros(n)
    c[k] = 1.0
    return c


M_NONNEGATIVE = [0, 1, 3, 4, 6, 8, 9, 11, 13, 15, 16, 18, 20, 22, 24, 25, 27]

AT_MINUS_075_025 = [
    1, -0.75, 0.25, 0.25, 0.5, -0.375, 0.09375, -0.03125, -0.40625, -0.28125, 0.40625, -0.25, 0.1875,
    0.4453125, -0.1484375, -0.3359375, 0.109375, -0.375, 0.24609375, -0.35546875, -0.3203125,
    0.240234375, 0.10693359375, -0.03564453125, 0.15771484375, 0.01171875, 0.30859375, -0.13671875,
    0.46875,
]
AT_ORIGIN = {0: 1.0, 3: -1.0, 8: 1.0, 15: -1.0, 24: 1.0}
AT_HALF_HALF = {5: 0.5, 6: -0.25, 8: -0.5, 24: 0.375, 27: 0.5}


@pytest.mark.parametrize("count", [-1, 2**31 - 1])
def test_matrix_impossible_counts_raise_numpy_error(count):
    with pytest.raises((ValueError, MemoryError)):
        zelnor.zernike_matrix(np.ones((1000, 1000), bool), count)


# --- term values ----------------------------------------------------------------

@pytest.mark.parametrize("slot", range(29))
def test_terms_at_exact_points(slot):
    c = one_hot(slot)
    assert zelnor.zernike_surface(c, np.ones((4, 4), bool))[2, 0] == AT_MINUS_075_025[slot]
    assert zelnor.zernike_surface(c, np.ones((1, 1), bool))[0, 0] == AT_ORIGIN.get(slot, 0.0)
    if slot in AT_HALF_HALF:
        assert zelnor.zernike_surface(c, np.ones((2, 2), bool))[1, 1] == AT_HALF_HALF[slot]


def test_reference_model_on_the_unit_circle():
    # The model the module is checked against, at the two axis points of the unit circle.
    on_x = np.array([float(t) for t in fringe_terms(np.float64(1.0), np.float64(0.0))[:29]])
    on_y = np.array([float(t) for t in fringe_terms(np.float64(0.0), np.float64(1.0))[:29]])
    assert_bits_equal(on_x, np.array([1.0 if k in M_NONNEGATIVE else 0.0 for k in range(29)]))
    ones = {0, 2, 3, 7, 8, 14, 15, 16, 23, 24, 26, 27}
    minus = {4, 10, 11, 19, 20}
    assert_bits_equal(on_y, np.array([1.0 if k in ones else -1.0 if k in minus else 0.0 for k in range(29)]))
    assert [float(t) for t in fringe_terms(np.float64(-0.75), np.float64(0.25))[:29]] == AT_MINUS_075_025


# --- surfaces ---------------------------------------------------------------------

def masks(shape, rng):
    height, width = shape
    scattered = rng.random(shape) < 0.6
    raw = (rng.random(shape) < 0.5).astype(np.uint8) * 255  # non-zero bytes other than 1
    return {
        "disc": zelnor.roundmask(1.0, width, height),
        "full": np.ones(shape, bool),
        "scattered": scattered,
        "raw": raw.view(np.bool_),
        "empty": np.zeros(shape, bool),
    }


@pytest.mark.parametrize("shape", [(1, 1), (5, 3), (17, 64), (64, 17), (97, 131), (2, 70000)])
@pytest.mark.parametrize("length", [0, 1, 7, 29, 36, 300])
def test_surface_bit_exact_against_model(shape, length, rng):
    coefficients = rng.normal(size=length) * 10.0 ** rng.integers(-3, 3, size=length)
    coefficients[rng.random(length) < 0.3] = 0.0
    for name, mask in masks(shape, rng).items():
        result = zelnor.zernike_surface(coefficients, mask)
        assert result.dtype == np.float64 and result.flags.c_contiguous, name
        assert_bits_equal(result, surface_model(coefficients, mask))


@pytest.mark.parametrize("shape", [(0, 0), (0, 4), (4, 0)])
def test_empty_images(shape):
    mask = np.ones(shape, bool)
    assert zelnor.zernike_surface(np.ones(29), mask).shape == shape
    assert zelnor.zernike_matrix(mask, 5).shape == (5, 0)


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf, 3.5])
@pytest.mark.parametrize("slot", [29, 35])
def test_unused_slots(value, slot, rng):
    mask = masks((9, 11), rng)["scattered"]
    base = rng.normal(size=36)
    base[29:] = 0.0
    changed = base.copy()
    changed[slot] = value
    result = zelnor.zernike_surface(changed, mask)
    assert not result[~mask].any()
    if np.isfinite(value):
        # A finite coefficient times the zero function leaves the sum as it was.
        assert_bits_equal(result, zelnor.zernike_surface(base, mask))
    else:
        assert np.isnan(result[mask]).all()


def test_nan_coefficient_is_used_and_slots_past_36_are_not(rng):
    mask = np.ones((6, 6), bool)
    c = np.zeros(40)
    c[36:] = np.nan
    assert_bits_equal(zelnor.zernike_surface(c, mask), np.zeros((6, 6)))
    c[2] = np.nan
    assert np.isnan(zelnor.zernike_surface(c, mask)).all()


# --- matrices ------------------------------------------------------------------

@pytest.mark.parametrize("shape", [(1, 1), (7, 5), (33, 40), (3, 70000)])
@pytest.mark.parametrize("count", [0, 1, 29, 40, 300])
def test_matrix_bit_exact_against_model(shape, count, rng):
    for name, mask in masks(shape, rng).items():
        if shape[1] > 1000 and name != "disc":
            continue
        result = zelnor.zernike_matrix(mask, count)
        assert result.shape == (count, mask.size) and result.flags.c_contiguous, name
        assert_bits_equal(result, matrix_model(mask, count))  # rows past 29 are +0.0 in the model


def test_matrix_rows_are_one_hot_surfaces(rng):
    for mask in masks((23, 19), rng).values():
        matrix = zelnor.zernike_matrix(mask, 36)
        for k in range(36):
            surface = zelnor.zernike_surface(one_hot(k), mask).ravel()
            # The surface sums onto +0.0, so only the sign of a zero may differ.
            assert_bits_equal(matrix[k] + 0.0, surface)


def test_least_squares_fit_recovers_coefficients(rng):
    mask = zelnor.roundmask(1.0, 96, 80)
    truth = rng.uniform(-1.0, 1.0, 29)
    measured = zelnor.zernike_surface(truth, mask)
    terms = zelnor.zernike_matrix(mask, 29)[:, mask.ravel()]
    fit, *_ = np.linalg.lstsq(terms.T, measured[mask], rcond=None)
    np.testing.assert_allclose(fit, truth, rtol=0, atol=1e-9)


# --- closed forms --------------------------------------------------------------------

def nominal_grid(height, width):
    """x = -1 + (2c + 1)/W along columns, y = -1 + (2r + 1)/H along rows."""
    x = -1.0 + (2.0 * np.arange(width) + 1.0) / width
    y = -1.0 + (2.0 * np.arange(height) + 1.0) / height
    return np.meshgrid(x, y)


def closed_forms(x, y):
    """The 29 Fringe terms as printed in the README's table, in plain NumPy."""
    # Powers as repeated products, exact on the dyadic grid; NumPy's `**` need not be
    # (NumPy 1.26 on AVX-512 rounds some x**4 differently).
    x2, y2 = x * x, y * y
    x3, y3 = x2 * x, y2 * y
    x4, y4 = x3 * x, y3 * y
    r2 = x2 + y2
    r4 = r2 * r2
    r6, r8 = r4 * r2, r4 * r4
    cos2, sin2 = x2 - y2, 2 * x * y
    cos3, sin3 = x3 - 3 * x * y2, 3 * x2 * y - y3
    cos4, sin4 = x4 - 6 * x2 * y2 + y4, 4 * x3 * y - 4 * x * y3
    coma, coma2 = 3 * r2 - 2, 10 * r4 - 12 * r2 + 3
    coma3 = 35 * r6 - 60 * r4 + 30 * r2 - 4
    astig2, astig3 = 4 * r2 - 3, 15 * r4 - 20 * r2 + 6
    return [
        np.ones_like(x), x, y, 2 * r2 - 1, cos2, sin2, coma * x, coma * y, 6 * r4 - 6 * r2 + 1, cos3, sin3,
        astig2 * cos2, astig2 * sin2, coma2 * x, coma2 * y, 20 * r6 - 30 * r4 + 12 * r2 - 1, cos4, sin4,
        (5 * r2 - 4) * cos3, (5 * r2 - 4) * sin3, astig3 * cos2, astig3 * sin2, coma3 * x, coma3 * y,
        70 * r8 - 140 * r6 + 90 * r4 - 20 * r2 + 1, x4 * x - 10 * x3 * y2 + 5 * x * y4,
        5 * x4 * y - 10 * x2 * y3 + y4 * y, (6 * r2 - 5) * cos4, (6 * r2 - 5) * sin4,
    ]


# Power-of-two sides: every coordinate is an odd multiple of 1/32 at worst and every term is exact
# in double precision, whatever the grouping. Unequal sides tell x from y.
DYADIC_SHAPES = [(1, 1), (2, 4), (16, 8), (8, 32)]


@pytest.mark.parametrize("shape", DYADIC_SHAPES)
def test_terms_equal_the_closed_forms_exactly(shape):
    x, y = nominal_grid(*shape)
    expected = closed_forms(x, y)
    mask = np.ones(shape, bool)
    matrix = zelnor.zernike_matrix(mask, 36)
    for slot in range(29):
        np.testing.assert_array_equal(zelnor.zernike_surface(one_hot(slot), mask), expected[slot], err_msg=str(slot))
        np.testing.assert_array_equal(matrix[slot].reshape(shape), expected[slot], err_msg=str(slot))
    assert not matrix[29:].any()


@pytest.mark.parametrize("shape", [(37, 53), (53, 37), (3, 1000)])
def test_low_order_terms_near_the_closed_forms(shape):
    # On the accumulated grid the terms up to trefoil differ from the printed forms only by their
    # grouping: not at all up to astigmatism, by a few ulps of 1 after it.
    x, y = np.meshgrid(grid_coordinates(shape[1]), grid_coordinates(shape[0]))
    expected = closed_forms(x, y)
    matrix = zelnor.zernike_matrix(np.ones(shape, bool), 11).reshape(11, *shape)
    for slot in range(11):
        tolerance = 0.0 if slot < 6 else 16 * np.finfo(float).eps
        np.testing.assert_allclose(matrix[slot], expected[slot], rtol=0, atol=tolerance, err_msg=str(slot))


@pytest.mark.parametrize("length", [256, 256 + 5, 512 + 3])
def test_long_coefficient_vectors_use_their_first_36_entries(length, rng):
    # A count kept in 8 bits would use length % 256 entries.
    shape = (8, 16)
    coefficients = np.zeros(length)
    coefficients[:29] = rng.integers(-8, 9, 29) / 8.0  # exact products and sums on the dyadic grid
    coefficients[36:] = np.nan
    expected = sum(c * t for c, t in zip(coefficients[:29], closed_forms(*nominal_grid(*shape))))
    np.testing.assert_array_equal(zelnor.zernike_surface(coefficients, np.ones(shape, bool)), expected)


@pytest.mark.parametrize("count", [256, 256 + 3, 512 + 30])
def test_long_matrices_have_every_row(count):
    shape = (4, 8)
    matrix = zelnor.zernike_matrix(np.ones(shape, bool), count)
    assert matrix.shape == (count, 32)
    np.testing.assert_array_equal(matrix[:29], np.array(closed_forms(*nominal_grid(*shape))).reshape(29, 32))
    assert not matrix[29:].any()
