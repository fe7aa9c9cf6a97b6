"""Camera frames and pupil masks from files: binary PGM, PNG, TIFF and .npy,
recognised by their first bytes rather than by their names."""
from __future__ import annotations

import contextlib
import ctypes
import glob
import json
import logging
import os
import re
import struct
import sys
from fractions import Fraction
from typing import Any, Iterable, List, Sequence, Tuple, Union

import numpy as np
from numpy.typing import NDArray

import zelnor

from .road import RoadError

FRAME_SUFFIXES = (".pgm", ".png", ".tif", ".tiff", ".npy")
# A file or folder name, as a string or a path object.
Path = Union[str, "os.PathLike[str]"]
MAX_SIDE = 65535  # the largest image side the module's results are defined for
_TIFF_MAGICS = (b"II*\0", b"MM\0*", b"II+\0", b"MM\0+")
# What `simulate` and `measure` write beside report.json, other than frames.
OWN_OUTPUTS = frozenset([f"{name}{suffix}" for name in ("wrapped_phase", "true_surface", "surface", "residual")
                         for suffix in (".pgm", ".npy")] + ["figure.png"])


@contextlib.contextmanager
def quiet_c_streams():
    """load_pgm echoes header bytes to the C library's stdout (and a format
    complaint to its stderr); keep them off our report and our one-line errors."""
    libc = ctypes.CDLL(None)
    sys.stdout.flush()
    sys.stderr.flush()
    libc.fflush(None)
    saved = [os.dup(1), os.dup(2)]
    try:
        with open(os.devnull, "wb") as devnull:
            os.dup2(devnull.fileno(), 1)
            os.dup2(devnull.fileno(), 2)
        yield
    finally:
        libc.fflush(None)
        for fd, copy in zip((1, 2), saved):
            os.dup2(copy, fd)
            os.close(copy)


def _numbers_key(text, number):
    key = []
    for place, part in enumerate(re.split(number, text)):  # numbers at the odd places
        if part:
            # Text compares without case, as file managers list it: Frame_3 between frame_2 and frame_4.
            key.append((0, Fraction(part), "") if place % 2 else (1, 0, part.casefold()))
    # Shorter names first (a before a1), then the text itself breaks ties such as a01 / a1 or A1 / a1.
    return key + [(-1, 0, text)]


def natural_key(text):
    """Sort key in which runs of digits compare as numbers: frame_2 before frame_10."""
    return _numbers_key(text, r"(\d+)")


def frame_key(text):
    """natural_key for frame files, in which a decimal number also compares by its value: frames named
    after their phase step in waves, phase_0, phase_0.25, phase_0.5, phase_0.75, come in that order
    (by digit runs, phase_0.5 would come first and phase_0 last). A minus sign at the start of the name or
    right after an underscore, "=", "(" or "[" belongs to the number, so that phase_-90, phase_-45, phase_0,
    phase_45 come in step order; anywhere else (frame-2, run--2, frame -2, 2024-05-01) it is a separator."""
    return _numbers_key(text, r"((?:(?<=[_=(\[])-|^-)?\d+(?:\.\d+)?)")


def sniff(path):
    """'pgm', 'pnm' (another Netpbm kind), 'png', 'tiff', 'npy' or None, from the file's first bytes."""
    try:
        with open(path, "rb") as handle:
            head = handle.read(8)
    except OSError as error:
        raise RoadError(f"{path}: cannot read: {error.strerror or error}") from None
    if head.startswith(b"P5"):
        return "pgm"
    if len(head) >= 2 and head[:1] == b"P" and head[1:2] in b"1234567":
        return "pnm"
    if head.startswith(b"\x89PNG\r\n\x1a\n"):
        return "png"
    if head[:4] in _TIFF_MAGICS:
        return "tiff"
    if head.startswith(b"\x93NUMPY"):
        return "npy"
    return None


