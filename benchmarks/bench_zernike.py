"""zernike_surface and zernike_matrix against NumPy written the way a user would.

The peer builds the pupil grid, evaluates the 29 Fringe terms vectorised over
the pixels inside the mask, and either sums them with the coefficients or
places each one in its row of the term matrix. Run:

    python benchmarks/bench_zernike.py
"""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import best_time, print_environment, print_table  # noqa: E402

import zelnor  # noqa: E402


def fringe_terms(x, y):
    """The first 29 Fringe Zernike terms (unnormalised) at the points (x, y)."""
    r2 = x * x + y * y
    return [
        np.ones_like(x),
        x,
        y,
        2 * r2 - 1,
        x**2 - y**2,
        2 * x * y,
        (3 * r2 - 2) * x,
        (3 * r2 - 2) * y,
        6 * r2**2 - 6 * r2 + 1,
        x**3 - 3 * x * y**2,
        3 * x**2 * y - y**3,
        (4 * r2 - 3) * (x**2 - y**2),
        (4 * r2 - 3) * 2 * x * y,
        (10 * r2**2 - 12 * r2 + 3) * x,
        (10 * r2**2 - 12 * r2 + 3) * y,
        20 * r2**3 - 30 * r2**2 + 12 * r2 - 1,
        x**4 - 6 * x**2 * y**2 + y**4,
        4 * x**3 * y - 4 * x * y**3,
        (5 * r2 - 4) * (x**3 - 3 * x * y**2),
        (5 * r2 - 4) * (3 * x**2 * y - y**3),
        (15 * r2**2 - 20 * r2 + 6) * (x**2 - y**2),
        (15 * r2**2 - 20 * r2 + 6) * 2 * x * y,
        (35 * r2**3 - 60 * r2**2 + 30 * r2 - 4) * x,
        (35 * r2**3 - 60 * r2**2 + 30 * r2 - 4) * y,
        70 * r2**4 - 140 * r2**3 + 90 * r2**2 - 20 * r2 + 1,
        x**5 - 10 * x**3 * y**2 + 5 * x * y**4,
        5 * x**4 * y - 10 * x**2 * y**3 + y**5,
        (6 * r2 - 5) * (x**4 - 6 * x**2 * y**2 + y**4),
        (6 * r2 - 5) * (4 * x**3 * y - 4 * x * y**3),
    ]


def masked_grid(mask):
    height, width = mask.shape
    x = -1 + (2 * np.arange(width) + 1) / width
    y = -1 + (2 * np.arange(height) + 1) / height
    xx, yy = np.meshgrid(x, y)
    return xx[mask], yy[mask]


def numpy_surface(coefficients, mask):
    x, y = masked_grid(mask)
    values = np.zeros(x.shape)
    for c, term in zip(coefficients, fringe_terms(x, y)):
        values += c * term
    surface = np.zeros(mask.shape)
    surface[mask] = values
    return surface


def numpy_matrix(mask, count):
    x, y = masked_grid(mask)
    matrix = np.zeros((count, mask.size))
    inside = np.flatnonzero(mask)
    for k, term in enumerate(fringe_terms(x, y)[:count]):
        matrix[k, inside] = term
    return matrix


def main():
    print_environment()
    rng = np.random.default_rng(1)
    coefficients = rng.uniform(-1.0, 1.0, 29)
    surface_rows, matrix_rows = [], []
    for size in (512, 1024):
        mask = zelnor.roundmask(1.0, size, size)
        pixels = mask.size
        # Same surface both ways, up to the peer's own rounding.
        assert np.allclose(zelnor.zernike_surface(coefficients, mask), numpy_surface(coefficients, mask))
        ours = best_time(lambda: zelnor.zernike_surface(coefficients, mask))
        peer = best_time(lambda: numpy_surface(coefficients, mask))
        surface_rows.append((f"{size}x{size} disc, 29 terms", pixels, ours, [("numpy", peer)]))
        ours = best_time(lambda: zelnor.zernike_matrix(mask, 29), repeat=5)
        peer = best_time(lambda: numpy_matrix(mask, 29), repeat=3)
        matrix_rows.append((f"{size}x{size} disc, 29 rows", pixels, ours, [("numpy", peer)]))
    print_table("zernike_surface(coefficients, roundmask(1.0, N, N))", surface_rows)
    print_table("zernike_matrix(roundmask(1.0, N, N), 29)", matrix_rows)


if __name__ == "__main__":
    main()
