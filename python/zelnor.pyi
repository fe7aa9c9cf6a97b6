"""Type stubs of the zelnor extension module.

Installed as the stub-only package ``zelnor-stubs`` so that type checkers and editors find it. Every
function takes its arguments by position only and never casts: array arguments must already have the
element type named in their annotation.
"""
from typing import List, SupportsFloat, SupportsIndex, Union

import numpy as np
import numpy.typing as npt

__version__: str

_Bool = npt.NDArray[np.bool_]
_U8 = npt.NDArray[np.uint8]
_I16 = npt.NDArray[np.int16]
_U16 = npt.NDArray[np.uint16]
_F32 = npt.NDArray[np.float32]
_F64 = npt.NDArray[np.float64]
# Number arguments take what the C API's parser takes: a float argument anything with __float__ or
# __index__ (NumPy scalars included), an integer argument anything with __index__.
_Float = Union[SupportsFloat, SupportsIndex]
_Int = SupportsIndex

def roundmask(limit: _Float, width: _Int, height: _Int, /) -> _Bool:
    """Circular pupil mask on the normalised pupil grid.

    Pixel ``(r, c)`` is set when ``limit >= x*x + y*y``, with ``x = -1 + (2c + 1)/width`` and
    ``y = -1 + (2r + 1)/height`` (the first row has the most negative y). The boundary is inclusive.

    Parameters
    ----------
    limit : float
        Square of the radius in grid units: 1.0 is the disc inscribed in the image. NaN gives an
        all-false mask.
    width, height : int
        Number of columns and rows. 0 gives an empty array.

    Returns
    -------
    numpy.ndarray of bool, shape (height, width)
        For ``width != height`` the disc is an ellipse in pixels.

    Raises
    ------
    ValueError
        A negative width or height (NumPy's message).

    Examples
    --------
    >>> zelnor.roundmask(1.0, 5, 5)
    array([[False,  True,  True,  True, False],
           [ True,  True,  True,  True,  True],
           [ True,  True,  True,  True,  True],
           [ True,  True,  True,  True,  True],
           [False,  True,  True,  True, False]])
    >>> zelnor.roundmask(1.0, 4, 2).shape
    (2, 4)
    """

def make_mask(surface: _F64, threshold: _Float, /) -> _Bool:
    """Mask of the elements at or above a threshold.

    Parameters
    ----------
    surface : numpy.ndarray of float64, 2-D
    threshold : float

    Returns
    -------
    numpy.ndarray of bool, the surface's shape
        True where ``surface >= threshold``; NaN elements, or a NaN threshold, give False.

    Raises
    ------
    ValueError
        "array must be 2 dimensional and of type double."

    Examples
    --------
    >>> surface = np.array([[0.5, -1.0], [2.0, np.nan]])
    >>> zelnor.make_mask(surface, 0.0)
    array([[ True, False],
           [ True, False]])
    """

def zernike_surface(coefficients: _F64, mask: _Bool, /) -> _F64:
    """Surface given by Fringe Zernike coefficients on the normalised pupil grid.

    Each pixel inside the mask holds the sum, in increasing slot order, of ``term_k(x, y) *
    coefficients[k]`` over the first ``min(len(coefficients), 36)`` entries; entries equal to zero are
    skipped. Slot k is Fringe term k + 1 (piston, tilt x, tilt y, defocus, ...); slots 29 to 35 are zero
    functions and entries from 36 on are ignored.

    Parameters
    ----------
    coefficients : numpy.ndarray of float64, 1-D
    mask : numpy.ndarray of bool, 2-D
        Pupil: pixels outside it are 0.0.

    Returns
    -------
    numpy.ndarray of float64, the mask's shape

    Raises
    ------
    ValueError
        "array of coefficients must be of type Float.", "array of coefficients must be 1 dimensional.",
        "mask array must be of type Bool.", "mask array must be 2 dimensional.", checked in that order.

    Examples
    --------
    Tilt x plus half a tilt y on a 2 x 3 grid (x = -2/3, 0, 2/3; y = -1/2, 1/2):

    >>> zelnor.zernike_surface(np.array([0.0, 1.0, 0.5]), np.ones((2, 3), bool))
    array([[-0.91666667, -0.25      ,  0.41666667],
           [-0.41666667,  0.25      ,  0.91666667]])
    """

