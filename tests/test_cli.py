"""The `zelnor` command: simulate, measure, their outputs and their error paths."""
import json
import os
import subprocess
import sys

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
    assert "header" not in text and "P5" not in text  # the loader's header echo stays off the report


def test_measure_units_threshold_pupil_and_removal(tmp_path, capsys):
    sim = tmp_path / "sim"
    run(["simulate", "--size", "96", "--coefficients", "3:0.2,4:0.5", "--out", str(sim), "--no-figure"], capsys)
    frames = [str(sim / f"frame_{k}.pgm") for k in range(4)]
    meas = tmp_path / "meas"
    status, _, _ = run(["measure", *frames, "--pupil", "threshold:1000", "--wavelength", "632.8",
                        "--remove", "piston,tilt,defocus", "--unwrapper", "fast", "--out", str(meas),
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
    pytest.importorskip("matplotlib")
    out = tmp_path / "fig"
    assert run(["simulate", "--size", "48", "--out", str(out)], capsys)[0] == 0
    assert (out / "figure.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    out2 = tmp_path / "nofig"
    status, _, err = run(["simulate", "--size", "48", "--out", str(out2)], capsys)
    assert status == 0 and not (out2 / "figure.png").exists()
    assert "matplotlib is not installed" in err


@pytest.mark.parametrize(
    "case",
    ["missing", "sizes", "count", "garbage", "pupil", "remove", "option", "coefficient"],
)
def test_bad_input_exits_2_with_one_line(case, tmp_path, capfd):
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
    }[case]
    status, _, err = run(argv + ["--out", str(tmp_path / "o"), "--no-figure"], capfd)
    assert status == 2
    lines = [line for line in err.splitlines() if line.strip()]
    assert len(lines) == 1 and lines[0].startswith("zelnor: error:"), err


def test_module_entry_point_runs(tmp_path):
    proc = subprocess.run([sys.executable, "-m", "zelnor_cli", "simulate", "--size", "32", "--out",
                           str(tmp_path), "--no-figure"], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert "residual" in proc.stdout


def test_stub_matches_module():
    pytest.importorskip("mypy")
    stubs = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python")
    env = dict(os.environ, MYPYPATH=stubs)
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "zelnor"], capture_output=True, text=True,
                          env=env, cwd=stubs)
    assert proc.returncode == 0, proc.stdout + proc.stderr
