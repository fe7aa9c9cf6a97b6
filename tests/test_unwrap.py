"""The reliability-sorted unwrapper `unwrap`."""
import math
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zelnor
from conftest import LIBC, assert_bits_equal, rand_draws, seeded

F32 = np.float32
PI_F = np.array([0x40490FDB], np.uint32).view(np.float32)[0]
TWO_PI_F = np.array([0x40C90FDB], np.uint32).view(np.float32)[0]


def seeded_unwrap(seed, mask, phase):
    return seeded(seed, zelnor.unwrap, mask, phase)


def rand_state_after(seed, count):
    """Whether the generator stands exactly `count` draws after srand(seed)."""
    probe = LIBC.rand() % 32768
    return probe == rand_draws(seed, count + 1)[-1]


# ---------------------------------------------------------------- the model


def wrap_difference(x):
    if x > PI_F:
        return F32(x - TWO_PI_F)
    if x < -PI_F:
        return F32(x + TWO_PI_F)
    return x


def edge_jump(a, b):
    d = F32(a - b)
    return -1 if d > PI_F else (1 if d < -PI_F else 0)


def quicksort(edges, lo, hi):
    """The quicksort of the unwrapper on [key, first, second, jump] records."""
    key = lambda k: edges[k][0]  # noqa: E731
    while lo < hi:
        mid = lo + (hi - lo) // 2
        if key(lo) > key(mid):
            edges[lo], edges[mid] = edges[mid], edges[lo]
        if key(lo) > key(hi):
            edges[lo], edges[hi] = edges[hi], edges[lo]
        if key(mid) > key(hi):
            edges[mid], edges[hi] = edges[hi], edges[mid]
        if key(mid) > key(lo):
            pivot = key(mid)
        elif key(hi) > key(mid):
            pivot = key(hi)
        else:
            p = next((p for p in range(lo + 1, hi) if key(p) != key(lo)), None)
            if p is None:
                return
            if key(lo) > key(p):
                edges[lo], edges[p] = edges[p], edges[lo]
            pivot = key(p)
        i, j = lo, hi
        while i <= j:
            while key(i) < pivot:
                i += 1
            while key(j) >= pivot:
                j -= 1
            if i < j:
                edges[i], edges[j] = edges[j], edges[i]
                i += 1
                j -= 1
        quicksort(edges, lo, i - 1)
        lo = i


def model_unwrap(mask, phase, rand_values):
    """Straightforward float32 model of the whole run and the masking pass."""
    with np.errstate(invalid="ignore", over="ignore"):
        return _model_unwrap(mask, phase, rand_values)


