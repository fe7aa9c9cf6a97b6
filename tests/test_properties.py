"""Every function under random arguments: random dtypes, shapes (0-d, 3-D, sizes 0 and 1), memory
layouts (strided, reversed, byte-swapped, misaligned, Fortran, read-only, subclass), NaN/inf and
out-of-range numbers.

The invariant for each call: a result of the documented dtype and shape, or the documented Python
exception; never a crash or a hang. Two identical calls give identical results (functions that draw
from rand() are seeded identically before each call), the same call on C-contiguous native copies of
the arrays gives the same result, and the arguments are left unchanged.

One row of TABLE per function; rows of functions the module does not have yet are skipped.

ZELNOR_FUZZ_SECONDS=N turns each row into a long fuzz run of about N seconds; the example counts are
appended to the file named by ZELNOR_FUZZ_REPORT (printed otherwise).
"""
import atexit
import faulthandler
import os
import shutil
import sys
import tempfile
import time
from collections import namedtuple

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import zelnor
from conftest import LIBC

FUZZ_SECONDS = float(os.environ.get("ZELNOR_FUZZ_SECONDS", "0") or 0)
FUZZ_REPORT = os.environ.get("ZELNOR_FUZZ_REPORT")
# A call that does not come back within this time is a hang: dump the stacks and end the process.
HANG_SECONDS = 300

SETTINGS = settings(
    max_examples=500 if FUZZ_SECONDS else 40,
    deadline=None,
    suppress_health_check=list(HealthCheck),
    # a fuzz run wants new examples on every round, even under the fixed-seed CI profile
    **({"derandomize": False} if FUZZ_SECONDS else {}),
)

F8, F4, U2, U1, I2, B1 = (np.dtype(t) for t in ("f8", "f4", "u2", "u1", "i2", "?"))
DTYPES = [np.dtype(t) for t in ("?", "u1", "i1", "i2", "u2", "i4", "i8", "u8", "f2", "f4", "f8", "c16")]
# Anything that is not an ndarray where one is asked for.
NOT_ARRAYS = st.sampled_from([None, 1.0, 3, "a", [[1.0, 2.0]], (1, 2), b"\x00", memoryview(b"ab")])
# Sizes that NumPy refuses or that no allocator can give.
IMPOSSIBLE_INTS = [-(2**31), -1, 2**31 - 1, 2**24]
SCRATCH = tempfile.mkdtemp(prefix="zelnor-properties-")
atexit.register(shutil.rmtree, SCRATCH, ignore_errors=True)


class Sub(np.ndarray):
    """A trivial ndarray subclass: accepted wherever an ndarray is."""


def native(dtype):
    return np.dtype(dtype).newbyteorder("=")


LAYOUTS = ["c", "c", "fortran", "strided", "reversed", "byteswapped", "misaligned", "readonly", "subclass"]


def lay_out(array, layout):
    """The values of `array` in another memory layout."""
    if layout == "fortran":
        return np.asfortranarray(array)
    if layout == "strided" and array.ndim:
        wide = np.zeros(array.shape[:-1] + (array.shape[-1] * 2,), array.dtype)
        wide[..., ::2] = array
        return wide[..., ::2]
    if layout == "reversed" and array.ndim:
        return np.ascontiguousarray(array[::-1])[::-1]
    if layout == "byteswapped":
        return array.astype(array.dtype.newbyteorder())
    if layout == "misaligned" and array.dtype.itemsize > 1:
        raw = np.zeros(array.nbytes + 1, np.uint8)
        moved = raw[1:].view(array.dtype).reshape(array.shape)
        moved[...] = array
        return moved
    if layout == "readonly":
        array = array.copy()
        array.setflags(write=False)
        return array
    if layout == "subclass":
        return array.view(Sub)
    return array


def elements_for(dtype):
    if dtype.kind == "f":
        # NaN, infinities, signed zeros, subnormals and huge values all come from the default.
        return hnp.from_dtype(dtype, allow_nan=True, allow_infinity=True, allow_subnormal=True)
    if dtype == U1:
        # Favour the values the uint8 unwrap mask gives meaning to.
        return st.one_of(st.sampled_from([0, 255, 255, 128]), st.integers(0, 255))
    return None


