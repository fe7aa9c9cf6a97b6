"""Shared helpers for the zelnor tests."""
import ctypes
import os
import re

import numpy as np
import pytest

try:
    from hypothesis import settings
except ImportError:  # the property tests need it, the rest of the suite does not
    settings = None

if settings is not None:
    # In CI the examples come from a fixed seed, so that a red run can be reproduced.
    settings.register_profile("ci", derandomize=True)
    if os.environ.get("CI") or os.environ.get("ZELNOR_CI"):
        settings.load_profile("ci")

LIBC = ctypes.CDLL(None)
LIBC.rand.restype = ctypes.c_int
LIBC.srand.argtypes = [ctypes.c_uint]


def rand_draws(seed, count):
    """The first `count` values of rand() % 32768 after srand(seed); leaves the generator there."""
    LIBC.srand(seed)
    return [LIBC.rand() % 32768 for _ in range(count)]


def seeded(seed, function, *args):
    """function(*args) right after srand(seed)."""
    LIBC.srand(seed)
    return function(*args)


def raises_exactly(error, message):
    """pytest.raises for an exception whose whole message is `message`."""
    return pytest.raises(error, match="^" + re.escape(message) + "$")


def write_file(path, data):
    path.write_bytes(data)
    return str(path)


def grid_coordinates(count):
    """Pixel-centre coordinates of one axis, accumulated as the module does."""
    if count == 0:
        return np.zeros(0)
    step = 2.0 / count
    start = step * 0.5 - 1.0
    return np.add.accumulate(np.concatenate(([start], np.full(count - 1, step))))


def assert_bits_equal(actual, expected):
    """Exact equality of values and dtypes, NaN payloads and signs of zero included."""
    actual = np.asarray(actual)
    expected = np.asarray(expected)
    assert actual.dtype == expected.dtype
    assert actual.shape == expected.shape
    width = {1: np.uint8, 2: np.uint16, 4: np.uint32, 8: np.uint64}[actual.dtype.itemsize]
    mismatch = np.flatnonzero(actual.view(width) != expected.view(width))
    assert mismatch.size == 0, (
        f"{mismatch.size} elements differ, first at {mismatch[0]}: "
        f"{actual.ravel()[mismatch[0]]!r} != {expected.ravel()[mismatch[0]]!r}"
    )


def layouts(array):
    """The same values as `array` in layouts the module must read by value:
    a strided view, a reversed view, a byte-swapped copy and a misaligned copy."""
    array = np.asarray(array)
    wide = np.zeros(array.shape[:-1] + (array.shape[-1] * 2,), array.dtype)
    wide[..., ::2] = array
    reversed_storage = np.ascontiguousarray(array[::-1])[::-1]
    swapped = array.astype(array.dtype.newbyteorder())
    raw = np.zeros(array.nbytes + 1, np.uint8)
    misaligned = raw[1:].view(array.dtype).reshape(array.shape)
    misaligned[...] = array
    return {
        "strided": wide[..., ::2],
        "reversed": reversed_storage,
        "byteswapped": swapped,
        "misaligned": misaligned,
        "fortran": np.asfortranarray(array),
    }


LAYOUT_NAMES = ["strided", "reversed", "byteswapped", "misaligned", "fortran"]


def viewed(args, layout):
    """`args` with every array, and every array in a list, in the named layout."""
    def view(arg):
        if isinstance(arg, list):
            return [view(a) for a in arg]
        return layouts(arg)[layout] if isinstance(arg, np.ndarray) else arg
    return [view(a) for a in args]


@pytest.fixture
def rng():
    return np.random.default_rng(20261207)
