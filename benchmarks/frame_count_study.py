"""How the 4-, 5- and 7-frame formulas of zelnor.phase respond to a miscalibrated
phase shifter, a non-linear detector and noise.

Frames are I_k = A + B cos(phi + k delta (1 + eps)) + c B cos(2 (phi + k delta (1 + eps)))
plus optional Gaussian noise of sigma counts, rounded to uint16, over a tilt ramp of
many fringes so that phi covers the whole circle evenly.  The phase error is the
retrieved phase minus the true one (the formula's fixed offset taken off), wrapped,
with its circular mean (a piston, which no surface measurement sees) removed.
Reported in milliradians: PV and RMS over the image.

Also prints each formula's sampling function W(nu) = sum_k (d_k + i n_k) e^(i k nu)
(n_k, d_k the numerator and denominator weights): its zeros, which harmonics it
rejects, the order of its zero at the image frequency -delta (detuning tolerance),
and its noise gain.

    PYTHONPATH=build/dev python benchmarks/frame_count_study.py [--size 256x1024] [--markdown]
"""
from __future__ import annotations

import argparse
import math
import sys

import numpy as np

import zelnor

SQRT3 = 1.7320508075688772
# Numerator and denominator weights of zelnor.phase (and of phase5's integer vector
# Y, X), the step each is made for, and the offset of its result from the phase of frame 0.
FORMULAS = {
    "4": (np.array([0.0, -1.0, 0.0, 1.0]), np.array([1.0, 0.0, -1.0, 0.0]), math.pi / 2, 0.0),
    "5": (np.array([0.0, -3.0, 3.0, 1.0, -1.0]), np.array([1.0, -1.0, -3.0, 3.0, 0.0]), math.pi / 2, -math.pi / 4),
    "7": (-SQRT3 * np.array([0.0, 1.0, 1.0, 0.0, -1.0, -1.0, 0.0]),
          np.array([1.0, 1.0, -1.0, -2.0, -1.0, 1.0, 1.0]), math.pi / 3, 0.0),
    "phase5": (np.array([0.0, -2.0, 0.0, 2.0, 0.0]), np.array([1.0, 0.0, -2.0, 0.0, 1.0]), math.pi / 2, 0.0),
}
BINARY_ANGLE = 2 * math.pi / 65536
EPSILONS = (-0.1, -0.05, -0.02, 0.0, 0.02, 0.05, 0.1)
HARMONICS = (0.0, 0.01, 0.02, 0.05, 0.1)
THIRDS = (0.01, 0.05)
NOISES = (0.0, 100.0, 1000.0)
BACKGROUND, MODULATION = 32000.0, 28000.0  # counts: + 10 % second harmonic stays inside 16 bits


def ramp(shape, fringes=16.25):
    """True phase: a tilt of many fringes along x (non-integer, so no pattern repeats
    exactly at the border) and a little along y."""
    rows, cols = shape
    y, x = np.mgrid[0:rows, 0:cols]
    return 2 * math.pi * (fringes * x / cols + 0.37 * y / rows)


def make_frames(phi, formula, eps=0.0, harmonic=0.0, noise=0.0, rng=None, third=0.0):
    """Frames for one formula; `harmonic` and `third` are the 2nd and 3rd harmonics
    of the fringe relative to B."""
    step = FORMULAS[formula][2] * (1.0 + eps)
    frames = []
    for k in range(len(FORMULAS[formula][0])):
        shifted = phi + k * step
        fringe = np.cos(shifted) + harmonic * np.cos(2 * shifted) + third * np.cos(3 * shifted)
        intensity = BACKGROUND + MODULATION * fringe
        if noise > 0.0:
            intensity = intensity + rng.normal(0.0, noise, size=phi.shape)
        frames.append(np.clip(np.rint(intensity), 0, 65535).astype(np.uint16))
    return frames


def phase_error(phi, formula, eps=0.0, harmonic=0.0, noise=0.0, seed=0, third=0.0):
    """PV and RMS, in radians, of the piston-free phase error of one formula."""
    rng = np.random.default_rng(seed)
    frames = make_frames(phi, formula, eps, harmonic, noise, rng, third)
    if formula == "phase5":
        retrieved = zelnor.phase5(frames) * BINARY_ANGLE
    else:
        retrieved = zelnor.phase(frames)
    error = np.angle(np.exp(1j * (retrieved - FORMULAS[formula][3] - phi)))
    error = np.angle(np.exp(1j * (error - np.angle(np.mean(np.exp(1j * error))))))
    return float(error.max() - error.min()), float(np.sqrt(np.mean(error ** 2)))


