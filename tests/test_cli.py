"""The `zelnor` command: simulate, measure, their outputs and their error paths."""
import concurrent.futures
import json
import math
import os
import subprocess
import sys
import threading
import warnings

import numpy as np
import pytest

import zelnor
from zelnor_cli import road
from conftest import write_file
from zelnor_cli.cli import DEFAULT_COEFFICIENTS, _coefficients, main

TRUTH = _coefficients(DEFAULT_COEFFICIENTS)
# With noiseless 16-bit frames the whole road is accurate to far below a milliwave.
TOLERANCE_WAVES = 2e-3


def run(argv, capsys):
    status = main(argv)
    out, err = capsys.readouterr()
    return status, out, err


def recovered(report):
    return {row["fringe"]: row["recovered"] for row in report["coefficients"]}


def assert_recovers(report, truth):
    got = recovered(report)
    for fringe in range(2, road.FIT_TERMS + 1):
        assert got[fringe] == pytest.approx(truth.get(fringe, 0.0), abs=TOLERANCE_WAVES)


@pytest.mark.parametrize("frames", [4, 5, 7])
@pytest.mark.parametrize("unwrapper", ["unwrap", "fast"])
def test_simulate_defaults_recover_coefficients(frames, unwrapper, tmp_path, capsys):
    out = tmp_path / "sim"
    status, text, _ = run(["simulate", "--frames", str(frames), "--unwrapper", unwrapper,
                           "--out", str(out), "--no-figure"], capsys)
    assert status == 0
    report = json.loads((out / "report.json").read_text())
    assert report["shape"] == [512, 512]
    assert_recovers(report, TRUTH)
    assert report["residual"]["rms"] < TOLERANCE_WAVES
    assert "defocus" in text and "residual" in text


def test_simulate_then_measure_round_trip(tmp_path, capsys):
    sim = tmp_path / "sim"
    coefficients = "2:0.3,4:-1.0,5:0.5,8:0.25,9:-0.4"
    assert run(["simulate", "--size", "200", "--frames", "5", "--coefficients", coefficients,
                "--out", str(sim), "--no-figure"], capsys)[0] == 0
    frames = [str(sim / f"frame_{k}.pgm") for k in range(5)]
    meas = tmp_path / "meas"
    status, text, _ = run(["measure", *frames, "--remove", "piston", "--out", str(meas), "--no-figure"], capsys)
    assert status == 0
    report = json.loads((meas / "report.json").read_text())
    assert_recovers(report, _coefficients(coefficients))
    # The simulation's folder measures as its frames: its maps, and a figure, are not taken for frames;
    # nor are the maps a measurement wrote into its own frames' folder, when it is measured again.
    (sim / "figure.png").write_bytes(b"\x89PNG\r\n\x1a\n not decoded")
    for out in (tmp_path / "again", sim, sim):
        status, _, err = run(["measure", str(sim), "--remove", "piston", "--out", str(out), "--no-figure"], capsys)
        assert status == 0, err
        assert json.loads((out / "report.json").read_text())["coefficients"] == report["coefficients"]
    # A figure.png no report of ours lists is the user's: kept. One an earlier run drew showed another
    # surface: a run that draws none takes it away.
    assert (sim / "figure.png").exists()
    earlier = json.loads((sim / "report.json").read_text())
    (sim / "report.json").write_text(json.dumps(dict(earlier, files=earlier["files"] + ["figure.png"])))
    assert run(["measure", str(sim), "--out", str(sim), "--no-figure"], capsys)[0] == 0
    assert not (sim / "figure.png").exists()
    # A report.json that is not ours hides nothing.
    (sim / "report.json").write_text(json.dumps({"command": "other", "files": ["surface.npy", "figure.png"]}))
    status, _, err = run(["measure", str(sim), "--out", str(meas), "--no-figure"], capsys)
    assert status == 2 and "residual.npy" in err


def test_a_rerun_and_a_glob_take_only_the_frames_of_this_run(tmp_path, capsys):
    out = tmp_path / "sim"
    for frames, defocus in ((7, 1.0), (4, 1.2)):
        assert run(["simulate", "--size", "64", "--frames", str(frames), "--coefficients", f"4:{defocus}",
                    "--out", str(out), "--no-figure"], capsys)[0] == 0
    assert sorted(path.name for path in out.glob("frame_*")) == [f"frame_{k}.pgm" for k in range(4)]
    zelnor.save_pgm(str(out / "pupil.pgm"), zelnor.roundmask(0.8, 64, 64).astype(np.uint16))
    # A quoted glob, or the shell's expansion of it, also matches the maps and the mask: neither is a frame.
    for given in ([str(out / "*.pgm")], sorted(str(path) for path in out.glob("*.pgm"))):
        status, text, err = run(["measure", *given, "--pupil", f"mask:{out / 'pupil.pgm'}", "--json",
                                 "--out", str(tmp_path / "m"), "--no-figure"], capsys)
        assert status == 0, err
        report = json.loads(text)
        assert report["frames"] == 4 and not report["warnings"]
        assert recovered(report)[4] == pytest.approx(1.2, abs=TOLERANCE_WAVES)
    # A simulation's mask may not lie among its outputs: measuring the folder would take it for a frame.
    status, _, err = run(["simulate", "--pupil", f"mask:{out / 'pupil.pgm'}", "--out", str(out), "--no-figure"],
                         capsys)
    assert status == 2 and "the mask lies in the output folder" in err


def test_measure_units_threshold_pupil_and_removal(tmp_path, capsys):
    sim = tmp_path / "sim"
    run(["simulate", "--size", "96", "--coefficients", "3:0.2,4:0.5", "--out", str(sim), "--no-figure"], capsys)
    frames = [str(sim / f"frame_{k}.pgm") for k in range(4)]
    meas = tmp_path / "meas"
    status, _, _ = run(["measure", *frames, "--pupil", "threshold:1000", "--wavelength", "632.8",
                        "--remove", "piston,tilt,defocus,tilt", "--unwrapper", "fast", "--out", str(meas),
                        "--no-figure"], capsys)
    assert status == 0
    report = json.loads((meas / "report.json").read_text())
    assert report["units"] == "nm" and report["removed_terms"] == ["piston", "tilt", "defocus"]
    assert recovered(report)[4] == pytest.approx(0.5 * 632.8, abs=1.0)
    # piston, tilt and defocus removed: what is left of this surface is flat
    assert report["surface"]["rms"] < 1.0
    assert report["pupil_pixels"] == int(zelnor.roundmask(1.0, 96, 96).sum())


def test_report_schema_and_files(tmp_path, capsys):
    out = tmp_path / "sim"
    run(["simulate", "--size", "64", "--noise", "200", "--seed", "3", "--out", str(out), "--no-figure"], capsys)
    report = json.loads((out / "report.json").read_text())
    assert {"command", "zelnor_version", "shape", "pupil_pixels", "frames", "unwrapper", "units",
            "coefficients", "surface", "residual", "files"} <= set(report)
    assert len(report["coefficients"]) == road.FIT_TERMS
    assert set(report["coefficients"][3]) >= {"fringe", "n", "m", "name", "true", "recovered"}
    for name in report["files"]:
        assert (out / name).is_file(), name
    assert zelnor_load_quiet(out / "frame_0.pgm").shape == (64, 64)
    assert np.load(out / "surface.npy").dtype == np.float64


def zelnor_load_quiet(path):
    from zelnor_cli.cli import _quiet_c_streams

    with _quiet_c_streams():
        return zelnor.load_pgm(str(path))


@pytest.mark.skipif(bool(os.environ.get("ZELNOR_SANITIZE")),
                    reason="matplotlib's font extension aborts under the preloaded ASan runtime")