@st.composite
def arrays(draw, want_dtype, want_ndim, shape=None, max_side=6):
    """Mostly an array of the wanted dtype and number of dimensions (so the work path runs), else
    any dtype, any number of dimensions from 0 to 3, or not an array at all."""
    if draw(st.integers(0, 19)) == 0:
        return draw(NOT_ARRAYS)
    dtype = draw(st.sampled_from([np.dtype(want_dtype)] * 4 + DTYPES))
    if shape is None or draw(st.integers(0, 5)) == 0:
        ndim = draw(st.sampled_from([want_ndim] * 3 + [0, 1, 2, 3]))
        side = max_side if ndim <= 1 else 6
        shape = draw(hnp.array_shapes(min_dims=ndim, max_dims=ndim, min_side=0, max_side=side))
    array = draw(hnp.arrays(dtype, shape, elements=elements_for(dtype)))
    return lay_out(array, draw(st.sampled_from(LAYOUTS)))


def shapes(ndim=2, max_side=6):
    return hnp.array_shapes(min_dims=ndim, max_dims=ndim, min_side=0, max_side=max_side)


doubles = st.floats(allow_nan=True, allow_infinity=True)
c_ints = st.one_of(st.integers(-3, 300), st.sampled_from(IMPOSSIBLE_INTS + [2**31, -(2**31) - 1, 2**70]))


def is_array(obj, dtype=None, ndim=None):
    return (isinstance(obj, np.ndarray) and (dtype is None or native(obj.dtype) == native(dtype))
            and (ndim is None or obj.ndim == ndim))


def int_fits(value):
    return -(2**31) <= value < 2**31


# ---- expectations ------------------------------------------------------------------------------
# expect(args) returns a list of acceptable outcomes: a (dtype, shape) pair for a result, or an
# exception class. Several entries where the outcome is the implementation's to choose.

def roundmask_expect(limit, width, height):
    if not (int_fits(width) and int_fits(height)):
        return [OverflowError]
    if width < 0 or height < 0:
        return [ValueError]
    if width * height >= 2**48:
        return [MemoryError, ValueError]
    return [(B1, (height, width))]


def make_mask_expect(surface, threshold):
    if not is_array(surface):
        return [TypeError]
    if not is_array(surface, F8, 2):
        return [ValueError]
    return [(B1, surface.shape)]


def zernike_surface_expect(coefficients, mask):
    if not (is_array(coefficients) and is_array(mask)):
        return [TypeError]
    if not (is_array(coefficients, F8, 1) and is_array(mask, B1, 2)):
        return [ValueError]
    result = (F8, mask.shape)
    # 256 coefficients or more are outside the 8-bit count: refusing them is allowed.
    return [result] if coefficients.shape[0] < 256 else [result, ValueError]


def zernike_matrix_expect(mask, count):
    if not is_array(mask):
        return [TypeError]
    if not int_fits(count):
        return [OverflowError]
    if not is_array(mask, B1, 2):
        return [ValueError]
    if count < 0:
        return [ValueError]
    if count * mask.size * 8 >= 2**48:
        return [MemoryError, ValueError]
    result = (F8, (count, mask.size))
    return [result] if count < 256 else [result, ValueError]


def interferogram_expect(scale, shift, peak, mask, surface):
    if not int_fits(peak):  # parsed before the arrays
        return [OverflowError]
    if not (is_array(mask) and is_array(surface)):
        return [TypeError]
    if not (is_array(mask, B1, 2) and is_array(surface, F8, 2)) or mask.shape != surface.shape:
        return [ValueError]
    return [(U2, surface.shape)]


def frame_list_expect(frames, sizes, dtype):
    if not isinstance(frames, list):
        return [TypeError]
    if len(frames) not in sizes:
        return [ValueError]
    for frame in frames:
        if not is_array(frame):
            return [TypeError]
        if not is_array(frame, U2, 2) or frame.shape != frames[0].shape:
            return [ValueError]
    return [(dtype, frames[0].shape)]


def wrap_expect(surface, period):
    if not is_array(surface):
        return [TypeError]
    if not is_array(surface, F8, 2):
        return [ValueError]
    return [(F8, surface.shape)]


def paired_maps_expect(mask, surface, mask_dtype, surface_dtype, result_dtype):
    if not (is_array(mask) and is_array(surface)):
        return [TypeError]
    if not (is_array(mask, mask_dtype, 2) and is_array(surface, surface_dtype, 2)) or mask.shape != surface.shape:
        return [ValueError]
    return [(result_dtype, surface.shape)]


def add_noise_expect(surface, amplitude):
    if not is_array(surface):
        return [TypeError]
    if not is_array(surface, F8):
        return [ValueError]
    return [(F8, surface.shape)]


