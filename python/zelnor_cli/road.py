"""The measurement road, built on the zelnor module and NumPy: pupil, surface,
phase-shifted frames, phase retrieval, unwrapping and the Zernike fit."""
import math

import numpy as np

import zelnor

TWO_PI = 2.0 * math.pi
# The fast unwrapper's period is 2 x 3.14159265; dividing by it yields periods.
FAST_UNWRAP_PERIOD = 2.0 * 3.14159265
FIT_TERMS = 29

# Fringe terms 1..29: (n, m, name).
FRINGE_TERMS = [
    (0, 0, "piston"), (1, 1, "tilt x"), (1, -1, "tilt y"), (2, 0, "defocus"),
    (2, 2, "astigmatism 0°"), (2, -2, "astigmatism 45°"), (3, 1, "coma x"), (3, -1, "coma y"),
    (4, 0, "spherical"), (3, 3, "trefoil x"), (3, -3, "trefoil y"),
    (4, 2, "secondary astigmatism 0°"), (4, -2, "secondary astigmatism 45°"),
    (5, 1, "secondary coma x"), (5, -1, "secondary coma y"), (6, 0, "secondary spherical"),
    (4, 4, "tetrafoil x"), (4, -4, "tetrafoil y"), (5, 3, "secondary trefoil x"),
    (5, -3, "secondary trefoil y"), (6, 2, "tertiary astigmatism 0°"),
    (6, -2, "tertiary astigmatism 45°"), (7, 1, "tertiary coma x"), (7, -1, "tertiary coma y"),
    (8, 0, "tertiary spherical"), (5, 5, "pentafoil x"), (5, -5, "pentafoil y"),
    (6, 4, "secondary tetrafoil x"), (6, -4, "secondary tetrafoil y"),
]

# Phase step per frame count, and the offset of the retrieved phase from the
# phase of frame 0 (frames are peak * (1 + sin(phase + k * step)) / 2).
PHASE_STEPS = {4: math.pi / 2, 5: math.pi / 2, 7: math.pi / 3}
RETRIEVAL_OFFSET = {4: -math.pi / 2, 5: -3 * math.pi / 4, 7: -math.pi / 2}

REMOVABLE = {"piston": [0], "tilt": [1, 2], "defocus": [3]}


class RoadError(Exception):
    """Bad input on the road: reported as one line, exit code 2."""


def disc_pupil(height, width):
    return zelnor.roundmask(1.0, width, height)


def synthesize_surface(coefficients, mask):
    """Surface in waves from Fringe coefficients (index 0 = Fringe 1)."""
    vector = np.zeros(FIT_TERMS)
    for index, value in coefficients.items():
        vector[index - 1] = value
    return zelnor.zernike_surface(vector, mask)


def make_frames(surface, mask, count, peak=65535, noise=0.0):
    """Phase-shifted uint16 frames of a surface in waves, with optional uniform noise in counts."""
    step = PHASE_STEPS[count]
    frames = []
    for k in range(count):
        frame = zelnor.interferogram(TWO_PI, k * step, peak, mask, surface)
        if noise > 0.0:
            noisy = zelnor.add_noise(frame.astype(np.float64), noise)
            frame = np.clip(np.rint(noisy), 0, 65535).astype(np.uint16)
            frame[~mask] = 0
        frames.append(frame)
    return frames


def modulation(frames):
    """Fringe modulation B per pixel, in counts: least-squares fit of
    A + B cos(phase + k * step) over the frames."""
    step = PHASE_STEPS[len(frames)]
    k = np.arange(len(frames))
    design = np.stack([np.ones(len(frames)), np.cos(k * step), np.sin(k * step)], axis=1)
    solve = np.linalg.pinv(design)
    stack = np.stack([np.asarray(frame, np.float64) for frame in frames]).reshape(len(frames), -1)
    _, a, b = solve @ stack
    return np.hypot(a, b).reshape(np.shape(frames[0]))


def check_frames(frames):
    if len(frames) not in PHASE_STEPS:
        raise RoadError(f"need 4, 5 or 7 frames, got {len(frames)}")
    shapes = {frame.shape for frame in frames}
    if len(shapes) != 1:
        raise RoadError("frames have different sizes: " + ", ".join(f"{w}x{h}" for h, w in sorted(shapes)))


def retrieve_phase(frames):
    """Wrapped phase of frame 0's surface term, in radians (retrieval offset undone, wrapped again)."""
    check_frames(frames)
    wrapped = zelnor.phase([np.asarray(frame, np.uint16) for frame in frames])
    return zelnor.wrap(wrapped - RETRIEVAL_OFFSET[len(frames)], TWO_PI)


def unwrap_waves(mask, wrapped, method):
    """Unwrapped surface in waves (arbitrary piston), 0.0 outside the mask."""
    if method == "fast":
        return zelnor.fast_unwrap(mask, wrapped, 1.0 / FAST_UNWRAP_PERIOD)
    unwrapped = zelnor.unwrap(mask.astype(np.uint8) * np.uint8(255), wrapped.astype(np.float32))
    return unwrapped.astype(np.float64) / TWO_PI


def fit_zernike(surface, mask, terms=FIT_TERMS):
    """Least-squares Fringe coefficients (index 0 = Fringe 1) of a surface inside the mask."""
    pixels = int(np.count_nonzero(mask))
    if pixels < terms:
        raise RoadError(f"the pupil has {pixels} pixels, fewer than the {terms} fitted terms")
    from zelnor_cli import fit

    return fit.fit(surface, mask, terms)


def remove_terms(surface, mask, coefficients, indices):
    """The surface minus the chosen fitted terms, inside the mask."""
    if not indices:
        return surface.copy()
    vector = np.zeros(FIT_TERMS)
    vector[indices] = coefficients[indices]
    return np.where(mask, surface - zelnor.zernike_surface(vector, mask), 0.0)


def pv_rms(surface, mask):
    values = surface[mask]
    if values.size == 0:
        return 0.0, 0.0
    return float(values.max() - values.min()), float(np.sqrt(np.mean((values - values.mean()) ** 2)))