def test_figure_written_or_skipped(tmp_path, capsys, monkeypatch):
    """Written without touching the caller's matplotlib (a notebook's backend and pyplot figures
    stay as they were); skipped with a notice when matplotlib is missing."""
    matplotlib = pytest.importorskip("matplotlib")
    import matplotlib.pyplot as plt

    out = tmp_path / "fig"
    backend = matplotlib.get_backend()
    matplotlib.use("svg")
    try:
        plt.figure()
        assert run(["simulate", "--size", "48", "--out", str(out)], capsys)[0] == 0
        assert matplotlib.get_backend() == "svg" and len(plt.get_fignums()) == 1
    finally:
        plt.close("all")
        matplotlib.use(backend)
    assert (out / "figure.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert json.loads((out / "report.json").read_text())["files"][-2:] == ["figure.png", "report.json"]
    for name in [name for name in sys.modules if name.split(".")[0] == "matplotlib"]:
        monkeypatch.setitem(sys.modules, name, None)  # as if never installed, submodules too
    out2 = tmp_path / "nofig"
    status, _, err = run(["simulate", "--size", "48", "--out", str(out2)], capsys)
    assert status == 0 and not (out2 / "figure.png").exists()
    assert "figure.png" not in json.loads((out2 / "report.json").read_text())["files"]
    assert "matplotlib is not installed" in err


def figure_report(mask, unit, rows, pv=1.0):
    """The parts of a measurement's report that the figure shows."""
    return {"units": unit, "command": "measure", "frames": 4, "unwrapper": "unwrap", "pupil": "disc",
            "pupil_pixels": int(mask.sum()), "surface": {"pv": pv, "rms": 0.5},
            "residual": {"pv": 1e-3, "rms": 1e-4}, "coefficients": rows}


@pytest.mark.skipif(bool(os.environ.get("ZELNOR_SANITIZE")),
                    reason="matplotlib's font extension aborts under the preloaded ASan runtime")
@pytest.mark.parametrize("side, step", [(300, 1), (1100, 3)])
def test_figure_draws_large_images_decimated_on_the_full_colour_scale(side, step, tmp_path):
    """Panels get at most DISPLAY_PIXELS per side, and their colours span the whole image's extremes,
    here single pixels that decimation skips."""
    pytest.importorskip("matplotlib")
    from zelnor_cli import figure

    mask = road.disc_pupil(side, side)
    surface = np.where(mask, 0.25, 0.0)
    centre = side // 2 + 1  # off every third row and column
    surface[centre, centre] = 9.0
    surface[centre + 3, centre - 2] = -4.0
    frame = np.full((side, side), 100, np.uint16)
    frame[1, 1] = 60000
    report = figure_report(mask, "waves", [{"fringe": k, "recovered": 0.0} for k in range(1, 30)])
    images = {"frames": [frame], "wrapped": surface, "surface": surface, "residual": surface, "mask": mask}
    assert figure.write_figure(str(tmp_path / "figure.png"), images, report) is None
    images = figure._sheets.sheet.images
    drawn = [(image.get_array().shape, *image.get_clim()) for image in images]
    shown = -(-side // step)
    assert drawn[0] == ((shown, shown), 100.0, 60000.0)
    assert drawn[1:] == [((shown, shown), -4.0, 9.0)] * 3
    # Each panel shows its whole image, under its own title.
    assert {(image.axes.get_xlim(), image.axes.get_ylim()) for image in images} == \
        {((-0.5, shown - 0.5), (shown - 0.5, -0.5))}
    assert [image.axes.get_title() for image in images] == \
        ["frame 0", "wrapped phase [rad]", "surface [waves]", "residual [waves]"]
    assert (tmp_path / "figure.png").stat().st_size > 0


def figure_case(side, unit, true, scale):
    mask = road.disc_pupil(side, side)
    surface = road.synthesize_surface({4: 1.0, 7: -0.4}, mask) * scale
    frames = road.make_frames(surface, mask, 4)
    rows = [{"fringe": k, "recovered": scale * k / 10} for k in range(1, 30)]
    for row in rows if true else ():
        row["true"] = -row["recovered"]
    report = figure_report(mask, unit, rows, pv=2.0 * scale)
    residual = np.full(mask.shape, np.nan) if np.isnan(scale) else surface * 1e-3
    images = {"frames": frames, "wrapped": zelnor.phase(frames), "surface": surface, "residual": residual,
              "mask": mask}
    return images, report


@pytest.mark.skipif(bool(os.environ.get("ZELNOR_SANITIZE")),
                    reason="matplotlib's font extension aborts under the preloaded ASan runtime")
@pytest.mark.parametrize("name", [b"m\xff.npy", b"m$\\foo{$.npy"])
def test_figure_shows_any_mask_name(name, tmp_path, capsys):
    """The pupil line names the mask file as it is: bytes that are not UTF-8 and "$" reach the figure's
    text, not a traceback, a skipped figure or typeset mathematics."""
    pytest.importorskip("matplotlib")
    from zelnor_cli import figure

    path = os.fsdecode(bytes(tmp_path) + b"/" + name)
    np.save(path, zelnor.roundmask(0.8, 48, 48))
    status, _, err = run(["simulate", "--pupil", f"mask:{path}", "--coefficients", "4:0.5", "--json", "--out",
                          str(tmp_path / "o")], capsys)
    assert status == 0 and err.startswith("wrote ") and len(err.splitlines()) == 1, err  # no notice, no warning
    assert "figure.png" in json.loads((tmp_path / "o" / "report.json").read_text())["files"]
    shown = os.fsdecode(bytes(tmp_path)) + "/" + name.decode("utf-8", "backslashreplace")
    assert f"pupil mask:{shown}, " in figure._sheets.sheet.text.get_text()


@pytest.mark.skipif(bool(os.environ.get("ZELNOR_SANITIZE")),
                    reason="matplotlib's font extension aborts under the preloaded ASan runtime")
def test_figure_drawn_again_on_its_sheet_equals_a_fresh_one(tmp_path):
    """One thread keeps its figure's axes between measurements: each figure must come out pixel for
    pixel as it does on a new sheet, whatever the previous measurement left (units, true values,
    size, colour limits, nothing finite to show)."""
    pytest.importorskip("matplotlib")
    from PIL import Image

    from zelnor_cli import figure

    cases = [(96, "waves", True, 1.0), (160, "nm", False, -632.8), (1100, "waves", True, 3.0),
             (96, "nm", False, float("nan")), (96, "waves", True, 1.0)]

    def fresh(path, images, report):  # a thread of its own starts from a new sheet
        worker = threading.Thread(target=figure.write_figure, args=(path, images, report))
        worker.start()
        worker.join()

    for number, case in enumerate(cases):
        images, report = figure_case(*case)
        figure.write_figure(str(tmp_path / "reused.png"), images, report)
        fresh(str(tmp_path / "fresh.png"), images, report)
        reused, new = (np.asarray(Image.open(tmp_path / name)) for name in ("reused.png", "fresh.png"))
        assert np.array_equal(reused, new), (number, case)


@pytest.mark.parametrize(
    "case",
    ["missing", "sizes", "count", "garbage", "pupil", "remove", "option", "coefficient", "nan-coefficient",
     "negative-noise", "size-beyond-grid", "size-beyond-memory", "out-of-memory", "out-is-a-file",
     "coefficient-twice", "out-empty"],
)
def test_bad_input_exits_2_with_one_line(case, tmp_path, capfd, monkeypatch):
    frame = np.full((8, 8), 100, np.uint16)
    paths = []
    for k in range(4):
        path = str(tmp_path / f"f{k}.pgm")
        zelnor.save_pgm(path, frame if k or case != "sizes" else np.full((8, 9), 100, np.uint16))
        paths.append(path)
    argv = {
        "missing": ["measure", *paths[:3], str(tmp_path / "nope.pgm")],
        "sizes": ["measure", *paths],
        "count": ["measure", *paths[:3]],
        "garbage": ["measure", *paths[:3], write_file(tmp_path / "bad.pgm", b"P2\n3 2\n255\n123456")],
        "pupil": ["measure", *paths, "--pupil", "square"],
        "remove": ["measure", *paths, "--remove", "coma"],
        "option": ["simulate", "--frames", "6"],
        "coefficient": ["simulate", "--coefficients", "40:1"],
        "nan-coefficient": ["simulate", "--coefficients", "4:nan"],
        "negative-noise": ["simulate", "--noise", "-3"],
        "size-beyond-grid": ["simulate", "--size", "100000000"],
        "size-beyond-memory": ["simulate", "--size", "65535"],
        "out-of-memory": ["simulate", "--size", "64"],
        "out-is-a-file": ["simulate", "--size", "64", "--out", paths[0]],
        "coefficient-twice": ["simulate", "--size", "64", "--coefficients", "4:1,5:0.2,4:2"],
        "out-empty": ["simulate", "--size", "64", "--out", ""],
    }[case]
    if case == "out-of-memory":
        def no_memory(*args):
            raise MemoryError()
        monkeypatch.setattr(road, "unwrap_waves", no_memory)
    out = [] if "--out" in argv else ["--out", str(tmp_path / "o")]
    status, _, err = run(argv + out + ["--no-figure"], capfd)
    assert status == 2
    lines = [line for line in err.splitlines() if line.strip()]
    assert len(lines) == 1 and lines[0].startswith("zelnor: error:"), err
    assert {"coefficient-twice": "given twice", "out-empty": "name is empty"}.get(case, "") in err


def test_module_entry_point_runs(tmp_path):
    proc = subprocess.run([sys.executable, "-m", "zelnor_cli", "simulate", "--size", "32", "--out",
                           str(tmp_path), "--no-figure"], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert "residual" in proc.stdout
    # The version the report records, so that a printed version can be matched with stored reports.
    proc = subprocess.run([sys.executable, "-m", "zelnor_cli", "--version"], capture_output=True, text=True)
    recorded = json.loads((tmp_path / "report.json").read_text())["zelnor_version"]
    assert (proc.returncode, proc.stdout) == (0, f"zelnor {recorded}\n")


def test_stub_matches_module():
    pytest.importorskip("mypy")
    stubs = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python")
    # mypy runs in the stubs' folder: a relative PYTHONPATH must still find the module.
    search = os.environ.get("PYTHONPATH", "")
    env = dict(os.environ, MYPYPATH=stubs,
               PYTHONPATH=os.pathsep.join(os.path.abspath(part) for part in search.split(os.pathsep) if part))
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "zelnor"], capture_output=True, text=True,
                          env=env, cwd=stubs)
    assert proc.returncode == 0, proc.stdout + proc.stderr


# ---- options that must change the outcome, frames of every count and shape ----

def read_pgm_header_and_frame(path):
    """A P5 file as written by save_pgm, parsed here without the module: (header lines, image)."""
    data = path.read_bytes()
    magic, size, maxval, raster = data.split(b"\n", 3)
    width, height = map(int, size.split())
    dtype = np.dtype(">u2") if int(maxval) > 255 else np.dtype(np.uint8)
    return (size, maxval), np.frombuffer(raster, dtype).reshape(height, width).astype(np.int64)


def simulated_frames(tmp_path, name, *options):
    out = tmp_path / name
    assert main(["simulate", "--size", "48", "--out", str(out), "--no-figure", *options]) == 0
    return [read_pgm_header_and_frame(out / f"frame_{k}.pgm")[1] for k in range(4)]


def test_simulate_noise_and_seed_shape_the_frames(tmp_path, capsys):
    from conftest import LIBC

    clean = simulated_frames(tmp_path, "clean")
    noisy = simulated_frames(tmp_path, "noisy", "--noise", "300", "--seed", "5")
    [LIBC.rand() for _ in range(100)]  # the seed, not the generator's state, must fix the noise
    again = simulated_frames(tmp_path, "again", "--noise", "300", "--seed", "5")
    other = simulated_frames(tmp_path, "other", "--noise", "300", "--seed", "6")
    inside = zelnor.roundmask(1.0, 48, 48)
    for k in range(4):
        change = np.abs(noisy[k] - clean[k])[inside]
        # uniform noise 300 counts peak to peak, rounded to whole counts
        assert 120 < change.max() <= 151 and change.mean() > 40, k
        np.testing.assert_array_equal(again[k], noisy[k])
        assert np.count_nonzero(other[k] != noisy[k]) > inside.sum() // 2, k


@pytest.mark.parametrize("peak", [65535, 4000, 200])
def test_simulated_frames_share_one_scale(peak, tmp_path):
    """Readers that scale samples by maxval (Pillow) must see one scale for the whole set: a weak
    surface leaves each frame below the peak by a different amount."""
    from PIL import Image

    out = tmp_path / "sim"
    assert main(["simulate", "--size", "48", "--coefficients", "4:0.1", "--peak", str(peak), "--out", str(out),
                 "--no-figure"]) == 0
    assert json.loads((out / "report.json").read_text())["seed"] is None
    for k in range(4):
        (_, maxval), raw = read_pgm_header_and_frame(out / f"frame_{k}.pgm")
        assert int(maxval) == peak and raw.max() < peak, k
        np.testing.assert_array_equal(raw, zelnor_load_quiet(out / f"frame_{k}.pgm"))
        with Image.open(out / f"frame_{k}.pgm") as image:  # scaled to its full range, one factor for all
            full = 255 if peak <= 255 else 65535
            np.testing.assert_allclose(np.asarray(image), raw * (full / peak), atol=1.0)


@pytest.mark.parametrize("peak, frames, warned", [(6, 4, True), (16, 4, False), (12, 7, False), (4, 7, True)])
def test_fringes_a_few_counts_deep_are_warned_of(peak, frames, warned, tmp_path, capsys):
    """Every pixel is as weak as the rest, so only the counts themselves tell that rounding sets the noise."""
    status, text, _ = run(["simulate", "--size", "96", "--peak", str(peak), "--frames", str(frames), "--json",
                           "--out", str(tmp_path / "o"), "--no-figure"], capsys)
    report = json.loads(text)
    found = [warning for warning in report["warnings"] if "rounding the frames to whole counts" in warning]
    assert status == 0 and bool(found) == warned
    if found:  # its figure is the noise the residual shows, give or take the model's simplicity
        noise = float(found[0].split("about ")[1].split(" waves")[0])
        assert noise / 2 < report["residual"]["rms"] < noise * 2


# A camera's counts brought to 16 bits: (conversion, the step its samples then come in).
TO_16_BITS = {"12-bit shifted": (lambda v: v << 4, 16), "8-bit shifted": (lambda v: v << 8, 256),
              "12-bit rescaled": (lambda v: np.rint((v + 1000) * (65535 / 4095)), 16),
              "12-bit replicated": (lambda v: ((v + 1000) << 4) | ((v + 1000) >> 8), 16),
              "12-bit shifted, black taken off": (lambda v: ((v + 1000) << 4) - 100, 16)}


@pytest.mark.parametrize("peak, warned", [(6, True), (16, False)])
@pytest.mark.parametrize("conversion", TO_16_BITS)
def test_fewer_bits_at_the_top_of_16_are_gauged_in_their_own_steps(peak, warned, conversion, tmp_path, capsys):
    """A camera of 12 or 8 bits whose samples are brought to 16 bits rounds to steps of 16 or 256 counts: as
    noisy as its own counts, whatever the container and however they were brought there."""
    convert, step = TO_16_BITS[conversion]
    assert run(["simulate", "--size", "96", "--peak", str(peak), "--out", str(tmp_path / "o"), "--no-figure"],
               capsys)[0] == 0
    paths = []
    for k in range(4):
        paths.append(str(tmp_path / f"f{k}.pgm"))
        own = zelnor_load_quiet(tmp_path / "o" / f"frame_{k}.pgm").astype(np.int64)
        zelnor.save_pgm(paths[-1], convert(own).astype(np.uint16))
    reports = [json.loads(run(["measure", *given, "--json", "--out", str(tmp_path / out), "--no-figure"], capsys)[1])
               for given, out in ((paths, "shifted"), ([str(tmp_path / "o")], "own"))]
    found = [[warning for warning in report["warnings"] if "rounding the frames to" in warning] for report in reports]
    assert bool(found[0]) == bool(found[1]) == warned
    if warned:  # the same noise, in steps of 2**shift counts
        assert found[0][0].split("about ")[1] == found[1][0].split("about ")[1]
        assert f"of the steps of {step} counts its samples come in" in found[0][0]


def exposed(gain, full, hot=0):
    """beam_frames (crests at 36500 counts) exposed `gain` times as long on a camera of full scale `full`,
    with `hot` pixels of the beam stuck at full scale."""
    frames, _ = beam_frames(128, 1.0)
    frames = [np.clip(np.rint(frame * gain), 0, full).astype(np.uint16) for frame in frames]
    for frame in frames:
        frame[64, 30:30 + hot] = full
    return frames


@pytest.mark.parametrize("frames, warned", [
    (lambda: exposed(1.0, 65535), False),
    (lambda: exposed(2.0, 65535), True),  # crests clipped at full scale
    (lambda: exposed(2.0 / 16, 4095), True),  # a 12-bit camera, at its own full scale
    (lambda: [frame * np.uint16(16) for frame in exposed(1.6 / 16, 4095)], False),  # ... its samples in steps of 16
    (lambda: [frame * np.uint16(16) for frame in exposed(2.0 / 16, 4095)], True),
    (lambda: exposed(1.0, 65535, hot=12), False),  # a few hot pixels
    # crests that just reach the top of the range, 8 and 16 bits
    (lambda: road.make_frames(road.synthesize_surface({2: 3.0, 4: 1.0}, road.disc_pupil(96, 96)),
                              road.disc_pupil(96, 96), 5, peak=255), False),
    (lambda: road.make_frames(road.synthesize_surface({2: 3.0, 4: 1.0}, road.disc_pupil(96, 96)),
                              road.disc_pupil(96, 96), 7), False),
    # a nearly nulled part without noise: one frame's whole crest on one value, short of full scale
    (lambda: road.make_frames(road.synthesize_surface({4: 0.02}, road.disc_pupil(96, 96)),
                              road.disc_pupil(96, 96), 4, peak=255), False),
    (lambda: road.make_frames(road.synthesize_surface({4: 0.005}, road.disc_pupil(96, 96)),
                              road.disc_pupil(96, 96), 4, peak=4095), False),
])
def test_fringes_clipped_at_full_scale_are_warned_of(frames, warned, tmp_path, capsys):
    frames = frames()
    mask = road.disc_pupil(*frames[0].shape)
    # as any integer type holds them
    assert (road.clipped([frame.astype(np.int64) for frame in frames], mask) is not None) == warned
    for k, frame in enumerate(frames):
        np.save(tmp_path / f"f{k}.npy", frame)
    status, _, err = run(["measure", str(tmp_path / "f?.npy"), "--out", str(tmp_path / "o"), "--no-figure"], capsys)
    assert status == 0 and ("clipped at the camera's full scale" in err) == warned


@pytest.mark.parametrize("frames", [4, 5, 7])
@pytest.mark.parametrize("lit, peak, dark_noise", [(1.0, 40000, 0), (0.3, 40000, 0), (0.05, 40000, 6),
                                                   (0.05, 40, 8), (0.2, 40, 8)])
def test_typical_modulation_is_the_fringe_amplitude(frames, lit, peak, dark_noise, tmp_path):
    """Frames of peak P hold fringes of amplitude P/2, also where a beam lights only part of a disc pupil
    and the camera reads noise around it, even noise nearly as strong as dim fringes."""
    side = 300
    pupil = road.disc_pupil(side, side)
    beam = zelnor.roundmask(lit, side, side)
    images = road.make_frames(road.synthesize_surface({2: 3.0, 4: 1.0}, beam), beam, frames, peak=peak)
    noise = np.random.default_rng(1).integers(0, dark_noise + 1, (frames, side, side), dtype=np.uint16)
    images = [image + np.where(beam, 0, part).astype(np.uint16) for image, part in zip(images, noise)]
    assert road.typical_modulation(images, pupil) == pytest.approx(peak / 2, rel=0.05)


def test_measure_keeps_the_loader_echo_off_its_output(tmp_path, capfd):
    sim = tmp_path / "sim"
    assert main(["simulate", "--size", "40", "--out", str(sim), "--no-figure"]) == 0
    (size, maxval), _ = read_pgm_header_and_frame(sim / "frame_0.pgm")
    capfd.readouterr()
    frames = [str(sim / f"frame_{k}.pgm") for k in range(4)]
    assert main(["measure", *frames, "--out", str(tmp_path / "meas"), "--no-figure"]) == 0
    out, err = capfd.readouterr()  # what reached the process's file descriptors, C stdio included
    assert "residual" in out
    assert (size + b"\n" + maxval).decode() not in out + err


def measure_report(tmp_path, name, frames, *options):
    from conftest import LIBC

    LIBC.srand(1)  # both runs unwrap with the same draws
    out = tmp_path / name
    assert main(["measure", *frames, "--out", str(out), "--no-figure", *options]) == 0
    return json.loads((out / "report.json").read_text())


def test_measure_wavelength_scales_every_figure(tmp_path, capsys):
    sim = tmp_path / "sim"
    assert main(["simulate", "--size", "64", "--coefficients", "4:0.5,5:0.3,8:0.2,9:-0.1", "--out", str(sim),
                 "--no-figure"]) == 0
    frames = [str(sim / f"frame_{k}.pgm") for k in range(4)]
    waves = measure_report(tmp_path, "waves", frames)
    nm = measure_report(tmp_path, "nm", frames, "--wavelength", "632.8")
    assert (waves["units"], nm["units"]) == ("waves", "nm")
    assert waves["surface"]["rms"] > 0.05
    for key in ("surface", "residual"):
        for figure in ("pv", "rms"):
            assert nm[key][figure] == pytest.approx(waves[key][figure] * 632.8, rel=1e-9, abs=1e-9), (key, figure)
    assert recovered(nm) == pytest.approx({k: v * 632.8 for k, v in recovered(waves).items()}, rel=1e-9, abs=1e-9)


STEPS = {4: np.pi / 2, 5: np.pi / 2, 7: np.pi / 3}


def write_module_frames(folder, truth, height, width, count):
    """Phase-shifted frames of a surface in waves, made with the module alone."""
    folder.mkdir()
    mask = zelnor.roundmask(1.0, width, height)
    coefficients = np.zeros(29)
    for fringe, value in truth.items():
        coefficients[fringe - 1] = value
    surface = zelnor.zernike_surface(coefficients, mask)
    paths = []
    for k in range(count):
        paths.append(str(folder / f"f{k}.pgm"))
        zelnor.save_pgm(paths[-1], zelnor.interferogram(2 * np.pi, k * STEPS[count], 65535, mask, surface))
    return paths


@pytest.mark.parametrize("count", [4, 5, 7])
@pytest.mark.parametrize("height, width", [(40, 72), (72, 40)])
def test_measure_any_frame_count_on_non_square_frames(tmp_path, capsys, count, height, width):
    truth = {2: 0.3, 4: -0.8, 5: 0.4, 7: 0.25, 10: 0.2}
    frames = write_module_frames(tmp_path / "frames", truth, height, width, count)
    report = measure_report(tmp_path, "meas", frames, "--remove", "piston")
    assert report["shape"] == [height, width] and report["frames"] == count
    assert report["pupil_pixels"] == int(zelnor.roundmask(1.0, width, height).sum())
    assert_recovers(report, truth)
    # The terms are those of the inscribed ellipse: a round surface would show astigmatism.
    assert [w for w in report["warnings"] if "not square" in w] == [report["warnings"][-1]]


# ---- frames as cameras write them

@pytest.fixture(scope="module")
def camera(tmp_path_factory):
    """Five simulated 16-bit frames of a known surface, and that surface's coefficients."""
    coefficients = "2:1.0,3:-0.5,4:0.75,7:0.2"
    out = tmp_path_factory.mktemp("camera")
    assert main(["simulate", "--size", "96", "--frames", "5", "--coefficients", coefficients,
                 "--out", str(out), "--no-figure"]) == 0
    return [zelnor_load_quiet(out / f"frame_{k}.pgm") for k in range(5)], _coefficients(coefficients)


def write_frames(folder, frames, layout):
    """Writes the frames as a camera might; returns the measure arguments that name them."""
    from PIL import Image
    tifffile = pytest.importorskip("tifffile")

    folder.mkdir()
    # Numbered so that plain character order (1, 10, 2, 20, 3) is not the phase-step order.
    names = [folder / f"frame_{n}" for n in (1, 2, 3, 10, 20)]
    if layout == "png-phase-named":  # named by the phase in waves: digit runs alone would put 0.5 first, 0 last
        names = [folder / f"phase_{n}" for n in ("0", "0.25", "0.5", "0.75", "1")]
    if layout == "png-degrees-named":  # a set centred on 0: its minus signs order it, and case does not
        names = [folder / name for name in ("phase_-180", "Phase_-90", "phase_0", "PHASE_90", "phase_180")]
    if layout == "tiff-stack":
        tifffile.imwrite(folder / "stack.tif", np.stack(frames), photometric="minisblack")
        return [str(folder / "stack.tif")]
    if layout == "npy-stack":
        np.save(folder / "stack.npy", np.stack(frames))
        return [str(folder / "stack.npy")]
    for name, frame in zip(names, frames):
        if layout == "pgm-8bit":
            zelnor.save_pgm(str(name) + ".pgm", (frame >> 8).astype(np.uint16))
        elif layout == "png-16bit":
            Image.fromarray(frame).save(str(name) + ".png")
        elif layout == "png-8bit":
            Image.fromarray((frame >> 8).astype(np.uint8)).save(str(name) + ".png")
        elif layout == "tiff-12bit":
            tifffile.imwrite(str(name) + ".tif", frame >> 4)
        elif layout == "tiff-lzw":  # as cameras write them
            tifffile.imwrite(str(name) + ".tif", frame, compression="lzw")
        elif layout == "npy":
            np.save(str(name) + ".npy", frame.astype(np.int32))
        elif layout == "png-named-tif":  # the content decides, not the name
            Image.fromarray(frame).save(str(name) + ".tif", format="PNG")
        elif layout in ("png-phase-named", "png-degrees-named"):
            Image.fromarray(frame).save(str(name) + ".png")
        elif layout == "pgm-one-line-header":  # valid Netpbm that load_pgm's fixed layout does not take
            write_file(name.parent / (name.name + ".pgm"), b"P5 96\t96 65535\n" + frame.astype(">u2").tobytes())
        elif layout == "pgm-8bit-crlf":  # as Windows tools write it: the LF after maxval is the header's
            raster = (frame >> 8).astype(np.uint8).tobytes()
            write_file(name.parent / (name.name + ".pgm"), b"P5\r\n96 96\r\n255\r\n" + raster)
        elif layout == "tiff-8bit-grey-palette":  # a colour map that is a grey ramp: its indices are the counts
            tifffile.imwrite(str(name) + ".tif", (frame >> 8).astype(np.uint8), photometric="palette",
                             colormap=np.tile(np.arange(256, dtype=np.uint16) * 257, (3, 1)))
        elif layout == "tiff-thumbnail":  # a reduced-resolution preview page after the image
            with tifffile.TiffWriter(str(name) + ".tif") as tiff:
                tiff.write(frame)
                tiff.write(frame[::4, ::4].copy(), subfiletype=1)
    return [str(folder / "frame_*")] if layout == "npy" else [str(folder)]


@pytest.mark.parametrize("layout", ["pgm-8bit", "png-16bit", "png-8bit", "tiff-12bit", "tiff-stack", "npy",
                                    "npy-stack", "png-named-tif", "png-phase-named", "tiff-lzw",
                                    "png-degrees-named", "pgm-one-line-header", "pgm-8bit-crlf", "tiff-thumbnail",
                                    "tiff-8bit-grey-palette"])
def test_measure_reads_camera_files(layout, camera, tmp_path, capsys):
    if layout == "tiff-lzw":
        pytest.importorskip("imagecodecs")  # compressed TIFF comes with zelnor[command]
    frames, truth = camera
    arguments = write_frames(tmp_path / "frames", frames, layout)
    status, text, err = run(["measure", *arguments, "--out", str(tmp_path / "o"), "--no-figure", "--json"], capsys)
    assert status == 0, err
    report = json.loads(text)
    assert report["frames"] == 5
    # 8-bit samples quantise the phase to about a hundredth of a wave.
    tolerance = 0.02 if "8bit" in layout else TOLERANCE_WAVES
    got = recovered(report)
    for fringe in range(2, road.FIT_TERMS + 1):
        assert got[fringe] == pytest.approx(truth.get(fringe, 0.0), abs=tolerance)


@pytest.mark.parametrize("orientation, upright", [
    (1, [[1, 2, 3], [4, 5, 6]]), (2, [[3, 2, 1], [6, 5, 4]]), (3, [[6, 5, 4], [3, 2, 1]]),
    (4, [[4, 5, 6], [1, 2, 3]]), (5, [[1, 4], [2, 5], [3, 6]]), (6, [[4, 1], [5, 2], [6, 3]]),
    (7, [[6, 3], [5, 2], [4, 1]]), (8, [[3, 6], [2, 5], [1, 4]])])
def test_tiff_images_are_read_as_their_orientation_tag_shows_them(orientation, upright, tmp_path):
    """Orientation says where the stored first row and column lie in the picture (2-4 mirrored or turned
    half round, 5-8 transposed); a camera mounted upside down is measured upright, masks alike."""
    tifffile = pytest.importorskip("tifffile")
    from zelnor_cli import frames

    path = tmp_path / "f.tif"
    tifffile.imwrite(path, np.array([[1, 2, 3], [4, 5, 6]], np.uint16), extratags=[(274, "H", 1, orientation, True)])
    for colour in (False, True):
        assert frames.read_images(str(path), allow_colour=colour)[0].tolist() == upright


def test_png_images_past_pillows_pixel_limit_are_read(tmp_path, monkeypatch):
    """Pillow warns of images past its pixel limit, and refuses those past twice that (from 13,400 pixels
    square); the command checks sides and memory itself."""
    from PIL import Image

    from zelnor_cli import frames

    image = (np.arange(20 * 30).reshape(20, 30) * 100).astype(np.uint16)
    Image.fromarray(image).save(tmp_path / "f.png")
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 250)  # 600 pixels: refused by Pillow's open
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert np.array_equal(frames.read_images(str(tmp_path / "f.png"))[0], image)
    # Memory running out on the way is said as such, not blamed on the file.
    from PIL import PngImagePlugin

    def exhausted(self):
        raise MemoryError

    monkeypatch.setattr(PngImagePlugin.PngImageFile, "load", exhausted)
    with pytest.raises(road.RoadError, match="f.png: the image it holds or declares does not fit in memory"):
        frames.read_images(str(tmp_path / "f.png"))


