"""The `zelnor` command on random argument lists: it exits 0, or 2 with one line
`zelnor: error: ...`, and never shows a traceback."""
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zelnor
from zelnor_cli import road
from zelnor_cli.cli import main

NUMBERS = ["0", "1", "-1", "-3", "0.5", "1e400", "-1e400", "nan", "inf", "-inf", "1e308", "abc", "", "0x10",
           "4294967296", "70000", "65536"]
SMALL_SIZES = ["8", "16", "24", "7", "0", "-5", "65536", "65535", "100000000", "1e3", "nan", "x"]
PUPILS = ["disc", "annulus:0.5", "annulus:0", "annulus:1", "annulus:nan", "annulus:", "threshold:100",
          "threshold:inf", "threshold:-1", "threshold:1e9", "mask:", "square", "disc:1", "mask:{missing}",
          "mask:{folder}", "mask:{frame}", "mask:{text}", "mask:{small}"]
COEFFICIENTS = st.lists(
    st.tuples(st.sampled_from(["1", "2", "4", "29", "0", "30", "-1", "x"]),
              st.sampled_from(["0.5", "-2", "3", "nan", "inf", "-inf", "1e5", "1e400", "", "q"])),
    max_size=4,
).map(lambda items: ",".join(f"{index}:{value}" for index, value in items))

OPTIONS = {
    "--frames": st.sampled_from(["4", "5", "7", "6", "x", "-4"]),
    "--coefficients": COEFFICIENTS,
    "--noise": st.sampled_from(NUMBERS),
    "--peak": st.sampled_from(NUMBERS + ["65535"]),
    "--seed": st.sampled_from(NUMBERS),
    "--pupil": st.sampled_from(PUPILS),
    "--unwrapper": st.sampled_from(["unwrap", "fast", "slow", ""]),
    "--wavelength": st.sampled_from(NUMBERS + ["632.8"]),
    "--remove": st.sampled_from(["piston", "tilt,defocus", "coma", "", ",", "piston,piston"]),
    "--double-pass": st.none(),
    "--json": st.none(),
    "--bogus": st.none(),
}


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Valid frames, and the wrong things a user might hand the command instead."""
    base = tmp_path_factory.mktemp("args")
    mask = road.disc_pupil(24, 24)
    surface = zelnor.zernike_surface(np.array([0.0, 0.3, 0.0, 0.5]), mask)
    paths = {}
    for k, frame in enumerate(road.make_frames(surface, mask, 4)):
        paths[f"f{k}"] = str(base / f"f{k}.pgm")
        zelnor.save_pgm(paths[f"f{k}"], frame)
    paths["small"] = str(base / "small.pgm")
    zelnor.save_pgm(paths["small"], np.ones((9, 24), np.uint16))
    paths["text"] = str(base / "notes.txt")
    (base / "notes.txt").write_text("not a frame\n")
    paths["missing"] = str(base / "missing.pgm")
    paths["folder"] = str(base / "folder")
    (base / "folder").mkdir()
    paths["frame"] = paths["f0"]
    paths["glob"] = str(base / "f*.pgm")
    return paths


@st.composite
def argument_lists(draw, paths):
    command = draw(st.sampled_from(["simulate", "measure", "other", ""]))
    argv = [command] if command else []
    if command == "measure":
        pool = ["f0", "f1", "f2", "f3", "small", "text", "missing", "folder", "glob"]
        argv += [paths[name] for name in draw(st.lists(st.sampled_from(pool), max_size=7))]
    if command == "simulate":
        # Small grids keep the runs quick; sizes refused as too large are tried too.
        argv += ["--size", draw(st.sampled_from(SMALL_SIZES))]
    for option in draw(st.lists(st.sampled_from(sorted(OPTIONS)), max_size=4, unique=True)):
        value = draw(OPTIONS[option])
        argv += [option] if value is None else [option, value.format(**paths)]
    return argv


@settings(max_examples=150, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(data=st.data())
def test_random_arguments_never_show_a_traceback(data, files, tmp_path, capfd):
    argv = data.draw(argument_lists(files)) + ["--out", str(tmp_path / "out"), "--no-figure"]
    capfd.readouterr()
    status = main(argv)
    out, err = capfd.readouterr()
    assert "Traceback" not in out + err
    assert status in (0, 2), (argv, err)
    if status == 2:
        lines = [line for line in err.splitlines() if line.strip()]
        assert len(lines) == 1 and lines[0].startswith("zelnor: error: "), (argv, err)
    else:
        assert out.strip()
