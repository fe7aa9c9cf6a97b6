"""Argument checks of every function: for bad arguments, the exception and its whole message.

Each case gives its arguments in full, so the order of the checks shows too: a case with two faults
names the one checked first. No check may leave a file behind.
"""
import os

import numpy as np
import pytest

import zelnor
from conftest import raises_exactly

PATH = "<a file in the test's own folder>"  # replaced before the call

F32 = np.float32
U16 = np.uint16
MASK = np.ones((3, 3), bool)
COEFFICIENTS = np.zeros(4)


def frames(count, position=None, bad=None, good=np.zeros((4, 5), U16)):
    """`count` good frames, the one at `position` replaced by `bad`."""
    items = [good] * count
    if position is not None:
        items[position] = bad
    return items


def frame_cases():
    bad_frames = [
        (0, np.zeros((4, 5), np.uint8), "array must be of type Uint16."),
        (1, np.zeros((4, 5), F32), "array must be of type Uint16."),
        (-1, np.zeros((4, 5), np.int16), "array must be of type Uint16."),
        (0, np.zeros((4, 5, 1), U16), "array must be 2 dimensional."),
        (2, np.zeros(20, U16), "array must be 2 dimensional."),
        (1, np.zeros((4, 6), U16), "images have a different dimensions."),
        (-1, np.zeros((5, 5), U16), "images have a different dimensions."),
    ]
    cases = []
    for function, count in [(zelnor.phase, 4), (zelnor.phase, 5), (zelnor.phase, 7), (zelnor.phase5, 5)]:
        cases += [(function, (frames(count, position, bad),), ValueError, message)
                  for position, bad, message in bad_frames]
    for function, sizes, message in [(zelnor.phase, (0, 1, 3, 6, 8, 12), "list must have size 4, 5 or 7."),
                                     (zelnor.phase5, (0, 4, 6, 7), "list must have size 5.")]:
        # the size is checked before any item is looked at
        cases += [(function, (["not an array"] * n,), ValueError, message) for n in sizes]
    good = np.zeros((2, 2), U16)
    for function, name, count in [(zelnor.phase, "phase", 4), (zelnor.phase5, "phase5", 5)]:
        # a non-array item is refused with its position, but only once the items before it passed
        items = frames(count, 2, [[0, 0], [0, 0]], good)
        cases.append((function, (items,), TypeError, f"{name}(): list item 2 must be a numpy.ndarray, not list."))
        items = list(items)
        items[1] = np.zeros((2, 2), np.uint8)
        cases.append((function, (items,), ValueError, "array must be of type Uint16."))
        # phase5 parses its list under the name of phase
        cases += [
            (function, (tuple(frames(5, good=good)),), TypeError, "phase() argument 1 must be list, not tuple"),
            (function, (np.zeros((5, 2, 2), U16),), TypeError, "phase() argument 1 must be list, not numpy.ndarray"),
        ]
    return cases


def interferogram(mask, surface):
    return (zelnor.interferogram, (1.0, 0.0, 255, mask, surface))


