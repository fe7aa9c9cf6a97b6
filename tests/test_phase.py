"""interferogram, phase, phase5 and wrap."""
import math

import numpy as np
import pytest

import zelnor
from conftest import assert_bits_equal

TWO_PI = 2.0 * math.pi
UNITS_PER_RADIAN = 32768.0 / math.pi


def frames_of(*pixels):
    """One uint16 frame per value column: frames_of((a0, a1, ...), ...) gives
    frames whose pixel j holds the j-th tuple."""
    values = np.array(pixels, np.uint16).T
    return [np.ascontiguousarray(v.reshape(1, -1)) for v in values]


def interferogram_model(scale, shift, peak, mask, surface):
    peak = float(peak & 0xFFFF)
    out = np.zeros(surface.shape, np.uint16)
    for idx in zip(*np.nonzero(mask)):
        value = ((math.sin(scale * surface[idx] + shift) + 1.0) * 0.5) * peak
        out[idx] = 0 if math.isnan(value) else int(value)
    return out


def phase_model(frames):
    f = [frame.astype(np.int64).ravel() for frame in frames]
    out = np.empty(f[0].size)
    for i in range(out.size):
        v = [int(x[i]) for x in f]
        if len(v) == 4:
            num, den = float(v[3] - v[1]), float(v[0] - v[2])
        elif len(v) == 5:
            num = -float(3 * v[1] - 3 * v[2] - v[3] + v[4])
            den = float(v[0] - v[1] - 3 * v[2] + 3 * v[3])
        else:
            num = float(v[1] + v[2] - v[4] - v[5]) * -1.7320508075688772
            den = float(v[0] + v[1] - v[2] - 2 * v[3] - v[4] + v[5] + v[6])
        out[i] = math.atan2(num, den)
    return out.reshape(frames[0].shape)


