"""Every function called from several threads at once gives exactly what it gives alone."""
import collections
import concurrent.futures
import os
import random
import re
import subprocess
import sys
import threading

import numpy as np
import pytest

import zelnor
from conftest import LIBC, assert_bits_equal

THREADS = 4
# Each call is made this many times in the threaded runs (the ThreadSanitizer run asks for more).
REPEATS = int(os.environ.get("ZELNOR_THREAD_REPEATS", "3"))
SIDE = 136  # images above the size from which the kernels let other threads run


def smooth_case(k):
    """A disc pupil, a gentle Zernike surface in it and its four phase-shifted frames."""
    rng = np.random.default_rng(1000 + k)
    mask = zelnor.roundmask(1.0, SIDE + k, SIDE - k)
    coefficients = np.concatenate(([0.0], rng.uniform(-0.4, 0.4, 11)))
    surface = zelnor.zernike_surface(coefficients, mask)
    frames = [zelnor.interferogram(2 * np.pi, j * np.pi / 2, 60000, mask, surface) for j in range(7)]
    return rng, mask, coefficients, surface, frames


def pgm_file(folder, k):
    image = np.random.default_rng(k).integers(0, 300 if k % 2 else 256, (SIDE - k, SIDE + 2 * k)).astype(np.uint16)
    path = str(folder / f"in-{k}.pgm")
    zelnor.save_pgm(path, image)
    return path


def build_tasks(folder):
    """(name, call) pairs; call(tag) returns the outcome to compare. Saves write files named by tag."""
    tasks = []
    for k in range(4):
        rng, mask, coefficients, surface, frames = smooth_case(k)
        wrapped = zelnor.phase(frames[:4])
        loadable = pgm_file(folder, k)

        def saved(tag, k=k, array=(surface if k % 2 else frames[k]), scale=0.25 + k):
            path = str(folder / f"out-{k}-{tag}.pgm")
            assert zelnor.save_pgm(path, array, scale) is None
            with open(path, "rb") as f:
                return np.frombuffer(f.read(), np.uint8)

        calls = {
            "roundmask": lambda tag, k=k: zelnor.roundmask(0.6 + 0.1 * k, SIDE + 3 * k, SIDE - k),
            "make_mask": lambda tag, s=surface, k=k: zelnor.make_mask(s, 0.05 * k - 0.1),
            "zernike_surface": lambda tag, c=coefficients, m=mask: zelnor.zernike_surface(c, m),
            "zernike_matrix": lambda tag, m=mask[::3, ::3].copy(), k=k: zelnor.zernike_matrix(m, 20 + k),
            "interferogram": lambda tag, m=mask, s=surface, k=k:
                zelnor.interferogram(3.0, 0.7 * k, 50000 + k, m, s),
            "phase": lambda tag, f=frames, k=k: zelnor.phase(f[:(4, 5, 7, 4)[k]]),
            "phase5": lambda tag, f=frames: zelnor.phase5(f[:5]),
            "wrap": lambda tag, s=surface, k=k: zelnor.wrap(s * 9.0, 1.0 + k),
            "fast_unwrap": lambda tag, m=mask, w=wrapped, k=k: zelnor.fast_unwrap(m, w, 0.5 + k),
            "unwrap": lambda tag, m=mask.astype(np.uint8) * np.uint8(255), w=wrapped.astype(np.float32):
                zelnor.unwrap(m, w),
            "save_pgm": saved,
            "load_pgm": lambda tag, p=loadable: zelnor.load_pgm(p),
            "binning": lambda tag, s=surface, k=k: zelnor.binning(s, 1 + k),
        }
        tasks += list(calls.items())
    return tasks


def noise_is_one_draw_per_element(surface, amplitude, noisy):
    """Whether every element is (r / 32767.0 - 0.5) * amplitude + value for some r in 0..32767."""
    r = np.clip(np.rint(((noisy - surface) / amplitude + 0.5) * 32767.0), 0, 32767)
    return np.array_equal((r / 32767.0 - 0.5) * amplitude + surface, noisy)


def run_in_threads(jobs):
    with concurrent.futures.ThreadPoolExecutor(THREADS) as pool:
        return list(pool.map(lambda job: job(), jobs))


def test_all_functions_at_once_match_their_serial_results(tmp_path, capfd):
    tasks = build_tasks(tmp_path)
    assert sorted({name for name, _ in tasks}) == sorted(
        name for name in dir(zelnor) if callable(getattr(zelnor, name)) and name != "add_noise")
    LIBC.srand(1)
    serial = [call("serial") for _, call in tasks]
    # unwrap's random keys only order the edges of its unscored border pixels; on these smooth
    # maps the result does not depend on them, which makes it comparable across threads.
    LIBC.srand(2)
    for (name, call), expected in zip(tasks, serial):
        if name == "unwrap":
            assert_bits_equal(call("reseeded"), expected)

    surface = smooth_case(0)[3]
    jobs = [(k, lambda k=k, call=call: call(f"thread-{k}")) for k, (_, call) in enumerate(tasks * REPEATS)]
    # add_noise joins the crowd too; its draws interleave with unwrap's, so only their form is checked.
    jobs += [(None, lambda: zelnor.add_noise(surface, 0.5))] * 8
    random.Random(7).shuffle(jobs)
    outcomes = run_in_threads([job for _, job in jobs])
    for (k, _), outcome in zip(jobs, outcomes):
        if k is None:
            assert noise_is_one_draw_per_element(surface, 0.5, outcome)
        else:
            assert_bits_equal(outcome, serial[k % len(tasks)])
    capfd.readouterr()  # the loads' header echo