CASES = [
    # make_mask: one message for every fault
    *[(zelnor.make_mask, (surface, 0.0), ValueError, "array must be 2 dimensional and of type double.")
      for surface in (np.zeros((3, 3), F32), np.zeros(4), np.zeros((2, 2, 2)), np.zeros((2, 2), np.int64),
                      np.zeros(()))],
    # zernike_surface, zernike_matrix
    (zelnor.zernike_surface, (COEFFICIENTS.astype(F32), MASK), ValueError,
     "array of coefficients must be of type Float."),
    (zelnor.zernike_surface, (np.zeros((2, 2), F32), np.zeros(3)), ValueError,
     "array of coefficients must be of type Float."),
    (zelnor.zernike_surface, (np.zeros((2, 2)), MASK), ValueError, "array of coefficients must be 1 dimensional."),
    (zelnor.zernike_surface, (np.zeros(()), np.zeros(3)), ValueError,
     "array of coefficients must be 1 dimensional."),
    (zelnor.zernike_surface, (COEFFICIENTS, MASK.astype(np.uint8)), ValueError, "mask array must be of type Bool."),
    (zelnor.zernike_surface, (COEFFICIENTS, np.zeros(3)), ValueError, "mask array must be of type Bool."),
    (zelnor.zernike_surface, (COEFFICIENTS, np.ones(9, bool)), ValueError, "mask array must be 2 dimensional."),
    (zelnor.zernike_surface, (COEFFICIENTS, np.ones((1, 3, 3), bool)), ValueError,
     "mask array must be 2 dimensional."),
    (zelnor.zernike_matrix, (np.zeros((3, 3), np.uint8), 3), ValueError, "mask array must be of type Bool."),
    (zelnor.zernike_matrix, (np.zeros(3), 3), ValueError, "mask array must be of type Bool."),
    (zelnor.zernike_matrix, (np.ones(3, bool), 3), ValueError, "mask array must be 2 dimensional."),
    # interferogram
    (*interferogram(np.ones((2, 2), np.uint8), np.ones((2, 2), F32)), ValueError, "mask must be of type Bool."),
    (*interferogram(np.ones((2, 2, 1), bool), np.ones((2, 2), F32)), ValueError, "mask must be 2 dimensional."),
    (*interferogram(np.ones((2, 2), bool), np.ones((2, 2), F32)), ValueError, "surface must be of type Float."),
    (*interferogram(np.ones((2, 2), bool), np.ones(4)), ValueError, "surface must be 2 dimensional."),
    (*interferogram(np.ones((4, 5), bool), np.ones((5, 4))), ValueError,
     "mask dimension must be surface dimension equivalent."),
    (*interferogram(np.ones((4, 5), bool), np.ones((4, 6))), ValueError,
     "mask dimension must be surface dimension equivalent."),
    # phase, phase5
    *frame_cases(),
    # wrap
    (zelnor.wrap, (np.zeros((2, 2), F32), 1.0), ValueError, "surface must be of type double."),
    (zelnor.wrap, (np.zeros(4, F32), 1.0), ValueError, "surface must be of type double."),
    (zelnor.wrap, (np.zeros(4), 1.0), ValueError, "surface must be 2 dimensional."),
    (zelnor.wrap, (np.zeros((1, 2, 2)), 1.0), ValueError, "surface must be 2 dimensional."),
    # fast_unwrap: the mask's type before its dimensions, the mask before the surface
    (zelnor.fast_unwrap, (np.zeros((4, 4), np.uint8), np.zeros((4, 4)), 1.0), ValueError,
     "mask must be of type Bool."),
    (zelnor.fast_unwrap, (np.zeros((4, 4), bool), np.zeros((4, 4), F32), 1.0), ValueError,
     "surface must be of type double."),
    (zelnor.fast_unwrap, (np.zeros(4, np.uint8), np.zeros(4, F32), 1.0), ValueError, "mask must be of type Bool."),
    (zelnor.fast_unwrap, (np.zeros(4, bool), np.zeros(4, F32), 1.0), ValueError, "mask must be 2 dimensional."),
    (zelnor.fast_unwrap, (np.zeros((4, 4), bool), np.zeros(16, F32), 1.0), ValueError,
     "surface must be of type double."),
    (zelnor.fast_unwrap, (np.zeros((4, 4), bool), np.zeros((4, 4, 1)), 1.0), ValueError,
     "surface must be 2 dimensional."),
    (zelnor.fast_unwrap, (np.zeros((4, 6), bool), np.zeros((6, 4)), 1.0), ValueError,
     "mask and phase map dimensions must be equivalent."),
    (zelnor.fast_unwrap, (np.zeros((4, 6), bool), np.zeros((4, 7)), 1.0), ValueError,
     "mask and phase map dimensions must be equivalent."),
    (zelnor.fast_unwrap, (np.zeros((4, 4), bool), np.zeros((4, 4)), "1"), TypeError,
     "must be real number, not str"),
    # unwrap
    (zelnor.unwrap, (np.zeros((4, 4), bool), np.zeros((4, 4), F32)), ValueError, "mask must be of type uint8."),
    (zelnor.unwrap, (np.zeros(16, np.uint8), np.zeros((4, 4))), ValueError, "mask must be 2 dimensional."),
    (zelnor.unwrap, (np.zeros((4, 4), np.uint8), np.zeros((4, 4))), ValueError, "phase must be of type float32."),
    (zelnor.unwrap, (np.zeros((4, 4), np.uint8), np.zeros((2, 2, 4))), ValueError,
     "phase must be of type float32."),
    (zelnor.unwrap, (np.zeros((4, 4), np.uint8), np.zeros((2, 2, 4), F32)), ValueError,
     "phase must be 2 dimensional."),
    (zelnor.unwrap, (np.zeros((2, 8), np.uint8), np.zeros((4, 4), F32)), ValueError,
     "mask and phase map dimensions must be equivalent."),
    (zelnor.unwrap, (np.zeros((4, 4), np.uint8), np.zeros((4, 5), F32)), ValueError,
     "mask and phase map dimensions must be equivalent."),
    # add_noise
    *[(zelnor.add_noise, (surface, 1.0), ValueError, "surface must be of type double.")
      for surface in (np.zeros(3, F32), np.zeros((2, 2), np.int64), np.zeros((), U16))],
    # save_pgm: refused before the file is created
    (zelnor.save_pgm, (PATH, np.zeros((2, 2), F32)), ValueError, "array must be of type Float or Uint16."),
    (zelnor.save_pgm, (PATH, np.zeros((2, 2), np.uint8)), ValueError, "array must be of type Float or Uint16."),
    (zelnor.save_pgm, (PATH, np.zeros((2, 2, 2))), ValueError, "array must be 2 dimensional."),
    (zelnor.save_pgm, (PATH, np.zeros(4, F32)), ValueError, "array must be 2 dimensional."),
    # binning
    (zelnor.binning, (np.zeros((2, 2, 2)), 0), ValueError, "array must be 2 dimensional."),
    (zelnor.binning, (np.zeros(4), 2), ValueError, "array must be 2 dimensional."),
    (zelnor.binning, (np.zeros((4, 4), F32), 0), ValueError, "factor must be at least 1."),
    (zelnor.binning, (np.zeros((4, 4)), 65536), ValueError, "factor must be at least 1."),
    (zelnor.binning, (np.zeros((4, 4), F32), 2), ValueError, "array must be of type double."),
]


def case_ids():
    seen = {}
    ids = []
    for function, *_ in CASES:
        seen[function.__name__] = seen.get(function.__name__, 0) + 1
        ids.append(f"{function.__name__}-{seen[function.__name__]}")
    return ids


@pytest.mark.parametrize("function, args, error, message", CASES, ids=case_ids())
def test_bad_arguments_raise_their_message(tmp_path, function, args, error, message):
    args = [str(tmp_path / "x.pgm") if arg is PATH else arg for arg in args]
    with raises_exactly(error, message):
        function(*args)
    assert not os.listdir(tmp_path)