def _model_unwrap(mask, phase, rand_values):
    h, w = phase.shape
    v = phase.astype(F32)
    pairs = any(mask[r, c] == 255 and ((c + 1 < w and mask[r, c + 1] == 255) or
                                       (r + 1 < h and mask[r + 1, c] == 255))
                for r in range(h) for c in range(w))
    out = v.copy()
    if pairs:
        rough = np.array([F32(9999999 + x) for x in rand_values], F32).reshape(h, w)
        for r in range(h):
            for c in range(w):
                if (r in (0, h - 1)) and (c in (0, w - 1)):
                    continue
                rows = [(r - 1) % h, r, (r + 1) % h]
                cols = [(c - 1) % w, c, (c + 1) % w]
                if not all(mask[a, b] == 255 for a in rows for b in cols):
                    continue
                up, dn, lf, rt = rows[0], rows[2], cols[0], cols[2]
                x = v[r, c]
                s1 = F32(wrap_difference(F32(v[r, lf] - x)) - wrap_difference(F32(x - v[r, rt])))
                s2 = F32(wrap_difference(F32(v[up, c] - x)) - wrap_difference(F32(x - v[dn, c])))
                s3 = F32(wrap_difference(F32(v[up, lf] - x)) - wrap_difference(F32(x - v[dn, rt])))
                s4 = F32(wrap_difference(F32(v[up, rt] - x)) - wrap_difference(F32(x - v[dn, lf])))
                rough[r, c] = F32(F32(F32(s1 * s1) + F32(s2 * s2)) + F32(s3 * s3)) + F32(s4 * s4)
        flat_v, flat_r, flat_m = v.ravel(), rough.ravel(), mask.ravel()
        pairs_in_order = ([(r * w + c, r * w + c + 1) for r in range(h) for c in range(w - 1)] +
                          [(r * w + w - 1, r * w) for r in range(h)] +
                          [(r * w + c, (r + 1) * w + c) for r in range(h - 1) for c in range(w)] +
                          [((h - 1) * w + c, c) for c in range(w)])
        edges = [[float(F32(flat_r[p] + flat_r[q])), p, q, edge_jump(flat_v[p], flat_v[q])]
                 for p, q in pairs_in_order if flat_m[p] == 255 and flat_m[q] == 255]
        ordered = [e for e in edges if not math.isnan(e[0])]
        quicksort(ordered, 0, len(ordered) - 1)
        edges = ordered + [e for e in edges if math.isnan(e[0])]

        n = h * w
        leader, link, tail = list(range(n)), [None] * n, list(range(n))
        members, cycles = [1] * n, [0] * n
        for _, p, q, jump in edges:
            gp, gq = leader[p], leader[q]
            if gp == gq:
                continue
            if link[q] is None and gq == q:
                link[tail[gp]] = q
                tail[gp] = q
                members[gp] += 1
                leader[q] = gp
                cycles[q] = cycles[p] - jump
            elif link[p] is None and gp == p:
                link[tail[gq]] = p
                tail[gq] = p
                members[gq] += 1
                leader[p] = gq
                cycles[p] = cycles[q] + jump
            else:
                if members[gp] > members[gq]:
                    keep, gone, delta = gp, gq, cycles[p] - cycles[q] - jump
                else:
                    keep, gone, delta = gq, gp, cycles[q] - cycles[p] + jump
                link[tail[keep]] = gone
                tail[keep] = tail[gone]
                members[keep] += members[gone]
                x = gone
                while x is not None:
                    cycles[x] += delta
                    leader[x] = keep
                    x = link[x]
        out = np.array([F32(F32(F32(cycles[k]) * TWO_PI_F) + flat_v[k]) for k in range(n)],
                       F32).reshape(h, w)
    out[mask == 0] = 0
    return out


# ---------------------------------------------------------------- helpers


def wrapped(surface):
    return np.angle(np.exp(1j * surface)).astype(F32)


def disc_mask(h, w, radius=0.9):
    y, x = np.mgrid[-1:1:h * 1j, -1:1:w * 1j]
    return np.where(x * x + y * y < radius * radius, 255, 0).astype(np.uint8)


def assert_whole_periods(result, truth, valid, tol=1e-3):
    """result - truth is one and the same multiple of TWO_PI_F at every valid pixel."""
    diff = (result.astype(np.float64) - truth)[valid]
    k = np.round(diff / float(TWO_PI_F))
    assert np.all(k == k[0])
    assert np.max(np.abs(diff - k * float(TWO_PI_F))) < tol


# ---------------------------------------------------------------- no valid pair


def border_only(h, w):
    m = np.zeros((h, w), np.uint8)
    m[0, 0] = m[0, w - 1] = 255
    return m


@pytest.mark.parametrize(
    "mask",
    [
        np.where((np.indices((7, 6)).sum(0) % 2) == 0, 255, 0).astype(np.uint8),  # chessboard
        np.pad(np.full((1, 1), 255, np.uint8), 3),  # single pixel
        border_only(5, 4),  # touching only across the border
        border_only(1, 3),
        np.where((np.indices((6, 6)).sum(0) % 2) == 0, 255, 128).astype(np.uint8),
        np.zeros((3, 3), np.uint8),
    ],
)
def test_no_adjacent_pair_returns_input_and_draws_nothing(mask, rng):
    phase = rng.uniform(-10, 10, mask.shape).astype(F32)
    result = seeded_unwrap(99, mask, phase)
    assert rand_state_after(99, 0)
    assert_bits_equal(result, np.where(mask == 0, F32(0), phase))


@pytest.mark.parametrize("shape", [(0, 5), (5, 0), (0, 0)])
def test_empty_shapes(shape):
    result = zelnor.unwrap(np.zeros(shape, np.uint8), np.zeros(shape, F32))
    assert result.shape == shape and result.dtype == F32


def test_excluded_bytes_keep_input_and_zero_gives_zero(rng):
    phase = wrapped(rng.uniform(-1, 1, (8, 8)).cumsum(1))
    mask = np.full((8, 8), 255, np.uint8)
    mask[2, 3], mask[5, 5], mask[7, 0] = 128, 0, 254
    result = seeded_unwrap(5, mask, phase)
    assert result[2, 3] == phase[2, 3] and result[7, 0] == phase[7, 0]
    assert result[5, 5] == 0 and not np.signbit(result[5, 5])