def zernike_matrix(mask: _Bool, count: _Int, /) -> _F64:
    """Individual Zernike term surfaces, one per row.

    Element ``(k, r*W + c)`` is slot k's term at pixel (r, c) when the mask is set there, else 0.0.
    Rows 29 to 35 and every row from 36 up are zeros. Row k equals ``zernike_surface`` of the one-hot
    vector k, up to the sign of zeros.

    Parameters
    ----------
    mask : numpy.ndarray of bool, 2-D, shape (H, W)
    count : int
        Number of rows.

    Returns
    -------
    numpy.ndarray of float64, shape (count, H*W)

    Raises
    ------
    ValueError
        "mask array must be of type Bool.", then "mask array must be 2 dimensional."; a negative count
        (NumPy's message).
    MemoryError
        A count too large to allocate.

    Examples
    --------
    Piston, tilt x and tilt y on a 2 x 2 grid:

    >>> zelnor.zernike_matrix(np.ones((2, 2), bool), 3)
    array([[ 1. ,  1. ,  1. ,  1. ],
           [-0.5,  0.5, -0.5,  0.5],
           [-0.5, -0.5,  0.5,  0.5]])
    """

def interferogram(scale: _Float, shift: _Float, peak: _Int, mask: _Bool, surface: _F64, /) -> _U16:
    """One synthetic phase-shifting fringe frame.

    Inside the mask each pixel is the integer part of ``((sin(scale*surface + shift) + 1.0) * 0.5) *
    peak``; outside it, and where the phase is not finite, 0.

    Parameters
    ----------
    scale : float
        Radians per surface unit.
    shift : float
        Phase shift in radians.
    peak : int
        Intensity of a bright fringe, in the C int range (beyond it, OverflowError); only its low 16
        bits are used.
    mask : numpy.ndarray of bool, 2-D
    surface : numpy.ndarray of float64, 2-D, the mask's shape

    Returns
    -------
    numpy.ndarray of uint16, the surface's shape

    Raises
    ------
    ValueError
        "mask must be of type Bool.", "mask must be 2 dimensional.", "surface must be of type Float.",
        "surface must be 2 dimensional.", "mask dimension must be surface dimension equivalent.",
        checked in that order.

    Examples
    --------
    >>> mask = np.array([[True, False], [True, True]])
    >>> zelnor.interferogram(1.0, np.pi / 2, 1000, mask, np.zeros((2, 2)))
    array([[1000,    0],
           [1000, 1000]], dtype=uint16)
    """

def phase(frames: List[_U16], /) -> _F64:
    """Wrapped phase from 4, 5 or 7 phase-shifted frames.

    Each pixel is ``atan2(numerator, denominator)`` of the count's combination of the pixel values:
    4 frames with step pi/2 give ``phi``, 5 frames with step pi/2 give ``phi - pi/4`` and 7 frames with
    step pi/3 give ``phi``, for frames ``A + B cos(phi + k*step)``.

    Parameters
    ----------
    frames : list of numpy.ndarray of uint16, 2-D, all of one shape

    Returns
    -------
    numpy.ndarray of float64, the frames' shape
        Radians in [-pi, pi].

    Raises
    ------
    TypeError
        frames is not a list, or an item is not a NumPy array.
    ValueError
        "list must have size 4, 5 or 7.", then per item "array must be of type Uint16.", "array must be
        2 dimensional.", "images have a different dimensions.".

    Examples
    --------
    Frames of ``interferogram`` with shifts ``k*pi/2`` give back ``scale*surface - pi/2``:

    >>> mask = np.ones((1, 3), bool)
    >>> surface = np.array([[0.0, 0.5, 1.0]])
    >>> frames = [zelnor.interferogram(1.0, k * np.pi / 2, 4000, mask, surface) for k in range(4)]
    >>> np.round(zelnor.phase(frames) + np.pi / 2, 2)
    array([[0. , 0.5, 1. ]])
    """

def phase5(frames: List[_U16], /) -> _I16:
    """Phase of five frames with step pi/2, in integer arithmetic.

    The result is a 16-bit binary angle: 65536 units to the turn, so 16384 is pi/2 and -32768 is -pi.
    For frames ``A + B cos(phi + k*pi/2)`` it is ``phi`` itself, within 1.4 units of the exact angle.

    Parameters
    ----------
    frames : list of five numpy.ndarray of uint16, 2-D, all of one shape

    Returns
    -------
    numpy.ndarray of int16, the frames' shape

    Raises
    ------
    TypeError
        frames is not a list, or an item is not a NumPy array.
    ValueError
        "list must have size 5.", then per item "array must be of type Uint16.", "array must be 2
        dimensional.", "images have a different dimensions.".

    Examples
    --------
    >>> mask = np.ones((1, 3), bool)
    >>> surface = np.array([[0.0, 0.5, 1.0]])
    >>> frames = [zelnor.interferogram(1.0, k * np.pi / 2, 4000, mask, surface) for k in range(5)]
    >>> angle = zelnor.phase5(frames)
    >>> angle
    array([[-16386, -11172,  -5955]], dtype=int16)
    >>> np.round(angle * (180 / 32768), 1)  # degrees
    array([[-90. , -61.4, -32.7]])
    """