@pytest.mark.parametrize("name", sorted(
    name for name in dir(zelnor) if callable(getattr(zelnor, name)) and name != "add_noise"))
def test_calls_in_lockstep_match_their_serial_results(name, tmp_path, capfd):
    # THREADS calls of one function start together, round after round, so that their
    # kernels overlap: what ThreadSanitizer needs to see a race.
    calls = [call for task, call in build_tasks(tmp_path) if task == name]
    assert len(calls) == THREADS
    serial = [call("serial") for call in calls]
    start = threading.Barrier(THREADS)

    def rounds(k):
        outcomes = []
        for r in range(REPEATS):
            start.wait()
            outcomes.append(calls[k](f"lockstep-{k}-{r}"))
        return outcomes

    for k, outcomes in enumerate(run_in_threads([lambda k=k: rounds(k) for k in range(THREADS)])):
        for outcome in outcomes:
            assert_bits_equal(outcome, serial[k])
    capfd.readouterr()


def test_add_noise_draws_of_one_call_stay_together():
    # The lock is kept while drawing: each call takes one unbroken run of the rand() sequence,
    # so calls made from threads after srand give the serial results in some order.
    surface = np.random.default_rng(3).uniform(-1, 1, (500, 500))
    calls = 12
    LIBC.srand(99)
    serial = [zelnor.add_noise(surface, 2.0) for _ in range(calls)]
    LIBC.srand(99)
    threaded = run_in_threads([lambda: zelnor.add_noise(surface, 2.0)] * calls)
    assert sorted(a.tobytes() for a in threaded) == sorted(a.tobytes() for a in serial)
    assert len({a.tobytes() for a in serial}) == calls


def test_each_load_echoes_its_header_in_one_piece(tmp_path, capfd):
    paths = []
    for k in range(12):
        path = tmp_path / f"echo-{k}.pgm"
        comment = b"# file %d %s\n" % (k, b"x" * 300)
        path.write_bytes(b"P5\n" + comment + b"%d %d\n255\n" % (40 + k, 30 + k) + bytes((40 + k) * (30 + k)))
        paths.append(str(path))
    capfd.readouterr()
    run_in_threads([lambda p=p: zelnor.load_pgm(p) for p in paths * 8])
    echoed = capfd.readouterr().out
    pieces = re.findall(r"# file (\d+) x{300}\n(\d+) (\d+)\n255\n", echoed)
    assert "".join("# file %s %s\n%s %s\n255\n" % (k, "x" * 300, w, h) for k, w, h in pieces) == echoed
    assert collections.Counter(pieces) == collections.Counter(
        (str(k), str(40 + k), str(30 + k)) for k in range(12) for _ in range(8))


def test_loads_during_saves_of_the_same_file_see_whole_files(tmp_path, capfd):
    # A file is replaced only by a complete new one, so a reader sees the old or the new file.
    path = str(tmp_path / "shared.pgm")
    versions = [np.full((SIDE, SIDE + k), 40 * k + 3, np.uint8) for k in range(4)]
    zelnor.save_pgm(path, versions[0].astype(np.uint16))

    def save(k):
        for _ in range(15):
            zelnor.save_pgm(path, versions[k].astype(np.uint16))

    def load():
        return [zelnor.load_pgm(path) for _ in range(30)]

    outcomes = run_in_threads([lambda k=k: save(k) for k in range(2)] + [load, load])
    for loaded in outcomes[2:]:
        for image in loaded:
            assert any(image.shape == v.shape and np.array_equal(image, v) for v in versions[:2])
    assert sorted(p.name for p in tmp_path.iterdir()) == ["shared.pgm"]
    capfd.readouterr()


@pytest.mark.parametrize("function", ["phase", "phase5"])
def test_frame_list_emptied_during_the_call(function):
    # Each frame is held for the call, so a list emptied by another thread meanwhile cannot pull
    # the pixels away. The frames lend the storage of byte arrays, which refuse to be resized
    # for as long as a frame still uses them.
    rng = np.random.default_rng(5)
    frames = [rng.integers(0, 65536, (500, 1000)).astype(np.uint16) for _ in range(5)]
    expected = getattr(zelnor, function)(frames)
    for _ in range(6):
        storage = [bytearray(f.tobytes()) for f in frames]
        shared = [np.frombuffer(b, np.uint16).reshape(frames[0].shape) for b in storage]
        state = {"returned": False}

        def empty_and_resize():
            state["during"] = not state["returned"]
            shared.clear()
            state["resized"] = 0
            for b in storage:
                try:
                    b.extend(bytes(1 << 20))
                    state["resized"] += 1
                except BufferError:
                    pass

        emptier = threading.Timer(0.002, empty_and_resize)
        emptier.start()
        try:
            outcome = getattr(zelnor, function)(shared)
        except ValueError:
            state["returned"] = True
            emptier.join()
            assert not shared  # emptied before the call began
            continue
        state["returned"] = True
        emptier.join()
        assert_bits_equal(outcome, expected)
        if state["during"]:
            assert state["resized"] == 0


