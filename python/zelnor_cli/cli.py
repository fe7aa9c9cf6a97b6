"""Command line: `zelnor simulate`, `zelnor measure FRAME ...` and `zelnor batch DIR ...`."""
from __future__ import annotations

import argparse
import concurrent.futures
import contextlib
import contextvars
import ctypes
import json
import math
import os
import re
import sys
from typing import Optional, Sequence, TextIO, Tuple

import numpy as np

import zelnor

from . import frames as frame_files
from . import road
from .figure import write_figure

DEFAULT_COEFFICIENTS = "4:1.5,5:0.8,6:-0.4,7:0.6,8:-0.3,9:0.5"
MAX_SIZE = 65535  # the largest image side the module's results are defined for
MAX_COEFFICIENT_WAVES = 1e4
# Working memory of the road per pixel, frames excluded; a run that plainly cannot fit is refused up front.
ROAD_BYTES_PER_PIXEL = 160

# Kept under its old name: tests and scripts silence load_pgm's echo with it.
_quiet_c_streams = frame_files.quiet_c_streams

CONVENTIONS = {
    "ordering": "Fringe (University of Arizona), terms 1 to 29",
    "normalisation": "none: unnormalised terms, e.g. tilt x = x, defocus = 2 r^2 - 1",
    "coordinates": ("x = -1 + (2 column + 1) / W grows to the right with the column; "
                    "y = -1 + (2 row + 1) / H grows with the row, and rows grow downward, so y points down "
                    "on the image; the unit circle is the disc inscribed in the image, whatever the pupil"),
    "sign": ("the surface is the phase of the first frame's fringes divided by 2 pi: frames in increasing "
             "phase-step order, I_k = A + B sin(phase + k step); positive where that phase is larger"),
}


class _Parser(argparse.ArgumentParser):
    def error(self, message):  # one line and exit 2, no usage dump
        raise road.RoadError(message)


# Option values are checked as they are parsed; argparse names the option in the message.
def _finite(text, what="value"):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{what} must be a number, got {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{what} must be finite, got {text!r}")
    return value


def _integer(text, low, high):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"value must be a whole number, got {text!r}") from None
    if not low <= value <= high:
        raise argparse.ArgumentTypeError(f"value must lie in {low}..{high}, got {value}")
    return value


def _coefficients(text):
    coefficients = {}
    for item in filter(None, (part.strip() for part in text.split(","))):
        try:
            index, value = item.split(":")
            index, value = int(index), float(value)
        except ValueError:
            raise argparse.ArgumentTypeError(f"bad coefficient {item!r}: expected FRINGE:WAVES, e.g. 4:0.5")
        if not 1 <= index <= road.FIT_TERMS:
            raise argparse.ArgumentTypeError(f"Fringe index {index} is outside 1..{road.FIT_TERMS}")
        if not math.isfinite(value) or abs(value) > MAX_COEFFICIENT_WAVES:
            raise argparse.ArgumentTypeError(
                f"coefficient {item!r}: waves must be finite and at most {MAX_COEFFICIENT_WAVES:g} in size")
        if index in coefficients:  # a slip, most likely: which of the two was meant?
            raise argparse.ArgumentTypeError(f"Fringe index {index} is given twice")
        coefficients[index] = value
    return coefficients


def _size(text):
    return _integer(text, 8, MAX_SIZE)


def _peak(text):
    return _integer(text, 1, 65535)


def _seed(text):
    return _integer(text, 0, 2**32 - 1)


def _noise(text):
    value = _finite(text)
    if value < 0.0:
        raise argparse.ArgumentTypeError(f"noise must not be negative, got {text}")
    return value


def _wavelength(text):
    value = _finite(text)
    if value <= 0.0:
        raise argparse.ArgumentTypeError(f"wavelength must be positive, got {text}")
    return value


PUPIL_HELP = ("'disc' (the inscribed disc, default), 'annulus:R' (the disc with a central obstruction of radius "
              "ratio R, 0 < R < 1), 'threshold:COUNTS' (fringe modulation >= COUNTS) or 'mask:FILE' (an image "
              "of the frames' size, nonzero inside)")


def _folder(text):
    if not text:
        raise argparse.ArgumentTypeError("the output folder's name is empty")
    return text


def _workers(text):
    return _integer(text, 1, 4096)




def _pupil(text):
    """('disc' | 'annulus' | 'threshold' | 'mask', value) from --pupil's text."""
    kind, colon, value = text.partition(":")
    if kind == "disc" and not colon:
        return ("disc", None)
    if kind == "annulus" and colon:
        ratio = _finite(value, "annulus ratio")
        if not 0.0 < ratio < 1.0:
            raise argparse.ArgumentTypeError(f"annulus ratio must lie strictly between 0 and 1, got {value}")
        return ("annulus", ratio)
    if kind == "threshold" and colon:
        return ("threshold", _finite(value, "threshold"))
    if kind == "mask" and value:
        return ("mask", value)
    raise argparse.ArgumentTypeError(
        f"bad --pupil {text!r}: expected disc, annulus:R, threshold:COUNTS or mask:FILE")


def _pupil_text(pupil):
    kind, value = pupil
    return kind if value is None else f"{kind}:{value:g}" if isinstance(value, float) else f"{kind}:{value}"


def _removed(text):
    names = [name.strip() for name in text.split(",") if name.strip()]
    unknown = [name for name in names if name not in road.REMOVABLE]
    if unknown:
        raise argparse.ArgumentTypeError(f"bad --remove {unknown[0]!r}: choose from piston, tilt, defocus")
    return list(dict.fromkeys(names))