def own_report(folder):
    """The report.json that `zelnor simulate` or `measure` left in `folder`, or None."""
    try:
        with open(os.path.join(folder, "report.json"), encoding="utf-8") as handle:
            report = json.load(handle)
    except (OSError, ValueError):
        return None
    return report if isinstance(report, dict) and report.get("command") in ("simulate", "measure") else None


def own_outputs(folder):
    """The maps and figure that `zelnor simulate` or `measure` write, in a folder whose report.json is
    theirs: measuring that folder (the frames simulate wrote there, or frames measured into their own
    folder before) must not take them for frames. A folder whose simulation stopped before it finished is
    refused: it may have replaced only some of the frames it found there."""
    report = own_report(folder)
    if report is None:
        return []
    if report["command"] == "simulate" and report.get("complete") is False:
        raise RoadError(f"{folder}: the `zelnor simulate` that writes its frames stopped before it finished; "
                        "run it again")
    return [os.path.join(folder, name) for name in sorted(OWN_OUTPUTS)]


def image_files(folder):
    """The files of a folder that could hold frames (by name or by their first bytes), in natural order:
    what a folder given as frames stands for, before the mask and our own outputs are left out."""
    names = sorted((name for name in os.listdir(folder) if not name.startswith(".")), key=frame_key)
    paths = [os.path.join(folder, name) for name in names]
    return [path for path in paths if os.path.isfile(path)
            and (path.lower().endswith(FRAME_SUFFIXES) or sniff(path) not in (None, "pnm"))]


def expand(arguments, exclude=()):
    """File paths from frame arguments: files as given, a folder's image files and a glob's
    matches in natural order (frame_2 before frame_10, phase_0.25 before phase_0.5). Files listed in
    plain character order but not in natural order come from a shell glob: they are put in natural
    order too. The files in `exclude` and the maps our own report.json lists beside them are left out
    however they were named."""
    if (len(arguments) > 1 and all(os.path.isfile(argument) for argument in arguments)
            and list(arguments) == sorted(arguments) and list(arguments) != sorted(arguments, key=frame_key)):
        arguments = sorted(arguments, key=frame_key)
    excluded = {os.path.realpath(path) for path in exclude}

    def frames_only(paths):
        # The pupil's mask file may sit beside the frames, and so may our own outputs: they are not frames.
        folders = sorted({os.path.dirname(path) or "." for path in paths})
        skipped = excluded.union(os.path.realpath(path) for folder in folders for path in own_outputs(folder))
        return [path for path in paths if os.path.realpath(path) not in skipped]

    paths = []
    for argument in arguments:
        if os.path.isdir(argument):
            members = frames_only(image_files(argument))
            if not members:
                raise RoadError(f"{argument}: the folder holds no frame files (PGM, PNG, TIFF or .npy)")
            paths += members
        elif os.path.exists(argument):
            paths.append(argument)
        elif glob.has_magic(argument):
            matches = [path for path in glob.glob(argument) if os.path.isfile(path)]
            if not matches:
                raise RoadError(f"{argument}: no file matches")
            paths += sorted(matches, key=frame_key)
        else:
            raise RoadError(f"{argument}: no such file or folder")
    # A shell's glob (frames/*.png) lists the mask and our maps as plainly as the frames.
    return frames_only(paths)


def _counts(path, array):
    """Integer samples as uint8 or uint16; anything else is refused."""
    if array.dtype == np.bool_:
        return array.view(np.uint8)
    if array.dtype in (np.uint8, np.uint16):
        return array
    if array.dtype.kind == "f":
        raise RoadError(f"{path}: floating-point samples; frames must hold integer camera counts")
    if array.dtype.kind not in "ui":
        raise RoadError(f"{path}: samples of type {array.dtype} are not camera counts")
    if array.size and (array.min() < 0 or array.max() > 65535):
        raise RoadError(f"{path}: samples outside 0..65535")
    return array.astype(np.uint16)


def _check_side(path, height, width):
    """Refuses a declared size beyond the module's limit before anything is read or allocated:
    a damaged header can declare billions of rows."""
    if not (0 < height <= MAX_SIDE and 0 < width <= MAX_SIDE):
        raise RoadError(f"{path}: declares a {width}x{height} image; sides must lie in 1..{MAX_SIDE}")