def save_pgm_expect(path, array, *scale):
    if "\0" in path:  # the parser refuses the path before it looks at the array
        return [ValueError]
    if not is_array(array):
        return [TypeError]
    if array.ndim != 2 or not (is_array(array, F8) or is_array(array, U2)):
        return [ValueError]
    if not os.path.isdir(os.path.dirname(path)):
        return [OSError]
    return [(None, None)]


def load_pgm_expect(path):
    return [(U1, None), (U2, None), OSError]


def binning_expect(image, factor):
    if not is_array(image):
        return [TypeError]
    if not is_array(image, F8, 2):
        return [ValueError]
    f = factor % 65536
    if f == 0:
        return [ValueError, ZeroDivisionError]
    result = (F8, (image.shape[0] // f, image.shape[1] // f))
    if image.shape[0] % f or image.shape[1] % f:
        return [result, ValueError]
    return [result]


# ---- argument strategies -----------------------------------------------------------------------

@st.composite
def pair_args(draw, first, second, before=(), after=()):
    """Two images, mostly of one shape, with number arguments before and after them."""
    shape = draw(shapes())
    return (*[draw(n) for n in before], draw(arrays(first, 2, shape)), draw(arrays(second, 2, shape)),
            *[draw(n) for n in after])


def small_sizes(args):
    """Drops sizes that would really be allocated and filled but are too big for a quick run."""
    width, height = args[1], args[2]
    return not (width > 0 and height > 0 and 10**6 < width * height < 2**48)


@st.composite
def zernike_matrix_args(draw):
    mask = draw(arrays(B1, 2))
    count = draw(c_ints)
    size = mask.size if isinstance(mask, np.ndarray) else 0
    if int_fits(count) and count * size * 8 > 10**7:
        count = 300
    return mask, count


@st.composite
def frame_lists(draw, sizes):
    shape = draw(shapes())
    count = draw(st.sampled_from(list(sizes) * 3 + list(range(9))))
    frames = [draw(arrays(U2, 2, shape)) for _ in range(count)]
    if draw(st.integers(0, 9)) == 0:
        return tuple(frames)
    return frames


@st.composite
def pgm_files(draw):
    """Bytes of a P5 file: mostly well-formed headers with a raster that may be short or long,
    sometimes with comments or stray bytes, sometimes random bytes."""
    if draw(st.integers(0, 4)) == 0:
        return draw(st.binary(max_size=40))
    width, height = draw(st.integers(0, 9)), draw(st.integers(0, 9))
    maxval = draw(st.sampled_from([0, 1, 255, 256, 65535, 65536, 70000]))
    sep = draw(st.sampled_from([b" ", b" ", b"\n", b"\r\n", b"  ", b"#c\n "]))
    magic = draw(st.sampled_from([b"P5\n"] * 4 + [b"P2\n", b"P5 ", b"P5"]))
    header = magic + b"%d%s%d\n%d\n" % (width, sep, height, maxval)
    depth = 1 if maxval % 65536 <= 255 else 2
    raster = draw(st.binary(min_size=0, max_size=width * height * depth + 3))
    return header + raster


@st.composite
def load_pgm_args(draw):
    data = draw(pgm_files())
    path = os.path.join(SCRATCH, "in.pgm")
    with open(path, "wb") as f:
        f.write(data)
    return (draw(st.sampled_from([path] * 6 + [os.path.join(SCRATCH, "missing.pgm"), SCRATCH])),)


@st.composite
def save_pgm_args(draw):
    array = draw(arrays(draw(st.sampled_from([F8, U2])), 2, max_side=5))
    if is_array(array, U2) and draw(st.booleans()):
        array = lay_out(np.minimum(np.asarray(array), 255).astype(U2), "c")  # the 8-bit writer
    path = draw(st.sampled_from([os.path.join(SCRATCH, "out.pgm")] * 6
                                + [os.path.join(SCRATCH, "no-such-dir", "out.pgm"), "bad\0path"]))
    scale = draw(st.sampled_from([(), (1.0,), (0.5,), (float("nan"),), (1e300,), (-3.0,)]))
    return (path, array, *scale)


def observe_saved(args, outcome):
    """save_pgm's observable effect is the file it writes."""
    path = args[0]
    if "\0" in path or not os.path.exists(path):
        return outcome, None
    with open(path, "rb") as f:
        data = f.read()
    os.remove(path)
    return outcome, data


Row = namedtuple("Row", "name args expect seeded observe")


def row(name, args, expect, seeded=False, observe=None):
    return Row(name, args, expect, seeded, observe)


TABLE = [
    row("roundmask", st.tuples(doubles, st.one_of(st.integers(-2, 40), st.sampled_from(IMPOSSIBLE_INTS)),
                               st.one_of(st.integers(-2, 40), st.sampled_from(IMPOSSIBLE_INTS + [2**40])))
        .filter(small_sizes), roundmask_expect),
    row("make_mask", st.tuples(arrays(F8, 2), doubles), make_mask_expect),
    row("zernike_surface", st.tuples(arrays(F8, 1, max_side=300), arrays(B1, 2)), zernike_surface_expect),
    row("zernike_matrix", zernike_matrix_args(), zernike_matrix_expect),
    row("interferogram", pair_args(B1, F8, before=(doubles, doubles, c_ints)), interferogram_expect),
    row("phase", st.tuples(frame_lists((4, 5, 7))), lambda frames: frame_list_expect(frames, (4, 5, 7), F8)),
    row("phase5", st.tuples(frame_lists((5,))), lambda frames: frame_list_expect(frames, (5,), I2)),
    row("wrap", st.tuples(arrays(F8, 2), doubles), wrap_expect),
    row("fast_unwrap", pair_args(B1, F8, after=(doubles,)),
        lambda m, s, scale: paired_maps_expect(m, s, B1, F8, F8)),
    row("unwrap", pair_args(U1, F4), lambda m, p: paired_maps_expect(m, p, U1, F4, F4), seeded=True),
    row("add_noise", st.tuples(arrays(F8, 2), doubles), add_noise_expect, seeded=True),
    row("save_pgm", save_pgm_args(), save_pgm_expect, observe=observe_saved),
    row("load_pgm", load_pgm_args(), load_pgm_expect),
    row("binning", st.tuples(arrays(F8, 2), st.one_of(st.integers(-2, 8), st.sampled_from([65536, 65538, 2**40]))),
        binning_expect),
]


# ---- the check ---------------------------------------------------------------------------------

def call(function, args, seed):
    """One call as a comparable outcome: ("ok", result) or ("error", type, message)."""
    if seed is not None:
        LIBC.srand(seed)
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
    try:
        return ("ok", function(*args))
    except Exception as exc:  # noqa: BLE001 - every exception is compared, then judged
        return ("error", type(exc), str(exc))
    finally:
        faulthandler.cancel_dump_traceback_later()


def same_outcome(a, b):
    if a[0] != b[0]:
        return False
    if a[0] == "error":
        return a[1:] == b[1:]
    x, y = a[1], b[1]
    if x is None or y is None:
        return x is y
    x, y = np.asarray(x), np.asarray(y)
    return x.dtype == y.dtype and x.shape == y.shape and x.tobytes() == y.tobytes()


def snapshot(args):
    """Bytes, dtypes and shapes of every array argument (list items included)."""
    out = []
    for arg in args:
        for item in (arg if isinstance(arg, (list, tuple)) else [arg]):
            if isinstance(item, np.ndarray):
                out.append((item.dtype.str, item.shape, item.tobytes()))
    return out


def canonical(arg):
    """The argument with every array replaced by a C-contiguous native copy of its values."""
    if isinstance(arg, list):
        return [canonical(a) for a in arg]
    if isinstance(arg, np.ndarray):
        # np.array, not np.ascontiguousarray, which would turn a 0-d array into 1-d
        return np.array(arg, dtype=native(arg.dtype), order="C", copy=True)
    return arg


def judge(outcome, expected, args):
    if outcome[0] == "error":
        kinds = tuple(e for e in expected if isinstance(e, type))
        assert kinds and issubclass(outcome[1], kinds), f"unexpected {outcome[1].__name__}: {outcome[2]}"
        return
    result = outcome[1]
    shapes_ok = [e for e in expected if isinstance(e, tuple)]
    assert shapes_ok, f"expected one of {expected}, got a result"
    if shapes_ok[0][0] is None:  # a function that returns None
        assert result is None
        return
    if np.ndim(result) == 0 and not isinstance(result, np.ndarray):
        assert isinstance(result, np.generic)  # a 0-d result comes back as a NumPy scalar
    else:
        assert type(result) is np.ndarray and result.flags.c_contiguous and result.flags.owndata
        for arg in args:
            for item in (arg if isinstance(arg, list) else [arg]):
                if isinstance(item, np.ndarray):
                    assert not np.shares_memory(result, item)
    result = np.asarray(result)
    matches = [shape for dtype, shape in shapes_ok if result.dtype == dtype and shape in (None, result.shape)]
    assert matches, f"result {result.dtype} {result.shape}, expected {shapes_ok}"
    if matches[0] is None:  # load_pgm: a 2-D image of the file's size
        assert result.ndim == 2


def check_row(row, function, args):
    seed = 12345 if row.seeded else None
    observe = row.observe or (lambda args, outcome: (outcome, None))
    before = snapshot(args)
    first, effect = observe(args, call(function, args, seed))
    assert snapshot(args) == before, "an argument was modified"
    judge(first, row.expect(*args), args)

    second, second_effect = observe(args, call(function, args, seed))
    assert same_outcome(first, second) and effect == second_effect, "two identical calls differ"

    plain = tuple(canonical(a) for a in args)
    third, third_effect = observe(plain, call(function, plain, seed))
    if first[0] == "ok" or third[0] == "ok":
        assert same_outcome(first, third) and effect == third_effect, "the result depends on the memory layout"


@pytest.mark.parametrize("row", TABLE, ids=[r.name for r in TABLE])
def test_random_arguments_never_crash(row):
    function = getattr(zelnor, row.name, None)
    if function is None:
        pytest.skip(f"zelnor has no {row.name} yet")
    examples = 0

    @SETTINGS
    @given(row.args)
    def run(args):
        nonlocal examples
        examples += 1
        check_row(row, function, args)

    stop = time.monotonic() + FUZZ_SECONDS
    started = time.monotonic()
    run()
    while time.monotonic() < stop:
        run()
    if FUZZ_SECONDS:
        line = f"{row.name}: {examples} examples clean in {time.monotonic() - started:.0f} s\n"
        if FUZZ_REPORT:
            with open(FUZZ_REPORT, "a") as f:
                f.write(line)
        else:
            sys.stderr.write(line)


def test_table_covers_every_function():
    public = {n for n in dir(zelnor) if not n.startswith("__")}
    assert public <= {r.name for r in TABLE}


# ---- every layout, for every function that takes arrays -----------------------------------------

def typical_calls(name, folder):
    """Argument tuples of ordinary, valid calls (C-contiguous), with uneven values and a non-square
    shape, so that a layout read by position instead of by value changes the result."""
    rng = np.random.default_rng(sum(map(ord, name)))
    shape = (9, 13)
    surface = rng.uniform(-3.0, 3.0, shape)
    mask = rng.random(shape) < 0.8
    mask8 = np.where(mask, 255, 0).astype(U1)
    mask8[rng.random(shape) < 0.1] = 128
    frames = [rng.integers(0, 65536, shape).astype(U2) for _ in range(7)]
    calls = {
        "make_mask": [(surface, 0.5)],
        "zernike_surface": [(rng.normal(size=29), mask)],
        "zernike_matrix": [(mask, 31)],
        "interferogram": [(5.0, 0.3, 4095, mask, surface)],
        "phase": [(frames[:count],) for count in (4, 5, 7)],
        "phase5": [(frames[:5],)],
        "wrap": [(surface * 20.0, 2.0 * np.pi)],
        "fast_unwrap": [(mask, surface * 3.0, 1.5)],
        # the second call has no adjacent pair: the input comes back as a copy
        "unwrap": [(mask8, surface.astype(F4)), (np.zeros(shape, U1), surface.astype(F4))],
        "add_noise": [(surface, 0.5)],
        "save_pgm": [(os.path.join(folder, "out.pgm"), surface, 0.8),
                     (os.path.join(folder, "out.pgm"), frames[0])],
        "binning": [(rng.normal(size=(12, 18)), 3)],
    }
    return calls.get(name, [])


def laid_out(arg, layout):
    if isinstance(arg, list):
        return [laid_out(a, layout) for a in arg]
    return lay_out(arg, layout) if isinstance(arg, np.ndarray) else arg


@pytest.mark.parametrize("layout", sorted(set(LAYOUTS) - {"c"}))
@pytest.mark.parametrize("row", [r for r in TABLE if typical_calls(r.name, "")], ids=lambda r: r.name)
def test_every_layout_is_read_by_value(row, layout, tmp_path):
    # The same checks as above, on every layout for sure: arguments unchanged, a new C-contiguous
    # result of its own, equal to the result of the call on C-contiguous copies.
    function = getattr(zelnor, row.name)
    for args in typical_calls(row.name, str(tmp_path)):
        laid = tuple(laid_out(a, layout) for a in args)
        check_row(row, function, laid)
        outcome = call(function, laid, 12345 if row.seeded else None)
        assert outcome[0] == "ok", outcome