def fixed_atan2_model(X, Y):
    """The binary-angle vectoring, in exact Python integers."""
    if X == 0 and Y == 0:
        return 0
    base = 0
    if Y < 0:
        base, X, Y = -32768, -X, -Y
    if X < 0:
        base, x, y = base + 16384, Y, -X
    else:
        x, y = X, Y
    for k, angle in enumerate((8192, 4836, 2555, 1297, 651, 326)):
        if (y << k) > x:
            base, x, y = base + angle, (x << k) + y, (y << k) - x
    value = (base + (y * 10427) // x) & 0xFFFF
    return value - 65536 if value >= 32768 else value


def phase5_model(frames):
    f = [frame.astype(np.int64).ravel() for frame in frames]
    X = f[0] - 2 * f[2] + f[4]
    Y = 2 * (f[3] - f[1])
    out = [fixed_atan2_model(int(a), int(b)) for a, b in zip(X, Y)]
    return np.array(out, np.int16).reshape(frames[0].shape)


def angle_error(a, b, period=TWO_PI):
    return np.abs((np.asarray(a) - b + period / 2) % period - period / 2)


@pytest.fixture
def surface_and_mask(rng):
    y, x = np.mgrid[-1:1:48j, -1:1:40j]
    surface = 0.8 * (x * x + y * y) - 0.3 * x * y + 0.2 * x + 0.001 * rng.standard_normal(x.shape)
    return surface, zelnor.roundmask(1.0, 40, 48)


# ---------------------------------------------------------------- interferogram

@pytest.mark.parametrize(
    "shift, peak, expected",
    [
        (0.0, 65535, 32767),
        (0.0, 100, 50),
        (math.pi / 2, 65535, 65535),
        (-math.pi / 2, 65535, 0),
        (0.0, 0, 0),
        (math.pi / 2, 65536, 0),
        (0.0, -1, 32767),
        (math.pi / 2, -1, 65535),
        (math.pi / 2, 70000, 4464),
    ],
)
def test_interferogram_zero_surface(shift, peak, expected):
    mask = np.array([[True, False, True]])
    out = zelnor.interferogram(3.0, shift, peak, mask, np.zeros((1, 3)))
    assert_bits_equal(out, np.array([[expected, 0, expected]], np.uint16))


def test_interferogram_non_finite_phase_gives_zero():
    surface = np.array([[np.nan, np.nan, np.inf, 0.5]])
    mask = np.array([[True, False, True, True]])
    assert_bits_equal(zelnor.interferogram(1.0, 0.0, 1000, mask, surface),
                      np.array([[0, 0, 0, int(((math.sin(0.5) + 1.0) * 0.5) * 1000)]], np.uint16))
    assert not zelnor.interferogram(float("inf"), 0.0, 1000, mask, np.ones((1, 4))).any()


@pytest.mark.parametrize("peak", [255, 4095, 65535, 123457])
@pytest.mark.parametrize("scale, shift", [(TWO_PI, 0.0), (-17.3, 1.25), (1e6, -3.0)])
def test_interferogram_matches_clib_model(surface_and_mask, scale, shift, peak):
    surface, mask = surface_and_mask
    assert_bits_equal(zelnor.interferogram(scale, shift, peak, mask, surface),
                      interferogram_model(scale, shift, peak, mask, surface))


@pytest.mark.parametrize("shape", [(0, 0), (0, 7), (5, 0)])
def test_interferogram_empty(shape):
    out = zelnor.interferogram(1.0, 0.0, 10, np.ones(shape, bool), np.ones(shape))
    assert out.dtype == np.uint16 and out.shape == shape


# ---------------------------------------------------------------- phase

@pytest.mark.parametrize(
    "pixels, expected",
    [
        ([(0, 5, 10, 5)], math.pi),
        ([(0, 10, 10, 0, 0)], -math.pi),
        ([(0, 0, 0, 10, 0, 0, 0)], -math.pi),
        ([(7, 7, 7, 7)], 0.0),
        ([(7, 7, 7, 7, 7)], -0.0),
        ([(7,) * 7], -0.0),
        ([(0, 0, 0, 0)], 0.0),
        ([(0,) * 5], -0.0),
    ],
)
def test_phase_signs_of_zero(pixels, expected):
    assert_bits_equal(zelnor.phase(frames_of(*pixels)), np.array([[expected]]))


@pytest.mark.parametrize("count", [4, 5, 7])
@pytest.mark.parametrize("high", [16, 65536])
def test_phase_matches_clib_model(rng, count, high):
    frames = [rng.integers(0, high, (23, 31)).astype(np.uint16) for _ in range(count)]
    out = zelnor.phase(frames)
    assert out.dtype == np.float64 and out.flags.c_contiguous
    assert_bits_equal(out, phase_model(frames))


@pytest.mark.parametrize(
    "count, step, offset",
    [(4, math.pi / 2, 0.0), (5, math.pi / 2, -math.pi / 4), (7, math.pi / 3, 0.0)],
)
def test_phase_round_trip(surface_and_mask, count, step, offset):
    surface, mask = surface_and_mask
    scale = 9.0
    frames = [zelnor.interferogram(scale, k * step, 65535, mask, surface) for k in range(count)]
    got = zelnor.phase(frames)
    expected = scale * surface - math.pi / 2 + offset
    # Truncation to 16-bit counts moves each frame by under one count of 32767.
    assert angle_error(got[mask], expected[mask]).max() < 5e-4


@pytest.mark.parametrize("function", [zelnor.phase, zelnor.phase5])
def test_phase_empty_frames(function):
    out = function([np.zeros((0, 3), np.uint16)] * 5)
    assert out.shape == (0, 3)


# ---------------------------------------------------------------- phase5

@pytest.mark.parametrize(
    "pixel, expected",
    [
        ((0, 0, 0, 0, 0), 0),
        ((9, 9, 9, 9, 9), 0),
        ((10, 0, 0, 0, 10), 0),
        ((0, 0, 10, 0, 0), 32767),
        ((0, 0, 0, 10, 0), 16383),
        ((0, 10, 0, 0, 0), -16385),
        ((100, 1, 0, 0, 0), -209),  # X = 100, Y = -2
        # X = Y: the 45-degree step is not taken on equality, the table's steps and the final
        # division land one unit short of -24576 and 8192 (traced by hand)
        ((0, 65535, 65535, 0, 0), -24577),  # X = Y = -131070
        ((65535, 0, 0, 65535, 65535), 8191),  # X = Y = 131070
    ],
)
def test_phase5_axes_and_worked_example(pixel, expected):
    frames = frames_of(pixel)
    for out in (zelnor.phase5(frames), phase5_model(frames)):
        assert_bits_equal(out, np.array([[expected]], np.int16))


@pytest.mark.parametrize("band", [1, 300, 4096, 65536])
def test_phase5_matches_exact_integer_model(rng, band):
    low = rng.integers(0, 65536 - band + 1, (1, 4000))
    frames = [(low + rng.integers(0, band, low.shape)).astype(np.uint16) for _ in range(5)]
    assert_bits_equal(zelnor.phase5(frames), phase5_model(frames))


def test_phase5_extreme_frames_match_model():
    corners = np.array(np.meshgrid(*[[0, 1, 32768, 65534, 65535]] * 5)).reshape(5, -1).T
    frames = frames_of(*map(tuple, corners))
    assert_bits_equal(zelnor.phase5(frames), phase5_model(frames))


def frames_angle(frames):
    """atan2 of the five-frame vector in binary-angle units, in double precision."""
    f = [fr.astype(np.float64) for fr in frames]
    return np.arctan2(2 * (f[3] - f[1]), f[0] - 2 * f[2] + f[4]) * UNITS_PER_RADIAN


def test_phase5_within_units_of_atan2(rng):
    frames = [rng.integers(0, 65536, (50, 60)).astype(np.uint16) for _ in range(5)]
    diff = angle_error(zelnor.phase5(frames).astype(np.float64), frames_angle(frames), 65536.0)
    assert diff.max() < 1.4


@pytest.mark.parametrize("peak, rounding", [(255, 70.0), (4095, 6.0), (65535, 2.0)])
def test_phase5_round_trip(surface_and_mask, peak, rounding):
    surface, mask = surface_and_mask
    scale = 9.0
    frames = [zelnor.interferogram(scale, k * math.pi / 2, peak, mask, surface) for k in range(5)]
    out = zelnor.phase5(frames)
    assert out.dtype == np.int16
    got = out[mask].astype(np.float64)
    assert angle_error(got, frames_angle(frames)[mask], 65536.0).max() < 1.4
    expected = (scale * surface - math.pi / 2) * UNITS_PER_RADIAN
    assert angle_error(got, expected[mask], 65536.0).max() < rounding
    assert not out[~mask].any()


# ---------------------------------------------------------------- wrap

@pytest.mark.parametrize(
    "period, values, expected",
    [
        (4.0, [7, 2, -2, 1, -6], [-1, -2, -2, 1, -2]),
        (-4.0, [2, -2, 7], [2, 2, -1]),
    ],
)
def test_wrap_pinned_values(period, values, expected):
    out = zelnor.wrap(np.array([values], np.float64), period)
    assert_bits_equal(out, np.array([expected], np.float64))


@pytest.mark.parametrize("period", [0.0, float("inf"), float("-inf"), float("nan")])
def test_wrap_degenerate_period_is_nan(period):
    assert np.isnan(zelnor.wrap(np.arange(-9.0, 10.0).reshape(1, -1), period)).all()


@pytest.mark.parametrize("shape", [(1, 1), (3, 7), (17, 33), (0, 5)])
@pytest.mark.parametrize("period", [TWO_PI, 4.0, -3.0, 1e-3])
def test_wrap_matches_model_bit_for_bit(rng, shape, period):
    x = rng.standard_normal(shape) * rng.choice([1e-3, 1.0, 50.0, 1e12], shape)
    x.flat[::5] = rng.choice([np.nan, np.inf, -np.inf, 0.0, -0.0, period / 2, -period / 2], x.flat[::5].shape)
    with np.errstate(invalid="ignore"):
        expected = x - np.floor(x / period + 0.5) * period
    assert_bits_equal(zelnor.wrap(x, period), expected)


def test_wrap_keeps_small_values_unchanged(rng):
    x = rng.uniform(-math.pi / 2, math.pi / 2, (9, 11))
    x = x[np.abs(x) < math.pi / 2].reshape(1, -1)
    assert_bits_equal(zelnor.wrap(x, TWO_PI), x)
    assert abs(zelnor.wrap(np.array([[1.5 * math.pi]]), TWO_PI)[0, 0] + math.pi / 2) < 1e-15