def _refuse_colour(path, allow_colour, what):
    if not allow_colour:
        raise RoadError(f"{path}: {what}; frames must be plain greyscale")


def _why(error):
    """A library's complaint on one line (NumPy's and Pillow's may run over several)."""
    return " ".join(str(error).split()) or type(error).__name__


def _library(module, path, what):
    """Imports the reader a format needs; without it, one line saying how to install it."""
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError:
        raise RoadError(f"{path}: reading {what} needs {module.split('.')[0]}: "
                        "pip install 'zelnor[command]'") from None


def _marked(samples):
    """Nonzero samples; NaN, a map's mark for no data, marks nothing."""
    return (samples != 0) & ~np.isnan(samples) if samples.dtype.kind == "f" else samples != 0


def _inside(samples, alpha):
    """A colour image as a pupil, samples on the last axis: the pixels with a nonzero colour that are not
    transparent, so that an opaque alpha channel does not put the whole image inside."""
    colour = [index for index in range(samples.shape[-1]) if index not in alpha]
    inside = _marked(samples[..., colour]).any(axis=-1)
    for index in alpha:
        inside &= samples[..., index] != 0
    return inside


def _read_png(path, allow_colour):
    PngImagePlugin = _library("PIL.PngImagePlugin", path, "PNG")

    try:
        # Opened as the PNG it was sniffed to be, past Pillow.Image.open's guard against images of many pixels
        # (a warning from 89 million, a refusal from 179 million): the sides and memory are checked here instead.
        with PngImagePlugin.PngImageFile(path) as image:
            _check_side(path, image.size[1], image.size[0])
            # Pillow keeps a pixel in 1 byte ("1", "L", "P"), 2 ("I;16"), or else 4 (before Pillow 10.4, 16-bit grey
            # opens as 32-bit "I"); the array handed on is a copy of as many bytes.
            stored = 1 if image.mode in ("1", "L", "P") else 2 if image.mode.startswith("I;16") else 4
            _check_memory(path, 2 * stored * image.size[0] * image.size[1])
            image.load()
            mode = image.mode
            if getattr(image, "n_frames", 1) > 1:  # an animated PNG: Pillow would hand over its first frame
                raise RoadError(f"{path}: an animated PNG of {image.n_frames} images; give each frame as a file "
                                "of its own")
            if mode in ("1", "L", "I", "I;16", "I;16B", "I;16L", "I;16N"):
                return [np.asarray(image)]
            kind = {"LA": "a grey image with an alpha channel", "La": "a grey image with an alpha channel",
                    "P": "a palette image", "PA": "a palette image"}.get(mode, "a colour image")
            _refuse_colour(path, allow_colour, f"{kind} (mode {mode})")
            if "A" in mode or "a" in mode or "transparency" in image.info:
                return [_inside(np.asarray(image.convert("RGBA")), alpha=[3])]
            return [_marked(np.asarray(image.convert("RGB"))).any(axis=-1)]
    except (RoadError, MemoryError):
        raise
    except Exception as error:  # Pillow raises many kinds on damaged files
        raise RoadError(f"{path}: not a readable PNG image ({_why(error)})") from None