# ---------------------------------------------------------------- unwrapping


@pytest.mark.parametrize("shape", [(1, 1), (1, 7), (6, 1), (2, 2), (9, 13)])
@pytest.mark.parametrize("value", [0.0, 2.5, -3.0, 100.0])
def test_constant_map_is_unchanged(shape, value):
    phase = np.full(shape, value, F32)
    assert_bits_equal(zelnor.unwrap(np.full(shape, 255, np.uint8), phase), phase)


@pytest.mark.parametrize("slope", [(0.9, 0.3), (-0.5, 1.1), (0.05, -0.7)])
@pytest.mark.parametrize("shape", [(24, 24), (17, 40)])
def test_wrapped_plane_unwraps_to_the_plane(slope, shape):
    h, w = shape
    r, c = np.indices(shape)
    plane = slope[0] * r + slope[1] * c
    mask = np.zeros(shape, np.uint8)
    mask[2:h - 2, 3:w - 3] = 255
    mask[h // 2, 3:w // 2] = 0  # a slot, still one connected region
    result = seeded_unwrap(21, mask, wrapped(plane))
    assert_whole_periods(result, plane, mask == 255)
    assert np.all(result[mask == 0] == 0)


@pytest.mark.parametrize("size", [64, 127])
def test_smooth_surface_in_disc_matches_scikit_image(size):
    restoration = pytest.importorskip("skimage.restoration")
    y, x = np.mgrid[-1:1:size * 1j, -1:1:size * 1j]
    truth = 14 * (x * x + y * y) + 6 * x * y - 4 * y
    mask = disc_mask(size, size)
    phase = wrapped(truth)
    ours = seeded_unwrap(22, mask, phase)
    peer = restoration.unwrap_phase(np.ma.array(phase, mask=mask != 255))
    valid = mask == 255
    assert_whole_periods(ours, truth, valid)
    assert_whole_periods(np.asarray(peer.data, np.float64), truth, valid)


def test_same_seed_same_bits_and_n_draws(rng):
    mask = disc_mask(33, 31)
    phase = wrapped(rng.normal(0, 1.5, (33, 31)).cumsum(0))
    first = seeded_unwrap(1234, mask, phase)
    assert rand_state_after(1234, 33 * 31)
    assert_bits_equal(seeded_unwrap(1234, mask, phase), first)


# ---------------------------------------------------------------- bit-exact model


def random_case(rng, h, w, kind):
    if kind == "noise":
        phase = rng.uniform(-math.pi, math.pi, (h, w))
    elif kind == "smooth":
        phase = wrapped(rng.normal(0, 1.4, (h, w)).cumsum(0).cumsum(1) * 0.4)
    else:  # coarse: ties among scored keys and unwrapped values beyond one period
        phase = rng.integers(-4, 5, (h, w)) * 0.75
    mask = np.where(rng.random((h, w)) < 0.85, 255, 0).astype(np.uint8)
    mask[rng.random((h, w)) < 0.05] = 128
    return mask, np.asarray(phase, F32)


@pytest.mark.parametrize("shape", [(1, 1), (1, 2), (2, 1), (1, 9), (9, 1), (2, 2), (2, 7), (7, 2),
                                   (3, 3), (3, 5), (5, 3), (3, 16), (16, 3), (8, 11), (16, 16), (20, 30)])
@pytest.mark.parametrize("kind", ["noise", "smooth", "coarse"])
@pytest.mark.parametrize("full", [True, False])
def test_matches_model_bit_for_bit(shape, kind, full, rng):
    mask, phase = random_case(rng, *shape, kind)
    if full:
        mask[:] = 255
    seed = int(rng.integers(1, 2**31))
    expected = model_unwrap(mask, phase, rand_draws(seed, phase.size))
    assert_bits_equal(seeded_unwrap(seed, mask, phase), expected)


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_nan_and_infinite_phases_terminate(bad, rng):
    shape = (14, 14)
    r, c = np.indices(shape)
    plane = 0.6 * r - 0.4 * c
    phase = wrapped(plane)
    phase[rng.random(shape) < 0.1] = bad
    mask = np.full(shape, 255, np.uint8)
    assert_bits_equal(seeded_unwrap(3, mask, phase), model_unwrap(mask, phase, rand_draws(3, phase.size)))
    # Far from the bad pixels the plane is recovered.
    big = np.full((60, 60), 255, np.uint8)
    rr, cc = np.indices(big.shape)
    big_plane = 0.6 * rr - 0.4 * cc
    big_phase = wrapped(big_plane)
    big_phase[30:33, 30:33] = bad
    out = seeded_unwrap(23, big, big_phase)
    away = np.zeros(big.shape, bool)
    away[2:25, 2:25] = True
    away[38:58, 38:58] = True
    assert_whole_periods(out, big_plane, away)


def ramp_phase(length, reverse):
    """One row whose roughness grows (or shrinks) along the row: sorted keys."""
    c = np.arange(length, dtype=np.float64)
    if reverse:
        c = c[::-1]
    return wrapped(1.5 * (c / length) ** 3 * length)[None, :]


@pytest.mark.parametrize(
    "phase",
    [
        ramp_phase(40, False),
        ramp_phase(40, True),
        np.where(np.arange(48).reshape(6, 8) == 19, F32(0.5), F32(1.0)),  # all keys equal but a few
    ],
    ids=["sorted", "reverse", "one_apart"],
)
def test_adversarial_key_orders_match_model(phase):
    mask = np.full(phase.shape, 255, np.uint8)
    assert_bits_equal(seeded_unwrap(11, mask, phase), model_unwrap(mask, phase, rand_draws(11, phase.size)))


@pytest.mark.parametrize(
    "phase",
    [ramp_phase(200000, False), ramp_phase(200000, True), np.ones((400, 500), F32),
     np.where(np.arange(200000).reshape(400, 500) == 77777, F32(0.5), F32(1.0))],
    ids=["sorted", "reverse", "equal", "one_apart"],
)
def test_adversarial_key_orders_finish(phase):
    result = seeded_unwrap(24, np.full(phase.shape, 255, np.uint8), phase)
    assert np.all(np.isfinite(result))


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS")
def test_work_memory_shortage_raises_memoryerror():
    # Inputs and result fit under the limit, the work buffers do not.
    code = """
import resource, numpy as np, zelnor
mask = np.full((3000, 3000), 255, np.uint8)
phase = np.zeros((3000, 3000), np.float32)
used = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + 200 * 2**20, resource.RLIM_INFINITY))
try:
    zelnor.unwrap(mask, phase)
except MemoryError:
    print('memoryerror')
zelnor.unwrap(mask[:100, :100].copy(), phase[:100, :100].copy())
print('alive')
"""
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert proc.stdout.split() == ["memoryerror", "alive"], proc.stderr


# ---------------------------------------------------------------- random cross-check

# Phase makers that give many equal keys (few levels, flat areas), keys that
# all differ (noise), or NaN keys; with the unscored pixels' random keys mixed in.
PHASE_KINDS = ["levels", "flat_blocks", "noise", "smooth", "nan"]


def phase_of(kind, rng, h, w):
    if kind == "levels":
        step = rng.choice([0.25, 0.75, math.pi / 2, 1.0])
        return rng.integers(-3, 4, (h, w)) * step
    if kind == "flat_blocks":
        block = rng.integers(1, 5)
        small = rng.integers(-4, 5, (h // block + 1, w // block + 1)) * 0.9
        return np.kron(small, np.ones((block, block)))[:h, :w]
    if kind == "noise":
        return rng.uniform(-math.pi, math.pi, (h, w))
    if kind == "smooth":
        return wrapped(rng.normal(0, 0.6, (h, w)).cumsum(0).cumsum(1) * 0.3)
    phase = rng.uniform(-math.pi, math.pi, (h, w))
    phase[rng.random((h, w)) < 0.05] = np.nan
    return phase


@settings(max_examples=60, deadline=None)
@given(
    h=st.integers(1, 40),
    w=st.integers(1, 40),
    kind=st.sampled_from(PHASE_KINDS),
    holes=st.sampled_from([0.0, 0.05, 0.3]),
    seed=st.integers(0, 2**32 - 1),
)
def test_random_inputs_match_model(h, w, kind, holes, seed):
    rng = np.random.default_rng(seed)
    phase = phase_of(kind, rng, h, w).astype(F32)
    mask = np.where(rng.random((h, w)) < holes, rng.choice([0, 128], (h, w)), 255).astype(np.uint8)
    draw_seed = seed % 2**31
    expected = model_unwrap(mask, phase, rand_draws(draw_seed, phase.size))
    assert_bits_equal(seeded_unwrap(draw_seed, mask, phase), expected)
