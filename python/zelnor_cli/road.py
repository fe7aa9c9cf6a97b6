"""The measurement road, built on the zelnor module and NumPy: pupil, surface,
phase-shifted frames, phase retrieval, unwrapping and the Zernike fit."""
from __future__ import annotations

import concurrent.futures
import contextlib
import math
import operator
import os
import threading
from typing import Any, FrozenSet, Iterator, Literal, Mapping, Optional, Sequence, SupportsIndex, Tuple, Union

import numpy as np
from numpy.typing import NDArray

import zelnor

# 4, 5 or 7 frames: a list of 2-D images, or one (frames, height, width) stack.
Frames = Union[Sequence[NDArray[Any]], NDArray[Any]]
# A pupil: a bool image, or numbers that are nonzero inside (a 0/255 image).
Mask = NDArray[Any]

# What `from zelnor_cli.road import *` and help() show: the documented road, not its helpers.
__all__ = [
    "RoadError", "Frames", "Mask", "TWO_PI", "FIT_TERMS", "FRINGE_TERMS", "PHASE_STEPS", "RETRIEVAL_OFFSET",
    "REMOVABLE", "WEAK_MODULATION", "BRIGHT_SHARE", "LONE_MODULATION", "MISFIT_LIMIT", "STEP_RIPPLE_LIMIT",
    "FIT_CONDITION_LIMIT", "threads", "using_threads", "usable_cores", "disc_pupil", "annulus_pupil", "pupil_box",
    "largest_region", "synthesize_surface", "make_frames", "modulation", "retrieve_phase", "unwrap_waves",
    "repair_lone_jumps", "discontinuities", "step_summary", "unmodulated", "weakly_modulated", "typical_modulation",
    "count_step", "NOISE_GAIN", "CLIPPED_PILE", "CLIPPED_SHARE", "FULL_SCALES", "clipped", "phase_step", "edge_steps",
    "step_ripple", "shift_ripple", "frame_shifts", "edge_shifts", "frame_misfit", "fit_condition",
    "fit_removable", "fit_zernike", "fit_zernike_and_condition", "remove_terms", "pv_rms",
]

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


def _pupil(mask, image=None):
    """The mask as a 2-D bool array (numbers: nonzero and not NaN inside), of the image's shape when one is given:
    any other mask is refused rather than read as a list of indices, or cropped to fit."""
    mask = np.asarray(mask)
    if mask.dtype.kind == "f":  # NaN, a map's mark for no data, marks nothing (as in a mask file)
        mask = (mask != 0) & ~np.isnan(mask)
    elif mask.dtype.kind in "ui":
        mask = mask != 0
    elif mask.dtype != np.bool_:
        raise RoadError(f"the mask must be a bool array, got {mask.dtype} samples")
    if mask.ndim != 2:
        raise RoadError(f"the mask must be a 2-D image, got shape {mask.shape}")
    if image is not None and np.shape(image) != mask.shape:
        raise RoadError(f"a mask of shape {mask.shape} for images of shape {np.shape(image)}")
    return mask


def usable_cores() -> int:
    """Cores this process may run on."""
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


# Threads that one measurement's per-pixel steps may share (the kernels let other threads run), and the
# counts of the using_threads blocks open in any thread, the smallest of which holds.
_threads = usable_cores()
_open_counts: list[int] = []
_open_lock = threading.Lock()
# Bands of fewer rows are not worth a thread.
MIN_BAND_ROWS = 64


def threads() -> int:
    """Threads the road uses within one measurement."""
    with _open_lock:
        return min(_open_counts, default=_threads)


@contextlib.contextmanager
def using_threads(count: SupportsIndex) -> Iterator[None]:
    """Within the block, measurements use at most `count` threads each, in every thread of the process
    (a thread pool started in the block too): 1 where measurements already run side by side, one per core,
    as in a batch. Blocks open in several threads at once give the smallest of their counts, and each
    block's count goes when it closes. Results never depend on it."""
    count = operator.index(count)
    if count < 1:
        raise ValueError(f"need at least one thread, got {count}")
    with _open_lock:
        _open_counts.append(count)
    try:
        yield
    finally:
        with _open_lock:
            _open_counts.remove(count)