def sampling_function(formula):
    numerator, denominator, step, _ = FORMULAS[formula]
    weights = denominator + 1j * numerator

    def response(nu):
        return complex(np.sum(weights * np.exp(1j * np.arange(weights.size) * nu)))

    return weights, step, response


def characteristics(formula, highest=6):
    """Zeros of the sampling function (in units of the step), rejected harmonics,
    order of the zero at -step, and noise gain (phase noise RMS x B / sigma)."""
    weights, step, response = sampling_function(formula)
    zeros = np.angle(np.roots(weights[::-1])) / step
    signal = abs(response(step))
    rejected = [j for j in range(2, highest + 1)
                if abs(response(j * step)) < 1e-9 * signal and abs(response(-j * step)) < 1e-9 * signal]
    order = int(np.sum(np.abs(np.angle(np.exp(1j * (zeros + 1.0) * step))) < 1e-4))
    # Leakage of a second harmonic of relative size c: phase ripple amplitude per unit c.
    second = (abs(response(2 * step)) + abs(response(-2 * step))) / signal
    gain = math.sqrt(np.sum(np.abs(weights) ** 2) / 2) / (signal / 2)
    return {"zeros": sorted(np.round(zeros, 3).tolist()), "rejected": rejected, "image_zero_order": order,
            "second_harmonic_leak": second, "noise_gain": gain}


def study(shape=(256, 1024), epsilons=EPSILONS, harmonics=HARMONICS, noises=NOISES, thirds=THIRDS):
    """Phase errors {(kind, value): {formula: (pv, rms)}} for kind in eps, harmonic, third, noise."""
    phi = ramp(shape)
    results = {}
    for eps in epsilons:
        results[("eps", eps)] = {n: phase_error(phi, n, eps=eps) for n in FORMULAS}
    for harmonic in harmonics:
        results[("harmonic", harmonic)] = {n: phase_error(phi, n, harmonic=harmonic) for n in FORMULAS}
    for third in thirds:
        results[("third", third)] = {n: phase_error(phi, n, third=third) for n in FORMULAS}
    for noise in noises:
        results[("noise", noise)] = {n: phase_error(phi, n, noise=noise, seed=int(noise)) for n in FORMULAS}
    return results


LABELS = {"eps": "step error eps", "harmonic": "2nd harmonic c", "third": "3rd harmonic c",
          "noise": "noise sigma (counts)"}
TITLES = {"4": "4 frames", "5": "5 frames", "7": "7 frames", "phase5": "phase5"}


def print_tables(results, out, markdown=False):
    for kind in ("eps", "harmonic", "third", "noise"):
        rows = [(value, errors) for (k, value), errors in results.items() if k == kind]
        if not rows:
            continue
        head = [LABELS[kind]] + [f"{TITLES[n]} PV / RMS" for n in FORMULAS]
        if markdown:
            print("| " + " | ".join(head) + " |", file=out)
            print("|" + "---|" * len(head), file=out)
        else:
            print("  ".join(f"{h:>24}" for h in head), file=out)
        for value, errors in rows:
            cells = [f"{value:+g}" if kind == "eps" else f"{value:g}"]
            cells += [f"{errors[n][0] * 1e3:.3g} / {errors[n][1] * 1e3:.3g}" for n in FORMULAS]
            if markdown:
                print("| " + " | ".join(cells) + " |", file=out)
            else:
                print("  ".join(f"{c:>24}" for c in cells), file=out)
        print(file=out)


def main(argv=None, out=sys.stdout):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="256x1024", help="ROWSxCOLS of the test ramp")
    parser.add_argument("--markdown", action="store_true", help="print the tables as Markdown")
    options = parser.parse_args(argv)
    shape = tuple(int(part) for part in options.size.lower().split("x"))

    print(f"frames {shape[0]}x{shape[1]}, A = {BACKGROUND:g}, B = {MODULATION:g} counts, "
          "errors in milliradians (PV / RMS), piston removed", file=out)
    print("\nsampling functions (zeros in units of the step; -1 is the image frequency):", file=out)
    for n in FORMULAS:
        c = characteristics(n)
        print(f"  {TITLES[n]}: zeros at {c['zeros']}, rejects harmonics {c['rejected'] or 'none'} (up to 6), "
              f"zero of order {c['image_zero_order']} at -step, 2nd-harmonic leak {c['second_harmonic_leak']:.3g} rad"
              f" per unit c, noise gain {c['noise_gain']:.3f}", file=out)
    print(file=out)
    results = study(shape)
    print_tables(results, out, options.markdown)
    return results


if __name__ == "__main__":
    main()
