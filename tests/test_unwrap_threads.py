"""unwrap and fast_unwrap called from several threads at once give the serial results."""
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import zelnor
from conftest import LIBC, assert_bits_equal, rand_draws

THREADS = 4
ROUNDS = 3


SHAPE = (240, 272)
SEED = 4242


def noisy_case(k, rng):
    """A wrapped surface with strong phase noise under a disc with holes:
    many unscored pixels next to inconsistent neighbours, so that the result
    depends on the random draws."""
    y, x = np.mgrid[-1:1:SHAPE[0] * 1j, -1:1:SHAPE[1] * 1j]
    surface = 12 * (x * x + y * y) + 5 * (k + 1) * x * y + rng.normal(0, 1.0, SHAPE)
    phase = np.angle(np.exp(1j * surface)).astype(np.float32)
    inside = ((x - 0.05 * k) ** 2 + y * y < 0.8) & (rng.random(SHAPE) > 0.05)
    return np.where(inside, 255, 0).astype(np.uint8), phase


def run_concurrently(fn, cases):
    """fn(*case) for every case, THREADS at a time; the results in case order."""
    with ThreadPoolExecutor(THREADS) as pool:
        return list(pool.map(lambda case: fn(*case), cases))


def unwrap_after_blocks(case, blocks):
    """unwrap(*case) as the call that draws after `blocks` calls of SHAPE since srand(SEED)."""
    skip = np.zeros(SHAPE, np.uint8)
    skip[0, :2] = 255  # one valid pair: a call that only draws
    LIBC.srand(SEED)
    for _ in range(blocks):
        zelnor.unwrap(skip, np.zeros(SHAPE, np.float32))
    return zelnor.unwrap(*case)


def bits_equal(a, b):
    return np.array_equal(a.view(np.uint32), b.view(np.uint32))


def test_unwrap_threads_match_serial(rng):
    cases = [noisy_case(k, rng) for k in range(2 * THREADS)]
    LIBC.srand(SEED)
    results = run_concurrently(zelnor.unwrap, cases)
    # Every call drew one value per pixel with the lock held, so each drew one
    # whole block of the sequence, in some order of the calls.
    assert LIBC.rand() % 32768 == rand_draws(SEED, len(cases) * SHAPE[0] * SHAPE[1] + 1)[-1]
    blocks = [{j for j in range(len(cases)) if bits_equal(unwrap_after_blocks(case, j), result)}
              for case, result in zip(cases, results)]
    assert all(blocks), "a threaded result is no serial result of its call"

    def assign(i, used):
        return i == len(blocks) or any(assign(i + 1, used | {j}) for j in blocks[i] - used)

    assert assign(0, frozenset()), "the threaded results need some block of draws twice"


def test_fast_unwrap_threads_match_serial(rng):
    cases = []
    for k in range(THREADS):
        size = 1024 - 64 * k
        y, x = np.mgrid[-1:1:size * 1j, -1:1:size * 1j]
        surface = 40 * (x * x + y * y) + 25 * x * y + rng.normal(0, 0.3, (size, size))
        wrapped = surface - 2 * 3.14159265 * np.floor((surface + 3.14159265) / (2 * 3.14159265))
        mask = x * x + y * y < 0.9 + 0.02 * k
        cases.append((mask, wrapped, 0.5 + k))
    serial = [zelnor.fast_unwrap(*case) for case in cases]
    for _ in range(ROUNDS):
        for result, expected in zip(run_concurrently(zelnor.fast_unwrap, cases), serial):
            assert_bits_equal(result, expected)
