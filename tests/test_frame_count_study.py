"""The frame-count study runs, and its numbers keep the ranking that the docs draw from them."""
import io
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "benchmarks"))
import frame_count_study as study  # noqa: E402  (the study script lives with the benchmarks)

FORMULAS = ["4", "5", "7", "phase5"]


@pytest.fixture(scope="module")
def results():
    return study.study((8, 256), epsilons=(0.0, 0.02, 0.1), harmonics=(0.05,), noises=(), thirds=(0.05,))


def test_exact_frames_are_at_the_quantisation_floor(results):
    # Rounding to counts costs about 1e-5 rad RMS; phase5's integer arctangent about 5e-5.
    for formula, (pv_floor, rms_floor) in {"4": (1e-4, 2e-5), "5": (1e-4, 2e-5), "7": (1e-4, 2e-5),
                                           "phase5": (1.8e-4, 5e-5)}.items():
        pv, rms = results[("eps", 0.0)][formula]
        assert pv < pv_floor and rms < rms_floor, formula


def test_step_error_ranking(results):
    floor = {f: results[("eps", 0.0)][f][0] for f in FORMULAS}
    small = {f: results[("eps", 0.02)][f][0] for f in FORMULAS}
    large = {f: results[("eps", 0.1)][f][0] for f in FORMULAS}
    for formula in ("4", "7", "phase5"):
        assert floor[formula] < small[formula] < large[formula], formula
    assert large["5"] > 3 * floor["5"]
    # First-order formulas scale with eps, the compensating ones faster.
    assert large["4"] == pytest.approx(5 * small["4"], rel=0.1)
    assert large["phase5"] > 15 * small["phase5"]
    assert large["5"] < large["phase5"] < large["7"] < large["4"]


def test_harmonics(results):
    second = results[("harmonic", 0.05)]
    third = results[("third", 0.05)]
    assert second["5"][0] == pytest.approx(0.1, rel=0.1)  # ripple amplitude c, PV 2c
    for formula in ("4", "7", "phase5"):
        assert second[formula][0] < 1e-3, formula
    assert third["7"][0] < 1e-3
    for formula in ("4", "5", "phase5"):
        assert third[formula][0] == pytest.approx(0.1, rel=0.1), formula


def test_sampling_functions_match_the_documented_table():
    expected = {"4": ([2, 4, 6], 1, 0.707), "5": ([4], 3, 0.791), "7": ([2, 3, 4, 6], 1, 0.553),
                "phase5": ([2, 4, 6], 2, 0.661)}
    for formula, (rejected, order, gain) in expected.items():
        found = study.characteristics(formula)
        assert (found["rejected"], found["image_zero_order"]) == (rejected, order), formula
        assert found["noise_gain"] == pytest.approx(gain, abs=5e-4)


def test_main_prints_the_tables():
    out = io.StringIO()
    study.main(["--size", "4x64", "--markdown"], out=out)
    text = out.getvalue()
    assert "| step error eps |" in text and "| 2nd harmonic c |" in text and "| noise sigma (counts) |" in text