def add_common_options(parser):
    """Options shared by every subcommand that runs the road."""
    parser.add_argument("--unwrapper", choices=["unwrap", "fast"], default="unwrap",
                        help="reliability-sorted `unwrap` (default) or the flood-fill `fast_unwrap`")
    parser.add_argument("--pupil", type=_pupil, default=("disc", None), help=PUPIL_HELP)
    parser.add_argument("--double-pass", action="store_true",
                        help="the surface is tested in reflection: surface = wavefront / 2")
    parser.add_argument("--no-figure", action="store_true", help="do not write figure.png")
    parser.add_argument("--json", action="store_true",
                        help="print the report as JSON on stdout (messages go to stderr)")


def _json_accepted(parser):
    """--json among batch's measure options: accepted, so that one set of options serves both; a batch
    prints no report."""
    for action in parser._actions:
        if action.dest == "json":
            action.help = "accepted for measure's sake; a batch prints no report (see OUT/summary.json)"


def add_measure_options(parser):
    """The options of `measure` other than its frames and --out, for subcommands that run its road."""
    add_common_options(parser)
    parser.add_argument("--wavelength", type=_wavelength, default=None,
                        help="test wavelength in nm: report in nm instead of waves")
    parser.add_argument("--remove", type=_removed, default=["piston", "tilt"],
                        help="terms removed, as their best fit over the pupil, before PV and RMS: any of piston, "
                             "tilt, defocus (default piston,tilt)")


def _parser():
    parser = _Parser(prog="zelnor", description="Simulate and measure optical surfaces with phase-shifting interferometry.")
    # The version reports record, the module's: what the numbers come from.
    parser.add_argument("--version", action="version", version=f"zelnor {zelnor.__version__}")
    sub = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    sim = sub.add_parser("simulate", help="simulate a measurement and recover its coefficients")
    add_common_options(sim)
    sim.add_argument("--out", type=_folder, default="zelnor-out", help="output folder (default: zelnor-out)")
    sim.add_argument("--size", type=_size, default=512, help="image width and height in pixels (default 512)")
    sim.add_argument("--frames", type=int, choices=[4, 5, 7], default=4, help="number of phase-shifted frames (default 4)")
    sim.add_argument("--coefficients", type=_coefficients, default=_coefficients(DEFAULT_COEFFICIENTS),
                     help=f"Fringe coefficients of the surface in waves, FRINGE:WAVES,... (default {DEFAULT_COEFFICIENTS})")
    sim.add_argument("--noise", type=_noise, default=0.0, help="uniform frame noise, peak to peak, in counts")
    sim.add_argument("--peak", type=_peak, default=65535, help="frame intensity at a fringe maximum (default 65535)")
    sim.add_argument("--seed", type=_seed, help="seed of the C library generator (the noise and unwrap's draws)")

    meas = sub.add_parser("measure", help="measure a surface from phase-shifted frames")
    meas.add_argument("frames", nargs="+", metavar="FRAME",
                      help="4, 5 or 7 frames in phase-step order: PGM, PNG, TIFF or .npy files, a multi-page TIFF, "
                           "a folder or a quoted glob (natural order: frame_2 before frame_10, phase_0.25 before "
                           "phase_0.5)")
    add_measure_options(meas)
    meas.add_argument("--out", type=_folder, default="zelnor-out", help="output folder (default: zelnor-out)")
    meas.add_argument("--seed", type=_seed, help="seed the C library generator (used by --unwrapper unwrap) first")

    batch = sub.add_parser("batch", help="measure every folder of frames, in parallel on Dask")
    batch.add_argument("folders", nargs="+", metavar="DIR", help="folders, each holding one measurement's frames")
    batch.add_argument("--out", type=_folder, default="zelnor-out", help="output folder (default: zelnor-out)")
    batch.add_argument("--workers", type=_workers, help="worker processes of the local cluster (default: core count)")
    batch.add_argument("--scheduler", metavar="ADDRESS", help="run on an existing Dask cluster, e.g. tcp://HOST:8786")
    batch.add_argument("--scheduler-file", metavar="PATH",
                       help="run on the existing Dask cluster whose scheduler writes PATH (dask scheduler --scheduler-file)")
    add_measure_options(batch)
    _json_accepted(batch)
    return parser


# Where a run's report and messages go, when not to the process's stdout and stderr: a batch measurement
# in a thread of a Dask worker keeps them to itself without touching the streams of the process's other
# threads (a notebook's, on a threaded cluster).
_streams: contextvars.ContextVar[Optional[Tuple[TextIO, TextIO]]] = contextvars.ContextVar("zelnor_streams",
                                                                                            default=None)


def _stdout():
    streams = _streams.get()
    return sys.stdout if streams is None else streams[0]


def _log(message):
    streams = _streams.get()
    print(message, file=sys.stderr if streams is None else streams[1])


def _check_memory(pixels, what):
    """Refuses a run whose working memory plainly exceeds what the machine has available."""
    available = frame_files.available_memory()
    if available is None:
        return
    needed = pixels * ROAD_BYTES_PER_PIXEL
    if needed > available:
        raise road.RoadError(f"{what}: needs about {needed / 2**30:.1f} GiB of memory, "
                             f"{available / 2**30:.1f} GiB available")


def _make_pupil(pupil, height, width, frames=None):
    kind, value = pupil
    if kind == "annulus":
        return road.annulus_pupil(height, width, value)
    if kind == "threshold" and frames is not None:
        return zelnor.make_mask(road.modulation(frames), value)
    if kind == "mask":
        return frame_files.load_mask(value, (height, width))
    return road.disc_pupil(height, width)


# An annulus ring at least this many pixels wide is one 4-connected region.
THIN_RING_PIXELS = 8
# A threshold pupil is cut to its largest region without a warning while the rest is under 1/100 of it.
THRESHOLD_SPECKS = 100


