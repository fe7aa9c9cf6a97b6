"""The blocked Zernike fit against NumPy's lstsq on the full term matrix."""
import numpy as np
import pytest

import zelnor
from conftest import grid_coordinates
from zelnor_cli import fit, road


def _grid(height, width):
    return grid_coordinates(width)[None, :], grid_coordinates(height)[:, None]


def _pupil(kind, height, width):
    x, y = _grid(height, width)
    if kind == "disc":
        return zelnor.roundmask(1.0, width, height)
    if kind == "annulus":
        return zelnor.roundmask(1.0, width, height) & ~zelnor.roundmask(0.12, width, height)
    if kind == "threshold":  # ragged, off-centre, with dropped-out pixels like a modulation threshold
        ragged = (x - 0.1) ** 2 + (y + 0.05) ** 2 <= 0.7 + 0.06 * np.sin(9 * np.arctan2(y, x))
        return ragged & (np.random.default_rng(height).random((height, width)) > 0.03)
    if kind == "small-centred":
        return zelnor.roundmask(0.1, width, height)
    if kind == "off-centre":
        return (x - 0.5) ** 2 + (y - 0.4) ** 2 < 0.16
    if kind == "full":
        return np.ones((height, width), bool)
    if kind == "one-row":  # rank deficient: y-type terms repeat x-type ones
        mask = np.zeros((height, width), bool)
        mask[height // 2, :] = True
        return mask
    raise AssertionError(kind)


def _lstsq(surface, mask, terms):
    inside = np.flatnonzero(mask)
    basis = zelnor.zernike_matrix(mask, terms)[:, inside].T
    coefficients, *_ = np.linalg.lstsq(basis, surface.ravel()[inside], rcond=None)
    return coefficients


def _surface(mask, seed):
    """Zernike content plus what no term fits: a ripple and noise."""
    rng = np.random.default_rng(seed)
    height, width = mask.shape
    x, y = _grid(height, width)
    smooth = zelnor.zernike_surface(rng.normal(size=29), mask)
    return smooth + 0.3 * np.sin(9 * x + 5 * y) + 0.01 * rng.normal(size=mask.shape)


def test_fringe_orders_and_term_values_follow_the_module():
    assert fit.fringe_orders() == [(n, m) for n, m, _ in road.FRINGE_TERMS]
    for height, width in [(7, 9), (40, 40), (33, 50), (1, 6)]:
        expected = zelnor.zernike_matrix(np.ones((height, width), bool), 29).T
        rows, cols = np.divmod(np.arange(height * width), width)
        values = fit.term_values(fit.grid_axis(width)[cols], fit.grid_axis(height)[rows])
        np.testing.assert_allclose(values, expected, rtol=0, atol=1e-12 * np.abs(expected).max())


PUPILS = [
    ("disc", 256, 256), ("disc", 120, 200), ("annulus", 256, 256), ("annulus", 90, 160),
    ("threshold", 256, 256), ("threshold", 150, 100), ("small-centred", 256, 256),
    ("off-centre", 200, 256), ("full", 64, 96), ("disc", 8, 8), ("disc", 7, 9), ("one-row", 40, 50),
]


def _tolerance(kind, mask):
    """Relative agreement to ask of two backward-stable solvers: 1e-9, except on pupils whose terms are
    nearly dependent, where either is exact only to about eps times the condition number of the terms
    (there lstsq itself moves by some 1e-9 between NumPy and BLAS builds)."""
    if kind not in ("small-centred", "off-centre"):
        return 1e-9
    return 16 * np.finfo(np.float64).eps * np.sqrt(fit.condition(mask))


@pytest.mark.parametrize("route", ["normal-equations", "blocked-qr"])
@pytest.mark.parametrize("kind, height, width", PUPILS)
def test_agrees_with_lstsq_on_the_full_matrix(monkeypatch, route, kind, height, width):
    if route == "blocked-qr":
        monkeypatch.setattr(fit, "GRAM_CONDITION_LIMIT", 0.0)
    monkeypatch.setattr(fit, "BLOCK_PIXELS", 4096)  # several blocks even on small images
    mask = _pupil(kind, height, width)
    surface = _surface(mask, height * width)
    expected = _lstsq(surface, mask, 29)
    got = fit.fit(surface, mask)
    assert got.dtype == np.float64 and got.shape == (29,)
    assert np.linalg.norm(got - expected) <= _tolerance(kind, mask) * np.linalg.norm(expected)


@pytest.mark.parametrize("terms", [1, 4, 11, 29, 36])
def test_term_counts_and_road_entry(terms):
    mask = _pupil("annulus", 60, 80)
    surface = _surface(mask, terms)
    expected = _lstsq(surface, mask, terms)  # terms past 29 are zero columns: coefficient 0
    got = road.fit_zernike(surface, mask, terms)
    assert got.shape == (terms,)
    assert np.linalg.norm(got - expected) <= 1e-9 * np.linalg.norm(expected)


@pytest.mark.parametrize("kind, height, width", [p for p in PUPILS if p[0] != "one-row"])
def test_recovers_the_coefficients_of_a_noise_free_surface(kind, height, width):
    mask = _pupil(kind, height, width)
    truth = np.random.default_rng(7).uniform(-2, 2, size=29)
    got = fit.fit(zelnor.zernike_surface(truth, mask), mask)
    np.testing.assert_allclose(got, truth, rtol=0, atol=1e-8)


def test_values_outside_the_pupil_are_ignored():
    mask = _pupil("disc", 64, 64)
    surface = _surface(mask, 3)
    dirty = np.where(mask, surface, np.nan)
    np.testing.assert_array_equal(fit.fit(dirty, mask), fit.fit(np.where(mask, surface, 1e300), mask))


def test_road_refuses_a_pupil_smaller_than_the_term_count():
    mask = np.zeros((16, 16), bool)
    mask[4, 2:30] = True
    with pytest.raises(road.RoadError, match="the pupil has 14 pixels, fewer than the 29 fitted terms"):
        road.fit_zernike(np.zeros((16, 16)), mask)


def _equilibrated_condition(mask):
    inside = np.flatnonzero(mask)
    basis = zelnor.zernike_matrix(mask, 29)[:, inside].T
    return np.linalg.cond(basis / np.linalg.norm(basis, axis=0)) ** 2


@pytest.mark.parametrize("kind, height, width, low, high", [
    ("disc", 256, 256, 1.0, 1.1), ("annulus", 90, 160, 2.0, 100.0), ("full", 64, 96, 1e2, 1e4),
    ("small-centred", 256, 256, 1e6, 1e18), ("off-centre", 200, 256, 1e6, np.inf), ("one-row", 40, 50, 1e6, np.inf),
])
def test_condition_is_that_of_the_full_matrix(kind, height, width, low, high):
    mask = _pupil(kind, height, width)
    got = fit.condition(mask)
    assert low <= got <= high
    if got < 1e8:  # beyond, both are rounding noise on a singular matrix
        assert got == pytest.approx(_equilibrated_condition(mask), rel=1e-6)
    assert road.fit_condition(mask) == got and (got > road.FIT_CONDITION_LIMIT) == (low > 1e5)
    assert road.fit_zernike_and_condition(_surface(mask, 1), mask)[1] == got


def test_a_term_that_vanishes_on_the_pupil_leaves_the_fit_without_a_condition():
    """On the centre column x = 0 every term odd in x is zero: rounding must not pass for a finite condition."""
    mask = np.zeros((65, 65), bool)
    mask[:, 32] = True
    assert not zelnor.zernike_matrix(mask, 29)[1][mask.ravel()].any()  # tilt x
    assert fit.condition(mask) == road.fit_condition(mask) == np.inf


@pytest.mark.parametrize("indices", [[0], [1, 2], [0, 1, 2], [3], [0, 1, 2, 3]])
@pytest.mark.parametrize("kind, height, width", [p for p in PUPILS if p[0] != "disc"]
                         + [("thin-ring", 300, 300), ("row-3", 96, 96), ("column-3", 96, 96)])
def test_low_order_fit_is_the_least_squares_fit_of_those_terms_alone(kind, height, width, indices):
    """Piston is always fitted with the chosen terms; the fitted values equal lstsq's, however badly the 29
    terms are conditioned on the pupil."""
    if kind == "thin-ring":
        mask = zelnor.roundmask(1.0, width, height) & ~zelnor.roundmask(0.95, width, height)
    elif kind in ("row-3", "column-3"):  # off the centre line: a centroid not exactly on the pixels
        mask = np.zeros((height, width), bool)
        mask[3, 12:84] = True
        mask = np.ascontiguousarray(mask.T) if kind == "column-3" else mask
    else:
        mask = _pupil(kind, height, width)
    surface = _surface(mask, height + width)
    fitted = sorted(set(indices) | {0})
    inside = np.flatnonzero(mask)
    basis = zelnor.zernike_matrix(mask, 4)[fitted][:, inside].T
    expected = basis @ np.linalg.lstsq(basis, surface.ravel()[inside], rcond=None)[0]
    got = road.fit_removable(surface, mask, indices)
    assert got.shape == (29,) and not got[[k for k in range(29) if k not in fitted]].any()
    values = zelnor.zernike_surface(got, mask).ravel()[inside]
    assert np.max(np.abs(values - expected)) <= 1e-10 * np.max(np.abs(surface))