def test_frame_files_named_on_another_system_are_measured(camera, tmp_path, capsys):
    """Names that are not UTF-8 (Latin-1 from a network share) reach load_pgm and the report; an output
    folder so named, which the module cannot write to, is refused in one line."""
    tifffile = pytest.importorskip("tifffile")
    folder = tmp_path / "frames"
    folder.mkdir()
    names = [os.fsdecode(b"fr\xe9_%d" % k) for k in range(5)]
    for name, frame in zip(names[:4], camera[0]):  # read by load_pgm, whose header may break a number by a comment
        write_file(folder / (name + ".pgm"), b"P5\n9#6\n6 96\n65535\n" + frame.astype(">u2").tobytes())
    tifffile.imwrite(folder / (names[4] + ".tif"), camera[0][4])
    status, text, err = run(["measure", str(folder), "--json", "--out", str(tmp_path / "o"), "--no-figure"], capsys)
    assert status == 0, err
    report = json.loads((tmp_path / "o" / "report.json").read_text(encoding="utf-8"))
    assert json.loads(text)["inputs"] == report["inputs"] == [str(folder / name) + suffix for name, suffix in
                                                             zip(names, [".pgm"] * 4 + [".tif"])]
    assert_recovers(report, camera[1])
    status, text, err = run(["measure", str(folder), "--out", os.fsdecode(bytes(tmp_path / "o") + b"\xe9")], capsys)
    assert status == 2 and "the output folder's path must be UTF-8 text" in err and len(err.splitlines()) == 1
    # The command prints such a name (a mask's, in the pupil line) as its bytes, under a locale whose
    # standard output would refuse it.
    mask = folder / names[4]  # the TIFF, nonzero on the fringes: the pupil is beside the point
    proc = subprocess.run([sys.executable, "-m", "zelnor_cli", "measure", *map(str, sorted(folder.glob("*.pgm"))),
                           "--pupil", f"mask:{mask}.tif", "--out", str(tmp_path / "o"), "--no-figure"],
                          capture_output=True, env=dict(os.environ, PYTHONIOENCODING="utf-8:strict"))
    assert proc.returncode == 0, proc.stderr
    assert b"fr\xe9_4.tif with" in proc.stdout


