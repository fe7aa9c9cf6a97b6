"""Least-squares fit of Fringe Zernike terms over a pupil, without the
(pixels x terms) design matrix.

Every Fringe term up to 29 is a polynomial of degree <= 8 in the pupil
coordinates, so it is a fixed combination of the products P_a(x) P_b(y) of
Legendre polynomials (a + b <= 8).  The grid is separable: x depends on the
column only and y on the row only.  The normal equations therefore reduce to
moments of the mask and of the masked surface against Legendre tables of one
image axis each, which BLAS forms a row block at a time:

    G[j, k] = sum S_j[a, b] S_k[c, d] sum_r P_b(y_r) P_d(y_r) sum_c m[r, c] P_a(x_c) P_c(x_c)
    b[j]    = sum S_j[a, b]             sum_r P_b(y_r)         sum_c m[r, c] v[r, c] P_a(x_c)

That costs a few dozen flops per image pixel and memory of one row block.
The solution of the equilibrated normal equations is then refined against the
true residual, evaluated with zelnor.zernike_surface, so the result carries
the accuracy of an orthogonal-factorisation solver rather than the squared
condition number of the normal equations.  Pupils too ill-conditioned for
that (nearly degenerate, or a sliver of the grid) go through a blocked QR
factorisation instead, which tolerates rank deficiency the way lstsq does.
"""
from __future__ import annotations

import math
from functools import lru_cache

import numpy as np
from numpy.polynomial import legendre

import zelnor

MAX_TERMS = 29  # Fringe terms with a polynomial; the module's slots 30..36 are zero
DEGREE = 8  # highest total degree among Fringe terms 1..29
# Image pixels per row block: the work arrays stay in cache, and each product
# against a Legendre table stays below the size at which OpenBLAS splits it
# over threads, which on a busy machine costs far more than it gains.
BLOCK_PIXELS = 1 << 14
# Above this condition number of the equilibrated Gram matrix, refinement of
# the normal equations may stall: factorise the blocks instead.
GRAM_CONDITION_LIMIT = 1e10
MAX_REFINEMENTS = 6


def fringe_orders(count: int = MAX_TERMS) -> list[tuple[int, int]]:
    """(n, m) of Fringe terms 1..count: by (n + |m|) / 2, then |m| falling,
    the cosine (x-type, m >= 0) term before the sine term."""
    orders: list[tuple[int, int]] = []
    s = 0
    while len(orders) < count:
        for m in range(s, -1, -1):
            orders.append((2 * s - m, m))
            if m:
                orders.append((2 * s - m, -m))
        s += 1
    return orders[:count]


def grid_axis(count: int) -> np.ndarray:
    """Pixel-centre coordinates along an axis of `count` pixels, accumulated
    from -1 + 1/count in steps of 2/count as the module walks its grid."""
    step = 2.0 / count
    steps = np.full(count, step)
    steps[0] = step * 0.5 - 1.0
    return np.cumsum(steps)  # sequential: the same roundings as the module's loop


def _poly_mul(p: np.ndarray, q: np.ndarray) -> np.ndarray:
    """Product of two polynomials in x and y given as coefficient grids [x power, y power]."""
    out = np.zeros((p.shape[0] + q.shape[0] - 1, p.shape[1] + q.shape[1] - 1))
    for i, j in zip(*np.nonzero(p)):
        out[i:i + q.shape[0], j:j + q.shape[1]] += p[i, j] * q
    return out


