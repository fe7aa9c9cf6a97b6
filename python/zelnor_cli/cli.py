"""Command line: `zelnor simulate`, `zelnor measure FRAME.pgm ...` and `zelnor batch DIR ...`."""
import argparse
import contextlib
import ctypes
import json
import os
import sys

import numpy as np

import zelnor

from . import road
from .figure import write_figure

DEFAULT_COEFFICIENTS = "4:1.5,5:0.8,6:-0.4,7:0.6,8:-0.3,9:0.5"


class _Parser(argparse.ArgumentParser):
    def error(self, message):  # one line and exit 2, no usage dump
        raise road.RoadError(message)


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
        coefficients[index] = value
    return coefficients


def _positive_int(text):
    value = int(text)
    if value < 8:
        raise argparse.ArgumentTypeError(f"must be at least 8, got {value}")
    return value


def _seed(text):
    value = int(text)
    if not 0 <= value <= 0xFFFFFFFF:
        raise argparse.ArgumentTypeError(f"must be in 0..4294967295, got {value}")
    return value


def _workers(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _parser():
    parser = _Parser(prog="zelnor", description="Simulate and measure optical surfaces with phase-shifting interferometry.")
    sub = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    common = _Parser(add_help=False)
    common.add_argument("--unwrapper", choices=["unwrap", "fast"], default="unwrap",
                        help="reliability-sorted `unwrap` (default) or the flood-fill `fast_unwrap`")
    common.add_argument("--out", default="zelnor-out", help="output folder (default: zelnor-out)")
    common.add_argument("--no-figure", action="store_true", help="do not write figure.png")

    sim = sub.add_parser("simulate", parents=[common], help="simulate a measurement and recover its coefficients")
    sim.add_argument("--size", type=_positive_int, default=512, help="image width and height in pixels (default 512)")
    sim.add_argument("--frames", type=int, choices=[4, 5, 7], default=4, help="number of phase-shifted frames")
    sim.add_argument("--coefficients", type=_coefficients, default=_coefficients(DEFAULT_COEFFICIENTS),
                     help=f"Fringe coefficients in waves, FRINGE:WAVES,... (default {DEFAULT_COEFFICIENTS})")
    sim.add_argument("--noise", type=float, default=0.0, help="uniform frame noise, peak to peak, in counts")
    sim.add_argument("--peak", type=int, default=65535, help="frame intensity at a fringe maximum (default 65535)")
    sim.add_argument("--seed", type=int, help="seed of the C library generator used for the noise")

    meas = sub.add_parser("measure", parents=[common], help="measure a surface from phase-shifted PGM frames")
    meas.add_argument("frames", nargs="+", metavar="FRAME.pgm", help="4, 5 or 7 frames in phase-step order")
    _add_measure_options(meas)
    meas.add_argument("--seed", type=_seed, help="seed the C library generator (used by --unwrapper unwrap) first")

    batch = sub.add_parser("batch", parents=[common], help="measure every folder of frames, in parallel on Dask")
    batch.add_argument("folders", nargs="+", metavar="DIR", help="folders, each holding one measurement's frames")
    batch.add_argument("--workers", type=_workers, help="worker processes of the local cluster (default: core count)")
    batch.add_argument("--scheduler", metavar="ADDRESS", help="run on an existing Dask cluster, e.g. tcp://HOST:8786")
    _add_measure_options(batch)
    return parser


def _add_measure_options(parser):
    parser.add_argument("--pupil", default="disc",
                        help="'disc' (inscribed disc, default) or 'threshold:COUNTS' (fringe modulation >= COUNTS)")
    parser.add_argument("--wavelength", type=float, default=None,
                        help="wavelength in nm: report in nm instead of waves")
    parser.add_argument("--remove", default="piston,tilt",
                        help="terms removed before PV and RMS: any of piston, tilt, defocus (default piston,tilt)")


@contextlib.contextmanager
def _quiet_c_streams():
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


def _load_frames(paths):
    frames = []
    for path in paths:
        if not os.path.isfile(path):
            raise road.RoadError(f"{path}: no such file")
        try:
            with _quiet_c_streams():
                frames.append(zelnor.load_pgm(path))
        except OSError:
            raise road.RoadError(f"{path}: not a readable binary PGM (P5) image")
    return frames


def _pupil(choice, frames):
    height, width = frames[0].shape
    if choice == "disc":
        return road.disc_pupil(height, width)
    kind, _, value = choice.partition(":")
    try:
        threshold = float(value)
    except ValueError:
        threshold = None
    if kind != "threshold" or threshold is None:
        raise road.RoadError(f"bad --pupil {choice!r}: expected 'disc' or 'threshold:COUNTS'")
    return zelnor.make_mask(road.modulation(frames), threshold)


def _removed(text):
    names = [name.strip() for name in text.split(",") if name.strip()]
    unknown = [name for name in names if name not in road.REMOVABLE]
    if unknown:
        raise road.RoadError(f"bad --remove {unknown[0]!r}: choose from piston, tilt, defocus")
    return names, sorted(i for name in names for i in road.REMOVABLE[name])


def _save_map(out, name, surface, mask):
    np.save(os.path.join(out, name + ".npy"), surface)
    peak = np.abs(surface[mask]).max() if mask.any() else 0.0
    zelnor.save_pgm(os.path.join(out, name + ".pgm"), surface, 1.0 / peak if peak > 0 else 1.0)


def _save_maps(out, mask, wrapped, maps):
    """The wrapped phase and each named map as PGM and .npy; returns the file names written."""
    zelnor.save_pgm(os.path.join(out, "wrapped_phase.pgm"), np.where(mask, wrapped, 0.0), 1.0 / np.pi)
    np.save(os.path.join(out, "wrapped_phase.npy"), wrapped)
    files = ["wrapped_phase.pgm", "wrapped_phase.npy"]
    for name, data in maps:
        _save_map(out, name, data, mask)
        files += [name + ".pgm", name + ".npy"]
    return files


def _coefficient_rows(recovered, truth, unit_scale):
    rows = []
    for index, (n, m, name) in enumerate(road.FRINGE_TERMS):
        row = {"fringe": index + 1, "n": n, "m": m, "name": name, "recovered": float(recovered[index]) * unit_scale}
        if truth is not None:
            row["true"] = float(truth.get(index + 1, 0.0)) * unit_scale
        rows.append(row)
    return rows


def _print_report(report):
    unit = report["units"]
    print(f"{report['command']}: {report['frames']} frames, {report['shape'][1]}x{report['shape'][0]} pixels, "
          f"{report['pupil_pixels']} in the pupil, unwrapper {report['unwrapper']}")
    has_truth = "true" in report["coefficients"][0]
    print(f"{'Z':>3}  {'term':<28} {'true':>10} {'recovered':>10}" if has_truth else f"{'Z':>3}  {'term':<28} {'coefficient':>11}")
    for row in report["coefficients"]:
        if has_truth:
            if row["true"] == 0.0 and abs(row["recovered"]) < 5e-4 and row["fringe"] > 9:
                continue
            print(f"{row['fringe']:>3}  {row['name']:<28} {row['true']:>10.4f} {row['recovered']:>10.4f}")
        else:
            print(f"{row['fringe']:>3}  {row['name']:<28} {row['recovered']:>11.4f}")
    def amount(value):
        return f"{value:.4f}" if value == 0.0 or abs(value) >= 1e-3 else f"{value:.2e}"

    for key in ("surface", "residual"):
        print(f"{key:<9} PV {amount(report[key]['pv'])} {unit}, RMS {amount(report[key]['rms'])} {unit}")
    print(f"wrote {report['out']}")


def _finish(args, report, images):
    with open(os.path.join(args.out, "report.json"), "w", encoding="utf-8") as handle:
        json.dump(report, handle, indent=2, ensure_ascii=False)
    if not args.no_figure:
        note = write_figure(os.path.join(args.out, "figure.png"), images, report)
        if note:
            print(note)
    _print_report(report)


def simulate(args):
    if args.seed is not None:
        ctypes.CDLL(None).srand(args.seed)
    size = args.size
    mask = road.disc_pupil(size, size)
    truth = road.synthesize_surface(args.coefficients, mask)
    frames = road.make_frames(truth, mask, args.frames, peak=args.peak, noise=args.noise)
    wrapped = road.retrieve_phase(frames)
    surface = road.unwrap_waves(mask, wrapped, args.unwrapper)
    coefficients = road.fit_zernike(surface, mask)
    # The unwrapped map's piston is arbitrary: compare without it.
    residual = np.where(mask, surface - coefficients[0] - (truth - args.coefficients.get(1, 0.0)), 0.0)
    os.makedirs(args.out, exist_ok=True)
    files = []
    for k, frame in enumerate(frames):
        name = f"frame_{k}.pgm"
        zelnor.save_pgm(os.path.join(args.out, name), frame)
        files.append(name)
    files += _save_maps(args.out, mask, wrapped,
                        (("true_surface", truth), ("surface", surface), ("residual", residual)))
    pv, rms = road.pv_rms(residual, mask)
    spv, srms = road.pv_rms(truth, mask)
    report = {
        "command": "simulate", "zelnor_version": zelnor.__version__, "shape": list(mask.shape),
        "pupil_pixels": int(mask.sum()), "frames": args.frames, "unwrapper": args.unwrapper,
        "noise_counts": args.noise, "peak": args.peak, "units": "waves",
        "coefficients": _coefficient_rows(coefficients, args.coefficients, 1.0),
        "surface": {"pv": spv, "rms": srms}, "residual": {"pv": pv, "rms": rms},
        "files": files + ["report.json"], "out": args.out,
    }
    _finish(args, report, {"frames": frames, "wrapped": wrapped, "surface": surface, "residual": residual, "mask": mask})
    return 0


def measure(args):
    if getattr(args, "seed", None) is not None:
        ctypes.CDLL(None).srand(ctypes.c_uint(args.seed))
    frames = _load_frames(args.frames)
    road.check_frames(frames)
    mask = _pupil(args.pupil, frames)
    names, removed = _removed(args.remove)
    wrapped = road.retrieve_phase(frames)
    surface = road.unwrap_waves(mask, wrapped, args.unwrapper)
    coefficients = road.fit_zernike(surface, mask)
    unit_scale, unit = (args.wavelength, "nm") if args.wavelength else (1.0, "waves")
    corrected = road.remove_terms(surface, mask, coefficients, removed) * unit_scale
    fit = road.remove_terms(surface, mask, coefficients, list(range(road.FIT_TERMS))) * unit_scale
    os.makedirs(args.out, exist_ok=True)
    files = _save_maps(args.out, mask, wrapped, (("surface", corrected), ("residual", fit)))
    pv, rms = road.pv_rms(corrected, mask)
    fpv, frms = road.pv_rms(fit, mask)
    report = {
        "command": "measure", "zelnor_version": zelnor.__version__, "shape": list(mask.shape),
        "pupil_pixels": int(mask.sum()), "frames": len(frames), "unwrapper": args.unwrapper,
        "inputs": list(args.frames), "pupil": args.pupil, "removed_terms": names, "units": unit,
        "coefficients": _coefficient_rows(coefficients, None, unit_scale),
        "surface": {"pv": pv, "rms": rms}, "residual": {"pv": fpv, "rms": frms},
        "files": files + ["report.json"], "out": args.out,
    }
    _finish(args, report, {"frames": frames, "wrapped": wrapped, "surface": corrected, "residual": fit, "mask": mask})
    args.report = report  # batch reads its summary row from here
    return 0


def main(argv=None):
    try:
        args = _parser().parse_args(argv)
        if args.command == "batch":
            from . import batch
            return batch.run(args)
        return simulate(args) if args.command == "simulate" else measure(args)
    except road.RoadError as error:
        print(f"zelnor: error: {error}", file=sys.stderr)
        return 2
    except OSError as error:
        print(f"zelnor: error: {error.strerror or error}: {error.filename or ''}".rstrip(": "), file=sys.stderr)
        return 2