def test_bit_depth_is_compared_as_counts(tmp_path, monkeypatch):
    """Pillow 9 hands 16-bit PNG samples over as int32: a 16-bit PNG beside a 16-bit TIFF is one set."""
    tifffile = pytest.importorskip("tifffile")
    from PIL import Image

    import zelnor_cli.frames as frames

    read_png = frames._read_png
    monkeypatch.setattr(frames, "_read_png", lambda path, colour: [image.astype(np.int32)
                                                                   for image in read_png(path, colour)])
    image = (np.arange(64 * 64, dtype=np.uint16) * 7).reshape(64, 64)
    tifffile.imwrite(tmp_path / "f0.tif", image)
    for k in (1, 2, 3):
        Image.fromarray(image).save(tmp_path / f"f{k}.png")
    loaded, _ = frames.load_frames([str(tmp_path / name) for name in ("f0.tif", "f1.png", "f2.png", "f3.png")])
    assert [frame.dtype for frame in loaded] == [np.uint16] * 4


def test_pgm_frames_of_several_maxvals_are_one_set(tmp_path, capsys):
    """save_pgm writes each frame with its own largest sample as maxval: a dim frame comes out 8-bit
    among 16-bit ones, yet its samples are counts on the same scale."""
    mask = road.disc_pupil(64, 64)
    frames = road.make_frames(road.synthesize_surface({4: 0.1}, mask), mask, 4, peak=400)
    paths = [str(tmp_path / f"f{k}.pgm") for k in range(4)]
    for path, frame in zip(paths, frames):
        zelnor.save_pgm(path, frame)
    assert {zelnor_load_quiet(path).dtype for path in paths} == {np.dtype(np.uint8), np.dtype(np.uint16)}
    status, text, err = run(["measure", *paths, "--json", "--out", str(tmp_path / "o"), "--no-figure"], capsys)
    assert status == 0, err
    assert recovered(json.loads(text))[4] == pytest.approx(0.1, abs=0.005)


@pytest.mark.parametrize("case", ["colour", "float-tiff", "sizes", "count-in-stack", "truncated-png",
                                  "folder-mask", "empty-folder", "no-match", "mask-size", "text", "absurd-tiff",
                                  "depths", "empty-file", "truncated-loose-pgm", "cut-tiff-stack", "palette-tiff",
                                  "pgm-maxval", "pgm-width-past-32-bits", "given-twice", "animated-png",
                                  "npy-long-header", "tiff-past-memory", "png-past-memory", "tiff-previews-only",
                                  "pgm-two-images", "loose-pgm-two-images"])