def wrap(surface: _F64, period: _Float, /) -> _F64:
    """Fold every element into one period centred on zero.

    Each element becomes ``x - floor(x / period + 0.5) * period``.

    Parameters
    ----------
    surface : numpy.ndarray of float64, 2-D
    period : float
        For period > 0 the results lie in [-period/2, period/2); 0, infinity or NaN give NaN.

    Returns
    -------
    numpy.ndarray of float64, the surface's shape

    Raises
    ------
    ValueError
        "surface must be of type double.", then "surface must be 2 dimensional.".

    Examples
    --------
    >>> zelnor.wrap(np.array([[7.0, 2.0], [0.5, -3.0]]), 4.0)
    array([[-1. , -2. ],
           [ 0.5,  1. ]])
    """

def fast_unwrap(mask: _Bool, surface: _F64, scale: _Float, /) -> _F64:
    """Quick flood-fill phase unwrapping, for clean densely sampled data.

    Starting at the first mask pixel, the region connected to it (4-neighbourhood) is visited breadth
    first and each pixel is moved by whole periods to within half a period of the pixel that reaches it
    first. The result is centred between its extremes and multiplied by ``scale``; pixels outside the
    mask are 0.0. Use ``unwrap`` on noisy data.

    Parameters
    ----------
    mask : numpy.ndarray of bool, 2-D
    surface : numpy.ndarray of float64, 2-D, the mask's shape
        Wrapped phase in radians.
    scale : float
        Factor applied to the centred result: ``1/(2*3.14159265)`` gives periods.

    Returns
    -------
    numpy.ndarray of float64, the surface's shape

    Raises
    ------
    ValueError
        "mask must be of type Bool.", "mask must be 2 dimensional.", "surface must be of type double.",
        "surface must be 2 dimensional.", "mask and phase map dimensions must be equivalent.", checked
        in that order.

    Examples
    --------
    >>> ramp = np.array([[0.0, 2.4, 4.8, 7.2, 9.6, 12.0]])
    >>> wrapped = zelnor.wrap(ramp, 2 * np.pi)
    >>> np.round(zelnor.fast_unwrap(np.ones(ramp.shape, bool), wrapped, 1.0), 6)
    array([[-6. , -3.6, -1.2,  1.2,  3.6,  6. ]])
    """

def unwrap(mask: _U8, phase: _F32, /) -> _F32:
    """Reliability-sorted phase unwrapping in float32.

    Pixels are scored by the roughness of the wrapped phase around them and joined into ever larger
    groups, smoothest first; each valid pixel receives a whole number of periods (6.2831855). The grid
    wraps around at its borders. Pixels that cannot be scored are joined last in an order drawn from
    the C library's ``rand()``: seed it with ``srand`` to make a run repeatable.

    Parameters
    ----------
    mask : numpy.ndarray of uint8, 2-D
        255: unwrap the pixel; 0: outside the pupil (result 0.0); 1 to 254: kept as given.
    phase : numpy.ndarray of float32, 2-D, the mask's shape
        Wrapped phase in radians.

    Returns
    -------
    numpy.ndarray of float32, the phase's shape

    Raises
    ------
    ValueError
        "mask must be of type uint8.", "mask must be 2 dimensional.", "phase must be of type float32.",
        "phase must be 2 dimensional.", "mask and phase map dimensions must be equivalent.", checked in
        that order.
    MemoryError
        The work memory cannot be obtained.

    Examples
    --------
    >>> ramp = np.add.outer(np.linspace(0, 3, 4), np.linspace(0, 12, 6)).astype(np.float32)
    >>> wrapped = np.angle(np.exp(1j * ramp)).astype(np.float32)
    >>> mask = np.full(ramp.shape, 255, np.uint8)
    >>> unwrapped = zelnor.unwrap(mask, wrapped)
    >>> unwrapped.dtype, unwrapped.shape
    (dtype('float32'), (4, 6))
    >>> offset = unwrapped - ramp   # one multiple of 2 pi everywhere
    >>> np.allclose(offset, offset[0, 0], atol=1e-5)
    True
    """