def _check_pupil(mask, pupil, warnings):
    """The pupil as measured, and its pixel count: a pupil in several separate regions is cut down to its
    largest, since their relative pistons cannot be known. Threshold and mask pupils may fall apart
    anywhere; an annulus only when its ring is a few pixels wide, where its pixels touch only at corners."""
    thin_ring = pupil[0] == "annulus" and (1.0 - pupil[1]) * min(mask.shape) / 2 < THIN_RING_PIXELS
    regions = 1
    if pupil[0] in ("threshold", "mask") or thin_ring:
        region, regions = road.largest_region(mask)
        if regions > 1:
            dropped = int(np.count_nonzero(mask)) - int(np.count_nonzero(region))
            # A threshold's contour sheds specks of a few pixels where noise crosses it: not worth a word.
            if pupil[0] != "threshold" or dropped * THRESHOLD_SPECKS > np.count_nonzero(region):
                warnings.append(f"the pupil has {regions} separate regions: measured over the largest, "
                                f"{dropped} pixels in the others left out")
            mask = region
    pixels = int(np.count_nonzero(mask))
    if pixels < road.FIT_TERMS:
        where = "the pupil" if regions <= 1 else f"the largest of the pupil's {regions} separate regions"
        raise road.RoadError(f"{where} has {pixels} pixels, fewer than the {road.FIT_TERMS} fitted terms")
    return mask, pixels


# Outputs are written under a temporary name in their folder and renamed into place, so an
# interrupted run never leaves a truncated file where a good one stood.
@contextlib.contextmanager
def _replacing(path):
    folder, name = os.path.split(path)
    temporary = os.path.join(folder, f".{name}.{os.getpid()}.part")
    try:
        yield temporary
        os.replace(temporary, path)
    except OSError as error:  # a full disk, a read-only folder: name the file, not our temporary
        raise road.RoadError(f"{path}: cannot write: {error.strerror or error}") from None
    finally:
        if os.path.lexists(temporary):
            os.unlink(temporary)


def _output_folder(out, command, writing=()):
    """Makes `out` ready for a run's outputs; returns the report an earlier run of ours left there, or None.
    Until this run writes its own report, report.json says it is incomplete, so that a run cut short never
    leaves new files beside an old report that describes other ones; it lists the earlier report's files and
    the frames this run is `writing`, so that the next run still knows which of them were ours."""
    check_out_folder(out, out)
    try:
        os.makedirs(out, exist_ok=True)
    except OSError as error:
        raise road.RoadError(f"{out}: cannot make the output folder: {error.strerror or error}") from None
    previous = frame_files.own_report(out)
    earlier = _listed(previous)
    provisional = {"command": command, "complete": False,
                   "files": earlier + [name for name in writing if name not in earlier]}
    _write_json(os.path.join(out, "report.json"), provisional)
    return previous


def check_out_folder(out, given):
    """Refuses an output folder that cannot be made: a file there, or a file where one of its parents
    would be; `given` names it as the user did."""
    try:
        out.encode("utf-8")
    except UnicodeEncodeError:  # the module writes its maps under UTF-8 names only
        raise road.RoadError(f"{given!r}: the output folder's path must be UTF-8 text, and this one is not") from None
    if os.path.lexists(out) and not os.path.isdir(out):
        raise road.RoadError(f"{given}: exists and is not a folder; --out names the output folder")
    parent = os.path.dirname(os.path.abspath(out))
    while not os.path.lexists(parent):
        parent = os.path.dirname(parent)
    if not os.path.isdir(parent):
        raise road.RoadError(f"{given}: {parent} is not a folder")


def stdout_gone():
    """After the reader of standard output went away (| head): what is still to be printed, and Python's
    own flush at exit, go nowhere instead of failing."""
    with open(os.devnull, "w") as devnull:
        os.dup2(devnull.fileno(), sys.stdout.fileno())


def _listed(report):
    """The file names a report of ours lists as written (none for no report)."""
    files = report.get("files") if report is not None else None
    return [name for name in files if isinstance(name, str)] if isinstance(files, list) else []