def test_bad_frame_files_name_the_file(case, camera, tmp_path, capfd, monkeypatch):
    from PIL import Image
    tifffile = pytest.importorskip("tifffile")

    frames = camera[0][:4]
    paths = [str(tmp_path / f"f{k}.pgm") for k in range(4)]
    for path, frame in zip(paths, frames):
        zelnor.save_pgm(path, frame)
    bad = tmp_path / "bad"
    extra = []
    if case == "colour":
        Image.fromarray(np.zeros((96, 96, 3), np.uint8)).save(bad.with_suffix(".png"))
        paths[1] = str(bad.with_suffix(".png"))
    elif case == "float-tiff":
        tifffile.imwrite(bad.with_suffix(".tif"), frames[1].astype(np.float32))
        paths[1] = str(bad.with_suffix(".tif"))
    elif case == "sizes":
        np.save(bad.with_suffix(".npy"), frames[1][:, :90])
        paths[1] = str(bad.with_suffix(".npy"))
    elif case == "count-in-stack":
        tifffile.imwrite(bad.with_suffix(".tif"), np.stack(frames[:3]), photometric="minisblack")
        paths = [str(bad.with_suffix(".tif"))]
    elif case == "truncated-png":
        Image.fromarray(frames[1]).save(bad.with_suffix(".png"))
        data = bad.with_suffix(".png").read_bytes()
        bad.with_suffix(".png").write_bytes(data[: len(data) // 2])
        paths[1] = str(bad.with_suffix(".png"))
    elif case == "folder-mask":
        bad.mkdir()
        extra = ["--pupil", f"mask:{bad}"]
    elif case == "empty-folder":
        bad.mkdir()
        paths = [str(bad)]
    elif case == "no-match":
        paths = [str(bad) + "_*.png"]
    elif case == "mask-size":
        Image.fromarray(np.ones((50, 50), np.uint8)).save(bad.with_suffix(".png"))
        extra = ["--pupil", f"mask:{bad.with_suffix('.png')}"]
    elif case == "text":
        paths[1] = write_file(bad.with_suffix(".pgm"), b"frame 1 was lost\n")
    elif case == "absurd-tiff":  # a damaged header declaring 788 million rows must not be read at all
        tifffile.imwrite(bad.with_suffix(".tif"), frames[1])
        rows = b"\x01\x01\x04\x00\x01\x00\x00\x00"  # ImageLength, LONG, one value
        data = bad.with_suffix(".tif").read_bytes().replace(rows + b"\x60\x00\x00\x00", rows + b"\x10\x00\x00\x2f")
        paths[1] = write_file(bad.with_suffix(".tif"), data)
    elif case == "depths":  # an 8-bit PNG among 16-bit ones holds counts on another scale
        Image.fromarray(frames[0]).save(tmp_path / "f0.png")
        Image.fromarray((frames[1] >> 8).astype(np.uint8)).save(bad.with_suffix(".png"))
        paths[:2] = [str(tmp_path / "f0.png"), str(bad.with_suffix(".png"))]
    elif case == "empty-file":
        paths[1] = write_file(bad.with_suffix(".pgm"), b"")
    elif case == "truncated-loose-pgm":
        paths[1] = write_file(bad.with_suffix(".pgm"), b"P5 96 96 65535\n" + frames[1].astype(">u2").tobytes()[:-1])
    elif case == "cut-tiff-stack":  # a copy cut short: the pages before the cut must not pass for a set
        with tifffile.TiffWriter(bad.with_suffix(".tif")) as tiff:
            for frame in camera[0]:
                tiff.write(frame, contiguous=False)
        with tifffile.TiffFile(bad.with_suffix(".tif")) as tiff:
            end = tiff.pages[3].dataoffsets[0] + tiff.pages[3].databytecounts[0]
        paths = [write_file(bad.with_suffix(".tif"), bad.with_suffix(".tif").read_bytes()[:end])]
    elif case == "palette-tiff":  # samples that index a colour map are not intensities
        colours = np.zeros((3, 256), np.uint16)
        colours[0] = np.arange(256)[::-1] * 257
        tifffile.imwrite(bad.with_suffix(".tif"), (frames[1] >> 8).astype(np.uint8), photometric="palette",
                         colormap=colours)
        paths[1] = str(bad.with_suffix(".tif"))
    elif case == "pgm-maxval":  # load_pgm would take maxval's low 16 bits: 0, read as 8-bit samples
        paths[1] = write_file(bad.with_suffix(".pgm"), b"P5\n96 96\n65536\n" + frames[1].astype(">u2").tobytes())
    elif case == "pgm-width-past-32-bits":  # load_pgm would keep the low 32 bits of the width: 96
        paths[1] = write_file(bad.with_suffix(".pgm"), b"P5\n4294967392 96\n65535\n" + frames[1].astype(">u2").tobytes())
    elif case == "given-twice":
        zelnor.save_pgm(str(bad.with_suffix(".pgm")), frames[1])
        paths[1] = paths[3] = str(bad.with_suffix(".pgm"))
    elif case == "animated-png":  # Pillow would hand over its first image only
        images = [Image.fromarray(frame) for frame in frames]
        images[0].save(bad.with_suffix(".png"), save_all=True, append_images=images[1:])
        paths = [str(bad.with_suffix(".png"))]
    elif case == "npy-long-header":  # NumPy refuses it in three lines; ours is one
        header = b"{'descr': '<u2', 'fortran_order': False, 'shape': (96, 96), }" + b" " * 20000 + b"\n"
        paths[1] = write_file(bad.with_suffix(".npy"), b"\x93NUMPY\x02\x00" + len(header).to_bytes(4, "little") + header
                              + frames[1].astype("<u2").tobytes())
    elif case == "tiff-past-memory":  # compressed pages are not decoded past the memory there is
        tifffile.imwrite(bad.with_suffix(".tif"), frames[1], compression="zlib")
        paths[1] = str(bad.with_suffix(".tif"))
        monkeypatch.setattr("zelnor_cli.frames.available_memory", lambda: 96 * 96)
    elif case == "png-past-memory":
        Image.fromarray(frames[1]).save(bad.with_suffix(".png"))
        paths[1] = str(bad.with_suffix(".png"))
        monkeypatch.setattr("zelnor_cli.frames.available_memory", lambda: 3 * 96 * 96)  # decoded and copied: 4x
    elif case in ("pgm-two-images", "loose-pgm-two-images"):  # a Netpbm stream: the second would go unseen
        header = b"P5\n96 96\n65535\n" if case == "pgm-two-images" else b"P5 96 96 65535\n"
        paths[1] = write_file(bad.with_suffix(".pgm"), b"".join(header + frame.astype(">u2").tobytes()
                                                                for frame in frames[1:3]))
    elif case == "tiff-previews-only":  # all its pages are marked reduced-resolution
        tifffile.imwrite(bad.with_suffix(".tif"), frames[1], subfiletype=1)
        paths[1] = str(bad.with_suffix(".tif"))
    status, out, err = run(["measure", *paths, *extra, "--out", str(tmp_path / "o"), "--no-figure"], capfd)
    lines = [line for line in err.splitlines() if line.strip()]
    assert status == 2 and not out
    assert len(lines) == 1 and lines[0].startswith("zelnor: error: " + str(bad)), err
    assert "no such file" not in err or case == "no-match"
    assert "declares a 96x788529168 image" in err or case != "absurd-tiff"
    expected = {"depths": "8-bit samples, but", "empty-file": "empty file", "truncated-loose-pgm": "truncated",
                "cut-tiff-stack": "breaks off after 4 pages", "palette-tiff": "a palette image",
                "pgm-maxval": "maxval 65536", "pgm-width-past-32-bits": "declares a 4294967392x96 image",
                "given-twice": "given twice", "animated-png": "an animated PNG of 4 images",
                "tiff-past-memory": "once decoded", "png-past-memory": "once decoded",
                "tiff-previews-only": "only reduced-resolution previews",
                "pgm-two-images": "more than one PGM image", "loose-pgm-two-images": "more than one PGM image"}
    assert expected.get(case, "") in err


@pytest.mark.parametrize("figure", [False, True])
def test_a_huge_wavelength_reports_null_not_infinity(figure, camera, tmp_path, capfd):
    if figure:
        pytest.importorskip("matplotlib")
        if os.environ.get("ZELNOR_SANITIZE"):
            pytest.skip("matplotlib's font extension aborts under the preloaded ASan runtime")
    paths = [str(tmp_path / f"f{k}.pgm") for k in range(4)]
    for path, frame in zip(paths, camera[0]):
        zelnor.save_pgm(path, frame)
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)  # NumPy's overflow notice would print source lines
        status, out, err = run(["measure", *paths, "--wavelength", "1e308", "--json", "--out",
                                str(tmp_path / "o")] + ([] if figure else ["--no-figure"]), capfd)
    assert status == 0, err
    assert ("figure.png skipped: matplotlib cannot draw these values" in err) == figure

    def refuse(constant):
        raise ValueError(f"{constant} is not JSON")

    for text in (out, (tmp_path / "o" / "report.json").read_text()):
        assert json.loads(text, parse_constant=refuse)["surface"]["rms"] is None


# ---- pupils, conventions, units

def test_pupils_double_pass_and_json(camera, tmp_path, capsys):
    from PIL import Image

    frames, truth = camera
    folder = tmp_path / "frames"
    folder.mkdir()
    for k, frame in enumerate(frames):
        zelnor.save_pgm(str(folder / f"frame_{k}.pgm"), frame)
    pupil = zelnor.roundmask(0.7, 96, 96) & ~zelnor.roundmask(0.05, 96, 96)
    # Beside the frames: the mask is not taken for one of them.
    Image.fromarray(pupil.astype(np.uint8) * np.uint8(200)).save(folder / "pupil.png")
    annulus = zelnor.roundmask(1.0, 96, 96) & ~zelnor.roundmask(0.3 ** 2, 96, 96)
    for option, pixels, given in ((f"mask:{folder / 'pupil.png'}", pupil.sum(), folder),
                                  ("annulus:0.3", annulus.sum(), folder / "frame_*.pgm")):
        status, text, err = run(["measure", str(given), "--pupil", option, "--double-pass", "--json",
                                 "--out", str(tmp_path / "o"), "--no-figure"], capsys)
        assert status == 0, err
        report = json.loads(text)  # stdout holds the report alone
        assert "wrote" in err
        assert report["pupil"] == option and report["pupil_pixels"] == int(pixels)
        assert report["double_pass"] and "wavefront / 2" in report["conventions"]["units"]
        assert {"ordering", "normalisation", "coordinates", "sign", "units"} <= set(report["conventions"])
        got = recovered(report)
        for fringe in range(2, road.FIT_TERMS + 1):
            assert got[fringe] == pytest.approx(truth.get(fringe, 0.0) / 2, abs=TOLERANCE_WAVES)
        assert np.load(tmp_path / "o" / "surface.npy")[~(annulus if "annulus" in option else pupil)].max() == 0.0


def _write_mask(path, pupil, encoding):
    """The pupil as image editors and measurement software save masks."""
    import tifffile
    from PIL import Image

    on = pupil.astype(np.uint8) * np.uint8(255)
    opaque = np.full_like(on, 255)
    if encoding == "rgba-opaque":  # black outside, but every pixel opaque
        Image.fromarray(np.dstack([on, on, on, opaque])).save(path, format="PNG")
    elif encoding == "grey-alpha-opaque":
        Image.fromarray(np.dstack([on, opaque])).save(path, format="PNG")  # two bands of bytes: LA
    elif encoding == "rgba-transparent":  # white everywhere, transparent outside
        Image.fromarray(np.dstack([opaque, opaque, opaque, on])).save(path, format="PNG")
    elif encoding == "palette-transparent":
        image = Image.frombytes("P", pupil.shape[::-1], pupil.astype(np.uint8).tobytes())
        image.putpalette([255, 255, 255, 255, 255, 255])
        image.save(path, format="PNG", transparency=0)
    elif encoding == "tiff-rgba-opaque":
        tifffile.imwrite(path, np.dstack([on, on, on, opaque]), photometric="rgb", extrasamples=["unassalpha"])
    elif encoding == "tiff-planar-rgb":
        tifffile.imwrite(path, np.stack([on, on // 2, on]), photometric="rgb", planarconfig="separate")
    elif encoding == "npy-nan-outside":  # a map of values, without data outside
        with open(path, "wb") as handle:
            np.save(handle, np.where(pupil, 0.5, np.nan))


@pytest.mark.parametrize("encoding", ["rgba-opaque", "grey-alpha-opaque", "rgba-transparent", "palette-transparent",
                                      "tiff-rgba-opaque", "tiff-planar-rgb", "npy-nan-outside"])
def test_mask_files_as_editors_save_them(encoding, tmp_path):
    from zelnor_cli import frames

    pupil = zelnor.roundmask(0.6, 40, 32)
    pupil[20, 3] = True  # a pixel outside the disc, for the colour channels' order
    _write_mask(tmp_path / "mask", pupil, encoding)
    assert np.array_equal(frames.load_mask(str(tmp_path / "mask"), pupil.shape), pupil)


def test_separate_pupil_regions_are_cut_to_the_largest(camera, tmp_path, capsys):
    frames, truth = camera
    pupil = zelnor.roundmask(0.6, 96, 96)
    pupil[:3, :3] = True  # a speck in a corner: its piston is unrelated to the main region's
    np.save(tmp_path / "pupil.npy", pupil)
    for k, frame in enumerate(frames):
        np.save(tmp_path / f"f{k}.npy", frame)
    status, text, err = run(["measure", str(tmp_path / "f?.npy"), "--pupil", f"mask:{tmp_path / 'pupil.npy'}",
                             "--json", "--out", str(tmp_path / "o"), "--no-figure"], capsys)
    report = json.loads(text)
    assert status == 0 and report["pupil_pixels"] == int(pupil.sum()) - 9
    assert "2 separate regions" in err and report["warnings"]
    assert recovered(report)[4] == pytest.approx(truth[4], abs=TOLERANCE_WAVES)
    # A simulation through that mask measures the same pupil, and its true surface is 0.0 outside it, as every map.
    status, text, err = run(["simulate", "--pupil", f"mask:{tmp_path / 'pupil.npy'}", "--coefficients", "4:0.5",
                             "--out", str(tmp_path / "s"), "--no-figure"], capsys)
    assert status == 0 and "2 separate regions" in err
    for name in ("true_surface", "surface", "residual"):
        assert not np.load(tmp_path / "s" / f"{name}.npy")[:3, :3].any(), name


@pytest.mark.parametrize("size, wrong", [(48, True), (128, False)])
def test_undersampled_fringes_are_reported(size, wrong, tmp_path, capsys):
    """The default surface is undersampled on 48 pixels: the report must not pass it off as a surface."""
    status, text, err = run(["simulate", "--size", str(size), "--json",
                             "--out", str(tmp_path), "--no-figure"], capsys)
    report = json.loads(text)
    assert status == 0 and (report["residual"]["pv"] > 0.5) == wrong
    assert (report["discontinuities"] > 0) == wrong and bool(report["warnings"]) == wrong
    assert ("zelnor: warning: the unwrapped wavefront jumps" in err) == wrong


@pytest.mark.parametrize("defocus, aliased", [(10.0, False), (20.0, True)])
def test_measure_warns_of_fringes_at_the_sampling_limit(defocus, aliased, tmp_path, capsys):
    """20 waves of defocus on 200 pixels put 0.8 waves a pixel at the rim: the fringes there alias into a
    smooth surface without a jump, and only the steps near half a wave at the fold give it away."""
    mask = road.disc_pupil(200, 200)
    coefficients = np.zeros(29)
    coefficients[3] = defocus
    for k, frame in enumerate(road.make_frames(zelnor.zernike_surface(coefficients, mask), mask, 4)):
        np.save(tmp_path / f"f{k}.npy", frame)
    status, text, err = run(["measure", str(tmp_path / "f?.npy"), "--json", "--out", str(tmp_path / "o"),
                             "--no-figure"], capsys)
    report = json.loads(text)
    assert status == 0 and report["discontinuities"] == 0
    assert (abs(recovered(report)[4] - defocus) > 1.0) == aliased
    assert ("fringes at the sampling limit" in err) == aliased and bool(report["warnings"]) == aliased


@pytest.mark.parametrize("slope, cut, expected", [(0.0, False, (0, 0.0)), (0.3, False, (0, 0.3)),
                                                  (0.3, True, (8, 0.3)), (0.49, False, (0, 0.49))])
def test_step_summary_counts_jumps_and_the_largest_other_step(slope, cut, expected):
    mask = np.zeros((8, 10), bool)
    mask[:, 1:9] = True  # pixels outside the pupil may hold anything
    waves = np.where(mask, slope * np.arange(10.0)[None, :] * np.ones((8, 1)), 7.0)
    if cut:
        waves[:, 5:] += 3.0  # a whole-wave cut down the middle: one jump on each of the 8 rows
    jumps, largest = road.step_summary(waves, mask)
    assert jumps == expected[0] == road.discontinuities(waves, mask)
    assert largest == pytest.approx(expected[1], abs=1e-12)


def test_y_grows_down_the_rows(tmp_path, capsys):
    """A surface rising toward the bottom rows has positive tilt y, as the report says."""
    height = width = 64
    rows = np.arange(height, dtype=np.float64)[:, None] * np.ones(width) / height
    mask = road.disc_pupil(height, width)
    frames = road.make_frames(np.where(mask, rows, 0.0), mask, 4)
    for k, frame in enumerate(frames):
        zelnor.save_pgm(str(tmp_path / f"f{k}.pgm"), frame)
    status, text, _ = run(["measure", str(tmp_path / "f*.pgm"), "--json", "--out", str(tmp_path / "o"),
                           "--no-figure"], capsys)
    report = json.loads(text)
    assert status == 0 and "downward" in report["conventions"]["coordinates"]
    assert recovered(report)[3] == pytest.approx(0.5, abs=1e-3)  # y spans 2 units over the 64 rows


# ---- nothing lost

def test_interrupted_write_keeps_the_previous_file(tmp_path, capsys, monkeypatch):
    import zelnor_cli.cli as cli

    out = tmp_path / "sim"
    assert run(["simulate", "--size", "32", "--out", str(out), "--no-figure"], capsys)[0] == 0
    before = {path.name: path.read_bytes() for path in out.iterdir()}

    def failing_save(handle, array):
        handle.write(b"\x93NUMPY half")
        raise OSError(28, "No space left on device", "surface.npy")

    monkeypatch.setattr(cli.np, "save", failing_save)
    status, _, err = run(["simulate", "--size", "32", "--coefficients", "4:0.1", "--out", str(out),
                          "--no-figure"], capsys)
    assert status == 2 and f"{out / 'wrapped_phase.npy'}: cannot write: No space left on device" in err
    after = {path.name: path.read_bytes() for path in out.iterdir()}
    assert set(after) == set(before)  # no partial files left behind
    # The file being written when the disk filled up, and every file after it, are the old ones.
    for name in ("wrapped_phase.npy", "surface.npy"):
        assert after[name] == before[name], name
    # The frames are new and the maps old: the report says the run is incomplete, and measuring refuses.
    assert after["frame_0.pgm"] != before["frame_0.pgm"]
    provisional = json.loads(after["report.json"])
    earlier_files = json.loads(before["report.json"])["files"]
    assert provisional == {"command": "simulate", "complete": False, "files": earlier_files}
    status, _, err = run(["measure", str(out), "--out", str(tmp_path / "m")], capsys)
    assert status == 2 and "stopped before it finished" in err


def test_frames_of_earlier_runs_never_join_a_simulation(tmp_path, capsys, monkeypatch):
    """7 frames, then a 4-frame run cut short among its frames, then one that finishes: the earlier
    run's last three go, as its report, carried through the cut-short one, lists them; and so do the
    frames a cut-short 7-frame run wrote. Frame files that no report of ours lists are refused before
    anything is written."""
    import zelnor_cli.cli as cli

    out = tmp_path / "sim"
    assert run(["simulate", "--size", "32", "--frames", "7", "--out", str(out), "--no-figure"], capsys)[0] == 0
    save = cli._save_frame

    def disk_full_at(k):
        def save_frame(path, frame, maxval):
            if path.endswith(f"frame_{k}.pgm"):
                raise OSError(28, "No space left on device")
            save(path, frame, maxval)
        return save_frame

    monkeypatch.setattr(cli, "_save_frame", disk_full_at(2))
    assert run(["simulate", "--size", "32", "--out", str(out), "--no-figure"], capsys)[0] == 2
    monkeypatch.setattr(cli, "_save_frame", save)
    assert run(["simulate", "--size", "32", "--coefficients", "4:0.3", "--out", str(out), "--no-figure"],
               capsys)[0] == 0
    assert sorted(path.name for path in out.glob("frame_*")) == [f"frame_{k}.pgm" for k in range(4)]
    # Cut short after frames of its own beyond the next run's count: those are known as ours too.
    monkeypatch.setattr(cli, "_save_frame", disk_full_at(5))
    assert run(["simulate", "--size", "32", "--frames", "7", "--out", str(out), "--no-figure"], capsys)[0] == 2
    monkeypatch.setattr(cli, "_save_frame", save)
    assert run(["simulate", "--size", "32", "--out", str(out), "--no-figure"], capsys)[0] == 0
    assert sorted(path.name for path in out.glob("frame_*")) == [f"frame_{k}.pgm" for k in range(4)]
    (out / "camera_1.png").write_bytes((out / "frame_0.pgm").read_bytes())
    before = {path.name: path.stat().st_mtime_ns for path in out.iterdir()}
    status, _, err = run(["simulate", "--size", "32", "--out", str(out), "--no-figure"], capsys)
    assert status == 2 and "holds camera_1.png, which `zelnor measure" in err
    assert {path.name: path.stat().st_mtime_ns for path in out.iterdir()} == before
    # A user's frame_5.pgm that a cut-short 7-frame run never reached is not claimed as ours.
    mine = tmp_path / "mine"
    mine.mkdir()
    users = (out / "frame_0.pgm").read_bytes()
    (mine / "frame_5.pgm").write_bytes(users)
    monkeypatch.setattr(cli, "_save_frame", disk_full_at(2))
    assert run(["simulate", "--size", "32", "--frames", "7", "--out", str(mine), "--no-figure"], capsys)[0] == 2
    monkeypatch.setattr(cli, "_save_frame", save)
    status, _, err = run(["simulate", "--size", "32", "--out", str(mine), "--no-figure"], capsys)
    assert status == 2 and "holds frame_5.pgm" in err and (mine / "frame_5.pgm").read_bytes() == users


def test_measure_does_not_depend_on_the_blas_thread_count(tmp_path):
    """The command fits on one BLAS thread, so a measurement's bits are the same on any machine."""
    folder = tmp_path / "frames"
    folder.mkdir()
    mask = zelnor.roundmask(1.0, 1024, 1024)
    coefficients = np.zeros(29)
    coefficients[[1, 3, 4, 6, 8, 12]] = [2.0, 3.0, 1.2, 0.8, 0.6, 0.1]
    surface = zelnor.zernike_surface(coefficients, mask)
    for k in range(4):
        zelnor.save_pgm(str(folder / f"f{k}.pgm"), zelnor.interferogram(2 * np.pi, k * np.pi / 2, 60000, mask, surface))
    results = []
    for threads in ("1", "2"):
        env = dict(os.environ, OPENBLAS_NUM_THREADS=threads, OMP_NUM_THREADS=threads)
        run = subprocess.run([sys.executable, "-m", "zelnor_cli", "measure", str(folder), "--seed", "5", "--json",
                              "--no-figure", "--out", str(tmp_path / threads)], env=env, capture_output=True,
                             text=True, timeout=300)
        assert run.returncode == 0, run.stderr
        results.append([row["recovered"] for row in json.loads(run.stdout)["coefficients"]])
    assert results[0] == results[1]


@pytest.mark.parametrize("count", [4, 7])
def test_phase_bands_over_threads_match_one_call(count):
    """Retrieval split into row bands over threads gives the whole image's bits, also for strided frames."""
    mask = road.disc_pupil(203, 150)  # bands of unequal heights
    frames = road.make_frames(road.synthesize_surface({4: 3.0, 8: 1.1}, mask), mask, count, noise=300.0)
    frames = [np.asfortranarray(frame) for frame in frames]
    with road.using_threads(1):
        whole = road.retrieve_phase(frames)
    for threads in (2, 3, 8):
        with road.using_threads(threads):
            assert len(road.row_bands(203)) == min(threads, 203 // road.MIN_BAND_ROWS)
            assert road.retrieve_phase(frames).tobytes() == whole.tobytes(), threads


@pytest.mark.parametrize("options", [[], ["--remove", "defocus", "--wavelength", "632.8"]])
def test_measure_files_do_not_depend_on_its_threads(options, tmp_path, monkeypatch):
    """The maps made side by side, the bands and the files written meanwhile are those of one thread."""
    from conftest import LIBC

    monkeypatch.setattr(road, "MIN_BAND_ROWS", 16)
    frames = write_module_frames(tmp_path / "frames", {2: 0.3, 4: 2.0, 5: 0.7, 9: 0.4}, 96, 80, 4)
    written = {}
    for threads in (1, 3):
        LIBC.srand(7)
        out = tmp_path / f"out{threads}"
        with road.using_threads(threads):
            assert main(["measure", *frames, "--out", str(out), "--no-figure", *options]) == 0
        written[threads] = {path.name: path.read_bytes() for path in out.iterdir()}
        report = json.loads(written[threads].pop("report.json"))
        report.pop("out")
        written[threads]["report"] = report
    assert sorted(written[1]) == sorted(written[3])
    for name in written[1]:
        assert written[1][name] == written[3][name], name


def test_road_masks_of_integers_mark_the_pupil_and_terms_come_as_any_sequence():
    """A 0/1 or 0/255 mask is a pupil, not a list of row indices."""
    mask = road.disc_pupil(40, 40)
    surface = road.synthesize_surface({4: 1.0, 7: 0.3}, mask)
    expected = road.pv_rms(surface, mask)
    for other in (mask.astype(np.uint8), mask * np.uint8(255), mask.astype(np.int64)):
        assert road.pv_rms(surface, other) == expected
        assert road.discontinuities(surface, other) == 0
    coefficients = road.fit_zernike(surface, mask)
    flags = np.arange(29) < 3
    for indices in ((0, 1, 2), list(flags), flags):
        assert np.array_equal(road.remove_terms(surface, mask, coefficients, indices),
                              road.remove_terms(surface, mask, coefficients, [0, 1, 2]))
    assert road.pv_rms(surface, mask.astype(np.float32)) == expected


def test_using_threads_blocks_open_at_once_in_several_threads():
    """The smallest open count holds everywhere, a pool started in a block included, and each block's
    count goes when it closes, in whatever order they close."""
    before = road.threads()
    seen = []
    barrier = threading.Barrier(2)

    def task(count):
        with road.using_threads(count):
            barrier.wait()  # both blocks are open at once
            seen.append(road.threads())
            barrier.wait()
            if count == 3:
                barrier.wait()  # the other block has closed
                seen.append(road.threads())
            else:
                with concurrent.futures.ThreadPoolExecutor(2) as inner:
                    seen.extend(inner.map(lambda _: road.threads(), range(2)))
        if count == 1:
            barrier.wait()

    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        list(pool.map(task, [1, 3]))
    assert sorted(seen) == [1, 1, 1, 1, 3] and road.threads() == before
    with pytest.raises(TypeError):
        with road.using_threads(2.0):
            pass


def test_using_threads_restores_the_count():
    before = road.threads()
    with pytest.raises(RuntimeError):
        with road.using_threads(5):
            assert road.threads() == 5
            raise RuntimeError
    assert road.threads() == before
    with pytest.raises(ValueError):
        with road.using_threads(0):
            pass


def beam_frames(size, radius, seed=5, count=4, step=np.pi / 2, shifts=None, fall=None):
    """Noisy 16-bit camera frames, `step` apart (or at phase `shifts`), of a beam `radius` of the image's
    half-width across, on a dark background, and the surface in waves (tilt, defocus and coma of the beam's own
    circle); a Gaussian beam of 1/e² radius `fall` (of the beam's) where given."""
    rng = np.random.default_rng(seed)
    x = (2 * np.arange(size) + 1) / size - 1
    x, y = x[None, :] / radius, x[:, None] / radius
    beam = x * x + y * y <= 1
    waves = 2.0 * x - 0.7 * y + 0.25 * (2 * (x * x + y * y) - 1) + 0.3 * (3 * (x * x + y * y) - 2) * x
    shifts = np.arange(count) * step if shifts is None else shifts
    beam = beam * (1.0 if fall is None else np.exp(-2 * (x * x + y * y) / fall ** 2))
    frames = [np.clip(np.rint(1500 + beam * (20000 + 15000 * np.sin(2 * np.pi * waves + shift))
                              + rng.normal(0, 40, beam.shape)), 0, 65535).astype(np.uint16) for shift in shifts]
    return frames, waves


@pytest.mark.parametrize("pupil, radius, remove", [
    ("threshold:5000", 1.0, "piston,tilt"), ("threshold:5000", 0.9, "piston,tilt"),
    ("threshold:5000", 0.45, "piston,tilt"), ("threshold:5000", 0.25, "piston,tilt"),
    ("annulus:0.5", 1.0, "piston,tilt,defocus"),
])
def test_removed_terms_are_the_best_fit_over_the_pupil(pupil, radius, remove, tmp_path, capsys):
    """Piston, tilt and defocus come out as the least-squares plane (and paraboloid) over the pupil, as against
    the truth and scikit-image: not the 29 terms' own, which refer to the image's circle and, over a pupil that
    does not fill it, carry part of the coma, or noise where the pupil leaves them nearly dependent."""
    restoration = pytest.importorskip("skimage.restoration")
    frames, waves = beam_frames(192, radius)
    for k, frame in enumerate(frames):
        np.save(tmp_path / f"f{k}.npy", frame)
    status, text, err = run(["measure", str(tmp_path / "f?.npy"), "--pupil", pupil, "--remove", remove, "--json",
                             "--out", str(tmp_path / "o"), "--no-figure"], capsys)
    report = json.loads(text)
    assert status == 0 and report["discontinuities"] == 0
    mask = (zelnor.make_mask(road.modulation(frames), 5000.0) if pupil.startswith("threshold")
            else road.annulus_pupil(192, 192, 0.5))
    assert report["pupil_pixels"] == np.count_nonzero(mask)
    ill = radius < 0.5
    assert (report["fit_condition"] > road.FIT_CONDITION_LIMIT) == ill and ("not to be trusted" in err) == ill

    inside = np.flatnonzero(mask)
    removed = zelnor.zernike_matrix(mask, 4)[:4 if "defocus" in remove else 3][:, inside].T

    def flat_pv_rms(surface):
        values = surface.ravel()[inside]
        values = values - removed @ np.linalg.lstsq(removed, values, rcond=None)[0]
        return np.ptp(values), values.std()

    wrapped = np.arctan2(frames[3].astype(float) - frames[1], frames[0].astype(float) - frames[2])
    peer = restoration.unwrap_phase(np.ma.masked_array(wrapped, ~mask)).filled(0) / (2 * np.pi)
    got = report["surface"]["pv"], report["surface"]["rms"]
    for pv_rms in (flat_pv_rms(waves), flat_pv_rms(peer)):
        assert got == pytest.approx(pv_rms, abs=0.03)  # the frames' noise, about 0.005 waves a pixel


@pytest.mark.parametrize("case", ["stuck", "dark-spot", "dim-spot", "lone-dim-pixel", "dead-pixel", "small-beam",
                                  "thin-ring"])
def test_what_the_frames_cannot_tell_is_named(case, camera, tmp_path, capsys):
    frames, _ = camera
    pupil = []
    beam = zelnor.roundmask(0.36, 96, 96)  # a beam 0.6 of the pupil across: most of the pupil is dark
    if case == "stuck":  # the phase shifter never moved: no pixel has fringes
        frames = [frames[0]] * 5
    elif case == "small-beam":  # a camera that reads the dark as 0: no median of the pupil sees the beam
        frames = [np.where(beam, frame, 0).astype(np.uint16) for frame in frames]
    elif case == "dead-pixel":  # it reads the camera's noise about its dark level: a phase anywhere
        frames = [frame.copy() for frame in frames]
        for frame, value in zip(frames, (150, 170, 150, 130, 150)):
            frame[45, 35] = value
    elif case in ("dark-spot", "dim-spot"):  # a 10 x 10 speck of dust on the optics, dark or passing 2 %
        frames = [frame.copy() for frame in frames]
        for frame in frames:
            frame[40:50, 30:40] = 0 if case == "dark-spot" else frame[40:50, 30:40] // 50
    elif case == "lone-dim-pixel":  # as noise makes one now and then: its neighbours hold its phase in place
        frames = [frame.copy() for frame in frames]
        for frame in frames:
            frame[45, 35] //= 50
    else:  # pixels of a ring this thin touch only at their corners
        pupil = ["--pupil", "annulus:0.98"]
    for k, frame in enumerate(frames):
        np.save(tmp_path / f"f{k}.npy", frame)
    status, text, err = run(["measure", str(tmp_path / "f?.npy"), *pupil, "--json", "--out", str(tmp_path / "o"),
                             "--no-figure"], capsys)
    if case == "lone-dim-pixel":
        assert status == 0 and "fringe modulation" not in err
    elif case.endswith(("spot", "pixel", "beam")):
        dark = {"dead-pixel": 1, "small-beam": 7232 - np.count_nonzero(beam)}.get(case, 100)
        assert status == 0 and f"{dark} of the 7232 pupil pixels have little or no fringe modulation" in err
        assert json.loads(text)["warnings"] and "a threshold pupil (--pupil threshold:COUNTS) leaves them out" in err
        if case == "dim-spot":  # a threshold low enough to keep the speck: the way out is a higher one
            status, _, err = run(["measure", str(tmp_path / "f?.npy"), "--pupil", "threshold:1", "--json", "--out",
                                  str(tmp_path / "o"), "--no-figure"], capsys)
            assert status == 0 and "little or no fringe modulation" in err
            assert "a higher threshold leaves them out" in err
    else:
        message = "no fringe modulation at 7232 of the 7232" if case == "stuck" else "separate regions has"
        assert status == 2 and message in err


@pytest.mark.parametrize("call, message", [
    (lambda f, m: road.make_frames(np.zeros(m.shape), m, 6), "need 4, 5 or 7 frames, got 6"),
    (lambda f, m: road.modulation(f[:3]), "need 4, 5 or 7 frames, got 3"),
    (lambda f, m: road.retrieve_phase([frame.astype(np.float64) for frame in f]), "integer camera counts"),
    (lambda f, m: road.retrieve_phase([frame.astype(np.int32) - 1 for frame in f]), "counts in 0..65535"),
    (lambda f, m: road.retrieve_phase([f[0][None]] * 4), "frames must be 2-D images"),
    (lambda f, m: road.unwrap_waves(m, np.zeros(m.shape), "bogus"), "unknown unwrapper 'bogus'"),
    (lambda f, m: road.unwrap_waves(m, np.where(m, np.inf, 0.0), "fast"), "NaN or infinite at pupil pixels"),
    (lambda f, m: road.make_frames(np.zeros(m.shape), m, 4, peak=65536), "the peak must lie in 1..65535"),
    (lambda f, m: road.make_frames(np.zeros(m.shape), m, 4, noise=-1.0), "the noise must be a finite number"),
    (lambda f, m: road.make_frames(np.zeros(m.shape), m, 4, noise=float("nan")), "the noise must be a finite"),
    (lambda f, m: road.synthesize_surface({0: 1.0}, m), "Fringe terms are numbered 1 to 29, got 0"),
    (lambda f, m: road.weakly_modulated([frame.astype(np.float64) for frame in f], m), "integer camera counts"),
    (lambda f, m: road.unmodulated(f[:3], np.zeros(m.shape), m), "need 4, 5 or 7 frames, got 3"),
    (lambda f, m: road.remove_terms(np.zeros(m.shape), m, np.zeros(29), [29]), "term indices run from 0 to 28"),
    (lambda f, m: road.fit_removable(np.zeros(m.shape), m, [4]), "only piston, tilt and defocus"),
    (lambda f, m: road.repair_lone_jumps(np.zeros(m.shape), m.astype(complex)), "must be a bool array, got complex128"),
    # a mask of another size would be cropped, or read past
    (lambda f, m: road.discontinuities(np.zeros((16, 17)), m), r"a mask of shape \(16, 16\) for images of shape"),
    (lambda f, m: road.phase_step(f, m[:8]), r"a mask of shape \(8, 16\) for images of shape \(16, 16\)"),
    (lambda f, m: road.pv_rms(np.zeros((8, 8)), m), "a mask of shape"),
    (lambda f, m: road.weakly_modulated(f, m[:8]), r"a mask of shape \(8, 16\)"),
    # int32 differences of counts past 16 bits would wrap round
    (lambda f, m: road.weakly_modulated([frame.astype(np.int64) * 100000 for frame in f], m), "counts in 0..65535"),
    (lambda f, m: road.unmodulated(f, np.zeros(m.shape, np.int32), m), "floating-point radians, got int32"),
    (lambda f, m: road.edge_steps(f, m, -1.0), "a phase step of -1.0 rad"),
    (lambda f, m: road.unwrap_waves(m, np.zeros(m.shape, complex), "fast"), "wrapped phase must hold real numbers"),
    (lambda f, m: road.make_frames(np.zeros(m.shape), m, 4.0), "need 4, 5 or 7 frames, got 4.0"),
    (lambda f, m: road.synthesize_surface({1.5: 1.0}, m), "Fringe terms are numbered 1 to 29, got 1.5"),
    (lambda f, m: road.fit_zernike(np.zeros(m.shape), m, -1), "at least one term, got -1"),
    (lambda f, m: road.fit_condition(m, 0), "at least one term, got 0"),
    (lambda f, m: road.remove_terms(np.zeros(m.shape), m, np.zeros(3), [4]), r"coefficients of shape \(3,\)"),
    (lambda f, m: road.remove_terms(np.zeros(m.shape), m, np.zeros(29), np.ones((29, 1), bool)),
     r"29 flags in a row, got shape \(29, 1\)"),
])
def test_the_road_refuses_bad_input_in_one_line(call, message):
    """Nothing is truncated or guessed: float frames would otherwise lose their fractions silently."""
    mask = road.disc_pupil(16, 16)
    frames = road.make_frames(np.zeros((16, 16)), mask, 4)
    with pytest.raises(road.RoadError, match=message):
        call(frames, mask)
    assert np.array_equal(road.retrieve_phase([frame.astype(np.int64) for frame in frames]),
                          road.retrieve_phase(frames))  # integer counts in range convert exactly


def test_the_road_reads_what_it_is_given_or_says_it_cannot():
    """Checks that would pass garbage for a reading: NaN where a surface or step has none, no fringes read
    as a misfit, a float32 phase or frame layout that changes what is read."""
    mask = road.disc_pupil(64, 64)
    frames = road.make_frames(road.synthesize_surface({2: 1.5, 4: 1.0, 7: 0.3}, mask), mask, 5)
    wrapped = road.retrieve_phase(frames)
    flat = [np.full((64, 64), 1000, np.uint16)] * 7
    for count in (4, 5, 7):  # rounding in the fit's channels, or noise, is no modulation
        assert road.frame_misfit(flat[:count], mask) is None
        for seed in range(6):
            rng = np.random.default_rng(seed)
            noise = [(1000 + rng.integers(-3, 4, (64, 64))).astype(np.uint16) for _ in range(count)]
            assert road.frame_misfit(noise, mask) is None
    assert road.frame_misfit(frames, mask) < 0.01
    flat_phase = road.retrieve_phase(flat[:5])
    assert road.unmodulated(flat[:5], flat_phase.astype(np.float32), mask) == road.unmodulated(flat[:5], flat_phase,
                                                                                                 mask) == mask.sum()
    assert math.isnan(road.step_ripple(4, math.nan)) and math.isnan(road.shift_ripple([0.0, math.nan, 3.0, 4.7]))
    waves = road.unwrap_waves(mask, wrapped, "unwrap")
    waves[32, 40] = np.nan
    assert road.discontinuities(waves, mask) == 4 and road.step_summary(waves, mask)[0] == 4
    # Any memory layout, and NaN outside the pupil, read as the same frames (to the last bit).
    four = road.make_frames(road.synthesize_surface({2: 1.5, 4: 1.0, 7: 0.3}, mask), mask, 4, noise=50.0)
    for layout in ([np.asfortranarray(frame) for frame in four],
                   [np.where(mask, frame.astype(np.float64), np.nan) for frame in four]):
        assert road.phase_step(layout, mask) == road.phase_step(four, mask)
        assert road.edge_steps(layout, mask) == road.edge_steps(four, mask)
        assert road.frame_misfit(layout, mask) == road.frame_misfit(four, mask)
    unseen = [np.where(mask, frame.astype(np.float64), np.nan) for frame in frames]
    assert np.array_equal(road.frame_shifts(unseen, mask), road.frame_shifts(frames, mask))
    # phase_step's own readings at the ends of its range are steps edge_steps takes
    assert [road.edge_steps(frames, mask, step) is None for step in (0.0, math.pi)] == [False, False]
    assert np.array_equal(road.unwrap_waves(mask, wrapped.astype(np.float32), "fast"),
                          road.unwrap_waves(mask, wrapped.astype(np.float32).astype(np.float64), "fast"))
    # NaN marks no data in a float mask, as in a mask file.
    assert np.array_equal(road.largest_region(np.where(mask, 1.0, np.nan))[0], mask)


@pytest.mark.parametrize("side, warned", [(2, False), (12, True)])
def test_threshold_pupil_sheds_specks_quietly(side, warned, tmp_path, capsys):
    """Noise on a threshold's contour leaves specks of a few pixels on most real beams: they are cut away
    without a word, while a second region worth 1 % of the pupil is named."""
    frames, _ = beam_frames(192, 0.45)
    for k, frame in enumerate(frames):
        frame[:side, :side] = frame[96:96 + side, 96:96 + side]  # fringes in a corner, far from the beam
        np.save(tmp_path / f"f{k}.npy", frame)
    status, text, err = run(["measure", str(tmp_path / "f?.npy"), "--pupil", "threshold:5000", "--json",
                             "--out", str(tmp_path / "o"), "--no-figure"], capsys)
    report = json.loads(text)
    beam = zelnor.make_mask(road.modulation(frames), 5000.0)
    assert status == 0 and report["pupil_pixels"] == np.count_nonzero(beam) - side * side
    assert ("2 separate regions" in err) == warned


@pytest.mark.parametrize("count, error, warned", [(4, 0.0, False), (4, -10.0, True), (4, 12.0, True),
                                                  (5, -10.0, False), (7, 0.0, False), (7, 25.0, True)])
def test_a_miscalibrated_phase_step_is_read_off_the_frames(count, error, warned, tmp_path, capsys):
    """The step the frames were taken at comes out of them; where the formula's error from it passes a
    fiftieth of a wave, the warning gives the ripple, which the surface shows against the truth."""
    nominal = road.PHASE_STEPS[count]
    frames, waves = beam_frames(160, 1.0, count=count, step=nominal + np.radians(error))
    for k, frame in enumerate(frames):
        np.save(tmp_path / f"f{k}.npy", frame)
    status, text, err = run(["measure", str(tmp_path / "f?.npy"), "--pupil", "threshold:5000", "--json",
                             "--out", str(tmp_path / "o"), "--no-figure"], capsys)
    report = json.loads(text)
    step = report["phase_step"]
    assert status == 0 and step["nominal_degrees"] == pytest.approx(np.degrees(nominal))
    assert step["degrees"] == pytest.approx(np.degrees(nominal) + error, abs=0.1)
    assert ("calibrate the phase step" in err) == warned
    # The surface's own error: the ripple, plus the frames' noise (some 0.003 waves).
    assert surface_error_pv(frames, waves, tmp_path / "o") == pytest.approx(step["ripple_waves"], rel=0.25, abs=0.006)


def surface_error_pv(frames, waves, out):
    """PV of the measured surface less the true one, plane aside, over the threshold:5000 pupil."""
    mask = zelnor.make_mask(road.modulation(frames), 5000.0)
    inside = np.flatnonzero(mask)
    plane = zelnor.zernike_matrix(mask, 3)[:, inside].T
    error_map = np.load(out / "surface.npy").ravel()[inside] - waves.ravel()[inside]
    error_map -= plane @ np.linalg.lstsq(plane, error_map, rcond=None)[0]
    return np.ptp(error_map)


@pytest.mark.parametrize("degrees, warned", [
    ([0, 90, 90, 180, 270], True),  # the shifter stuck once: a uniform step reads 60°, which 5 frames tolerate
    ([0, 70, 180, 250, 360], True),  # first and last a turn apart, the beam even: the middle ones still read
    ([0, 90, 180, 180, 270], True),
    ([0, 0, 60, 120, 180, 240, 300], True),  # missed its first step
    ([0, 60, 120, 180, 180, 240, 300], True),  # a frame taken twice: no uniform step comes near
    ([0, 93, 178, 272, 358], False),  # a few degrees of vibration
    ([0, 62, 118, 181, 239, 302, 358], False),
])
def test_a_missed_or_slipped_step_is_read_frame_by_frame(degrees, warned, tmp_path, capsys):
    """Each frame's shift comes out of the frames; where the formula's error from them passes a fiftieth of a
    wave, the warning gives it, and the surface shows it against the truth."""
    frames, waves = beam_frames(160, 1.0, count=len(degrees), shifts=np.radians(degrees))
    for k, frame in enumerate(frames):
        np.save(tmp_path / f"f{k}.npy", frame)
    status, text, err = run(["measure", str(tmp_path / "f?.npy"), "--pupil", "threshold:5000", "--json",
                             "--out", str(tmp_path / "o"), "--no-figure"], capsys)
    step = json.loads(text)["phase_step"]
    assert status == 0
    assert step["shifts_degrees"] == pytest.approx(degrees, abs=0.5)
    assert ("the frames' phase shifts from the first read" in err) == warned
    assert ("calibrate the phase step" in err) is False
    assert surface_error_pv(frames, waves, tmp_path / "o") == pytest.approx(step["shifts_ripple_waves"], rel=0.25,
                                                                            abs=0.006)


@pytest.mark.parametrize("count, tilt, axis, warned, fall", [
    (4, 0.0, 1, False, None), (4, 0.2, 1, True, None), (4, 0.15, 0, True, None), (5, 0.2, 1, False, None),
    (7, 0.3, 0, True, None), (7, 0.1, 1, False, None),
    (4, 0.2, 1, True, 1.0), (7, 0.2, 0, True, 0.7),  # Gaussian beams, 14 % and 2 % at the rim
])
def test_a_phase_step_that_changes_across_the_pupil_is_read_at_its_edge(count, tilt, axis, warned, fall, tmp_path,
                                                                        capsys):
    """A reference mirror that tilts as it moves takes the frames `tilt` further apart at one edge of the pupil
    and as much closer at the other: the step read over each half of the pupil, extrapolated to the edge, gives
    the ripple the surface shows there, which the step over the whole pupil averages away. Under a beam that dims
    towards the rim, each half's step is its bright middle's."""
    size = 160
    x = (2 * np.arange(size) + 1) / size - 1
    across = x[None, :] if axis == 1 else x[:, None]
    nominal = road.PHASE_STEPS[count]
    frames, waves = beam_frames(size, 1.0, count=count, fall=fall,
                                shifts=[k * nominal * (1 + tilt * across) for k in range(count)])
    for k, frame in enumerate(frames):
        np.save(tmp_path / f"f{k}.npy", frame)
    pupil = "threshold:5000" if fall is None else "disc"
    status, text, err = run(["measure", str(tmp_path / "f?.npy"), "--pupil", pupil, "--json", "--out",
                             str(tmp_path / "o"), "--no-figure"], capsys)
    step = json.loads(text)["phase_step"]
    assert status == 0 and step["ripple_waves"] < road.STEP_RIPPLE_LIMIT
    assert step["edge_degrees"] == pytest.approx(np.degrees(nominal) * np.array([1 - tilt, 1 + tilt]), abs=3.0)
    assert ("the phase step changes across the pupil" in err) == warned
    if count != 5 and fall is None:  # (the 5-frame formula's own error is noise, as is the dim rim's)
        assert surface_error_pv(frames, waves, tmp_path / "o") == pytest.approx(step["edge_ripple_waves"], rel=0.3,
                                                                                abs=0.006)


@pytest.mark.parametrize("count, degrees, seed, warned", [(5, 0, 1, False), (7, 0, 2, False), (5, 3, 4, False),
                                                        (5, 20, 1, True), (5, 12, 2, True), (7, 20, 1, True),
                                                        (7, 20, 2, True), (7, 20, 6, True)])
def test_a_wavefront_that_tilts_from_frame_to_frame_is_read_at_the_rim(count, degrees, seed, warned, tmp_path,
                                                                       capsys):
    """A part or reference that rocks while the frames are taken tilts each frame's shift across the pupil
    (`degrees` rms at the edge, in x and y): over the whole pupil the tilts average away and the shifts read
    true, but over its halves they show, and carried to the rim they give the error the surface shows there. The
    edge steps read a part of such tilts as a step that changes across the pupil: the rim's larger error names
    the cause."""
    size = 160
    rng = np.random.default_rng(seed)
    x = (2 * np.arange(size) + 1) / size - 1
    tilts = np.radians(rng.normal(0, degrees, (2, count)))
    nominal = road.PHASE_STEPS[count]
    frames, waves = beam_frames(size, 1.0, count=count, shifts=[k * nominal + tilts[0, k] * x[None, :] +
                                                                 tilts[1, k] * x[:, None] for k in range(count)])
    for k, frame in enumerate(frames):
        np.save(tmp_path / f"f{k}.npy", frame)
    status, text, err = run(["measure", str(tmp_path / "f?.npy"), "--pupil", "threshold:5000", "--json", "--out",
                             str(tmp_path / "o"), "--no-figure"], capsys)
    step = json.loads(text)["phase_step"]
    assert status == 0 and ("the frames' phase shifts change across the pupil" in err) == warned
    assert "the phase step changes across the pupil" not in err
    assert step["shifts_degrees"] == pytest.approx(np.degrees(np.arange(count) * nominal), abs=5.0)
    assert surface_error_pv(frames, waves, tmp_path / "o") == pytest.approx(step["rim_ripple_waves"], rel=0.35,
                                                                            abs=0.006)


@pytest.mark.parametrize("middle, gain, noise, seeds, warned", [
    (-0.5, 0.0, 1700, range(6), False),  # one half's differences near a null fringe, under noise: left unread
    (-2.5, 0.15, 30, range(1), True),  # a tilting reference over a nearly nulled part: read at its edges
])
def test_the_edge_step_over_few_fringes(middle, gain, noise, seeds, warned):
    """4 frames over a tenth of a wave of tilt whose middle frame's phase is null at x = `middle` (the left
    half's centre, or far beyond the pupil), taken a step apart that grows by `gain` of itself from the
    pupil's centre to each edge."""
    mask = road.disc_pupil(128, 128)
    x = np.broadcast_to((2 * np.arange(128) + 1) / 128 - 1, mask.shape)
    step = np.pi / 2 * (1 + gain * x)
    for seed in seeds:
        rng = np.random.default_rng(seed)
        frames = [np.where(mask, np.clip(np.rint(8000 + 3000 * np.cos(2 * np.pi * 0.1 * (x - middle) + (k - 1.5) * step)
                                                 + rng.normal(0, noise, mask.shape)), 0, 65535), 0).astype(np.uint16)
                  for k in range(4)]
        edges = road.edge_steps(frames, mask)
        ripple = 0.0 if edges is None else max(road.step_ripple(4, edge) for edge in edges) / road.TWO_PI
        assert (ripple > road.STEP_RIPPLE_LIMIT) == warned
        if warned:  # and over the whole pupil, near the step at its centre
            assert np.degrees(edges) == pytest.approx([90 * (1 - gain), 90 * (1 + gain)], abs=4.0)
            assert np.degrees(road.phase_step(frames, mask)) == pytest.approx(90.0, abs=3.0)


def gaussian_beam_frames(shifts, rim, background=0.0, size=128, seed=3):
    """Noisy frames at phase `shifts` of a nearly nulled part (half a wave of defocus, a tenth of tilt) under a
    Gaussian beam whose modulation falls to `rim` of its peak at the edge of the image's inscribed disc, over
    `background` counts of light that does not interfere."""
    rng = np.random.default_rng(seed)
    x = (2 * np.arange(size) + 1) / size - 1
    r2 = x[None, :] ** 2 + x[:, None] ** 2
    waves = 0.5 * (2 * r2 - 1) + 0.1 * x[None, :]
    modulation = 15000 * np.exp(np.log(rim) * r2) * (r2 <= 1)
    return [np.clip(np.rint(300 + background * (r2 <= 1) + modulation * (1 + np.cos(2 * np.pi * waves + shift))
                            + rng.normal(0, 20, r2.shape)), 0, 65535).astype(np.uint16) for shift in shifts]


@pytest.mark.parametrize("degrees, rim, background, read, warned", [
    ([0, 90, 180, 270, 360], 0.3, 0, None, False),  # calibrated: the beam's fall-off is no shifter's fault
    ([0, 90, 180, 270, 360], 0.1, 0, None, False),
    ([0, 60, 120, 180, 240, 300, 360], 0.1, 0, None, False),
    ([0, 80, 160, 240, 320], 0.1, 0, None, False),  # 10 degrees short a step: five phases fix the shifts
    ([0, 80, 160, 240, 320], 0.3, 15000, None, False),  # ... whatever the fringes' visibility
    ([0, 0, 60, 120, 180, 240, 300], 0.3, 0, None, True),
    ([0, 50, 120, 180, 240, 290, 360], 0.1, 15000, None, False),
    # Five frames at four phases leave one combination of the shifts open, which the beam closes where its
    # fringes' visibility is uniform: a slip whose first and last frames lie a turn apart is read; a frame
    # taken twice reads as two frames alike, and is warned of.
    ([0, 70, 180, 250, 360], 0.3, 0, None, True),
    ([0, 90, 90, 180, 270], 0.3, 0, None, True),
])
def test_frame_shifts_under_a_beam_that_falls_off_at_the_rim(degrees, rim, background, read, warned, tmp_path,
                                                             capsys):
    """A beam brighter in the middle than at the rim, over the few fringes of a nearly nulled part, puts no
    phase shifter's fault on calibrated frames."""
    for k, frame in enumerate(gaussian_beam_frames(np.radians(degrees), rim, background)):
        np.save(tmp_path / f"f{k}.npy", frame)
    status, text, err = run(["measure", str(tmp_path / "f?.npy"), "--json", "--out", str(tmp_path / "o"),
                             "--no-figure"], capsys)
    assert status == 0
    assert json.loads(text)["phase_step"]["shifts_degrees"] == pytest.approx(read or degrees, abs=1.5)
    assert ("the frames' phase shifts from the first read" in err) == warned


@pytest.mark.parametrize("beam", ["test beam falling to a tenth under a flat reference",
                                  "weak test beam falling to a third under a bright flat reference",
                                  "half lit by the reference"])
def test_calibrated_frames_under_uneven_visibility_read_no_shifter_fault(beam, tmp_path, capsys):
    """Where the fringes' visibility, not only their modulation, changes over the pupil, neither assumption
    that closes a calibrated 5-frame set's open combination holds: no frame is said to be off."""
    size = 128
    x = (2 * np.arange(size) + 1) / size - 1
    r2 = x[None, :] ** 2 + x[:, None] ** 2
    phase = 2 * np.pi * 0.3 * (2 * r2 - 1) + 0.5
    if beam.startswith("test"):
        reference, test = 10000.0, 10000.0 * np.exp(-r2 * np.log(10))
    elif beam.startswith("weak"):  # the fringes' A nearly flat: either assumption then says B is uniform
        reference, test = 29000.0, 1160.0 * np.exp(-r2 * np.log(3))
    else:
        reference, test = 20000.0, np.where(x[None, :] < 0, 0.0, 2500.0) + 0 * r2
    rng = np.random.default_rng(3)
    for k in range(5):
        frame = reference + test + 2 * np.sqrt(reference * test) * np.cos(phase + k * np.pi / 2)
        np.save(tmp_path / f"f{k}.npy", np.where(r2 <= 1, np.rint(frame + rng.normal(0, 30, r2.shape)), 0)
                .astype(np.uint16))
    status, text, err = run(["measure", str(tmp_path / "f?.npy"), "--json", "--out", str(tmp_path / "o"),
                             "--no-figure"], capsys)
    shifts = json.loads(text)["phase_step"]["shifts_degrees"]
    assert status == 0 and "the frames' phase shifts from the first read" not in err
    assert shifts is None or shifts == pytest.approx([0, 90, 180, 270, 360], abs=3.0)


@pytest.mark.parametrize("count", [4, 5, 7])
def test_phase_step_of_noisy_frames_swapped_frames_and_a_null(count):
    nominal = road.PHASE_STEPS[count]
    frames, _ = beam_frames(128, 1.0, count=count, step=nominal * 1.1)
    beam = frames[0] > 1000
    assert road.phase_step(frames, beam) == pytest.approx(nominal * 1.1, abs=1e-3)
    # Noise of half the modulation: the neighbours' products leave the estimate where it was.
    rng = np.random.default_rng(count)
    noisy = [np.clip(frame + rng.normal(0, 7500, frame.shape), 0, 65535).astype(np.uint16) for frame in frames]
    assert road.phase_step(noisy, beam) == pytest.approx(nominal * 1.1, abs=0.02)
    # Frame by frame too, from the nominal shifts (four frames leave them undetermined).
    shifts = road.frame_shifts(noisy, beam)
    if count == 4:
        assert shifts is None
    else:
        assert shifts == pytest.approx(np.arange(count) * nominal * 1.1, abs=0.04)
    if count == 4:  # the middle two swapped: far from any step the formula could live with
        assert road.step_ripple(4, road.phase_step([frames[k] for k in (0, 2, 1, 3)], beam)) > 1.0
    # Uniform fringes whose middle phase is 0: the differences carry no step.
    middle = (count - 1) / 2
    flat = [np.full((32, 32), np.uint16(20000 + 15000 * np.cos((k - middle) * nominal))) for k in range(count)]
    assert road.phase_step(flat, np.ones((32, 32), bool)) is None
    assert road.frame_shifts(flat, np.ones((32, 32), bool)) is None


@pytest.mark.parametrize("count", [4, 5, 7])
def test_phase_step_stands_whatever_light_each_frame_adds(count):
    """Ambient light that flickers between frames lifts whole frames: over fringes it leaves the step as it
    is; a nulled pupil, where it cannot be told from the step, is still read."""
    y, x = np.mgrid[:96, :96]
    step = road.PHASE_STEPS[count] * 1.05
    offsets = [0, 900, 0, 900, 0, 900, 0] if count == 4 else [0, 900, -400, 700, -600, 300, 500]
    fringes = [20000 + 8000 * np.cos(0.2 * x + 0.15 * y + k * step) for k in range(count)]
    lifted = [np.rint(frame + offset).astype(np.uint16) for frame, offset in zip(fringes, offsets)]
    assert road.phase_step(lifted, np.ones(x.shape, bool)) == pytest.approx(step, abs=2e-4)
    middle = (count - 1) / 2
    nulled = [np.full(x.shape, np.uint16(20000 + 8000 * np.cos(1.0 + (k - middle) * step))) for k in range(count)]
    assert road.phase_step(nulled, np.ones(x.shape, bool)) == pytest.approx(step, abs=2e-4)
    # Over a fringe and a half, each half of the pupil shows too little of them to tell the flicker from the
    # step on its own: read about the whole pupil's means, the halves name no tilting reference.
    mask = road.disc_pupil(128, 128)
    x = np.broadcast_to((2 * np.arange(128) + 1) / 128 - 1, mask.shape)
    for lift in (300, 600, 750):
        frames = [np.where(mask, np.rint(8000 + 3000 * np.cos(1.5 * np.pi * x + k * step) + (lift if k % 2 else 0)), 0)
                  .astype(np.uint16) for k in range(count)]
        assert np.degrees(road.edge_steps(frames, mask)) == pytest.approx(np.degrees([step, step]), abs=1.0)


@pytest.mark.parametrize("shape", [(37, 53), (200, 31), (5, 300)])
def test_phase_step_in_row_blocks_equals_the_image_at_once(shape, monkeypatch):
    rng = np.random.default_rng(shape[0])
    y, x = np.mgrid[:shape[0], :shape[1]]
    for count, step in ((4, 1.5), (5, 1.4), (7, 1.0)):
        frames = [np.clip(np.rint(30000 + 20000 * np.cos(0.3 * x + 0.2 * y + k * step)
                                  + rng.normal(0, 3000, shape)), 0, 65535).astype(np.uint16) for k in range(count)]
        for mask in (np.ones(shape, bool), rng.random(shape) > 0.3):
            (a, b), (c, d) = road._SYMMETRIC_PAIRS[count]
            # about their pupil means: these fringes vary over the pupil
            near, far = (frames[i] - frames[j].astype(float) for i, j in ((a, b), (c, d)))
            near, far = (near - near[mask].mean()) * mask, (far - far[mask].mean()) * mask
            cross = own = 0.0
            for here, there in ((np.s_[:, :-1], np.s_[:, 1:]), (np.s_[:-1, :], np.s_[1:, :])):
                cross += (far[here] * near[there]).sum() + (near[here] * far[there]).sum()
                own += 2 * (near[here] * near[there]).sum()
            expected = np.arccos((cross / own - 1) / 2 if count == 4 else cross / own / 2)
            for pixels in (64, 1000, 1 << 16):
                monkeypatch.setattr(road, "BLOCK_PIXELS", pixels)
                assert road.phase_step(frames, mask) == pytest.approx(expected, abs=1e-9)


@pytest.mark.parametrize("case, warned", [("sound", False), ("noisy", False), ("gamma", False), ("drift", False),
                                          ("extra-dark", True), ("extra-unrelated", True), ("saturated", True)])
def test_a_frame_foreign_to_the_set_is_named(case, warned, tmp_path, capsys):
    """A dark or unrelated image in the frames folder makes a 5-frame set of 4 frames: the surface is wrong
    by a tenth of a wave, with no jump and no weak fringes; the frames' misfit to one fringe pattern names it."""
    frames, _ = beam_frames(160, 1.0)
    rng = np.random.default_rng(3)
    if case == "noisy":  # noise of half the modulation
        frames = [np.clip(f + rng.normal(0, 7500, f.shape), 0, 65535).astype(np.uint16) for f in frames]
    elif case == "gamma":  # a strongly non-linear camera
        frames = [np.rint(65535 * (f / 65535.0) ** 0.5).astype(np.uint16) for f in frames]
    elif case == "drift":  # the lamp dims by 5 % a frame
        frames = [np.rint(f * (1 - 0.05 * k)).astype(np.uint16) for k, f in enumerate(frames)]
    elif case == "extra-dark":
        frames = frames + [np.full_like(frames[0], 1500)]
    elif case == "extra-unrelated":
        frames = frames + [beam_frames(160, 1.0, seed=9, step=2.0)[0][1][::-1].copy()]
    elif case == "saturated":  # three times the exposure: the bright fringes clip at full scale
        frames = [np.clip(3.0 * f.astype(float), 0, 65535).astype(np.uint16) for f in frames]
    for k, frame in enumerate(frames):
        np.save(tmp_path / f"f{k}.npy", frame)
    status, text, err = run(["measure", str(tmp_path), "--pupil", "threshold:5000", "--json",
                             "--out", str(tmp_path / "o"), "--no-figure"], capsys)
    report = json.loads(text)
    assert status == 0 and ("depart from one phase-shifted fringe pattern" in err) == warned
    assert (report["frame_misfit"] > road.MISFIT_LIMIT) == warned
    if not warned:
        assert report["frame_misfit"] < 0.2


def test_frame_misfit_from_a_sample_of_rows_matches_the_whole_pupil(monkeypatch):
    frames, _ = beam_frames(512, 0.8, count=7, step=np.pi / 3)
    frames[6] = frames[6][::-1].copy()  # a foreign last frame
    beam = frames[0] > 1000
    monkeypatch.setattr(road, "SAMPLE_PIXELS", 1 << 30)
    whole = road.frame_misfit(frames, beam)
    monkeypatch.setattr(road, "SAMPLE_PIXELS", 1 << 16)
    assert road.frame_misfit(frames, beam) == pytest.approx(whole, rel=0.1)
    assert whole > road.MISFIT_LIMIT
    assert road.frame_misfit(frames, np.zeros_like(beam)) is None