def _tiff_chain_break(path):
    """Where a TIFF's chain of pages breaks off (an offset past the file's end, or a loop), as a message; None
    when it ends as it should. tifffile reads the pages before the break and only logs it, so a multi-page
    file cut short by an interrupted copy would pass for a set with fewer frames."""
    with open(path, "rb") as handle:
        size = os.fstat(handle.fileno()).st_size
        head = handle.read(16)
        order = "<" if head[:2] == b"II" else ">"
        # Classic TIFF: 2-byte entry counts, 12-byte entries, 4-byte offsets; BigTIFF: 8, 20 and 8.
        count, entry, pointer = ("Q", 20, "Q") if head[2:4] in (b"+\0", b"\0+") else ("H", 12, "I")
        at = 8 if pointer == "Q" else 4
        if len(head) < at + struct.calcsize(pointer):
            return "cut short in its header"
        offset = struct.unpack_from(order + pointer, head, at)[0]
        seen = set()
        while offset:
            if offset in seen:
                return f"its chain of pages loops back after page {len(seen) - 1}"
            seen.add(offset)
            handle.seek(offset)
            entries = handle.read(struct.calcsize(count))
            if offset >= size or len(entries) < struct.calcsize(count):
                return f"its chain of pages breaks off after {len(seen) - 1} pages: cut short or damaged"
            handle.seek(offset + len(entries) + entry * struct.unpack(order + count, entries)[0])
            following = handle.read(struct.calcsize(pointer))
            if len(following) < struct.calcsize(pointer):
                return f"its chain of pages breaks off after {len(seen) - 1} pages: cut short or damaged"
            offset = struct.unpack(order + pointer, following)[0]
    return None


def _grey_ramp(colours):
    """Whether a TIFF colour map is grey, from black, and rises evenly: its indices are then the counts."""
    colours = np.asarray(colours, np.int64)
    if colours.ndim != 2 or len(colours) != 3 or colours.shape[1] < 2 or colours[:, 0].any():
        return False
    return bool((colours == colours[0]).all() and (colours[0] == colours[0, 1] * np.arange(colours.shape[1])).all()
                and colours[0, 1] > 0)


def _upright(image, orientation):
    """The image as viewers show it, from a TIFF whose Orientation tag says where its first row and column
    lie (2-8: mirrored, turned or transposed); the first two axes are the rows and columns."""
    if orientation not in range(2, 9):
        return image
    if orientation >= 5:  # stored rows are the picture's columns
        image = np.swapaxes(image, 0, 1)
    rows, columns = {0: (1, 1), 1: (1, -1), 2: (-1, -1), 3: (-1, 1)}[(orientation - 1) % 4]
    return np.ascontiguousarray(image[::rows, ::columns])


def _check_memory(path, declared):
    """Compressed images can declare far more samples than the file holds: refused before they are decoded."""
    available = available_memory()
    if available is not None and declared > available:
        raise RoadError(f"{path}: its images take {declared / 2**30:.1f} GiB once decoded, "
                        f"{available / 2**30:.1f} GiB of memory available")


def available_memory():
    """Bytes of memory the kernel deems available to new allocations; None where it does not say."""
    try:
        with open("/proc/meminfo", encoding="ascii") as handle:
            info = dict(line.split(":", 1) for line in handle if ":" in line)
        return int(info["MemAvailable"].split()[0]) * 1024
    except (OSError, KeyError, ValueError):
        return None