def _json_ready(value):
    """JSON has no infinity or NaN: such a number (a wavelength scaling a surface past the float range) is null."""
    if isinstance(value, float):
        return _finite_or_none(value)
    if isinstance(value, dict):
        return {key: _json_ready(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_ready(item) for item in value]
    return value


def json_text(value):
    """JSON text of a report or summary, non-ASCII names as they are; names that are not UTF-8 (file names
    from another system, held as lone surrogates) as \\u escapes, which decode to the same names."""
    text = json.dumps(_json_ready(value), indent=2, ensure_ascii=False, allow_nan=False)
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        text = json.dumps(_json_ready(value), indent=2, allow_nan=False)
    return text


def _write_json(path, report):
    with _replacing(path) as temporary, open(temporary, "w", encoding="utf-8") as handle:
        handle.write(json_text(report))


def _save_pgm(path, array, scale=1.0):
    with _replacing(path) as temporary:
        zelnor.save_pgm(temporary, array, scale)
        if not os.path.isfile(temporary):  # save_pgm raises when it cannot write; a check that costs nothing
            raise road.RoadError(f"{path}: cannot write")


def _save_frame(path, frame, maxval):
    """A uint16 frame as save_pgm writes it, with the given maxval instead of the frame's own largest
    sample: 8-bit samples up to 255, else 16-bit, most significant byte first."""
    height, width = frame.shape
    raster = frame.astype(np.uint8 if maxval <= 255 else ">u2", copy=False)
    with _replacing(path) as temporary, open(temporary, "wb") as handle:
        handle.write(b"P5\n%d %d\n%d\n" % (width, height, maxval))
        handle.write(np.ascontiguousarray(raster).data)


def _save_npy(path, array):
    with _replacing(path) as temporary, open(temporary, "wb") as handle:
        np.save(handle, array)


def _save_map(out, name, surface):
    _save_npy(os.path.join(out, name + ".npy"), surface)
    # Outside the pupil the map is 0.0, so its extremes are those of the pupil (or 0.0).
    peak = max(abs(float(surface.max())), abs(float(surface.min()))) if surface.size else 0.0
    _save_pgm(os.path.join(out, name + ".pgm"), surface, 1.0 / peak if peak > 0 and math.isfinite(peak) else 1.0)


def _save_wrapped(out, wrapped):
    """The wrapped phase as PGM and .npy; returns the file names written."""
    _save_pgm(os.path.join(out, "wrapped_phase.pgm"), wrapped, 1.0 / np.pi)
    _save_npy(os.path.join(out, "wrapped_phase.npy"), wrapped)
    return ["wrapped_phase.pgm", "wrapped_phase.npy"]


def _save_maps(out, mask, wrapped, maps):
    """The wrapped phase (0.0 outside the pupil, in place; None when already written) and each named
    map as PGM and .npy; returns the file names written."""
    files = []
    if wrapped is not None:
        np.copyto(wrapped, 0.0, where=~mask)
        files += _save_wrapped(out, wrapped)
    road.side_by_side(*[lambda name=name, data=data: _save_map(out, name, data) for name, data in maps])
    return files + [name + suffix for name, _ in maps for suffix in (".pgm", ".npy")]


def _coefficient_rows(recovered, truth, unit_scale):
    rows = []
    for index, (n, m, name) in enumerate(road.FRINGE_TERMS):
        row = {"fringe": index + 1, "n": n, "m": m, "name": name, "recovered": float(recovered[index]) * unit_scale}
        if truth is not None:
            row["true"] = float(truth.get(index + 1, 0.0)) * unit_scale
        rows.append(row)
    return rows


def _conventions(unit, double_pass, wavelength=None):
    conventions = dict(CONVENTIONS)
    length = f"nm (waves x {wavelength:g} nm)" if unit == "nm" else "waves of the test wavelength"
    conventions["units"] = (f"{length} of surface height; " +
                            ("double pass: surface = wavefront / 2" if double_pass else
                             "single pass: surface = wavefront"))
    return conventions


def _print_report(report, stream):
    unit = report["units"]
    def say(text=""):
        print(text, file=stream)

    say(f"{report['command']}: {report['frames']} frames, {report['shape'][1]}x{report['shape'][0]} pixels, "
        f"pupil {report['pupil']} with {report['pupil_pixels']} pixels, unwrapper {report['unwrapper']}")
    say("terms: Fringe order, unnormalised; x grows to the right, y down the rows; "
        "unit circle inscribed in the image")
    say(f"units: {unit} of surface, {'double pass (wavefront / 2)' if report['double_pass'] else 'single pass'}; "
        "positive where the first frame's phase is larger")
    has_truth = "true" in report["coefficients"][0]
    say(f"{'Z':>3}  {'term':<28} {'true':>10} {'recovered':>10}" if has_truth else f"{'Z':>3}  {'term':<28} {'coefficient':>11}")
    for row in report["coefficients"]:
        if has_truth:
            if row["true"] == 0.0 and abs(row["recovered"]) < 5e-4 and row["fringe"] > 9:
                continue
            say(f"{row['fringe']:>3}  {row['name']:<28} {row['true']:>10.4f} {row['recovered']:>10.4f}")
        else:
            say(f"{row['fringe']:>3}  {row['name']:<28} {row['recovered']:>11.4f}")

    def amount(value):
        return f"{value:.4f}" if value == 0.0 or abs(value) >= 1e-3 else f"{value:.2e}"

    for key in ("surface", "residual"):
        say(f"{key:<9} PV {amount(report[key]['pv'])} {unit}, RMS {amount(report[key]['rms'])} {unit}")


def _draw_figure(path, images, report):
    """write_figure, or a one-line notice why there is no figure: the figure is a view of the results,
    which must not be lost to matplotlib refusing values near the float range (a huge --wavelength)."""
    try:
        with np.errstate(over="ignore", invalid="ignore"):  # NumPy's notices on the way to matplotlib's refusal
            return write_figure(path, images, report, _replacing)
    except (ValueError, OverflowError) as error:
        return f"figure.png skipped: matplotlib cannot draw these values ({error})"


def _finish(args, report, images, previous):
    for warning in report.get("warnings", []):
        _log(f"zelnor: warning: {warning}")
    figure = os.path.join(args.out, "figure.png")
    drawn = False
    if not args.no_figure:
        note = _draw_figure(figure, images, report)
        if note:
            _log(note)
        else:
            drawn = True
            report["files"].insert(-1, "figure.png")
    if not drawn and "figure.png" in _listed(previous):  # an earlier run's figure, of another surface
        with contextlib.suppress(FileNotFoundError):
            os.unlink(figure)
    _write_json(os.path.join(args.out, "report.json"), report)
    stdout = _stdout()
    if getattr(args, "json", False):
        print(json_text(report), file=stdout)
        _log(f"wrote {report['out']}")
    else:
        _print_report(report, stdout)
        print(f"wrote {report['out']}", file=stdout)


# Unwrapped steps between neighbours this close to half a wave mark fringes at the sampling limit.
NEAR_SAMPLING_LIMIT = 0.45


def _check_continuity(waves, mask, warnings):
    """Counts the unwrapped wavefront's jumps of half a wave or more inside the pupil, with a warning; and
    warns of steps close to half a wave, where fringes beyond the sampling limit alias without a jump."""
    jumps, largest = road.step_summary(waves, mask)
    if jumps:
        warnings.append(f"the unwrapped wavefront jumps by half a wave or more between {jumps} pairs of "
                        "neighbouring pupil pixels (undersampled fringes, noise or a defect): the surface is "
                        "not to be trusted there")
    if largest > NEAR_SAMPLING_LIMIT:
        warnings.append(f"the unwrapped wavefront changes by up to {largest:.2f} waves between neighbouring "
                        "pupil pixels: phase noise, or fringes at the sampling limit (two pixels a fringe), beyond "
                        "which they alias into a smooth but wrong surface; check the wrapped phase, and open dense "
                        "fringes up (less tilt or defocus)")
    return jumps


def _check_modulation(frames, wrapped, mask, pixels, passes, warnings, pupil):
    """Refuses frames with fringes at fewer pupil pixels than the fit needs, and warns of pupil pixels
    with little or none: their phase is noise, or undefined; reads the phase step and the misfit of the frames
    to one fringe pattern off the frames, with warnings. Returns (the phase step report, the misfit)."""
    flat = road.unmodulated(frames, wrapped, mask)
    if pixels - flat < road.FIT_TERMS:
        raise road.RoadError(f"the frames show no fringe modulation at {flat} of the {pixels} pupil pixels (every "
                             "frame reads the same there: no light, saturation or a stuck phase shifter)")
    weak = road.weakly_modulated(frames, mask)
    if weak:
        warnings.append(f"{weak} of the {pixels} pupil pixels have little or no fringe modulation (under a tenth of "
                        "the pupil's typical modulation: dust, no light or saturation): their phase is noise, or "
                        "undefined; " + ("a higher threshold" if pupil[0] == "threshold" else
                                         "a threshold pupil (--pupil threshold:COUNTS)") + " leaves them out")
    _check_quantisation(frames, mask, passes, warnings)
    saturated = road.clipped(frames, mask)
    if saturated:
        share, top = saturated
        warnings.append(f"{100 * share:.2g} % of the pupil's samples sit at the frames' largest value, {top} counts, "
                        "many more than just below it: fringes clipped at the camera's full scale (saturation), or "
                        "pixels stuck there, which the formulas turn into an error along the fringes that no other "
                        "check names; lower the exposure")
    step = road.phase_step(frames, mask)
    shifts = road.frame_shifts(frames, mask, step)
    # (clipped fringes bias each half's step by its own fringes: the clipping is the fault to name)
    edges = None if saturated else road.edge_steps(frames, mask, step)
    rim = None if saturated else road.edge_shifts(frames, mask, step)
    misfit = road.frame_misfit(frames, mask, step)
    if misfit is not None and misfit > road.MISFIT_LIMIT:
        warnings.append(f"the frames depart from one phase-shifted fringe pattern by {misfit:.2f} of the fringe "
                        "modulation (sound frames stay under about 0.25): a file that is not a frame of this "
                        "measurement (a dark or background image among the frames), frames out of order, a phase "
                        "shifter that missed a step, or saturation; the surface is not to be trusted")
    return _check_phase_step(len(frames), step, shifts, passes, warnings, edges, rim), misfit


# Surface noise, in waves RMS, that the rounding of the frames to whole counts alone may put on each pixel
# before the command says so: a hundredth of a wave, reached at a typical modulation of about 3 counts.
QUANTISATION_LIMIT = 0.01


def _check_quantisation(frames, mask, passes, warnings):
    """Warns of fringes a few counts deep, which rounding to whole counts alone makes noisy: the relative
    checks above cannot see it, as every pixel is as weak as the rest."""
    typical = road.typical_modulation(frames, mask)
    if typical <= 0.0:
        return
    # A camera of fewer bits whose samples are shifted to the top of 16 (steps of 16 for 12 bits) rounds to its
    # own steps: the noise is as many times larger.
    step = road.count_step(frames, mask)
    noise = road.NOISE_GAIN[len(frames)] * step / math.sqrt(12.0) / typical / road.TWO_PI / passes
    if noise > QUANTISATION_LIMIT:
        depth = f"{typical:.2g} counts" if step == 1 else \
            f"{typical:.2g} counts, {typical / step:.2g} of the steps of {step} counts its samples come in"
        warnings.append(f"the fringes' typical modulation is only {depth}: rounding the frames to "
                        f"{'whole counts' if step == 1 else 'those steps'} alone puts about {noise:.2g} waves RMS of "
                        "noise on each pixel of the surface (more light, a longer exposure or a deeper bit depth)")


# A uniform step that leaves a frame's shift further than this (radians) from the one read off the frames
# frame by frame does not describe them.
SHIFTS_AGREE = math.radians(10.0)
# A frame whose shift changes by less than this (radians) from the pupil's middle to its rim is not called
# tilted: the halves' readings carry a degree or two of noise.
RIM_TILT = math.radians(5.0)
# Frames whose error at the rim passes this many times the edge steps' are named as tilting at random.
ROCKING_MARGIN = 1.5


def _check_phase_step(count, step, shifts, passes, warnings, edges=None, rim=None):
    """The phase step and each frame's phase shift as the frames show them, against those their formula
    assumes, for report.json; warns when they part by enough to ripple the surface, or when no single step
    explains the frames. `edges` are the steps at the pupil's edge for a step that changes across it, `rim` each
    frame's shifts around its rim for a wavefront that tilts from frame to frame."""
    nominal = road.PHASE_STEPS[count]
    report = {"nominal_degrees": math.degrees(nominal), "degrees": None, "ripple_waves": None,
              "shifts_degrees": None, "shifts_ripple_waves": None, "edge_degrees": None, "edge_ripple_waves": None,
              "rim_tilt_degrees": None, "rim_noise_degrees": None, "rim_ripple_waves": None}
    rim_ripple = tilt = 0.0
    if rim is not None:
        rim, noise = rim
        rim_ripple = max(road.shift_ripple(shifts_there) for shifts_there in rim) / road.TWO_PI
        tilt = float(np.max(np.ptp(rim, axis=0))) / 2  # the most a frame's shift changes from middle to rim
        report.update(rim_tilt_degrees=math.degrees(tilt), rim_noise_degrees=math.degrees(noise),
                      rim_ripple_waves=rim_ripple / passes)
        tilt = tilt if tilt > noise else 0.0  # a tilt noise could make is not read as one
    edge_ripple = 0.0
    if edges is not None:
        edge_ripple = max(road.step_ripple(count, edge) for edge in edges) / road.TWO_PI
        report.update(edge_degrees=[math.degrees(edge) for edge in edges], edge_ripple_waves=edge_ripple / passes)
    # A reference that tilts as it moves tilts the frames in step with their shifts, which the edge steps read
    # in full; random tilts they read in part only: there the rim's larger error names the cause.
    rocking = rim_ripple > road.STEP_RIPPLE_LIMIT and tilt > RIM_TILT and rim_ripple > ROCKING_MARGIN * edge_ripple
    shifts_ripple = 0.0
    if shifts is not None:
        shifts_ripple = road.shift_ripple(shifts) / road.TWO_PI
        report.update(shifts_degrees=[math.degrees(shift) for shift in shifts],
                      shifts_ripple_waves=shifts_ripple / passes)
    ripple = 0.0
    measured = step is not None and not math.isnan(step)  # None: undetermined; nan: no step explains them
    if measured:
        ripple = road.step_ripple(count, step) / road.TWO_PI
        report.update(degrees=math.degrees(step), ripple_waves=ripple / passes)
    uniform = shifts is None or (measured and
                                 float(np.max(np.abs(shifts - np.arange(count) * step))) <= SHIFTS_AGREE)
    if ripple > road.STEP_RIPPLE_LIMIT and uniform:
        warnings.append(f"the frames were taken {math.degrees(step):.1f}° apart, where the {count}-frame formula "
                        f"assumes {math.degrees(nominal):.0f}° (a miscalibrated phase shifter, or frames out of "
                        f"order): the surface carries a ripple along the fringes of up to {ripple / passes:.3f} waves "
                        "PV; calibrate the phase step" + ("" if count == 5 else ", or take 5 frames, whose formula "
                                                          "tolerates a step error best (but not a nonlinear camera)"))
    elif shifts_ripple > road.STEP_RIPPLE_LIMIT:
        read = ", ".join(f"{math.degrees(shift):.0f}°" for shift in shifts)
        assumed = ", ".join(f"{math.degrees(k * nominal):.0f}°" for k in range(count))
        warnings.append(f"the frames' phase shifts from the first read {read}, where the {count}-frame formula "
                        f"assumes {assumed} (a phase shifter that missed or slipped a step, frames out of order, or "
                        f"vibration): the surface carries an error along the fringes of up to "
                        f"{shifts_ripple / passes:.3f} waves PV; check the phase shifter and the frames, and steady "
                        "the set-up")
    elif step is not None and not measured:
        warnings.append("no single phase step explains the frames (the differences of frames taken before and "
                        "after the middle one disagree): check that they are in phase-step order and all of this "
                        "measurement; the surface is not to be trusted")
    elif edge_ripple > road.STEP_RIPPLE_LIMIT and not rocking:
        low, high = (math.degrees(edge) for edge in edges)
        warnings.append(f"the phase step changes across the pupil, from about {low:.0f}° to {high:.0f}° at its edge, "
                        f"where the {count}-frame formula assumes {math.degrees(nominal):.0f}° (a reference mirror "
                        "that tilts as the phase shifter moves it): the surface carries a ripple along the fringes "
                        f"of up to {edge_ripple / passes:.3f} waves PV there; align the phase shifter"
                        + ("" if count == 5 else ", or take 5 frames, whose formula tolerates a step error best"))
    elif rim_ripple > road.STEP_RIPPLE_LIMIT and tilt > RIM_TILT:
        warnings.append(f"the frames' phase shifts change across the pupil, by up to {math.degrees(tilt):.0f}° from "
                        "its middle to its rim (a wavefront that tilts from frame to frame: vibration that rocks the "
                        "part or the reference, air currents, or a beam that wanders), which their shifts over the "
                        "whole pupil average "
                        f"away: the surface carries an error along the fringes of up to {rim_ripple / passes:.3f} "
                        "waves PV at the rim; steady the set-up and measure again")
    return report


def _finite_or_none(value):
    """A number for report.json, which (being JSON) has no infinity."""
    return value if math.isfinite(value) else None


def _check_conditioning(condition, warnings):
    """Warns when the fit's condition number on this pupil leaves its coefficients not to be trusted."""
    if condition > road.FIT_CONDITION_LIMIT:
        warnings.append(f"the pupil determines the {road.FIT_TERMS} Fringe terms of the image's unit circle poorly "
                        f"(fit condition number {condition:.1e}, above {road.FIT_CONDITION_LIMIT:.0e}: a pupil "
                        "small, thin or partial in the image): the recovered coefficients are not to be trusted")


def _check_aspect(height, width, warnings):
    """Warns that on frames that are not square the terms' unit circle is an ellipse in pixels."""
    if height != width:
        warnings.append(f"the frames are {width}x{height}, not square: the unit circle of the Zernike terms is the "
                        "ellipse inscribed in the image (x scaled to its width, y to its height), so a round surface "
                        "shows astigmatism among the coefficients and defocus removal takes out an elliptical "
                        "paraboloid; crop the frames square about the beam for round terms")


def _undersampled(wavefront, mask):
    """Largest wavefront step, in waves, between neighbouring pupil pixels."""
    largest = 0.0
    for axis in (0, 1):
        steps = np.abs(np.diff(wavefront, axis=axis))
        both = mask[1:, :] & mask[:-1, :] if axis == 0 else mask[:, 1:] & mask[:, :-1]
        if both.any():
            largest = max(largest, float(steps[both].max()))
    return largest


def _earlier_frames(previous):
    """The frames an earlier simulation (finished or cut short) wrote into the folder, as its report lists them."""
    if previous is None or previous.get("command") != "simulate":
        return set()
    return {name for name in _listed(previous) if re.fullmatch(r"frame_\d+\.pgm", name)}


def _check_simulation_folder(args):
    """Refuses, before anything is written, an output folder holding image files that `zelnor measure OUT`
    would take for frames of this simulation: neither frames this run writes, nor frames an earlier
    simulation of ours wrote (which go), nor our maps; and a mask file in it. Returns the earlier frames."""
    if not os.path.isdir(args.out):
        return set()
    if args.pupil[0] == "mask" and os.path.dirname(os.path.realpath(args.pupil[1])) == os.path.realpath(args.out):
        # Measuring OUT would take it for a frame, and a mask named like an output would be overwritten.
        raise road.RoadError(f"{args.pupil[1]}: the mask lies in the output folder {args.out}; keep it elsewhere")
    earlier = _earlier_frames(frame_files.own_report(args.out))
    ours = earlier | frame_files.OWN_OUTPUTS | {f"frame_{k}.pgm" for k in range(args.frames)}
    foreign = [path for path in frame_files.image_files(args.out) if os.path.basename(path) not in ours]
    if foreign:
        more = f" and {len(foreign) - 1} more" if len(foreign) > 1 else ""
        raise road.RoadError(f"{args.out}: holds {os.path.basename(foreign[0])}{more}, which `zelnor measure "
                             f"{args.out}` would take for frames of this simulation; remove them, or simulate "
                             "into another folder")
    return earlier


def _remove_stale_frames(out, previous, written):
    """Frames an earlier simulation wrote into `out` beyond this one's (7 then 5): measuring `out` would
    take them for this set's. Only the frames that run's own report lists go."""
    for name in sorted(_earlier_frames(previous) - set(written)):
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(out, name))