def test_frames_taken_out_of_their_list_while_copied():
    # Copying a strided frame runs a subclass's __array_finalize__, Python code that may empty the
    # list before the other frames are opened: the call holds every frame from the start.
    class Frame(np.ndarray):
        def __array_finalize__(self, obj):
            if armed:
                frames.clear()

    plain = [np.full((64, 64), 1000 * k + 7, np.uint16) for k in range(4)]
    expected = zelnor.phase([f[:, ::-1].copy() for f in plain])
    armed = False
    frames = [f[:, ::-1].view(Frame) for f in plain]
    armed = True
    assert_bits_equal(zelnor.phase(frames), expected)


# Another thread keeps changing an input while the calls run: the results may mix old and new
# values, but nothing may be read or written past an array (which crashed these calls).
RACES = {
    "fast_unwrap seed": ("mask = np.zeros((128, 128), bool); other = np.zeros((128, 128))",
                         "mask[-1, -1] = True; mask[-1, -1] = False",
                         "zelnor.fast_unwrap(mask, other, 1.0)"),
    "zernike_surface rows": ("mask = np.zeros((128, 128), bool); mask[:, ::4] = True",
                             "mask[-1, 1::2] = True; mask[-1, 1::2] = False",
                             "zelnor.zernike_surface(np.arange(1.0, 10.0), mask)"),
    "zernike_matrix rows": ("mask = np.zeros((128, 128), bool); mask[:, ::4] = True",
                            "mask[-1, 1::2] = True; mask[-1, 1::2] = False",
                            "zelnor.zernike_matrix(mask, 1)"),
    "binning shape": ("image = np.ones((256, 256))",
                      "image.shape = (65536,); image.shape = (256, 256)",
                      "zelnor.binning(image, 2)"),
    "save_pgm shape": ("image = np.ones((256, 256)); path = os.path.join(folder, 'shape.pgm')",
                       "image.shape = (65536,); image.shape = (256, 256)",
                       "zelnor.save_pgm(path, image); assert os.path.getsize(path) < 65536 + 64"),
    "save_pgm maxval": ("image = np.full((256, 256), 10, np.uint16); path = os.path.join(folder, 'max.pgm')",
                        "image[::7, ::3] = 60000; image[::7, ::3] = 10",
                        "zelnor.save_pgm(path, image); data = open(path, 'rb').read(); "
                        "maxval = int(data.split(maxsplit=4)[3]); "
                        "body = np.frombuffer(data[len(data) - image.size * (1 + (maxval > 255)):], "
                        "'>u2' if maxval > 255 else np.uint8); assert body.max() <= maxval"),
}
RACE_SCRIPT = """
import os, sys, threading
import numpy as np
import zelnor
folder = sys.argv[1]
{setup}
stop = False
def change():
    while not stop:
        {change}
thread = threading.Thread(target=change)
thread.start()
try:
    for _ in range({calls}):
        try:
            {call}
        except ValueError:  # the check saw the other shape
            pass
finally:
    stop = True
    thread.join()
print("ok")
"""


@pytest.mark.parametrize("race", sorted(RACES))
def test_inputs_changed_by_another_thread_never_overrun(race, tmp_path):
    setup, change, call = RACES[race]
    script = RACE_SCRIPT.format(setup=setup, change=change, call=call, calls=1500)
    done = subprocess.run([sys.executable, "-c", script, str(tmp_path)], capture_output=True, text=True,
                          timeout=600)
    assert (done.returncode, done.stdout.strip()) == (0, "ok"), done.stderr[-2000:]


@pytest.mark.skipif(os.environ.get("ZELNOR_SANITIZE") == "1" or "san.so" in os.environ.get("LD_PRELOAD", "")
                    or not sys.platform.startswith("linux"),
                    reason="a sanitizer reserves more address space than the limit leaves")
def test_save_pgm_out_of_memory_raises(tmp_path):
    # The path is copied while the file is made; without memory for the copies the save fails cleanly.
    script = """
import resource, sys
import numpy as np
import zelnor
path = "x" * (300 << 20)
used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + (150 << 20), resource.RLIM_INFINITY))
try:
    zelnor.save_pgm(path, np.zeros((4, 4)))
except OSError as error:
    print(error)
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, cwd=tmp_path,
                          timeout=120)
    assert (done.returncode, done.stdout.strip()) == (0, "can't open file"), done.stderr[-2000:]
