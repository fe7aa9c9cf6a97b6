"""The measurement road against the truth on random surfaces, pupils, frame counts and noise.

The unwrapped surface must equal the true wavefront plus one constant over the pupil (up to the
phase noise, far below half a wave), except where scikit-image's unwrap_phase fails on the same
wrapped phase too. The flood fill (`fast`) has no notion of reliability, so it is held to that only
on noiseless frames; there it must never fail on a connected, well-sampled pupil."""
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, example, given, note, settings
from hypothesis import strategies as st

import zelnor
from conftest import LIBC
from zelnor_cli import road

restoration = pytest.importorskip("skimage.restoration")

PEAK = 60000


def ellipse(height, width, cy, cx, ry, rx):
    rows, cols = np.ogrid[:height, :width]
    return ((rows - cy) / ry) ** 2 + ((cols - cx) / rx) ** 2 <= 1.0


@st.composite
def pupils(draw, height, width):
    """(kind, region the frames light, pupil), touching borders or clear of them."""
    kind = draw(st.sampled_from(["disc", "annulus", "threshold", "mask"]))
    if kind == "disc":
        disc = road.disc_pupil(height, width)
        return kind, disc, disc
    if kind == "annulus":
        ring = road.annulus_pupil(height, width, draw(st.floats(0.1, 0.6)))
        return kind, ring, ring
    shape = draw(st.sampled_from(["full", "rectangle", "ellipse"]))
    if shape == "full":
        region = np.ones((height, width), bool)
    elif shape == "rectangle":
        top, left = draw(st.integers(0, height // 4)), draw(st.integers(0, width // 4))
        bottom, right = draw(st.integers(3 * height // 4, height)), draw(st.integers(3 * width // 4, width))
        region = np.zeros((height, width), bool)
        region[top:bottom, left:right] = True
    else:  # centred anywhere near the middle, possibly cut by the borders
        region = ellipse(height, width, draw(st.floats(0.35, 0.65)) * height, draw(st.floats(0.35, 0.65)) * width,
                         draw(st.floats(0.3, 0.7)) * height, draw(st.floats(0.3, 0.7)) * width)
    return kind, region, None  # threshold: the pupil comes from the frames' modulation


@st.composite
def measurements(draw):
    height, width = draw(st.integers(112, 176)), draw(st.integers(112, 176))
    kind, region, pupil = draw(pupils(height, width))
    coefficients = np.zeros(road.FIT_TERMS)
    # Up to 10 waves of tilt or defocus across the pupil, and a little of any other terms.
    main = draw(st.sampled_from([1, 2, 3]))
    coefficients[main] = draw(st.floats(-5.0, 5.0))
    for term in draw(st.lists(st.integers(1, road.FIT_TERMS - 1), max_size=4)):
        coefficients[term] += draw(st.floats(-0.3, 0.3))
    count = draw(st.sampled_from([4, 5, 7]))
    noise_rad = draw(st.sampled_from([0.0, 0.0, 0.1, 0.2, 0.3]))
    seed = draw(st.integers(0, 2**31 - 1))
    return kind, region, pupil, coefficients, count, noise_rad, seed


def noise_counts(noise_rad, count):
    """Peak-to-peak uniform frame noise giving a phase noise of `noise_rad` (standard deviation):
    sigma_phase = sigma_I * sqrt(2 / N) / B, with B = PEAK / 2 and sigma_I = width / sqrt(12)."""
    return noise_rad * (PEAK / 2) * math.sqrt(12.0) / math.sqrt(2.0 / count)


def largest_step(surface, mask):
    steps = [np.abs(np.diff(surface, axis=0))[mask[1:] & mask[:-1]],
             np.abs(np.diff(surface, axis=1))[mask[:, 1:] & mask[:, :-1]]]
    return max((float(s.max()) for s in steps if s.size), default=0.0)


def jumps(unwrapped, truth, mask):
    """Pixels whose difference to the truth is whole waves off the pupil's common constant. Clipped
    noisy frames can put a lone pixel's phase near half a wave off, in both unwrappers alike: that is
    noise, not unwrapping, so a pixel counts only when it is nearer a whole wave than half of one."""
    difference = (unwrapped - truth)[mask]
    return int(np.count_nonzero(np.abs(difference - np.median(difference)) > 0.75))


def whole_tilt_on_the_inscribed_disc():
    """Five whole waves of tilt under the disc that touches all four borders: the case that joined
    opposite borders across unwrap's torus and came back as the wrong surface."""
    disc = road.disc_pupil(128, 128)
    coefficients = np.zeros(road.FIT_TERMS)
    coefficients[1] = 5.0
    return "disc", disc, disc, coefficients, 4, 0.0, 1


def noisy_sparse_threshold_pupil():
    """Noise at 0.3 rad thins a threshold pupil: 32 pixels in a corner came back a wave off, joined to
    the rest by a chain of noisy steps, where scikit-image unwrapped them right."""
    coefficients = np.zeros(road.FIT_TERMS)
    coefficients[14] = 0.3
    return "threshold", np.ones((128, 135), bool), None, coefficients, 7, 0.3, 14


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(measurements())
@example(whole_tilt_on_the_inscribed_disc())
@example(noisy_sparse_threshold_pupil())
def test_unwrapped_surface_is_the_truth_plus_one_constant(case):
    kind, region, pupil, coefficients, count, noise_rad, seed = case
    truth = zelnor.zernike_surface(coefficients, region)
    # Undersampled fringes cannot be recovered by any unwrapper: not this property's subject.
    assume(largest_step(truth, region) < 0.35)
    LIBC.srand(seed)
    frames = road.make_frames(truth, region, count, peak=PEAK, noise=noise_counts(noise_rad, count))
    if pupil is None:
        # As `zelnor measure` does: regions that no path joins carry pistons of their own, so a
        # threshold pupil is cut to its largest region.
        pupil, _ = road.largest_region(zelnor.make_mask(road.modulation(frames), PEAK / 4))
    assume(np.count_nonzero(pupil) >= road.FIT_TERMS)
    wrapped = road.retrieve_phase(frames)

    reference = restoration.unwrap_phase(np.ma.masked_array(wrapped, ~pupil)) / road.TWO_PI
    reference_jumps = jumps(np.ma.getdata(reference), truth, pupil)
    LIBC.srand(seed)
    unwrapped = road.unwrap_waves(pupil, wrapped, "unwrap")
    note(f"{kind} pupil, {count} frames, {noise_rad} rad: scikit-image {reference_jumps} pixels off, "
         f"unwrap {jumps(unwrapped, truth, pupil)}")
    assert np.all(unwrapped[~pupil] == 0.0)
    if reference_jumps == 0:
        assert jumps(unwrapped, truth, pupil) == 0
    if noise_rad == 0.0:
        fast = road.unwrap_waves(pupil, wrapped, "fast")
        assert np.all(fast[~pupil] == 0.0)
        assert jumps(fast, truth, pupil) == 0


@pytest.mark.parametrize("method", ["unwrap", "fast"])
@pytest.mark.parametrize("inset", [0, 20])
def test_steep_surfaces_unwrap_in_double_precision(method, inset):
    """unwrap adds its periods in float32: at 40 waves of tilt that alone costs a few millionths of a wave,
    which the surface need not keep (it reads back the whole periods, as scikit-image's unwrap_phase keeps
    double precision)."""
    mask = np.zeros((256, 256), bool)
    mask[inset:256 - inset, inset:256 - inset] = road.disc_pupil(256 - 2 * inset, 256 - 2 * inset)
    coefficients = np.zeros(road.FIT_TERMS)
    coefficients[1:4] = (40.0, -25.0, 3.0)  # tilt in x and y, defocus
    truth = zelnor.zernike_surface(coefficients, mask)
    wrapped = np.angle(np.exp(1j * road.TWO_PI * truth))
    unwrapped = road.unwrap_waves(mask, wrapped, method)
    assert np.all(unwrapped[~mask] == 0.0)
    error = unwrapped[mask] - truth[mask]
    assert np.abs(error - error.mean()).max() < 1e-9


@settings(max_examples=60, deadline=None)
@given(st.integers(1, 40), st.integers(1, 40), st.floats(0.2, 0.8), st.integers(0, 2**32 - 1))
def test_largest_region_matches_scipy(height, width, density, seed):
    ndimage = pytest.importorskip("scipy.ndimage")
    mask = np.random.default_rng(seed).random((height, width)) < density
    region, regions = road.largest_region(mask)
    labels, count = ndimage.label(mask)  # 4-connectivity, as unwrapping joins pixels
    assert regions == count
    if count:
        assert np.count_nonzero(region) == np.bincount(labels.ravel())[1:].max()
        assert ndimage.label(region)[1] == 1 and not np.any(region & ~mask)


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("steep", [False, True])
def test_lone_whole_wave_errors_are_repaired_and_sound_surfaces_untouched(steep, order):
    mask = road.disc_pupil(96, 100)
    coefficients = np.zeros(road.FIT_TERMS)
    coefficients[3] = 3.5 if steep else 0.8  # steep: about 0.3 wave per pixel on the rim
    truth = zelnor.zernike_surface(coefficients, mask)
    sound = truth.copy()
    road.repair_lone_jumps(sound, mask)
    assert np.array_equal(sound, truth)
    broken = truth.copy(order=order)  # a Fortran-order map is mended in place too
    rim = np.argwhere(mask & ~np.roll(mask, 1, axis=1))  # the first pupil pixel of each row
    picked = rim[::9]
    broken[picked[:, 0], picked[:, 1]] += np.where(np.arange(len(picked)) % 2, 1.0, -2.0)
    broken[48, 50:52] += 1.0  # an interior pair
    road.repair_lone_jumps(broken, mask)
    assert np.allclose(broken, truth, atol=1e-9)