def simulate(args):
    earlier = _check_simulation_folder(args)
    if args.seed is not None:
        ctypes.CDLL(None).srand(args.seed)
    if args.pupil[0] == "mask":
        # A mask file sets the image size.
        height, width = np.shape(frame_files.read_images(args.pupil[1], allow_colour=True)[0])[:2]
    else:
        height = width = args.size
    _check_memory(height * width, f"a {width}x{height} simulation")
    region = _make_pupil(args.pupil if args.pupil[0] != "threshold" else ("disc", None), height, width)
    passes = 2.0 if args.double_pass else 1.0
    truth = road.synthesize_surface(args.coefficients, region)
    wavefront = truth * passes
    warnings = []
    step = _undersampled(wavefront, region)
    if step >= 0.5:
        warnings.append(f"the wavefront changes by up to {step:.2f} waves between neighbouring pixels; above 0.5 "
                        "the fringes are undersampled and the recovered surface is wrong (use a larger --size "
                        "or smaller coefficients)")
    frames = road.make_frames(wavefront, region, args.frames, peak=args.peak, noise=args.noise)
    del wavefront
    mask, pixels = _check_pupil(_make_pupil(args.pupil, height, width, frames), args.pupil, warnings)
    wrapped = road.retrieve_phase(frames)
    step, misfit = _check_modulation(frames, wrapped, mask, pixels, passes, warnings, args.pupil)
    _check_aspect(height, width, warnings)
    surface = road.unwrap_waves(mask, wrapped, args.unwrapper)
    jumps = _check_continuity(surface, mask, warnings)
    if args.double_pass:
        surface *= 0.5
    coefficients, condition = road.fit_zernike_and_condition(surface, mask)
    _check_conditioning(condition, warnings)
    # The unwrapped map's piston is arbitrary: compare without it.
    residual = np.where(mask, surface - coefficients[0] - (truth - args.coefficients.get(1, 0.0)), 0.0)
    truth[~mask] = 0.0  # as every map, 0.0 outside the measured pupil (a mask's specks, cut away, too)
    # The frames this run writes count as ours once it starts, except a file of that name it finds there
    # unlisted (a user's, which only a finished run replaces).
    writing = [f"frame_{k}.pgm" for k in range(args.frames)]
    previous = _output_folder(args.out, "simulate", [name for name in writing if name in earlier
                                                     or not os.path.lexists(os.path.join(args.out, name))])
    files = []
    # One maxval for the whole set: readers that scale samples by maxval (Pillow, Netpbm's tools) would
    # otherwise put each frame on a scale of its own and distort the phase.
    maxval = max([args.peak] + [int(frame.max()) for frame in frames])
    for k, frame in enumerate(frames):
        name = f"frame_{k}.pgm"
        _save_frame(os.path.join(args.out, name), frame, maxval)
        files.append(name)
    _remove_stale_frames(args.out, previous, files)
    pv, rms = road.pv_rms(residual, mask)
    spv, srms = road.pv_rms(truth, mask)
    report = {
        "command": "simulate", "zelnor_version": zelnor.__version__, "shape": [height, width],
        "pupil": _pupil_text(args.pupil), "pupil_pixels": pixels, "discontinuities": jumps,
        "frames": args.frames,
        "unwrapper": args.unwrapper, "fit_condition": _finite_or_none(condition), "phase_step": step,
        "frame_misfit": misfit,
        "noise_counts": args.noise, "peak": args.peak, "seed": args.seed,
        "double_pass": args.double_pass,
        "units": "waves", "conventions": _conventions("waves", args.double_pass),
        "coefficients": _coefficient_rows(coefficients, args.coefficients, 1.0),
        "surface": {"pv": spv, "rms": srms}, "residual": {"pv": pv, "rms": rms},
        "warnings": warnings, "out": args.out,
    }
    images = {"frames": frames, "wrapped": wrapped, "surface": surface, "residual": residual, "mask": mask}
    files += _save_maps(args.out, mask, wrapped,
                        (("true_surface", truth), ("surface", surface), ("residual", residual)))
    report["files"] = files + ["report.json"]
    _finish(args, report, images, previous)
    return 0