def add_noise(surface: _F64, amplitude: _Float, /) -> _F64:
    """Copy with uniform noise of peak-to-peak width ``amplitude`` added to every element.

    One ``rand()`` of the C library is drawn per element in row-major order; the noise takes 32768 equally
    spaced levels in [-amplitude/2, amplitude/2]. zelnor never seeds the generator: call ``srand`` first
    for a repeatable result.

    Parameters
    ----------
    surface : numpy.ndarray of float64, any number of dimensions
    amplitude : float

    Returns
    -------
    numpy.ndarray of float64, the surface's shape, or numpy.float64 for a 0-d surface (typed as the
    array, which a NumPy scalar stands in for, so that the common 2-D use checks without a cast)

    Raises
    ------
    ValueError
        "surface must be of type double."

    Examples
    --------
    >>> import ctypes
    >>> libc = ctypes.CDLL(None)
    >>> _ = libc.srand(7)
    >>> noisy = zelnor.add_noise(np.zeros((100, 100)), 0.2)
    >>> bool(np.abs(noisy).max() <= 0.1)
    True
    >>> _ = libc.srand(7)
    >>> np.array_equal(zelnor.add_noise(np.zeros((100, 100)), 0.2), noisy)
    True
    """

def save_pgm(path: str, array: Union[_F64, _U16], scale: _Float = 1.0, /) -> None:
    """Write a 2-D array as a binary PGM ("P5") file.

    float64 arrays give an 8-bit file: each sample is the low 8 bits of ``trunc(v * 127.0 * scale +
    127.0)``, so -1 gives 0, 0 gives 127 and 1 gives 254 (no clamping). uint16 arrays are written as
    they are, with the largest sample (at least 1) as maxval: one byte per sample up to 255, two bytes
    (most significant first) above.

    Parameters
    ----------
    path : str
    array : numpy.ndarray of float64 or uint16, 2-D
    scale : float, optional
        Gain for float64 arrays (default 1.0); ignored for uint16.

    Returns
    -------
    None
        Only once the whole file is written.

    Raises
    ------
    ValueError
        "array must be 2 dimensional.", then "array must be of type Float or Uint16.".
    OSError
        "can't open file" when the file cannot be created (missing folder, no permission, a folder);
        "can't write file" when a write or the close fails (a full disk). A regular file is written
        under a temporary name and renamed into place, so a failed save leaves any old file as it was.

    Examples
    --------
    >>> import os, tempfile
    >>> path = os.path.join(tempfile.mkdtemp(), "levels.pgm")
    >>> zelnor.save_pgm(path, np.array([[-1.0, 0.0, 1.0]]))
    >>> with open(path, "rb") as f:
    ...     f.read()
    b'P5\\n3 1\\n255\\n\\x00\\x7f\\xfe'
    """

def load_pgm(path: str, /) -> Union[_U8, _U16]:
    """Read a binary PGM ("P5") file.

    The header is the magic and a line feed, width, one space, height, a line feed, maxval and a line
    feed; comments (``#`` to the end of the line) may appear within it. The header bytes after the magic
    are echoed to the C library's standard output as they are read.

    Parameters
    ----------
    path : str

    Returns
    -------
    numpy.ndarray of uint8 (maxval up to 255) or uint16 (maxval above 255), shape (height, width)

    Raises
    ------
    OSError
        "can't open file" when the file cannot be opened; "can't load image from file" for a malformed
        or cut-off file, an empty raster or a path that is not a regular file.

    Examples
    --------
    >>> import os, tempfile
    >>> path = os.path.join(tempfile.mkdtemp(), "frame.pgm")
    >>> zelnor.save_pgm(path, np.array([[0, 300], [65535, 7]], np.uint16))
    >>> zelnor.load_pgm(path)
    array([[    0,   300],
           [65535,     7]], dtype=uint16)
    """

def binning(image: _F64, factor: _Int, /) -> _F64:
    """Sum each ``factor x factor`` block of an image into one element.

    Rows and columns left over when ``factor`` does not divide a dimension are dropped. ``factor`` is
    taken modulo 65536.

    Parameters
    ----------
    image : numpy.ndarray of float64, 2-D, shape (rows, cols)
    factor : int

    Returns
    -------
    numpy.ndarray of float64, shape (rows // factor, cols // factor)
        The block sums (not means).

    Raises
    ------
    ValueError
        "array must be 2 dimensional.", "factor must be at least 1.", "array must be of type double.",
        checked in that order.

    Examples
    --------
    >>> zelnor.binning(np.arange(16.0).reshape(4, 4), 2)
    array([[10., 18.],
           [42., 50.]])
    """