def row_bands(height):
    """Disjoint row slices covering `height` rows, one per thread that the rows are worth."""
    count = max(1, min(threads(), height // MIN_BAND_ROWS))
    edges = [height * k // count for k in range(count + 1)]
    return [slice(edges[k], edges[k + 1]) for k in range(count)]


def side_by_side(*calls):
    """The results of the calls (functions of no argument), run on up to `threads()` threads.
    Meant for calls that spend their time in kernels or NumPy loops, which let other threads run."""
    workers = threads()
    if len(calls) < 2 or workers < 2:
        return [call() for call in calls]
    with concurrent.futures.ThreadPoolExecutor(max_workers=min(workers, len(calls)) - 1) as pool:
        later = [pool.submit(call) for call in calls[1:]]
        first = calls[0]()  # this thread takes a share too
        return [first] + [future.result() for future in later]


def disc_pupil(height: int, width: int) -> NDArray[np.bool_]:
    """The disc inscribed in a (height, width) image, as a bool mask."""
    return zelnor.roundmask(1.0, width, height)


def annulus_pupil(height: int, width: int, ratio: float) -> NDArray[np.bool_]:
    """The inscribed disc without a central obstruction of `ratio` times its radius."""
    if not 0.0 < ratio < 1.0:
        raise RoadError(f"the obstruction ratio must lie between 0 and 1, got {ratio}")
    pupil = zelnor.roundmask(1.0, width, height)
    pupil &= ~zelnor.roundmask(ratio * ratio, width, height)
    return pupil


def pupil_box(mask: Mask) -> Optional[Tuple[slice, slice]]:
    """(row slice, column slice) of the mask's bounding box, or None for an empty mask."""
    mask = _pupil(mask)
    rows = np.flatnonzero(mask.any(axis=1))
    if rows.size == 0:
        return None
    cols = np.flatnonzero(mask.any(axis=0))
    return slice(rows[0], rows[-1] + 1), slice(cols[0], cols[-1] + 1)


def largest_region(mask: Mask) -> Tuple[NDArray[np.bool_], int]:
    """The largest 4-connected region of the mask, and the number of regions; the mask itself (not a
    copy) when it has no more than one region.

    Unwrapping relates pixels only through chains of neighbours: separate regions would each
    come back with their own unknown piston, and a fit over all of them would be wrong."""
    mask = _pupil(mask)
    height, width = mask.shape
    padded = np.zeros((height, width + 1), np.int8)  # a False column ends every row's last run
    padded[:, :width] = mask
    steps = np.diff(padded.ravel(), prepend=np.int8(0))
    starts, ends = np.flatnonzero(steps == 1), np.flatnonzero(steps == -1)
    del padded, steps
    if starts.size == 0:
        return mask, 0
    row_of = starts // (width + 1)
    begin = np.searchsorted(row_of, np.arange(height + 1)).tolist()  # runs of row r: begin[r]..begin[r+1]
    rows = row_of.tolist()
    first, last = (starts % (width + 1)).tolist(), (ends % (width + 1)).tolist()
    parent = list(range(len(rows)))

    def root(i):
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    # Runs of neighbouring rows that share a column are joined: a merge of two lists in column order.
    for row in range(1, height):
        j, above_end = begin[row - 1], begin[row]
        for i in range(begin[row], begin[row + 1]):
            while j < above_end and last[j] <= first[i]:
                j += 1
            k = j
            while k < above_end and first[k] < last[i]:
                parent[root(k)] = root(i)
                k += 1
    labels = [root(i) for i in range(len(rows))]
    sizes: dict[int, int] = {}
    for label, start, end in zip(labels, first, last):
        sizes[label] = sizes.get(label, 0) + end - start
    if len(sizes) == 1:
        return mask, 1
    keep = max(sizes, key=sizes.__getitem__)
    region = np.zeros_like(mask)
    for label, row, start, end in zip(labels, rows, first, last):
        if label == keep:
            region[row, start:end] = True
    return region, len(sizes)


def synthesize_surface(coefficients: Mapping[int, float], mask: Mask) -> NDArray[np.float64]:
    """Surface in waves, 0.0 outside the mask, from Fringe coefficients in waves keyed by their Fringe
    number (1 = piston .. 29)."""
    mask = _pupil(mask)
    vector = np.zeros(FIT_TERMS)
    for index, value in coefficients.items():
        if not isinstance(index, (int, np.integer)) or not 1 <= index <= FIT_TERMS:
            raise RoadError(f"Fringe terms are numbered 1 to {FIT_TERMS}, got {index!r}")
        vector[index - 1] = value
    return zelnor.zernike_surface(vector, mask)


def _real_image(values, what):
    """An image of real numbers as float64 (a view where it is one), for the module's functions that take
    nothing else: anything else is refused by name rather than by the module's own argument names."""
    values = np.asarray(values)
    if values.dtype.kind not in "biuf":
        raise RoadError(f"the {what} must hold real numbers, got {values.dtype} samples")
    return values.astype(np.float64, copy=False)


def make_frames(surface: NDArray[np.float64], mask: Mask, count: int, peak: int = 65535,
                noise: float = 0.0) -> list[NDArray[np.uint16]]:
    """`count` frames of a surface in waves, phase-shifted by PHASE_STEPS[count] from one to the next,
    as uint16 counts peaking at `peak` (1..65535), with optional uniform noise in counts; 0 outside the mask."""
    if not isinstance(count, (int, np.integer)) or count not in PHASE_STEPS:
        raise RoadError(f"need 4, 5 or 7 frames, got {count!r}")
    if not 1 <= peak <= 65535:
        raise RoadError(f"the peak must lie in 1..65535 counts, got {peak}")
    if not 0.0 <= noise < math.inf:  # NaN or a negative amount would pass for no noise
        raise RoadError(f"the noise must be a finite number of counts, 0 or more, got {noise}")
    surface = _real_image(surface, "surface")
    mask = _pupil(mask, surface)
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


def _fringe_design(count, step):
    """Columns 1, cos(k step), sin(k step) over the frames k: the model A + B cos(phase + k step)."""
    k = np.arange(count)
    return np.stack([np.ones(count), np.cos(k * step), np.sin(k * step)], axis=1)


def modulation(frames: Frames) -> NDArray[np.float64]:
    """Fringe modulation B per pixel, in counts: least-squares fit of
    A + B cos(phase + k * step) over the frames."""
    check_frames(frames)
    a, b = _fringe_parts(frames)
    np.hypot(a, b, out=a)
    return a


def _fringe_parts(frames):
    """B cos(phase) and -B sin(phase) per pixel, the least-squares fit's, accumulated frame by frame: no
    (frames x pixels) float stack."""
    solve = np.linalg.pinv(_fringe_design(len(frames), PHASE_STEPS[len(frames)]))
    a = np.zeros(np.shape(frames[0]))
    b = np.zeros(np.shape(frames[0]))
    term = np.empty(np.shape(frames[0]))
    for weight_a, weight_b, frame in zip(solve[1], solve[2], frames):
        np.multiply(frame, weight_a, out=term)
        a += term
        np.multiply(frame, weight_b, out=term)
        b += term
    return a, b


def _even_sample(frames, mask):
    """(the frames, the pupil) at every k-th row and column (`_sample_stride`), as views."""
    check_frames(frames)
    mask = _pupil(mask, np.asarray(frames[0]))
    stride = _sample_stride(mask.size)
    return [np.asarray(frame)[::stride, ::stride] for frame in frames], mask[::stride, ::stride]


def _sample_stride(pixels):
    """Every how many rows and columns an even sample takes a pixel: every pixel of small images, 65536 to
    262143 of large ones."""
    return max(1, int(math.sqrt(pixels / 65536)))


# Phase noise of each frame count's formula, in radians per count of frame noise and count of modulation:
# sigma_phase = NOISE_GAIN * sigma_counts / B.
NOISE_GAIN = {4: math.sqrt(0.5), 5: 0.791, 7: 0.553}


def typical_modulation(frames: Frames, mask: Mask) -> float:
    """The typical fringe modulation B in counts (as `modulation` fits it) of the pupil's brightly lit
    pixels: the median, over an even sample of the image (every k-th row and column, 65536 to 262143
    pixels of a large image), of the pupil pixels at or above half the sample's 99th percentile, so that a
    beam lighting only part of the pupil is gauged by its own fringes, not by the dark and the camera's
    noise around it; 0.0 for an empty pupil."""
    frames, inside = _even_sample(frames, mask)
    sample = modulation(frames)[inside]
    if sample.size == 0:
        return 0.0
    lit = sample[sample >= 0.5 * float(np.percentile(sample, 99))]
    return float(np.median(lit))


def count_step(frames: Frames, mask: Mask) -> int:
    """The step the pupil's samples come in, in counts: 1 for a camera's own counts, 16 for a 12-bit camera's
    brought to 16 bits (shifted, rescaled to the full range, or with a black level taken off after): the median
    gap between the distinct values of the even sample `typical_modulation` reads, rounded, which a hot pixel or
    a rescaling's odd gap leaves alone; 1 for samples of one value, or not integers."""
    frames, inside = _even_sample(frames, mask)
    if any(frame.dtype.kind not in "bui" for frame in frames):
        return 1
    values = np.unique(np.concatenate([frame[inside] for frame in frames]))
    if values.size < 2:
        return 1
    return max(1, int(round(float(np.median(np.diff(values.astype(np.int64)))))))


# Fringes clipped at the camera's full scale pile their samples up at the frames' largest value: more than
# this many times as many as at the four values next below it (where a crest that merely reaches the top
# puts about as many as at the top), over at least CLIPPED_SHARE of the pupil's samples.
CLIPPED_PILE = 4
CLIPPED_SHARE = 1e-3
# The full scales of cameras of 8 to 16 bits, their samples as they are or shifted to the top of 16 bits (a
# 12-bit camera's 4095 as 65520). Only a pile-up there is clipping: a noiseless nearly nulled crest sits on
# one value too.
FULL_SCALES: FrozenSet[int] = frozenset([2 ** bits - 1 for bits in range(8, 17)]
                        + [65536 - 2 ** (16 - bits) for bits in range(8, 16)])


def clipped(frames: Frames, mask: Mask) -> Optional[Tuple[float, int]]:
    """(share of the pupil's samples, over all frames, at the frames' largest value; that value) where that
    value is a camera's full scale (FULL_SCALES) and the samples pile up there as fringes clipped at it do
    (saturation), or as pixels stuck there do; None otherwise, and for frames that are not integer counts in
    0..65535. Values are compared as the frames hold them (a 12-bit camera's samples in steps of 16
    included), over the even sample `typical_modulation` reads."""
    frames, inside = _even_sample(frames, mask)
    samples = [frame[inside] for frame in frames]
    total = sum(sample.size for sample in samples)
    if total == 0 or any(sample.dtype.kind not in "bui" for sample in samples):
        return None
    top = max(int(sample.max()) for sample in samples)
    if top not in FULL_SCALES or min(int(sample.min()) for sample in samples) < 0:
        return None
    counts = sum(np.bincount(sample.astype(np.intp, copy=False), minlength=top + 1) for sample in samples)
    levels = np.flatnonzero(counts)
    at_top = int(counts[top])
    below = int(counts[levels[-5:-1]].sum())
    if at_top < max(CLIPPED_SHARE * total, 10) or at_top <= CLIPPED_PILE * below:
        return None
    return at_top / total, top


def check_frames(frames: Frames) -> None:
    """Refuses anything but 4, 5 or 7 two-dimensional frames of one size."""
    if len(frames) not in PHASE_STEPS:
        raise RoadError(f"need 4, 5 or 7 frames, got {len(frames)}")
    shapes = {np.shape(frame) for frame in frames}
    if any(len(shape) != 2 for shape in shapes):
        raise RoadError("frames must be 2-D images, got shapes " + ", ".join(str(shape) for shape in sorted(shapes)))
    if len(shapes) != 1:
        raise RoadError("frames have different sizes: " + ", ".join(f"{w}x{h}" for h, w in sorted(shapes)))


def _camera_counts(frame):
    """A frame as uint16 counts: integer samples in 0..65535 convert exactly; anything else is refused
    rather than truncated."""
    frame = np.asarray(frame)
    if frame.dtype == np.uint16:
        return frame
    if frame.dtype.kind not in "bui":
        raise RoadError(f"frames must hold integer camera counts, got {frame.dtype} samples")
    if frame.size and (frame.min() < 0 or frame.max() > 65535):
        raise RoadError("frames must hold camera counts in 0..65535")
    return frame.astype(np.uint16)


def retrieve_phase(frames: Frames) -> NDArray[np.float64]:
    """Wrapped phase of frame 0's surface term, in radians (retrieval offset undone, wrapped again)."""
    check_frames(frames)
    frames = [_camera_counts(frame) for frame in frames]
    offset = RETRIEVAL_OFFSET[len(frames)]

    def band(rows):
        part = zelnor.phase([frame[rows] for frame in frames])
        part -= offset
        return zelnor.wrap(part, TWO_PI)

    bands = row_bands(frames[0].shape[0])
    if len(bands) == 1:
        return band(bands[0])
    # Every pixel's phase is its own frames' alone: bands give exactly the whole image's values.
    wrapped = np.empty(frames[0].shape)
    parts = side_by_side(*[lambda rows=rows: band(rows) for rows in bands])
    for rows, part in zip(bands, parts):
        wrapped[rows] = part
    return wrapped


def unwrap_waves(mask: Mask, wrapped: NDArray[np.float64], method: Literal["unwrap", "fast"]
                 ) -> NDArray[np.float64]:
    """Unwrapped surface in waves (arbitrary piston), 0.0 outside the mask.

    Only the pupil's bounding box is unwrapped, followed by one invalid row and
    one invalid column: `unwrap` treats the grid as a torus, and without that
    margin a pupil touching opposite borders would be joined across them."""
    if method not in ("unwrap", "fast"):
        raise RoadError(f"unknown unwrapper {method!r}: choose unwrap or fast")
    wrapped = _real_image(wrapped, "wrapped phase")
    mask = _pupil(mask, wrapped)
    surface = np.zeros(mask.shape)
    box = pupil_box(mask)
    if box is None:
        return surface
    # A NaN or infinity inside the pupil would spread to its neighbours through the repairs. Checked in
    # blocks of rows: no image-sized temporary.
    rows, cols = box
    step = max(1, BLOCK_PIXELS // max(1, cols.stop - cols.start))
    for top in range(rows.start, rows.stop, step):
        block = slice(top, min(top + step, rows.stop))
        if not np.isfinite(wrapped[block, cols][mask[block, cols]]).all():
            raise RoadError("the wrapped phase is NaN or infinite at pupil pixels")
    rows, cols = box
    height, width = rows.stop - rows.start, cols.stop - cols.start
    if method == "fast":
        # The flood fill has no wrap-around neighbours; the box only saves work.
        surface[box] = zelnor.fast_unwrap(mask[box], wrapped[box], 1.0 / FAST_UNWRAP_PERIOD)
        repair_lone_jumps(surface, mask)
        return surface
    valid = np.zeros((height + 1, width + 1), np.uint8)
    np.multiply(mask[box], np.uint8(255), out=valid[:height, :width], casting="unsafe")
    phase = np.zeros((height + 1, width + 1), np.float32)
    phase[:height, :width] = wrapped[box]
    unwrapped = zelnor.unwrap(valid, phase)
    del valid
    # unwrap adds whole periods in float32, whose rounding (1e-5 waves at 100 waves of tilt) and float32 period
    # (2.8e-8 too long) the surface need not keep: the periods it added, read back, go onto the double phase.
    cycles = unwrapped[:height, :width]
    np.subtract(cycles, phase[:height, :width], out=cycles)
    del phase
    np.divide(cycles, np.float32(TWO_PI), out=cycles)
    np.rint(cycles, out=cycles)
    inside = mask[box]
    np.divide(wrapped[box], TWO_PI, out=surface[box], where=inside)
    np.add(surface[box], cycles, out=surface[box], where=inside)
    del unwrapped, cycles
    repair_lone_jumps(surface, mask)
    return surface


_NEIGHBOURS = [(-1, -1), (-1, 0), (-1, 1), (0, -1), (0, 1), (1, -1), (1, 0), (1, 1)]


def _jump_pixels(waves, mask):
    """Flat indices of the pupil pixels that sit half a wave or more from one of their eight
    neighbours in the pupil (diagonal ones too: a pixel whose side neighbours are all outside the pupil
    is unwrapped by nothing and joined to the rest only across a corner)."""
    height, width = mask.shape
    marked = np.zeros(mask.shape, bool)
    for dr, dc in _ALL_PAIRS:
        here, there = _pair_slices(0, height - dr, dr, dc, width)
        step = np.abs(waves[there] - waves[here]) >= 0.5
        step &= mask[here]
        step &= mask[there]
        marked[here] |= step
        marked[there] |= step
    return np.flatnonzero(marked)


def repair_lone_jumps(waves: NDArray[np.float64], mask: Mask, rounds: int = 8) -> None:
    """Puts right, in place, pixels that the unwrapper left a whole number of waves off while most of
    their eight neighbours agree on a different number.

    Pixels on the pupil's rim cannot be scored, so the unwrapper joins them in random order; with
    noise on steep fringes one may be joined across a wrong edge and come out a wave off, alone or
    in a pair. Such a pixel is moved by the whole waves that a strict majority of its valid
    neighbours give it. Nothing changes where the neighbours disagree, and a round that would leave
    more discontinuities than it found is undone, so a sound surface is never touched."""
    if not isinstance(waves, np.ndarray) or waves.dtype.kind != "f" or not waves.flags.writeable:
        raise RoadError("repair_lone_jumps mends a writable float array in place")
    mask = _pupil(mask, waves)
    if not waves.flags.c_contiguous:  # the repairs go through a flat view: mend a copy, then copy back
        mended = np.ascontiguousarray(waves)
        repair_lone_jumps(mended, mask, rounds)
        waves[...] = mended
        return
    height, width = mask.shape
    before = _count_jumps(waves, mask, _ALL_PAIRS)
    if before == 0:
        return
    saved = waves.copy()
    for _ in range(rounds):
        candidates = _jump_pixels(waves, mask)
        if candidates.size == 0:
            break
        rows, cols = np.divmod(candidates, width)
        centre = waves.ravel()[candidates]
        offsets = np.zeros((candidates.size, len(_NEIGHBOURS)), np.int64)
        valid = np.zeros(offsets.shape, bool)
        for j, (dr, dc) in enumerate(_NEIGHBOURS):
            r, c = rows + dr, cols + dc
            inside = (r >= 0) & (r < height) & (c >= 0) & (c < width)
            r, c = np.where(inside, r, 0), np.where(inside, c, 0)
            valid[:, j] = inside & mask[r, c]
            offsets[:, j] = np.rint(waves[r, c] - centre)
        # Votes for each neighbour's offset among the valid neighbours.
        agree = (offsets[:, :, None] == offsets[:, None, :]) & valid[:, None, :] & valid[:, :, None]
        votes = agree.sum(axis=2)
        votes[(offsets == 0) | ~valid] = 0
        best = votes.argmax(axis=1)
        winner = votes[np.arange(candidates.size), best]
        move = 2 * winner > valid.sum(axis=1)
        if not move.any():
            break
        flat = waves.reshape(-1)
        flat[candidates[move]] += offsets[np.flatnonzero(move), best[move]]
    if _count_jumps(waves, mask, _ALL_PAIRS) > before:
        waves[...] = saved
    _repair_against_fit(waves, mask)
    _repair_groups(waves, mask)


def _repair_groups(waves, mask, largest=4096):
    """Moves, in place, small groups of pixels that came out a whole number of waves off the rest.

    With noise on a sparse pupil the unwrapper can leave a few dozen pixels a wave off, cut off from
    the rest by jumps on one side and joined to it by a chain of noisy steps on the other. Against the
    smooth Zernike fit such a group stands out as a patch a whole number of waves away. A patch of at
    most `largest` pixels is moved by those waves when its pixels sit close to that whole number (a
    real feature of the surface rises gradually instead) and a jump runs along its border."""
    if np.count_nonzero(mask) < FIT_TERMS:
        return
    height, width = mask.shape
    flat = waves.reshape(-1)
    inside = mask.reshape(-1)
    # The fit is made again without the pixels it misses by a quarter wave or more, so that the
    # patches themselves do not bend it towards them.
    fitted = mask
    for _ in range(3):
        model = zelnor.zernike_surface(fit_zernike(waves, fitted), mask)
        close = mask & (np.abs(waves - model) < 0.25)
        if np.count_nonzero(close) < max(FIT_TERMS, np.count_nonzero(mask) // 2) or np.array_equal(close, fitted):
            break
        fitted = close
    model = model.reshape(-1)
    offset = np.zeros(flat.size)
    offset[inside] = np.rint(flat[inside] - model[inside])
    off = np.flatnonzero(offset)
    if off.size == 0 or off.size > 4 * largest:
        return
    unvisited = set(off.tolist())

    def neighbours(p):
        r, c = divmod(p, width)
        if r > 0:
            yield p - width
        if r < height - 1:
            yield p + width
        if c > 0:
            yield p - 1
        if c < width - 1:
            yield p + 1

    while unvisited:
        seed = unvisited.pop()
        patch = [seed]
        for p in patch:  # the 4-connected patch of pixels with the same offset
            for n in neighbours(p):
                if n in unvisited and offset[n] == offset[seed]:
                    unvisited.discard(n)
                    patch.append(n)
        if len(patch) > largest:
            continue
        members = np.array(patch)
        shift = offset[seed]
        if np.median(np.abs(flat[members] - model[members] - shift)) >= 0.2:
            continue
        in_patch = set(patch)
        if any(inside[n] and n not in in_patch and abs(flat[n] - flat[p]) >= 0.5
               for p in patch for n in neighbours(p)):
            flat[members] -= shift


def _local_jumps(waves, mask, candidates, values):
    """For each candidate pixel, taken at `values`: how many of its eight pupil neighbours lie half a
    wave or more away."""
    height, width = mask.shape
    rows, cols = np.divmod(candidates, width)
    count = np.zeros(candidates.size, np.int64)
    for dr, dc in _NEIGHBOURS:
        r, c = rows + dr, cols + dc
        inside = (r >= 0) & (r < height) & (c >= 0) & (c < width)
        r, c = np.where(inside, r, 0), np.where(inside, c, 0)
        count += inside & mask[r, c] & (np.abs(waves[r, c] - values) >= 0.5)
    return count


def _repair_against_fit(waves, mask, rounds=3):
    """Where jumps remain (steep fringes on the rim, where neighbours alone cannot tell), a pixel beside
    a jump takes the whole waves that bring it nearest the smooth Zernike fit of the surface, when that
    leaves it no more jumps with its neighbours than before. A round that leaves more discontinuities
    in all is undone."""
    for _ in range(rounds):
        before = _count_jumps(waves, mask, _ALL_PAIRS)
        if before == 0 or np.count_nonzero(mask) < FIT_TERMS:
            return
        model = zelnor.zernike_surface(fit_zernike(waves, mask), mask)
        candidates = _jump_pixels(waves, mask)
        flat = waves.reshape(-1)
        values = flat[candidates]
        shift = np.rint(values - model.reshape(-1)[candidates])
        shift[_local_jumps(waves, mask, candidates, values - shift)
              > _local_jumps(waves, mask, candidates, values)] = 0
        if not shift.any():
            return
        flat[candidates] = values - shift
        if _count_jumps(waves, mask, _ALL_PAIRS) > before:
            flat[candidates] = values
            return


def _pair_slices(top, rows, dr, dc, width):
    """(here, there): the pixels of `rows` rows from row `top` that have a neighbour at (dr, dc)
    (dr >= 0), and those neighbours."""
    first, last = max(0, -dc), width - max(0, dc)
    return ((slice(top, top + rows), slice(first, last)),
            (slice(top + dr, top + dr + rows), slice(first + dc, last + dc)))


# Neighbour directions that pair every two pixels once: down, right, and the two diagonals.
_SIDE_PAIRS = ((1, 0), (0, 1))
_ALL_PAIRS = ((1, 0), (0, 1), (1, 1), (1, -1))


def _count_jumps(waves, mask, directions, block_rows=64, largest=None):
    """Pupil pixel pairs (p, p + direction) half a wave or more apart, counted over blocks of rows
    into small reused buffers: no temporary of the image's size. Given a list, `largest` receives
    each block's largest step below half a wave."""
    height, width = mask.shape
    step = np.empty((block_rows, width))
    jump = np.empty((block_rows, width), bool)
    both = np.empty((block_rows, width), bool)
    count = 0
    for top in range(0, height, block_rows):
        rows = min(block_rows, height - top)
        for dr, dc in directions:
            pairs = rows if dr == 0 else min(rows, height - 1 - top)
            columns = width - abs(dc)
            if pairs <= 0 or columns <= 0:
                continue
            here, there = _pair_slices(top, pairs, dr, dc, width)
            buffer, flags = step[:pairs, :columns], jump[:pairs, :columns]
            np.subtract(waves[there], waves[here], out=buffer)
            np.abs(buffer, out=buffer)
            np.less(buffer, 0.5, out=flags)
            np.logical_not(flags, out=flags)  # a NaN is no sound step either
            inside = np.logical_and(mask[here], mask[there], out=both[:pairs, :columns])
            flags &= inside
            count += int(np.count_nonzero(flags))
            if largest is not None:
                largest.append(float(np.max(buffer, where=inside & ~flags, initial=0.0)))
    return count


def discontinuities(waves: NDArray[np.float64], mask: Mask) -> int:
    """Pairs of neighbouring pupil pixels (side by side or one above the other) whose unwrapped values
    differ by half a wave or more.

    A continuous surface sampled well never shows one: each marks undersampled fringes, noise
    or a defect the unwrapper had to cut through, and the surface is not to be trusted there."""
    return _count_jumps(waves, _pupil(mask, waves), _SIDE_PAIRS)


def step_summary(waves: NDArray[np.float64], mask: Mask) -> Tuple[int, float]:
    """discontinuities(waves, mask), and the largest of the other steps between side neighbours, in waves.

    Fringes denser than one per two pixels alias into a smooth, wrong surface without a jump; where a
    surface's slope crosses that limit, its unwrapped steps come close to half a wave."""
    steps: list[float] = []
    return _count_jumps(waves, _pupil(mask, waves), _SIDE_PAIRS, largest=steps), max(steps, default=0.0)


def unmodulated(frames: Frames, wrapped: NDArray[np.float64], mask: Mask) -> int:
    """Pupil pixels without fringe modulation: every frame reads the same there (no light, saturation, a
    stuck phase shifter), so their phase is undefined and `retrieve_phase` gives them the value of a zero angle.

    Only pixels holding that value are compared frame by frame: no pass over the whole frame stack."""
    check_frames(frames)
    wrapped = np.asarray(wrapped)
    if wrapped.dtype.kind != "f":
        raise RoadError(f"the wrapped phase must hold floating-point radians, got {wrapped.dtype} samples")
    mask = _pupil(mask, frames[0])
    if wrapped.shape != mask.shape:
        raise RoadError(f"wrapped phase of shape {wrapped.shape} for frames of shape {mask.shape}")
    zero = np.zeros((1, 1))
    zero -= RETRIEVAL_OFFSET[len(frames)]
    # compared in the phase's own type: a float32 copy holds the value rounded
    candidates = np.flatnonzero(wrapped.reshape(-1) == wrapped.dtype.type(zelnor.wrap(zero, TWO_PI)[0, 0]))
    candidates = candidates[mask.reshape(-1)[candidates]]
    if candidates.size == 0:
        return 0
    first = np.asarray(frames[0]).reshape(-1)[candidates]
    same = np.ones(candidates.size, bool)
    for frame in frames[1:]:
        same &= np.asarray(frame).reshape(-1)[candidates] == first
    return int(np.count_nonzero(same))


# Frames a half period apart in each frame count's steps: their differences are the fringe term twice over.
_OPPOSITE_PAIRS = {4: ((0, 2), (1, 3)), 5: ((0, 2), (1, 3)), 7: ((0, 3), (1, 4))}
# A pupil pixel whose modulation is under this fraction of the pupil's typical one has a phase of noise.
WEAK_MODULATION = 0.1
# The typical modulation is no less than this share of the pupil's 90th percentile.
BRIGHT_SHARE = 0.1
# A lone pixel counts as weak under this share of the typical modulation: a dead pixel, which reads only
# the camera's noise, while noise seldom drives a sound pixel that far down.
LONE_MODULATION = 0.01
# Pixels per row block of the modulation check.
BLOCK_PIXELS = 1 << 16


def weakly_modulated(frames: Frames, mask: Mask) -> int:
    """Pupil pixels whose fringe modulation is under WEAK_MODULATION of the pupil's typical one (dust on
    the optics, a beam smaller than the pupil, saturation): their phase is noise, or undefined where the
    modulation is 0. The typical modulation is the pupil's median, but no less than BRIGHT_SHARE of its
    90th percentile, so that a pupil more than half dark (a camera that reads the dark as a constant, or
    with noise under about a hundredth of the modulation) still has its dark pixels counted.

    Pixels count in patches of two or more, or alone when their modulation is under LONE_MODULATION of the
    typical one (a dead pixel): noise now and then drives a lone pixel under the line while its phase
    stays sound.

    The modulation is gauged by |I_a - I_b| + |I_c - I_d| over frame pairs half a period apart, which
    stays within a factor of two of the fitted modulation whatever the phase, in integer arithmetic."""
    check_frames(frames)
    # Counts of 8 or 16 bits as they are; others checked to lie in 0..65535, so that differences fit in int32.
    frames = [frame if frame.dtype in (np.uint8, np.uint16) else _camera_counts(frame)
              for frame in map(np.asarray, frames)]
    mask = _pupil(mask, frames[0])
    pairs = _OPPOSITE_PAIRS[len(frames)]

    def level(rows, columns=slice(None), out=None, spare=None):
        (a, b), (c, d) = pairs
        out = np.subtract(frames[a][rows, columns], frames[b][rows, columns], out=out, dtype=np.int32)
        np.abs(out, out=out)
        spare = np.subtract(frames[c][rows, columns], frames[d][rows, columns], out=spare, dtype=np.int32)
        np.abs(spare, out=spare)
        out += spare
        return out

    stride = _sample_stride(mask.size)
    sample = level(slice(None, None, stride), slice(None, None, stride))[mask[::stride, ::stride]]
    if sample.size == 0:
        return 0
    median, bright = np.percentile(sample, [50, 90])
    typical = max(float(median), BRIGHT_SHARE * float(bright))
    limit, lone = WEAK_MODULATION * typical, LONE_MODULATION * typical
    height, width = mask.shape
    weak = np.empty(mask.shape, bool)
    beside = np.empty(mask.shape, bool)
    rows = max(1, BLOCK_PIXELS // max(1, width))
    out, spare = np.empty((rows, width), np.int32), np.empty((rows, width), np.int32)
    for top in range(0, height, rows):  # row blocks: small reused buffers instead of image-sized integers
        count = min(rows, height - top)
        block = level(slice(top, top + count), out=out[:count], spare=spare[:count])
        np.less(block, limit, out=weak[top:top + count])
        np.less_equal(block, lone, out=beside[top:top + count])
    weak &= mask
    # Noise drives a lone pixel of weak fringes under the line now and then; dust shades a patch. A lone
    # pixel counts when its frames show next to no fringe term (none at all: its phase is atan2(0, 0)).
    beside[1:] |= weak[:-1]
    beside[:-1] |= weak[1:]
    beside[:, 1:] |= weak[:, :-1]
    beside[:, :-1] |= weak[:, 1:]
    weak &= beside
    return int(np.count_nonzero(weak))


# Frame pairs symmetric about the middle of each count's sequence, the nearer pair first: with frames
# A + B cos(phase + k * step), their differences are 2 B sin(middle phase) sin(j * step), for j = 1/2
# and 3/2 (4 frames) or 1 and 2 (5 and 7 frames), so their ratio gives the step the frames were taken at.
_SYMMETRIC_PAIRS = {4: ((1, 2), (0, 3)), 5: ((1, 3), (0, 4)), 7: ((2, 4), (1, 5))}
# Pixels of the pupil's bounding box that the phase step and misfit checks read at most: beyond these, bands
# of 8 rows spread evenly down the pupil. Both average products over the pixels, which a quarter of a million
# settle.
SAMPLE_PIXELS = 1 << 18


def _sample_bands(mask, pixels=SAMPLE_PIXELS):
    """(bounding box of the mask, rows per band, first rows of the bands): every row of the box in blocks
    of about BLOCK_PIXELS, or where the box holds more than `pixels`, bands of 8 rows spread evenly."""
    box = pupil_box(mask)
    if box is None:
        return None, 0, range(0)
    height = box[0].stop - box[0].start
    width = box[1].stop - box[1].start
    stride = -(-height * width // pixels)
    rows = max(2, BLOCK_PIXELS // width) if stride == 1 else 8
    return box, rows, range(0, height, rows * stride)


def _neighbour_sum(here, there, rows):
    """Sum over the first `rows` rows of `here` at each pixel times `there` at its right and its lower
    neighbour (the lower neighbours of the last of those rows may lie one row further)."""
    return float(np.einsum("ij,ij->", here[:rows, :-1], there[:rows, 1:]) +
                 np.einsum("ij,ij->", here[:rows + 1][:-1], there[:rows + 1][1:]))


# Below this share of the nearer pair's own energy, the neighbour products are noise: fringes nearly
# null at the middle of the sequence throughout the pupil.
_STEP_DETERMINED = 0.05
# The pair differences are read about their means only where these carry at most this share of their
# energy: fringes that cross the pupil.
_STEP_MEAN_SHARE = 0.1


def _step_products(frames, mask, pairs, rows, tops, means=(0.0, 0.0)):
    """(near x far, near x near, twice near's own energy) of the symmetric pairs' differences less `means`,
    each pixel's times its right and lower neighbours', summed over the sampled bands of the pupil."""
    (a, b), (c, d) = pairs
    height = mask.shape[0]
    near_far = near_near = energy = 0.0
    for top in tops:
        own = min(rows, height - top)
        # One row past the block pairs its last row with the next block's first.
        part = slice(top, min(height, top + own + 1))
        # In row order, as the sums run, whatever the frames' layout (a Fortran-order frame's would be columns).
        near = np.subtract(frames[a][part], frames[b][part], dtype=np.float64, order="C")
        far = np.subtract(frames[c][part], frames[d][part], dtype=np.float64, order="C")
        near -= means[0]
        far -= means[1]
        outside = ~mask[part]
        np.putmask(near, outside, 0.0)  # a pair with a pixel outside the pupil adds nothing, NaN there too
        np.putmask(far, outside, 0.0)
        near_far += 0.5 * (_neighbour_sum(far, near, own) + _neighbour_sum(near, far, own))
        near_near += _neighbour_sum(near, near, own)
        energy += 2.0 * float(np.einsum("ij,ij->", near[:own], near[:own]))
    return near_far, near_near, energy


def _pair_means(frames, mask, pairs, rows, tops):
    """(the pupil means of the symmetric pairs' differences over the sampled bands, the share of the nearer
    pair's energy that its mean carries)."""
    (a, b), (c, d) = pairs
    height = mask.shape[0]
    near = far = power = pixels = 0.0
    for top in tops:
        part = slice(top, min(height, top + rows))
        inside = mask[part]
        values = np.subtract(frames[a][part], frames[b][part], dtype=np.float64)[inside]
        near += float(values.sum())
        power += float(np.vdot(values, values))
        far += float(np.subtract(frames[c][part], frames[d][part], dtype=np.float64)[inside].sum())
        pixels += float(np.count_nonzero(inside))
    if not power > 0.0:
        return (0.0, 0.0), 1.0
    return (near / pixels, far / pixels), near * near / pixels / power


def phase_step(frames: Frames, mask: Mask) -> Optional[float]:
    """The phase step between consecutive frames, in radians, as the frames over the pupil show it: the
    nominal PHASE_STEPS value for a calibrated phase shifter; nan when no single step explains the frames
    (frames out of order, or not of one measurement); None when the fringes leave it undetermined (a null
    fringe that puts the phase at the middle of the sequence at 0 or pi throughout the pupil, or fringes at
    the sampling limit).

    Least squares over the pupil of the ratio of the differences of symmetric frame pairs. Each pixel's
    differences are multiplied by its right and lower neighbours' rather than its own, so that camera noise,
    independent from pixel to pixel, averages out instead of shrinking the estimate. Where the fringes vary
    over the pupil, the differences are taken about their means, so that an offset of a whole frame (ambient
    light flickering between frames) leaves the step as it is."""
    check_frames(frames)
    return _step_and_share(frames, mask)[0]


def _step_and_share(frames, mask, means=None):
    """(phase_step, the share of the pair differences' energy that their neighbours share: near 1 for clean
    fringes, about a half under noise of half the modulation, near 0 where noise is all the differences
    carry; the means the differences were read about, (0, 0) for as they are). `means` given (the whole
    pupil's, for a part of it), the differences are read about them."""
    frames = [np.asarray(frame) for frame in frames]
    mask = _pupil(mask, frames[0])
    pairs = _SYMMETRIC_PAIRS[len(frames)]
    box, rows, tops = _sample_bands(mask)
    if box is None:
        return None, 0.0, (0.0, 0.0)
    mask = mask[box]
    frames = [frame[box] for frame in frames]
    if means is None:
        # Over fringes that cross the pupil, the differences are read about their pupil means, which sheds an
        # offset of a whole frame. Over few fringes their means carry the step, and about them the differences
        # would weigh pixels against each other (a step that changes across the pupil then reads far off):
        # there they are read as they are.
        means, share = _pair_means(frames, mask, pairs, rows, tops)
        if share > _STEP_MEAN_SHARE:
            means = (0.0, 0.0)
    near_far, near_near, energy = _step_products(frames, mask, pairs, rows, tops, means)
    if not abs(near_near) > _STEP_DETERMINED * energy and means != (0.0, 0.0):
        means = (0.0, 0.0)
        near_far, near_near, energy = _step_products(frames, mask, pairs, rows, tops)
    if not abs(near_near) > _STEP_DETERMINED * energy:
        return None, 0.0, means
    # sin(3 step / 2) / sin(step / 2) = 1 + 2 cos(step); sin(2 step) / sin(step) = 2 cos(step)
    ratio = near_far / near_near
    cosine = (ratio - 1.0) / 2.0 if len(frames) == 4 else ratio / 2.0
    return (math.acos(cosine) if abs(cosine) <= 1.0 else math.nan), near_near / energy, means


# A half's step is read only where at least this share of its pair differences' energy is the fringes':
# a half over which noise swamps the little the fringes vary reads several degrees off, which
# extrapolated to the edge would name a tilting reference that is not there.
_HALF_DETERMINED = 0.25


def _halves(frames, mask, box, power):
    """The pupil's halves, left and right, then top and bottom: for each split, (the halves' windows, their centres
    in pixels from the box's start, the box's size across the split), the centres weighted by the fringe
    modulation to `power`, as a half's reading weighs its pixels (read on an even sample of the box). None where
    the pupil does not split in two, or a half has no fringes."""
    stride = _sample_stride(mask.size)
    weight = modulation([frame[box][::stride, ::stride] for frame in frames]) ** power
    weight[~mask[box][::stride, ::stride]] = 0.0  # (frames may hold anything there, NaN included)
    splits = []
    for axis in (1, 0):  # across the columns, then down the rows
        profile = mask[box].sum(axis=1 - axis, dtype=np.float64)  # pupil pixels per column (row)
        places = np.arange(profile.size) + 0.5
        middle = int(round(float(places @ profile) / float(profile.sum())))
        if not 0 < middle < profile.size:
            return None
        weights = weight.sum(axis=1 - axis)
        sampled = np.arange(weights.size) * stride + 0.5  # the sampled columns' (rows') places
        windows, centres = [], []
        for half in (slice(0, middle), slice(middle, profile.size)):
            part = slice(box[axis].start + half.start, box[axis].start + half.stop)
            windows.append((box[0], part) if axis == 1 else (part, box[1]))
            inside = (sampled >= half.start) & (sampled < half.stop)
            total = float(weights[inside].sum())
            if not total > 0.0:
                return None
            centres.append(float(sampled[inside] @ weights[inside]) / total)
        splits.append((windows, centres, profile.size))
    return splits


def edge_steps(frames: Frames, mask: Mask, step: Optional[float] = None) -> Optional[Tuple[float, float]]:
    """(smallest, largest) phase step, in radians, at the pupil's edge, for a step that changes linearly
    across the pupil (a reference mirror that tilts as it moves): the steps `phase_step` reads over the
    pupil's halves, left and right and top and bottom, extrapolated from the halves' centres (weighted as the
    steps weigh their pixels, by the modulation squared) to the edge about `step` (phase_step's over the whole
    pupil, read here when not given). None where the whole pupil or a half leaves its step undetermined, or no
    single step explains them."""
    check_frames(frames)
    frames = [np.asarray(frame) for frame in frames]
    mask = _pupil(mask, frames[0])
    box = pupil_box(mask)
    # The halves read their differences as the whole pupil does, about its means: a frame's offset is the
    # same over both, while each half's own means would carry what little of the fringes it shows.
    whole, _, means = _step_and_share(frames, mask)
    if step is not None and not math.isnan(step) and not 0.0 <= step <= math.pi:
        raise RoadError(f"a phase step of {step} rad; steps lie between 0 and pi")
    step = whole if step is None else step
    if box is None or step is None or math.isnan(step):
        return None
    # A half's step is its pixels' products of differences summed, which weighs each pixel as its modulation
    # squared: under a beam that dims towards the rim, it is the step nearer the pupil's middle than the half's
    # geometric centre, and is placed there.
    halves = _halves(frames, mask, box, 2)
    if halves is None:
        return None
    reach = 0.0
    for windows, centres, size in halves:
        steps = []
        for window in windows:
            half_step, share, _ = _step_and_share([frame[window] for frame in frames], mask[window], means)
            if half_step is None or math.isnan(half_step) or not share >= _HALF_DETERMINED:
                return None
            steps.append(half_step)
        # the change per pixel, over the half-width of the pupil's box
        reach += ((steps[1] - steps[0]) / (centres[1] - centres[0]) * size / 2) ** 2
    # (halves too far apart for a straight line, frames that are not one pattern, stop at 0 and 180 degrees)
    return max(0.0, step - math.sqrt(reach)), min(math.pi, step + math.sqrt(reach))


def step_ripple(count: int, step: float) -> float:
    """Peak-to-valley, in radians, of the phase error that the `count`-frame formula of zelnor.phase makes
    of frames taken at `step` instead of PHASE_STEPS[count] (its piston left out): a ripple that follows
    the fringes. 0 at the nominal step; the 5-frame formula tolerates a step error best."""
    if count not in PHASE_STEPS:
        raise RoadError(f"need 4, 5 or 7 frames, got {count}")
    return shift_ripple(np.arange(count) * float(step))


def shift_ripple(shifts: Union[Sequence[float], NDArray[np.float64]]) -> float:
    """Peak-to-valley, in radians, of the phase error that the formula of zelnor.phase for len(shifts) frames
    makes of frames taken at those phase shifts, in radians from the first, instead of its nominal ones (its
    piston left out)."""
    shifts = np.asarray(shifts, dtype=np.float64)
    count = len(shifts)
    if count not in PHASE_STEPS:
        raise RoadError(f"need 4, 5 or 7 frames, got {count}")
    if not np.isfinite(shifts).all():  # phase_step's nan (no single step) has no ripple to read
        return math.nan
    angles = np.linspace(0.0, TWO_PI, 720, endpoint=False)[None, :]

    def retrieved(at):
        return zelnor.phase([np.rint(32767.5 + 32000.0 * np.cos(angles + shift)).astype(np.uint16)
                             for shift in at])[0]

    error = np.angle(np.exp(1j * (retrieved(shifts) - retrieved(np.arange(count) * PHASE_STEPS[count]))))
    error = np.angle(np.exp(1j * (error - np.angle(np.mean(np.exp(1j * error))))))
    return float(error.max() - error.min())


# Rounds of frame_shifts at most, and the change of every shift, in radians (0.3 degrees), under which it
# has settled. Each round reads up to SHIFT_SAMPLE_PIXELS of the pupil's box.
_SHIFT_ROUNDS = 20
_SHIFT_SETTLED = 5e-3
SHIFT_SAMPLE_PIXELS = 1 << 16
# A step read off the frames further than this from the nominal one (frames out of order) is no start.
_SHIFT_START = math.pi / 6


def frame_shifts(frames: Frames, mask: Mask, step: Optional[float] = None
                 ) -> Optional[NDArray[np.float64]]:
    """Each frame's phase shift from the first, in radians, as the frames over the pupil show it: what
    phase_step reads for a uniform step, frame by frame, so that a phase shifter that missed or slipped a
    step, or vibration, shows. None when the fringes leave the shifts undetermined (a null fringe), and for
    4 frames: with one sample a pixel beyond the pattern's A, B and phase, they leave them nearly so (a frame
    taken twice fits any shifts with the pair's equal), while the 4-frame formula's error hangs on them. `step`,
    as phase_step reads it, is where the rounds start, when it lies within 30 degrees of the count's nominal
    one (which they start from otherwise).

    In rounds, from that start: per pixel, the least-squares fit of A + B cos(phase + shift) at the current
    shifts; then each frame, less that A, against the cosine and sine of that phase and an offset,
    least squares over the pupil, gives its shift, until the shifts settle. Each pixel counts as its frames
    divided by its own B, weighted by B, so that a beam brighter in the middle than at the rim (whose B then
    follows the fringes of a nearly nulled part) biases no shift.

    Frames at fewer than 5 distinct phases (a calibrated 5-frame set, whose first and last frames lie a
    full turn apart, or a frame taken twice) fit a family of shift sets, each with its own map of B, and the
    frames alone cannot tell them apart. Two assumptions about the beam each pick one: a fringe visibility,
    B over A, uniform over the pupil (pixels divided by A and weighted by it, those with fringes of under a
    fifth of the typical visibility left out), and a B uniform over it (every pixel alike). The first whose
    beam, read at its own shifts, meets it within _ASSUMPTION_HOLDS gives the reading; where neither does (a
    test beam falling off at the rim under a flat reference, a background of light that does not interfere),
    the reading stays the one weighted by B, near the uniform step the rounds start from: no frame is said to
    be off on the strength of an assumption that does not hold."""
    check_frames(frames)
    mask = _pupil(mask, frames[0])
    count = len(frames)
    if count == 4:
        return None
    box, rows, tops = _sample_bands(mask, SHIFT_SAMPLE_PIXELS)
    if box is None:
        return None
    mask = mask[box]
    bands = []
    # Bands of 8 rows, whose temporaries stay in cache over the rounds.
    for top in [top + start for top in tops for start in range(0, rows, 8)]:
        part = slice(top, top + 8)
        inside = mask[part]
        if inside.any():
            stack = np.stack([np.asarray(frame)[box][part] for frame in frames]).astype(np.float64)
            stack[:, ~inside] = 0.0  # nothing from outside the pupil, NaN there too
            bands.append((stack, inside.astype(np.float64)))
    if not bands:
        return None
    if step is None or not abs(step - PHASE_STEPS[count]) < _SHIFT_START:
        step = PHASE_STEPS[count]
    start = np.arange(count) * step
    shifts = _read_shifts(bands, start, _by_modulation)
    if shifts is not None and _distinct_phases(shifts) < _SHIFTS_DETERMINED:
        floor = _VISIBILITY_FLOOR * _typical_visibility(bands, shifts)

        def by_visibility(offset, length):
            return np.where(length >= floor * offset, np.maximum(offset, 0.0), 0.0)

        for weighting in (by_visibility, _alike):
            reading = _read_shifts(bands, start, weighting)
            if reading is not None and _assumption_spread(bands, reading, weighting) <= _ASSUMPTION_HOLDS:
                return reading
    return shifts


# Frames at fewer distinct phases than this leave their shifts one combination short: five points fix the
# ellipse that the frames trace in the plane of the fringes' cosine and sine. Phases closer than
# _SAME_PHASE (radians) count as one. A reading of such frames on an assumption about the beam closes it
# where the beam, read at those shifts, meets the assumption within _ASSUMPTION_HOLDS (rms, relative): a
# wrong reading leaves its map of B a quarter off there, sound ones a twentieth at most (a visibility that
# falls by a tenth across the pupil). Pixels under _VISIBILITY_FLOOR of the typical visibility (a part of
# the pupil that the reference alone lights) take no part in the visibility's reading.
_SHIFTS_DETERMINED = 5
_SAME_PHASE = math.radians(30.0)
_ASSUMPTION_HOLDS = 0.08
_VISIBILITY_FLOOR = 0.2


def _by_modulation(offset, length):
    return length


def _pattern_solver(shifts):
    """The least-squares solver of A + B cos(phase + shift) over frames at `shifts`: applied to a pixel's
    frames, it gives A, B cos(phase) and B sin(phase)."""
    return np.linalg.pinv(np.stack([np.ones(len(shifts)), np.cos(shifts), -np.sin(shifts)], axis=1))


def _assumption_spread(bands, shifts, weighting):
    """How far the beam departs, at `shifts`, from what `weighting` assumes uniform over the pupil (B over
    A for the visibility's, B for every pixel alike): the rms variation of B over the weight, relative to
    its mean, over the pixels the weighting uses. Summed as products of right and lower neighbours, so that
    camera noise, independent from pixel to pixel, averages out."""
    solve = _pattern_solver(shifts)
    values = []
    for stack, inside in bands:
        offset, real, imaginary = np.tensordot(solve, stack, 1)
        length = np.hypot(real, imaginary)
        weight = weighting(offset, length) * inside
        used = weight > 0.0
        values.append((np.divide(length, weight, out=np.zeros_like(length), where=used), used))
    pixels = sum(int(np.count_nonzero(used)) for _, used in values)
    if not pixels:
        return math.inf
    mean = sum(float(value[used].sum()) for value, used in values) / pixels
    shared = pairs = 0.0
    for value, used in values:
        change = (value - mean) * used
        shared += float(np.vdot(change[:, :-1], change[:, 1:]) + np.vdot(change[:-1], change[1:]))
        pairs += float(np.count_nonzero(used[:, :-1] & used[:, 1:]) + np.count_nonzero(used[:-1] & used[1:]))
    if not pairs or not mean > 0.0:
        return math.inf
    return math.sqrt(max(shared / pairs, 0.0)) / mean


def _alike(offset, length):
    return np.ones_like(length)


def _typical_visibility(bands, shifts):
    """The median fringe visibility, B over A, of the pupil's pixels, fitted at `shifts`."""
    solve = _pattern_solver(shifts)
    ratios = []
    for stack, inside in bands:
        offset, real, imaginary = np.tensordot(solve, stack, 1)
        lit = (inside > 0) & (offset > 0)
        ratios.append(np.hypot(real, imaginary)[lit] / offset[lit])
    ratios = np.concatenate(ratios)
    return float(np.median(ratios)) if ratios.size else 0.0


def _distinct_phases(shifts):
    phases = np.sort(np.mod(shifts, TWO_PI))
    gaps = np.diff(np.append(phases, phases[0] + TWO_PI))
    return max(1, int(np.count_nonzero(gaps >= _SAME_PHASE)))


def _read_shifts(bands, shifts, weighting):
    """frame_shifts' rounds from `shifts`: each pixel divided by its `weighting(A, B)` and weighted by it;
    None for fringes that do not span the circle."""
    count = len(shifts)
    for _ in range(_SHIFT_ROUNDS):
        solve = _pattern_solver(shifts)
        gram = np.zeros((3, 3))
        moments = np.zeros((count, 3))
        for stack, inside in bands:
            offset, real, imaginary = np.tensordot(solve, stack, 1)
            length = np.hypot(real, imaginary)
            # A pixel's frames less A over its weight w, against the phase's cosine and sine and an offset
            # (in units of w), weighted by w: the moments are those of the frames themselves.
            weight = weighting(offset, length) * inside  # none outside the pupil
            used = (weight > 0.0).astype(np.float64)
            length[length == 0.0] = 1.0
            basis = [real / length * used, imaginary / length * used, used]
            gram += [[float(np.vdot(u * weight, v)) for v in basis] for u in basis]
            # each frame less A: sum of (frame - A) v
            moments += np.stack([np.einsum("kij,ij->k", stack, v) - float(np.vdot(offset, v)) for v in basis],
                                axis=1)
        # The fringes must span the circle: the cosine and sine must not be nearly constant over the pupil.
        if not gram[2, 2] > 0.0:
            return None
        spread = gram[:2, :2] - np.outer(gram[:2, 2], gram[2, :2]) / gram[2, 2]
        if not np.linalg.eigvalsh(spread)[0] > _STEP_DETERMINED * gram[2, 2]:
            return None
        weights = np.linalg.solve(gram, moments.T)
        angles = np.arctan2(-weights[1], weights[0])
        settled = np.unwrap(np.angle(np.exp(1j * (angles - angles[0]))))
        change = float(np.max(np.abs(settled - shifts)))
        shifts = settled
        if change < _SHIFT_SETTLED:
            break
    return shifts


# Above this misfit (a share of the modulation) the frames are not one fringe pattern. Sound frames stay under
# 0.2 with a camera of gamma 0.4 or 5 % intensity drift a frame, 0.27 with 10 degrees rms of vibration in 7
# frames; a dark, flat or unrelated image among them gives 0.4 to 1.
MISFIT_LIMIT = 0.35


# A half whose pixels' phases cluster more than this (the length of their mean unit phasor: 0 for phases spread
# evenly round the circle, 1 for one phase) shows too little of a fringe for its shifts to be read.
_RIM_FRINGES = 0.3


def _phase_cluster(frames, mask, window):
    """The length of the mean unit phasor of the phases of the pupil's pixels in `window`, on an even sample."""
    stride = _sample_stride(mask[window].size)
    inside = mask[window][::stride, ::stride]
    a, b = _fringe_parts([np.asarray(frame)[window][::stride, ::stride][inside] for frame in frames])
    phasors = a + 1j * b
    lengths = np.abs(phasors)
    phasors = phasors[lengths > 0] / lengths[lengths > 0]
    return float(abs(phasors.mean())) if phasors.size else 1.0


def edge_shifts(frames: Frames, mask: Mask, step: Optional[float] = None
                ) -> Optional[Tuple[NDArray[np.float64], float]]:
    """(each frame's phase shift from the first, in radians, around the pupil's rim, on the ellipse inscribed in
    its box, every 45 degrees from the right edge, counter-clockwise as the image shows it: an array of 8 rows,
    one shift per frame; the noise of that reading, in radians), for a wavefront that tilts from frame to frame
    (a rocking part or reference, air currents), which shifts each frame by an amount that changes across the
    pupil and averages out over it. The shifts are those `frame_shifts` reads over the pupil's halves, left and
    right and top and bottom, carried along straight lines through the halves' centres (weighted by the fringe
    modulation) to the rim; each half is read twice, on its even and on its odd rows, whose noise is their own:
    the noise given is four times the most the two readings' difference carries to a frame's tilt. None for 4
    frames, and where the pupil or a half leaves its shifts undetermined. `step` as for frame_shifts."""
    check_frames(frames)
    frames = [np.asarray(frame) for frame in frames]
    mask = _pupil(mask, frames[0])
    box = pupil_box(mask)
    if len(frames) == 4 or box is None:
        return None
    halves = _halves(frames, mask, box, 1)
    if halves is None:
        return None
    middles, reaches, spreads = [], [], []
    for windows, centres, size in halves:
        read, spread = [], []
        for window in windows:
            # Over less than about a fringe a half's shifts hang on its beam more than on its fringes.
            if _phase_cluster(frames, mask, window) > _RIM_FRINGES:
                return None
            twice = [frame_shifts([frame[window][parity::2] for frame in frames], mask[window][parity::2], step)
                     for parity in (0, 1)]
            if twice[0] is None or twice[1] is None:
                return None
            read.append((twice[0] + twice[1]) / 2)
            spread.append((twice[0] - twice[1]) / 2)
        along = size / 2 / (centres[1] - centres[0])  # from a half's difference to the tilt at the rim
        middles.append(read[0] + (read[1] - read[0]) / (centres[1] - centres[0]) * (size / 2 - centres[0]))
        reaches.append((read[1] - read[0]) * along)
        spreads.append(np.hypot(spread[0], spread[1]) * along)
    middle = (middles[0] + middles[1]) / 2
    # Across the columns (x to the right), then down the rows: a rim point up the image is at -y.
    angles = np.radians(np.arange(0, 360, 45))
    rim = middle + np.cos(angles)[:, None] * reaches[0] - np.sin(angles)[:, None] * reaches[1]
    return rim, 4.0 * float(np.max(np.hypot(spreads[0], spreads[1])))


def frame_misfit(frames: Frames, mask: Mask, step: Optional[float] = None
                 ) -> Optional[float]:
    """How far the frames depart from one phase-shifted fringe pattern A + B cos(phase + k * step) (`step`
    as `phase_step` reads it; by default, or where that is not a step, the count's nominal one), as a share
    of the fringe modulation over the pupil: about 0.25 at most for sound frames, above MISFIT_LIMIT where a
    frame is not of the measurement (a dark or background image among them). None where the pupil shows no
    fringes.

    Per pixel, the part of the frames that the model cannot hold is projected out. Like the modulation, it
    is summed as products with the right and lower neighbours', so that camera noise, independent from pixel
    to pixel, averages out and only a misfit that neighbouring pixels share remains."""
    check_frames(frames)
    mask = _pupil(mask, frames[0])
    count = len(frames)
    box, rows, tops = _sample_bands(mask)
    if box is None:
        return None
    if step is None or not 0.0 < step < math.pi:
        step = PHASE_STEPS[count]
    design = _fringe_design(count, step)
    # B cos and B sin of the phase, then an orthonormal basis of what the model cannot hold.
    channels = np.concatenate([np.linalg.pinv(design)[1:], np.linalg.svd(design)[0][:, 3:].T])
    mask = mask[box]
    sums = np.zeros(len(channels))
    own = level = 0.0
    for top in tops:
        part = slice(top, top + rows)
        stack = np.stack([np.asarray(frame)[box][part] for frame in frames]).astype(np.float64)
        values = np.tensordot(channels, stack, 1)
        inside = mask[part]
        values[:, ~inside] = 0.0  # nothing from outside the pupil, NaN there too
        for index, value in enumerate(values):
            sums[index] += _neighbour_sum(value, value, len(value))
        own += float(np.vdot(values[:2], values[:2]))
        first = stack[0][inside]
        level += float(np.vdot(first, first))
    modulation = sums[0] + sums[1]
    # No fringes: what neighbours share of the modulation is noise (a small share of its own energy), or
    # rounding in frames that do not change at all (a millionth of their level or less).
    if not (modulation > _STEP_DETERMINED * own and modulation > 1e-12 * level):
        return None
    return math.sqrt(max(0.0, float(sums[2:].sum())) / (count - 3) / modulation)


# A step error whose ripple in the phase exceeds this many waves of wavefront (a fiftieth) is warned of.
STEP_RIPPLE_LIMIT = 0.02


# Above this condition number of the fit (fit.condition) the pupil leaves the 29 terms nearly dependent:
# a disc is about 1, an annulus of obstruction ratio 0.7 about 1e5, 0.8 about 1e7, a half disc 1e7, a
# disc half the image's size 5e8. Noise then sets the coefficients, thousands of waves apart and cancelling.
FIT_CONDITION_LIMIT = 1e6


def fit_condition(mask: Mask, terms: int = FIT_TERMS) -> float:
    """Condition number of the least-squares fit of Fringe terms 1..terms of the image's unit circle over the
    mask (terms scaled to unit size), as the fit solves it: of its normal equations, the square of the scaled
    design matrix's. About 1 for the inscribed disc; above FIT_CONDITION_LIMIT (a small, thin or partial
    pupil) the fitted coefficients are set by noise more than by the surface."""
    from zelnor_cli import fit

    return fit.condition(_pupil(mask), _term_count(terms))


def _term_count(terms):
    terms = operator.index(terms)
    if terms < 1:
        raise RoadError(f"the fit needs at least one term, got {terms}")
    return terms


def fit_removable(surface: NDArray[np.float64], mask: Mask, indices: Sequence[int]) -> NDArray[np.float64]:
    """Least-squares coefficients of piston and the chosen tilt and defocus terms (indices from REMOVABLE)
    alone, the other entries 0: the best-fit plane or paraboloid over the pupil, well defined on any pupil;
    what `measure` hands `remove_terms`."""
    from zelnor_cli import fit

    try:
        return fit.fit_low_order(surface, _pupil(mask, surface), indices)
    except ValueError as error:  # a term other than piston, tilt and defocus, or a surface that is not an image
        raise RoadError(str(error)) from None


def fit_zernike(surface: NDArray[np.float64], mask: Mask, terms: int = FIT_TERMS) -> NDArray[np.float64]:
    """Least-squares Fringe coefficients (index 0 = Fringe 1) of a surface inside the mask."""
    return fit_zernike_and_condition(surface, mask, terms)[0]


def fit_zernike_and_condition(surface: NDArray[np.float64], mask: Mask,
                              terms: int = FIT_TERMS) -> Tuple[NDArray[np.float64], float]:
    """fit_zernike's coefficients and fit_condition's number, at the cost of the fit alone."""
    mask = _pupil(mask, surface)
    terms = _term_count(terms)
    pixels = int(np.count_nonzero(mask))
    if pixels < terms:
        raise RoadError(f"the pupil has {pixels} pixels, fewer than the {terms} fitted terms")
    from zelnor_cli import fit

    return fit.fit_and_condition(surface, mask, terms)


def remove_terms(surface: NDArray[np.float64], mask: Mask, coefficients: NDArray[np.float64],
                 indices: Union[Sequence[int], NDArray[Any]]) -> NDArray[np.float64]:
    """The surface minus the chosen fitted terms (indices 0..28 into `coefficients`, as in REMOVABLE, or 29
    flags) inside the mask, as a new float64 array, 0.0 outside the mask."""
    mask = _pupil(mask, surface)
    flags = np.asarray(indices)
    if flags.dtype == np.bool_:  # a selection of the 29 terms, as NumPy indexing reads it
        if flags.shape != (FIT_TERMS,):
            raise RoadError(f"a selection of terms is {FIT_TERMS} flags in a row, got shape {flags.shape}")
        indices = np.flatnonzero(flags).tolist()
    indices = [operator.index(index) for index in indices]
    if any(not 0 <= index < FIT_TERMS for index in indices):
        raise RoadError(f"term indices run from 0 to {FIT_TERMS - 1}, got {indices}")
    coefficients = np.asarray(coefficients, dtype=np.float64)
    if indices and (coefficients.ndim != 1 or coefficients.size <= max(indices)):
        raise RoadError(f"coefficients of shape {coefficients.shape} for term indices up to {max(indices)}")
    if not indices:
        result = np.zeros(mask.shape)
        np.copyto(result, surface, where=mask)
        return result
    vector = np.zeros(FIT_TERMS)
    vector[indices] = coefficients[indices]
    # zernike_surface is 0.0 outside the mask, where the surface is 0.0 too.
    result = zelnor.zernike_surface(vector, mask)
    np.subtract(surface, result, out=result)
    result[~mask] = 0.0
    return result


def pv_rms(surface: NDArray[np.float64], mask: Mask) -> Tuple[float, float]:
    """Peak-to-valley and RMS (about the mean) of the surface inside the mask; (0, 0) for an empty mask."""
    values = np.asarray(surface)[_pupil(mask, surface)].astype(np.float64, copy=False)
    if values.size == 0:
        return 0.0, 0.0
    pv = float(values.max() - values.min())
    # The deviations overwrite the copy: no further image-sized temporaries.
    np.subtract(values, values.mean(), out=values)
    np.square(values, out=values)
    return pv, float(np.sqrt(np.mean(values)))