def _read_tiff(path, allow_colour):
    tifffile = _library("tifffile", path, "TIFF")

    try:
        broken = _tiff_chain_break(path)
        if broken:
            raise RoadError(f"{path}: not a readable TIFF image ({broken})")
        with tifffile.TiffFile(path) as tiff:
            # Reduced-resolution pages are the thumbnails and previews cameras store beside their images.
            pages = [page for page in tiff.pages if not page.is_reduced]
            if not pages:
                raise RoadError(f"{path}: holds no full-resolution image" +
                                (" (only reduced-resolution previews)" if len(tiff.pages) else ""))
            for page in pages:
                _check_side(path, page.imagelength, page.imagewidth)
            _check_memory(path, sum(page.imagelength * page.imagewidth * page.samplesperpixel *
                                    -(-page.bitspersample // 8) for page in pages))
            images = []
            for page in pages:
                orientation = getattr(page.tags.get(274), "value", 1)
                data = page.asarray()
                if int(page.photometric) == 3 and page.samplesperpixel == 1 and not _grey_ramp(page.colormap):
                    # Indices into a colour map are counts only where it is a grey ramp: an ImageJ frame shown with
                    # another lookup table holds counts too, an indexed colour image nothing of the kind.
                    _refuse_colour(path, allow_colour, "a palette image, its samples index a colour map (in ImageJ, "
                                   "choose the Grays lookup table before saving)")
                    data = _marked(np.moveaxis(page.colormap[:, data], 0, -1)).any(axis=-1)
                elif page.samplesperpixel > 1 and page.planarconfig == 2 and not allow_colour:
                    # Separate planes: how tifffile.imwrite stores a stack of 3 or 4 frames by default.
                    images += [_upright(plane, orientation) for plane in data]
                    continue
                elif page.samplesperpixel > 1:
                    _refuse_colour(path, allow_colour, f"a colour image ({page.samplesperpixel} samples per pixel)")
                    if page.planarconfig == 2:
                        data = np.moveaxis(data, 0, -1)
                    extra = page.samplesperpixel - len(page.extrasamples)
                    # Extra samples of kinds 1 and 2 are associated and unassociated alpha.
                    data = _inside(data, alpha=[extra + index for index, kind in enumerate(page.extrasamples)
                                                if int(kind) in (1, 2)])
                if data.ndim != 2:
                    raise RoadError(f"{path}: page {len(images)} is not a 2-D image (shape {data.shape})")
                images.append(_upright(data, orientation))
            return images
    except (RoadError, MemoryError):  # memory running out: said by read_images, not blamed on the file
        raise
    except Exception as error:  # tifffile raises many kinds on damaged files
        raise RoadError(f"{path}: not a readable TIFF image ({_why(error)})") from None


_PNM_SPACE = b" \t\n\v\f\r"


def _read_pgm_loosely(path):
    """A binary PGM whose header load_pgm does not take (all on one line, tabs, CR LF line ends):
    fields apart by any whitespace and comments, then one whitespace byte before the raster. A CR LF after
    maxval is the header's own when the file holds exactly one byte more than the raster, as a CR alone
    would leave it; with more bytes than that, which of the two ends the header cannot be told."""
    refused = f"{path}: not a readable binary PGM (P5) image"
    with open(path, "rb") as handle:
        head = handle.read(4096)
        fields, at = [], 2
        if head[at:at + 1] not in [bytes([space]) for space in _PNM_SPACE] + [b"#"]:
            raise RoadError(f"{refused} (damaged header)")
        while len(fields) < 3:
            while at < len(head) and (head[at] in _PNM_SPACE or head[at] == ord("#")):
                if head[at] == ord("#"):  # a comment runs to the end of its line
                    while at < len(head) and head[at] not in b"\r\n":
                        at += 1
                at += 1
            start = at
            while at < len(head) and head[at:at + 1].isdigit():
                at += 1
            if at == start or at >= len(head) or head[at] not in _PNM_SPACE:
                raise RoadError(f"{refused} (damaged header)")
            fields.append(int(head[start:at]))
        width, height, maxval = fields
        _check_side(path, height, width)
        if maxval > 65535:
            raise RoadError(f"{refused} (maxval {maxval}; it must lie in 0..65535)")
        dtype = np.dtype(np.uint8) if maxval <= 255 else np.dtype(">u2")
        needed = width * height * dtype.itemsize
        start = at + 1
        if head[at:at + 2] == b"\r\n":
            rest = os.fstat(handle.fileno()).st_size - start
            if rest == needed + 1:
                start += 1
            elif rest > needed:
                raise RoadError(f"{refused} (CR LF after maxval, and bytes after the raster: where the raster "
                                "starts is ambiguous)")
        handle.seek(start)
        raster = handle.read(needed)
        _refuse_a_second_image(path, handle)
    if len(raster) < needed:
        raise RoadError(f"{refused} (truncated: {len(raster)} of {needed} raster bytes)")
    return np.frombuffer(raster, dtype).reshape(height, width).astype(dtype.newbyteorder("="))


def _refuse_a_second_image(path, handle):
    """Bytes after a PGM's raster are ignored, unless they are another image's header (a Netpbm stream of
    several frames), whose frames would be lost unseen."""
    after = handle.read(3)
    if after[:2] == b"P5" and after[2:] in [bytes([space]) for space in _PNM_SPACE] + [b"#"]:
        raise RoadError(f"{path}: holds more than one PGM image; give each frame as a file of its own")


def _load_pgm_header(handle):
    """(width, height, maxval, where the raster starts) as load_pgm reads the header: "P5" and a newline, then
    width, a space, height, a newline, maxval and a newline, comments anywhere; but the numbers in full, where
    load_pgm keeps their low 32 bits and takes maxval's low 16 bits for its depth. None for a header it refuses."""
    head = handle.read(1 << 16)
    if not head.startswith(b"P5\n"):
        return None
    at, numbers = 3, []
    for separator in b" \n\n":
        value, in_comment = 0, False
        while True:
            if at == len(head):
                return None
            byte, at = head[at], at + 1
            if in_comment:
                in_comment = byte != ord("\n")
            elif byte == ord("#"):
                in_comment = True
            elif byte == separator:
                break
            elif ord("0") <= byte <= ord("9"):
                value = value * 10 + byte - ord("0")
            else:
                return None
        numbers.append(value)
    return (*numbers, at)


def _read_pgm(path):
    with open(path, "rb") as handle:
        header = _load_pgm_header(handle)
        if header is not None:
            # What load_pgm would read of a header outside the format's range is not the file's image.
            width, height, maxval, start = header
            _check_side(path, height, width)
            if maxval > 65535:
                raise RoadError(f"{path}: not a readable binary PGM (P5) image (maxval {maxval}; it must lie in "
                                "0..65535)")
            handle.seek(start + width * height * (1 if maxval <= 255 else 2))
            _refuse_a_second_image(path, handle)
    try:
        with quiet_c_streams():
            try:
                return zelnor.load_pgm(path)
            except UnicodeEncodeError:  # the module takes UTF-8 names only: it reads such a file by another
                descriptor = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
                try:
                    return zelnor.load_pgm(f"/dev/fd/{descriptor}")
                finally:
                    os.close(descriptor)
    except OSError:
        return _read_pgm_loosely(path)


def _read_npy(path):
    try:
        data = np.load(path, allow_pickle=False)
    except Exception as error:
        raise RoadError(f"{path}: not a readable .npy array ({_why(error)})") from None
    if data.ndim in (2, 3):
        _check_side(path, data.shape[-2], data.shape[-1])
    if data.ndim == 2:
        return [data]
    if data.ndim == 3:
        return list(data)  # a stack of frames: views, not copies
    raise RoadError(f"{path}: a {data.ndim}-D array; expected one frame (H, W) or a stack (N, H, W)")


def read_images(path, allow_colour=False):
    """The 2-D images held by one file (a multi-page TIFF or a 3-D .npy holds several)."""
    # tifffile logs its complaints about damaged files; our one-line error says it instead.
    logger = logging.getLogger("tifffile")
    disabled, logger.disabled = logger.disabled, True
    try:
        return _read_images(path, allow_colour)
    except MemoryError:
        raise RoadError(f"{path}: the image it holds or declares does not fit in memory") from None
    finally:
        logger.disabled = disabled


def _read_images(path, allow_colour):
    if os.path.isdir(path):
        raise RoadError(f"{path}: is a folder, not an image file")
    if not os.path.exists(path):
        raise RoadError(f"{path}: no such file")
    if not os.path.isfile(path):  # a FIFO or a device would block or never end
        raise RoadError(f"{path}: not a regular file")
    if os.path.getsize(path) == 0:
        raise RoadError(f"{path}: empty file")
    kind = sniff(path)
    if kind == "pgm":
        return [_read_pgm(path)]
    if kind == "pnm":
        raise RoadError(f"{path}: not a binary greyscale PGM (P5) image; convert it to P5, PNG or TIFF")
    if kind == "png":
        return _read_png(path, allow_colour)
    if kind == "tiff":
        return _read_tiff(path, allow_colour)
    if kind == "npy":
        return _read_npy(path)
    raise RoadError(f"{path}: not a PGM (P5), PNG, TIFF or .npy file")


def _size(shape):
    return f"{shape[1]}x{shape[0]}"


def _depth(frame):
    return f"{8 * frame.dtype.itemsize}-bit"


def load_frames(arguments: Union[Path, Sequence[Path]], exclude: Iterable[Path] = ()
                ) -> Tuple[List[NDArray[Any]], List[str]]:
    """4, 5 or 7 frames of one size from files, folders and globs, or one of them (leaving out the files in
    `exclude` that a folder holds), with the name of each frame's source."""
    if isinstance(arguments, (str, bytes, os.PathLike)):  # one path, not a sequence of one-letter names
        arguments = [arguments]
    arguments = [os.fsdecode(argument) for argument in arguments]
    exclude = [os.fsdecode(path) for path in exclude]
    frames, sources = [], []
    depth = None  # (bits, source) of the first PNG or TIFF frame
    paths = expand(arguments, exclude)
    given = {}
    for place, path in enumerate(paths):  # a file named twice (a folder, one of its files) is not two exposures
        with contextlib.suppress(OSError):
            info = os.stat(path)
            same = given.setdefault((info.st_dev, info.st_ino), place)
            if same != place:
                raise RoadError(f"{path}: given twice (as {paths[same]} too); each frame is an exposure of its own")
    for path in paths:
        images = read_images(path)
        # A PNG or TIFF frame's bit depth is its scale: an 8-bit one among 16-bit ones holds counts 256 times
        # too small, and the phase would be silently wrong. PGM and .npy samples are counts whatever their type.
        fixed = sniff(path) in ("png", "tiff")
        for page, image in enumerate(images):
            frames.append(_counts(path, image))
            sources.append(path if len(images) == 1 else f"{path} (frame {page})")
            if frames[-1].shape != frames[0].shape:
                raise RoadError(f"{sources[-1]}: {_size(frames[-1].shape)} pixels, but {sources[0]} has "
                                f"{_size(frames[0].shape)}")
            if fixed:  # as counts: Pillow 9 hands 16-bit PNG samples over as int32
                depth = depth or (_depth(frames[-1]), sources[-1])
                if _depth(frames[-1]) != depth[0]:
                    raise RoadError(f"{sources[-1]}: {_depth(frames[-1])} samples, but {depth[1]} has {depth[0]}; "
                                    "the frames of a set come from one camera setting")
    if not frames:
        raise RoadError("need 4, 5 or 7 frames in phase-step order, got none" + (
            f" from {', '.join(arguments)} (the pupil's mask file and the maps zelnor writes are not frames)"
            if arguments else ""))
    if len(frames) not in (4, 5, 7):
        names = list(dict.fromkeys(source.split(" (frame")[0] for source in sources))
        if len(names) == 1:
            raise RoadError(f"{names[0]}: holds {len(frames)} frames; need 4, 5 or 7 in phase-step order")
        raise RoadError(f"need 4, 5 or 7 frames in phase-step order, got {len(frames)} from {', '.join(names)}")
    return frames, sources


def load_mask(path: Path, shape: Sequence[int]) -> NDArray[np.bool_]:
    """A pupil from an image file of the frames' size: nonzero samples are inside (in a colour image, the
    pixels of nonzero colour that are not transparent; in a floating-point map, not the NaN)."""
    path, shape = os.fsdecode(path), tuple(shape)
    images = read_images(path, allow_colour=True)
    if len(images) != 1:
        raise RoadError(f"{path}: holds {len(images)} images; a pupil mask is one image")
    image = np.asarray(images[0])
    if image.shape != shape:
        raise RoadError(f"{path}: {_size(image.shape)} pixels, but the frames have {_size(shape)}")
    if image.dtype.kind not in "biuf":
        raise RoadError(f"{path}: samples of type {image.dtype} cannot mark a pupil")
    return np.ascontiguousarray(_marked(image))