def term_monomials(n: int, m: int) -> np.ndarray:
    """Coefficients C[p, q] of x^p y^q of the unnormalised term (n, m): its radial
    polynomial over rho^|m|, as a polynomial of r2 = x^2 + y^2, times the real
    (m >= 0) or imaginary (m < 0) part of (x + iy)^|m|."""
    am = abs(m)
    angular = np.zeros((am + 1, am + 1))
    for j in range(am + 1):
        if (j % 2 == 0) == (m >= 0):
            sign = (-1) ** (j // 2)
            angular[am - j, j] = sign * math.comb(am, j)
    r2 = np.array([[0.0, 0.0, 1.0], [0.0, 0.0, 0.0], [1.0, 0.0, 0.0]])
    half = (n - am) // 2
    radial = np.zeros((DEGREE + 1, DEGREE + 1))
    power = np.ones((1, 1))  # r2 ** t
    for t in range(half + 1):
        k = half - t
        c = ((-1) ** k * math.factorial(n - k)
             // (math.factorial(k) * math.factorial((n + am) // 2 - k) * math.factorial(half - k)))
        radial[:power.shape[0], :power.shape[1]] += c * power
        power = _poly_mul(power, r2)
    return _poly_mul(radial, angular)[:DEGREE + 1, :DEGREE + 1]


@lru_cache(maxsize=None)
def legendre_coefficients(count: int) -> np.ndarray:
    """S[j, a, b]: term j as sum S[j, a, b] P_a(x) P_b(y), for Fringe terms 1..count."""
    to_legendre = np.zeros((DEGREE + 1, DEGREE + 1))  # column p: x^p in Legendre polynomials
    for p in range(DEGREE + 1):
        to_legendre[:p + 1, p] = legendre.poly2leg(np.eye(DEGREE + 1)[p])[:p + 1]
    table = np.stack([to_legendre @ term_monomials(n, m) @ to_legendre.T for n, m in fringe_orders(count)])
    table.setflags(write=False)
    return table


@lru_cache(maxsize=64)
def scaling_map(count: int, radius: float) -> np.ndarray:
    """T with Z_j(x / radius, y / radius) = sum_k T[k, j] Z_k(x, y), Fringe terms 1..count."""
    if radius == 1.0:
        return np.eye(count)
    monomials = np.stack([term_monomials(n, m).ravel() for n, m in fringe_orders(count)], axis=1)
    powers = np.add.outer(np.arange(DEGREE + 1), np.arange(DEGREE + 1)).ravel()
    mapped, *_ = np.linalg.lstsq(monomials, monomials * (1.0 / radius) ** powers[:, None], rcond=None)
    mapped.setflags(write=False)
    return mapped


def term_values(xs: np.ndarray, ys: np.ndarray, count: int = MAX_TERMS) -> np.ndarray:
    """Values (points, count) of Fringe terms 1..count at the points (xs, ys)."""
    table = legendre_coefficients(count)
    px = legendre.legvander(xs, DEGREE)
    py = legendre.legvander(ys, DEGREE)
    a, b = np.nonzero(np.any(table != 0.0, axis=0))
    return (px[:, a] * py[:, b]) @ table[:, a, b].T


def _row_blocks(mask: np.ndarray):
    """Row ranges of about BLOCK_PIXELS image pixels, over the rows the pupil touches."""
    rows = np.flatnonzero(mask.any(axis=1))
    if rows.size == 0:
        return
    step = max(1, BLOCK_PIXELS // max(1, mask.shape[1]))
    for start in range(rows[0], rows[-1] + 1, step):
        yield start, min(start + step, rows[-1] + 1)


def _masked_moments(values, mask, px, py, blocks, minus=None):
    """V[b, a] = sum over the pupil of (values - minus) * P_a(x) * P_b(y)."""
    moments = np.zeros((py.shape[1], px.shape[1]))
    for r0, r1 in blocks:
        block = values[r0:r1] if minus is None else values[r0:r1] - minus[r0:r1]
        inside = np.where(mask[r0:r1], block, 0.0)
        moments += py[r0:r1].T @ (inside @ px)
    return moments


def _row_runs(mask, blocks):
    """Row index, first column and end column of every run of pupil pixels along a row."""
    rows, starts, ends = [], [], []
    for r0, r1 in blocks:
        edge = np.zeros((r1 - r0, 1), np.int8)
        steps = np.diff(np.concatenate([edge, mask[r0:r1].view(np.int8), edge], axis=1), axis=1)
        row, start = np.nonzero(steps == 1)  # row-major order pairs each start with its end
        ends.append(np.nonzero(steps == -1)[1])
        rows.append(row + r0)
        starts.append(start)
    return np.concatenate(rows), np.concatenate(starts), np.concatenate(ends)


def _gram_moments(mask, px, py, blocks):
    """M[b, d, a, c] = sum over the pupil of P_a(x) P_c(x) P_b(y) P_d(y)."""
    k = px.shape[1]
    px2 = (px[:, :, None] * px[:, None, :]).reshape(px.shape[0], k * k)
    py2 = (py[:, :, None] * py[:, None, :]).reshape(py.shape[0], k * k)
    rows, starts, ends = _row_runs(mask, blocks)
    if rows.size * 64 <= np.count_nonzero(mask):
        # Long runs (discs, annuli): a run's column sum is a difference of prefix sums.
        prefix = np.concatenate([np.zeros((1, k * k)), np.cumsum(px2, axis=0)])
        moments = py2[rows].T @ (prefix[ends] - prefix[starts])
    else:
        moments = np.zeros((k * k, k * k))
        for r0, r1 in blocks:
            moments += py2[r0:r1].T @ (mask[r0:r1].astype(np.float64) @ px2)
    return moments.reshape(k, k, k, k)


def _project(table, moments):
    """b[j] = sum S[j, a, b] V[b, a]."""
    return np.einsum("jab,ba->j", table, moments)


def _qr_solve(surface, mask, count, pixels):
    """Least squares through a QR factorisation accumulated over row blocks of the
    pupil (R of [R; A_block | v_block]), solved as lstsq would solve the full system."""
    xs = grid_axis(mask.shape[1])
    ys = grid_axis(mask.shape[0])
    r = np.zeros((0, count + 1))
    for r0, r1 in _row_blocks(mask):
        rows, cols = np.nonzero(mask[r0:r1])
        block = np.empty((rows.size, count + 1))
        block[:, :count] = term_values(xs[cols], ys[rows + r0], count)
        block[:, count] = surface[r0:r1][rows, cols]
        r = np.linalg.qr(np.vstack([r, block]), mode="r")
    r = r[:count + 1]
    rcond = np.finfo(np.float64).eps * max(pixels, count)
    solution, *_ = np.linalg.lstsq(r[:count, :count], r[:count, count], rcond=rcond)
    return solution


def _pupil_radius(mask, xs, ys):
    """Distance from the grid centre to the farthest pupil pixel centre (1.0 for a pupil at the centre)."""
    rows = np.flatnonzero(mask.any(axis=1))
    first = np.argmax(mask[rows], axis=1)  # each row's outermost pupil pixels
    last = mask.shape[1] - 1 - np.argmax(mask[rows, ::-1], axis=1)
    radius = math.sqrt(float(np.max(np.maximum(xs[first] ** 2, xs[last] ** 2) + ys[rows] ** 2)))
    return 1.0 if radius < 1e-3 else radius  # a pixel or two at the centre: nothing to gain, no division by zero


def _normal_equations(mask, count):
    """The fit's Legendre tables and its Gram matrix over the pupil, in pupil-scaled coordinates.

    The span of each |m| family (rho^(m + 2k) cos or sin m theta) is closed under scaling about the
    grid centre: the terms of (x / radius, y / radius), for the largest radius in the pupil, are well
    conditioned for small centred pupils, and their coefficients map back through `to_grid`."""
    table = legendre_coefficients(count)
    xs = grid_axis(mask.shape[1])
    ys = grid_axis(mask.shape[0])
    radius = _pupil_radius(mask, xs, ys)
    px = legendre.legvander(xs / radius, DEGREE)
    py = legendre.legvander(ys / radius, DEGREE)
    blocks = list(_row_blocks(mask))
    gram = np.einsum("jab,kcd,bdac->jk", table, table, _gram_moments(mask, px, py, blocks), optimize=True)
    return table, px, py, blocks, gram, scaling_map(count, radius)


def _equilibrated_condition(gram):
    """Condition number of the Gram matrix scaled to a unit diagonal (inf if a term vanishes on the pupil):
    a measure of the pupil's geometry rather than of the very different sizes of the terms."""
    diagonal = np.diag(gram)
    if not np.all(np.isfinite(gram)):
        return math.inf
    # A term that vanishes on the pupil keeps a diagonal of rounding, far below the others' (terms are scaled
    # to the pupil's size, so no term that is there comes near).
    if not np.all(diagonal > 1e-12 * np.max(diagonal, initial=0.0)):
        return math.inf
    scale = 1.0 / np.sqrt(diagonal)
    return float(np.linalg.cond(gram * scale[:, None] * scale[None, :]))


def condition(mask: np.ndarray, terms: int = MAX_TERMS) -> float:
    """Condition number of the least-squares fit of Fringe terms 1..terms of the image's unit circle over
    the pixels where `mask` is true (terms equilibrated): about 1 for the inscribed disc, growing without
    bound as the pupil gets small, thin or partial, where the terms become nearly dependent and their
    coefficients are set by noise rather than by the surface."""
    mask = np.ascontiguousarray(mask, dtype=bool)
    count = min(terms, MAX_TERMS)
    if count == 0:
        return 1.0
    if mask.ndim != 2 or np.count_nonzero(mask) < count:
        return math.inf
    _, _, _, _, gram, to_grid = _normal_equations(mask, count)
    return _grid_condition(gram, to_grid)


def _grid_condition(gram, to_grid):
    """The equilibrated condition number of the fit in the grid's own terms, whose design is the scaled
    one times inverse(to_grid)."""
    try:
        back = np.linalg.inv(to_grid)
    except np.linalg.LinAlgError:
        return math.inf
    return _equilibrated_condition(back.T @ gram @ back)


def fit(surface: np.ndarray, mask: np.ndarray, terms: int = MAX_TERMS) -> np.ndarray:
    """Least-squares coefficients of Fringe terms 1..terms (index 0 = Fringe 1) of
    `surface` over the pixels where `mask` is true; terms beyond 29 are zero on the
    module's grid and get coefficient 0, as lstsq's minimum-norm solution gives them."""
    return fit_and_condition(surface, mask, terms)[0]


def fit_and_condition(surface: np.ndarray, mask: np.ndarray, terms: int = MAX_TERMS) -> tuple[np.ndarray, float]:
    """fit() and condition() together, from the one Gram matrix."""
    mask = np.ascontiguousarray(mask, dtype=bool)
    surface = np.asarray(surface, dtype=np.float64)
    if surface.shape != mask.shape or mask.ndim != 2:
        raise ValueError(f"surface {surface.shape} and mask {mask.shape} must be images of one shape")
    result = np.zeros(terms)
    count = min(terms, MAX_TERMS)
    pixels = int(np.count_nonzero(mask))
    if count == 0:
        return result, 1.0
    if pixels == 0:
        return result, math.inf
    table, px, py, blocks, gram, to_grid = _normal_equations(mask, count)
    rhs = _project(table, _masked_moments(surface, mask, px, py, blocks))
    grid_condition = _grid_condition(gram, to_grid) if pixels >= count else math.inf

    # Equilibrate: unit diagonal, so the condition number measures the pupil's
    # geometry rather than the very different sizes of the terms.
    condition = _equilibrated_condition(gram)
    if not condition < GRAM_CONDITION_LIMIT or not np.all(np.isfinite(rhs)):
        result[:count] = _qr_solve(surface, mask, count, pixels)
        return result, grid_condition
    scale = 1.0 / np.sqrt(np.diag(gram))
    scaled = gram * scale[:, None] * scale[None, :]

    def solve(right):
        return to_grid @ (scale * np.linalg.solve(scaled, scale * right))

    # Refine against the true residual on the module's own term values: this
    # corrects both the normal equations' rounding and the mapping back.  Each
    # step shrinks the error by far more than 100, so a step below 1e-12 of the
    # solution leaves it exact to rounding.
    coefficients = solve(rhs)
    padded = np.zeros(MAX_TERMS)
    previous = math.inf
    for _ in range(MAX_REFINEMENTS):
        padded[:count] = coefficients
        fitted = zelnor.zernike_surface(padded, mask)
        step = solve(_project(table, _masked_moments(surface, mask, px, py, blocks, fitted)))
        coefficients = coefficients + step
        size = float(np.linalg.norm(step))
        if size <= 1e-12 * float(np.linalg.norm(coefficients)) or size >= 0.5 * previous:
            break
        previous = size
    result[:count] = coefficients
    return result, grid_condition


# Fringe terms that fit_low_order fits: piston, tilt x, tilt y, defocus.
LOW_ORDER = (0, 1, 2, 3)


def fit_low_order(surface: np.ndarray, mask: np.ndarray, indices) -> np.ndarray:
    """Least-squares coefficients (29 entries, index 0 = Fringe 1, the others 0) of piston and the chosen
    tilt and defocus terms alone, of `surface` over the pixels where `mask` is true: with tilt, the
    best-fit plane; with defocus too, the best-fit paraboloid of revolution.

    The four terms span the same functions as 1, u, v and (r^2 - rc^2) / s^2 in coordinates u, v centred
    on the pupil and scaled to its size (rc the centre's radius), which stay well conditioned however
    small, thin or far off-centre the pupil is; the result is mapped back to the grid's terms exactly."""
    mask = np.ascontiguousarray(mask, dtype=bool)
    surface = np.asarray(surface, dtype=np.float64)
    if surface.shape != mask.shape or mask.ndim != 2:
        raise ValueError(f"surface {surface.shape} and mask {mask.shape} must be images of one shape")
    chosen = sorted(set(indices) | {0})
    if any(index not in LOW_ORDER for index in chosen):
        raise ValueError(f"only piston, tilt and defocus (indices {LOW_ORDER}) are fitted alone, got {sorted(indices)}")
    result = np.zeros(MAX_TERMS)
    pixels = int(np.count_nonzero(mask))
    if pixels == 0:
        return result
    xs = grid_axis(mask.shape[1])
    ys = grid_axis(mask.shape[0])
    row_counts = np.count_nonzero(mask, axis=1)
    column_counts = np.count_nonzero(mask, axis=0)
    # A pupil on one column (row) must give tilt x (y) an exactly zero column, not a rounding residue
    # that scaling to unit size would make a second piston.
    used_columns, used_rows = np.flatnonzero(column_counts), np.flatnonzero(row_counts)
    xc = float(xs[used_columns[0]]) if used_columns.size == 1 else float(column_counts @ xs) / pixels
    yc = float(ys[used_rows[0]]) if used_rows.size == 1 else float(row_counts @ ys) / pixels
    size = max(float(np.max(np.abs(xs[column_counts > 0] - xc))), float(np.max(np.abs(ys[row_counts > 0] - yc))))
    size = size if size > 0.0 else 1.0
    u = (xs - xc) / size
    v = (ys - yc) / size
    # Each column as coefficients C[a, b] of u^a v^b.
    columns = {0: [(0, 0, 1.0)], 1: [(1, 0, 1.0)], 2: [(0, 1, 1.0)],
               3: [(2, 0, 1.0), (0, 2, 1.0), (1, 0, 2.0 * xc / size), (0, 1, 2.0 * yc / size)]}
    table = np.zeros((len(chosen), 3, 3))
    for j, index in enumerate(chosen):
        for a, b, value in columns[index]:
            table[j, a, b] = value
    pu = np.vander(u, 3, increasing=True)
    pv = np.vander(v, 3, increasing=True)
    blocks = list(_row_blocks(mask))
    gram = np.einsum("jab,kcd,bdac->jk", table, table, _gram_moments(mask, pu, pv, blocks), optimize=True)
    rhs = _project(table, _masked_moments(surface, mask, pu, pv, blocks))
    diagonal = np.diag(gram)
    scale = np.where(diagonal > 0.0, 1.0 / np.sqrt(np.where(diagonal > 0.0, diagonal, 1.0)), 0.0)
    # A term that the pupil cannot tell from the others (tilt y on a single row) gets 0, as lstsq gives it.
    solution, *_ = np.linalg.lstsq(gram * scale[:, None] * scale[None, :], scale * rhs, rcond=1e-12)
    centred = dict(zip(chosen, scale * solution))
    # Back to the grid's terms: u = (x - xc) / s, (r^2 - rc^2) / s^2 = ((defocus + 1) / 2 - rc^2) / s^2.
    tilt_x, tilt_y = centred.get(1, 0.0) / size, centred.get(2, 0.0) / size
    defocus = centred.get(3, 0.0) / (2.0 * size * size)
    result[0] = centred[0] - tilt_x * xc - tilt_y * yc + defocus * (1.0 - 2.0 * (xc * xc + yc * yc))
    result[1], result[2], result[3] = tilt_x, tilt_y, defocus  # 0.0 for the terms not chosen
    return result