def measure(args):
    """The measure road on an argparse namespace holding `frames` (paths, folders or globs), `out`
    and the options of add_measure_options."""
    if getattr(args, "seed", None) is not None:
        ctypes.CDLL(None).srand(ctypes.c_uint(args.seed))
    frames, sources = frame_files.load_frames(args.frames, [args.pupil[1]] if args.pupil[0] == "mask" else [])
    height, width = frames[0].shape
    _check_memory(height * width, f"{width}x{height} frames")
    warnings = []
    mask, pixels = _check_pupil(_make_pupil(args.pupil, height, width, frames), args.pupil, warnings)
    removed = sorted(i for name in args.remove for i in road.REMOVABLE[name])
    wrapped = road.retrieve_phase(frames)
    step, misfit = _check_modulation(frames, wrapped, mask, pixels, 2.0 if args.double_pass else 1.0, warnings,
                                     args.pupil)
    _check_aspect(height, width, warnings)
    previous = _output_folder(args.out, "measure")
    # Unwrapping reads only pupil pixels: the wrapped phase, 0.0 outside the pupil, is written
    # meanwhile (the kernels let other threads run).
    np.copyto(wrapped, 0.0, where=~mask)
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as writer:
        wrapped_files = writer.submit(_save_wrapped, args.out, wrapped)
        surface = road.unwrap_waves(mask, wrapped, args.unwrapper)
        jumps = _check_continuity(surface, mask, warnings)
        if args.double_pass:
            surface *= 0.5
        coefficients, condition = road.fit_zernike_and_condition(surface, mask)
        _check_conditioning(condition, warnings)
        unit_scale, unit = (args.wavelength, "nm") if args.wavelength else (1.0, "waves")

        def scaled_map(indices, fitted):
            # The two maps are made side by side from the one surface, which neither changes.
            if not indices and unit_scale == 1.0:
                return surface, road.pv_rms(surface, mask)
            if fitted is None:
                # Piston, tilt and defocus come out as the best-fit plane (and paraboloid) over the pupil:
                # the 29 terms' own refer to the image's circle, which the pupil need not fill.
                fitted = road.fit_removable(surface, mask, indices)
            result = road.remove_terms(surface, mask, fitted, indices)
            # A wavelength that carries the map past the float range gives infinities, reported as null.
            with np.errstate(over="ignore", invalid="ignore"):
                if unit_scale != 1.0:
                    result *= unit_scale
                return result, road.pv_rms(result, mask)

        (fit, (fpv, frms)), (surface, (pv, rms)) = road.side_by_side(
            lambda: scaled_map(list(range(road.FIT_TERMS)), coefficients), lambda: scaled_map(removed, None))
        files = wrapped_files.result()
    report = {
        "command": "measure", "zelnor_version": zelnor.__version__, "shape": [height, width],
        "pupil": _pupil_text(args.pupil), "pupil_pixels": pixels, "discontinuities": jumps,
        "frames": len(frames),
        "unwrapper": args.unwrapper, "fit_condition": _finite_or_none(condition), "phase_step": step,
        "frame_misfit": misfit,
        "inputs": sources, "seed": getattr(args, "seed", None),
        "removed_terms": list(args.remove),
        "double_pass": args.double_pass, "units": unit,
        "conventions": _conventions(unit, args.double_pass, args.wavelength),
        "coefficients": _coefficient_rows(coefficients, None, unit_scale),
        "surface": {"pv": pv, "rms": rms}, "residual": {"pv": fpv, "rms": frms}, "warnings": warnings,
        "out": args.out,
    }
    images = {"frames": frames, "wrapped": wrapped, "surface": surface, "residual": fit, "mask": mask}
    files += _save_maps(args.out, mask, None, (("surface", surface), ("residual", fit)))
    report["files"] = files + ["report.json"]
    _finish(args, report, images, previous)
    args.report = report  # for callers that run the road on a namespace of their own
    return 0


def _small_pages():
    """The road makes a few large arrays once and is done with them. Where the kernel compacts memory
    on the spot to serve NumPy's transparent huge pages, first use of each costs more time than huge pages
    ever save here, so the command asks NumPy for plain pages (the setting is the process's own)."""
    multiarray = getattr(getattr(np, "_core", None), "multiarray", None) or getattr(np.core, "multiarray", None)
    setter = getattr(multiarray, "_set_madvise_hugepage", None)
    if setter is not None:
        setter(False)


# glibc's mallopt parameters, and what the command sets them to.
_M_TRIM_THRESHOLD, _M_MMAP_THRESHOLD = -1, -3
# The largest threshold glibc accepts on 64-bit systems: blocks up to it come from the heap.
REUSED_BLOCK_BYTES = 32 * 2**20
KEPT_FREE_BYTES = 2**30
# The same, for processes started later (glibc reads them as it starts).
REUSE_ENVIRONMENT = {"MALLOC_MMAP_THRESHOLD_": str(REUSED_BLOCK_BYTES), "MALLOC_TRIM_THRESHOLD_": str(KEPT_FREE_BYTES)}


def _reuse_freed_memory():
    """The road frees image-sized arrays and makes new ones at once. By default glibc maps each
    block of a few MB afresh and unmaps it when freed, and every page of the next one is faulted
    in again: at 2048 x 2048 that was a fifth of the command's time. Kept on the heap, freed
    blocks serve the next arrays. The setting is the process's own; not on other C libraries."""
    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (AttributeError, OSError):
        return
    mallopt(_M_MMAP_THRESHOLD, REUSED_BLOCK_BYTES)
    mallopt(_M_TRIM_THRESHOLD, KEPT_FREE_BYTES)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the `zelnor` command on `argv` (default: the process's arguments); returns its exit code."""
    _small_pages()
    _reuse_freed_memory()
    try:
        args = _parser().parse_args(argv)
        if args.command == "batch":
            from . import batch
            return batch.run(args)
        return simulate(args) if args.command == "simulate" else measure(args)
    except road.RoadError as error:
        message = str(error)
    except MemoryError:
        message = "out of memory: use smaller images"
    except np.linalg.LinAlgError as error:
        message = f"the Zernike fit failed on this pupil ({error})"
    except BrokenPipeError:  # the reader of our output went away (| head): nothing left to say
        stdout_gone()
        return 0
    except KeyboardInterrupt:
        print("zelnor: interrupted", file=sys.stderr)
        return 130
    except OSError as error:
        message = f"{error.filename}: {error.strerror}" if error.filename and error.strerror else str(error)
    print(f"zelnor: error: {message}", file=sys.stderr)
    return 2
