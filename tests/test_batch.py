"""`zelnor batch`: many measurement folders on a real Dask cluster, one summary row each."""
import contextlib
import csv
import io
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
import zlib

import pytest

import zelnor
from zelnor_cli import batch, cli, road
from zelnor_cli.cli import main
from zelnor_cli.frames import frame_key
from conftest import LIBC, rand_draws

pytest.importorskip("distributed")

SIZE = 64
# (folder, frame names in phase order, Fringe coefficients); f8..f11 would come out
# misordered by a plain sort, and s1 exists under both lots.
GOOD = [
    ("lotA/s1", ["f8.pgm", "f9.pgm", "f10.pgm", "f11.pgm"], {4: 0.5, 5: 0.2}),
    ("lotA/s2", [f"frame_{k}.pgm" for k in range(1, 6)], {4: -0.3, 7: 0.2}),
    ("lotB/s1", [f"img{k}.pgm" for k in range(7)], {4: 0.2, 9: 0.1, 6: -0.25}),
]
NAMES = {"lotA/s1": "lotA__s1", "lotA/s2": "s2", "lotB/s1": "lotB__s1", "lotB/corrupt": "corrupt",
         "lotB/missing": "missing"}
ERRORS = {"corrupt": "lotB/corrupt/f2.pgm: not a readable binary PGM (P5) image (truncated: 100 of 8192 raster bytes)",
          "missing": "need 4, 5 or 7 frames in phase-step order, got 3 from lotB/missing/f0.pgm, "
                     "lotB/missing/f1.pgm, lotB/missing/f2.pgm"}


def write_frames(folder, names, coefficients):
    folder.mkdir(parents=True)
    mask = road.disc_pupil(SIZE, SIZE)
    frames = road.make_frames(road.synthesize_surface(coefficients, mask), mask, max(len(names), 4))
    for name, frame in zip(names, frames):
        zelnor.save_pgm(str(folder / name), frame)


@pytest.fixture(scope="module")
def lot(tmp_path_factory):
    root = tmp_path_factory.mktemp("lot")
    for folder, names, coefficients in GOOD:
        write_frames(root / folder, names, coefficients)
    write_frames(root / "lotB/corrupt", [f"f{k}.pgm" for k in range(4)], {4: 0.1})
    (root / "lotB/corrupt/f2.pgm").write_bytes(b"P5\n64 64\n65535\n" + b"\0" * 100)
    write_frames(root / "lotB/missing", [f"f{k}.pgm" for k in range(3)], {4: 0.1})
    os.symlink("s1", root / "lotA/link")
    os.mkdir(bytes(root) + b"/odd\xffname")  # a name that is not UTF-8
    return root


def run_batch(lot, out, options, folders=tuple(NAMES)):
    cwd = os.getcwd()
    os.chdir(lot)  # folders as a user types them: their paths end up in the summary
    try:
        return main(["batch", *folders, "--out", str(out), "--no-figure", *options])
    finally:
        os.chdir(cwd)


@pytest.fixture(scope="module")
def one_worker(lot, tmp_path_factory):
    out = tmp_path_factory.mktemp("one") / "out"
    return run_batch(lot, out, ["--workers", "1"]), out


def summary_bytes(out):
    return (out / "summary.csv").read_bytes(), (out / "summary.json").read_bytes()


def test_rows_equal_standalone_measure_and_failures_are_rows(lot, one_worker, tmp_path, capsys):
    status, out = one_worker
    assert status == 1
    rows = json.loads((out / "summary.json").read_text(encoding="utf-8"))
    assert [row["name"] for row in rows] == ["corrupt", "lotA__s1", "lotB__s1", "missing", "s2"]
    with open(out / "summary.csv", encoding="utf-8", newline="") as handle:
        table = list(csv.DictReader(handle))
    assert list(table[0]) == batch.SUMMARY_COLUMNS and "Z29 secondary tetrafoil y" in table[0]
    assert [row["name"] for row in table] == [row["name"] for row in rows]
    capsys.readouterr()
    for row in rows:
        assert row["path"] == next(path for path, name in NAMES.items() if name == row["name"])
        assert row["seed"] == zlib.crc32(row["name"].encode())
        if row["name"] in ERRORS:
            assert (row["status"], row["error"], row["frames"]) == ("error", ERRORS[row["name"]], None)
            assert not (out / row["name"]).exists()
            continue
        assert (row["status"], row["error"]) == ("ok", "")
        folder, names, coefficients = next(item for item in GOOD if item[0] == row["path"])
        alone = tmp_path / row["name"]
        frames = [str(lot / folder / name) for name in names]
        # As a user runs it: the command, in a process of its own (one BLAS thread, like the workers).
        run = subprocess.run([sys.executable, "-m", "zelnor_cli", "measure", *frames, "--seed", str(row["seed"]),
                              "--out", str(alone), "--no-figure"], capture_output=True, text=True, timeout=300)
        assert run.returncode == 0, run.stderr
        report = json.loads((alone / "report.json").read_text())
        assert row["frames"] == len(names) and row["pupil_pixels"] == report["pupil_pixels"]
        assert (row["pv"], row["rms"]) == (report["surface"]["pv"], report["surface"]["rms"])
        assert [row[column] for column in batch.COEFFICIENT_COLUMNS] == [c["recovered"] for c in report["coefficients"]]
        assert row["Z4 defocus"] == pytest.approx(coefficients[4], abs=1e-3)
        # the folder's outputs are measure's own
        assert sorted(os.listdir(out / row["name"])) == sorted(os.listdir(alone))
        for name in ("surface.npy", "wrapped_phase.npy", "surface.pgm"):
            assert (out / row["name"] / name).read_bytes() == (alone / name).read_bytes()


def test_two_workers_any_order_same_summary_bytes(lot, one_worker, tmp_path, capsys):
    out = tmp_path / "two"
    assert run_batch(lot, out, ["--workers", "2"], folders=sorted(NAMES, reverse=True)) == 1
    assert summary_bytes(out) == summary_bytes(one_worker[1])
    text, err = capsys.readouterr()
    assert "2 failed" in text
    # the bar as log lines, one line per failed measurement, and of Dask's log at most its
    # warnings (a busy machine can make it warn about a slow event loop)
    ours = [line for line in err.splitlines() if line.startswith("zelnor")]
    bars = [line for line in ours if line.startswith("zelnor batch [")]
    assert bars[0].endswith("] 0/5") and bars[-1] == f"zelnor batch [{'#' * 30}] 5/5, 2 failed"
    assert ours[len(bars):] == [f"zelnor: corrupt: {ERRORS['corrupt']}", f"zelnor: missing: {ERRORS['missing']}"]
    assert " - INFO - " not in err and "Traceback" not in err


def test_existing_scheduler_and_worker_processes(lot, one_worker, tmp_path, monkeypatch):
    import distributed

    monkeypatch.setattr(distributed, "LocalCluster", None)  # the batch must run on the cluster given
    address_file = tmp_path / "scheduler.json"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "env": env, "cwd": tmp_path}
    scheduler = subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                                  "--port", "0", "--no-dashboard", "--scheduler-file", str(address_file)], **quiet)
    worker = None
    try:
        for _ in range(600):
            if address_file.exists() and address_file.stat().st_size:
                break
            assert scheduler.poll() is None, "dask scheduler exited"
            time.sleep(0.1)
        address = json.loads(address_file.read_text())["address"]
        # two threads in one process share the C generator: the batch must still be deterministic
        worker = subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", address, "--nthreads", "2",
                                   "--no-dashboard"], **quiet)
        for option, value in (("--scheduler", address), ("--scheduler-file", str(address_file))):
            out = tmp_path / option.strip("-")
            assert run_batch(lot, out, [option, value]) == 1
            assert summary_bytes(out) == summary_bytes(one_worker[1])
    finally:
        for process in (worker, scheduler):
            if process is not None:
                process.terminate()
                try:
                    process.wait(timeout=20)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()


def test_measure_and_batch_seed_the_generator_before_the_road(lot, tmp_path):
    frames = [str(lot / "lotA/s1" / name) for name in GOOD[0][1]]

    def next_draw_after(seed, argv):
        """The generator's next draw after srand(seed) and the command: where the road left it."""
        LIBC.srand(seed)
        assert main(argv) == 0
        return LIBC.rand() % 32768

    plain = ["measure", *frames, "--no-figure", "--out", str(tmp_path / "plain")]
    expected = next_draw_after(1234, plain)
    assert expected != rand_draws(1234, 1)[0]  # the road draws from the generator
    assert next_draw_after(99, plain[:-1] + [str(tmp_path / "m"), "--seed", "1234"]) == expected
    LIBC.srand(99)
    row = batch.measure_folder("s1", "lotA/s1", str(lot / "lotA/s1"), str(tmp_path / "b"), {})
    assert row["status"] == "ok"
    assert LIBC.rand() % 32768 == next_draw_after(zlib.crc32(b"s1"), plain)


def test_a_worker_running_other_code_measures_nothing(lot, thread_client, tmp_path, monkeypatch):
    """Workers of another zelnor (an older install on one machine of a cluster) give error rows, not rows that
    `zelnor measure` would not give. The digest is that of the code: the same in a copy elsewhere, whatever
    else lies beside it and whatever its line ends, another for a line more."""
    with monkeypatch.context() as patch:  # the client's code one, the worker threads' another
        patch.setattr(batch, "_code_digest", lambda: "main" if threading.current_thread() is threading.main_thread()
                      else "worker")
        rows = batch.measure_folders(thread_client, [lot / "lotA/s1"], tmp_path / "cluster", progress=False)
    assert [row["error"] for row in rows] == ["this worker runs another zelnor (code worker, the client's main): "
                                              "install the same version on every worker"]
    folder = str(lot / "lotA/s1")
    row, lines = batch._measure_task("s1", "lotA/s1", folder, str(tmp_path / "other"), {}, "0123456789ab")
    assert (row["status"], lines, os.path.exists(tmp_path / "other")) == ("error", [], False)
    assert row["error"].startswith("this worker runs another zelnor")
    row, _ = batch._measure_task("s1", "lotA/s1", folder, str(tmp_path / "same"), {}, batch._code_digest())
    assert row["status"] == "ok"
    copy = tmp_path / "copy/zelnor_cli"
    shutil.copytree(os.path.dirname(batch.__file__), copy)
    (copy / "scratch.py").write_text("print('a script of my own')\n", encoding="utf-8")
    road_file = copy / "road.py"
    road_file.write_bytes(road_file.read_bytes().replace(b"\n", b"\r\n"))
    digest = "from zelnor_cli import batch; print(batch._code_digest())"
    path = os.pathsep.join([str(copy.parent)] + [entry for entry in sys.path if entry])
    seen = []
    for change in ("", "\n"):
        with open(copy / "figure.py", "a", encoding="utf-8") as handle:
            handle.write(change)
        seen.append(subprocess.run([sys.executable, "-c", digest], capture_output=True, text=True, check=True,
                                   env=dict(os.environ, PYTHONPATH=path)).stdout.strip())
    assert seen[0] == batch._code_digest() and len(seen[1]) == 12 and seen[1] != seen[0]


@pytest.mark.parametrize("folders, names", [
    (["a/x", "b/y"], ["x", "y"]),
    (["p/a/x", "q/a/x", "r/b/x", "y"], ["p__a__x", "q__a__x", "r__b__x", "y"]),
    (["a/x/", "./b/x"], ["a__x", "b__x"]),
])
def test_measurement_names(folders, names, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert batch.measurement_names(folders) == names


@pytest.mark.parametrize("key, ordered", [
    (batch.natural_key, ["f1", "f01.pgm", "f1.pgm", "f9.pgm", "f10.pgm", "g2.pgm"]),
    # Measurement names carry serial numbers: lot1.10 comes after lot1.9.
    (batch.natural_key, ["lot1.9", "lot1.10", "lot2"]),
    # Frames may be named after their phase step in waves.
    (frame_key, ["p0", "p0.25", "p0.5", "p0.75", "p1"]),
    (frame_key, ["f1", "f01.pgm", "f1.pgm", "f9.pgm", "f10.pgm", "g2.pgm"]),
    # ... or in degrees about 0; a hyphen elsewhere separates, and case does not order.
    (frame_key, ["phase_-180", "Phase_-90", "phase_0", "PHASE_90", "phase_180"]),
    (frame_key, ["run--1", "run--2", "run--10", "shot -1", "shot -2", "shot-1", "shot-2", "x=-0.5", "x=0.5"]),
    (frame_key, ["2024-01-05_1", "2024-01-05_2", "2024-01-06_1", "2024-02-01_1"]),
])
def test_natural_order(key, ordered):
    assert sorted(ordered[::-1], key=key) == sorted(ordered[1::2] + ordered[::2], key=key) == ordered


class _Stream(io.StringIO):
    def __init__(self, terminal):
        super().__init__()
        self.terminal = terminal

    def isatty(self):
        return self.terminal


@pytest.mark.parametrize("terminal", [True, False])
@pytest.mark.parametrize("total", [1, 7, 1000])
def test_progress_redraws_on_a_terminal_and_logs_tenths_elsewhere(terminal, total):
    stream = _Stream(terminal)
    progress = batch.Progress(total, stream)
    for index in range(total):
        progress.step(ok=index % 3 != 1)
    failed = total // 3 + (total % 3 == 2)
    last = f"zelnor batch [{'#' * 30}] {total}/{total}" + (f", {failed} failed" if failed else "")
    text = stream.getvalue()
    if terminal:  # one line, redrawn per measurement
        assert text.count("\r") == total + 1 and text.endswith("\r" + last + "\n") and text.count("\n") == 1
        return
    lines = text.splitlines()
    assert "\r" not in text and lines[0].endswith(f"] 0/{total}") and lines[-1] == last
    done = [int(line.split("] ")[1].split("/")[0]) for line in lines]
    assert done == sorted(set(done)) and len(lines) <= 12
    assert all(10 * count // total > 10 * (count - 1) // total for count in done[1:-1])


class _BrokenPipe(_Stream):
    def write(self, text):
        raise BrokenPipeError(32, "Broken pipe")


@pytest.mark.parametrize("terminal", [True, False])
def test_progress_prints_messages_above_the_bar_and_outlives_its_reader(terminal):
    stream = _Stream(terminal)
    progress = batch.Progress(2, stream)
    progress.step(ok=True, lines=["zelnor: a: warning: jumps"])
    progress.step(ok=True)
    lines = stream.getvalue().replace("\r", "\n").split("\n")
    # the warning on a line of its own, the bar wiped before it on a terminal, and drawn again after it
    assert "zelnor: a: warning: jumps" in lines and lines[-2].endswith("] 2/2")
    assert stream.getvalue().endswith("] 2/2\n") and ("[" not in lines[lines.index("zelnor: a: warning: jumps") - 1]
                                                     if terminal else True)
    broken = batch.Progress(3, _BrokenPipe(terminal))  # | head gone: no bar, no exception
    broken.step(ok=False, lines=["zelnor: b: error"])
    assert broken.stream is None


@pytest.mark.parametrize("options, message", [
    (["nowhere"], "nowhere: no such folder"),
    (["lotA/s1", "lotA/s1/"], "lotA/s1 and lotA/s1/ are the same folder"),
    (["lotA/s1", "--workers", "0"], "argument --workers: value must lie in 1..4096, got 0"),
    (["lotA/s1", "--workers", "2", "--scheduler", "tcp://127.0.0.1:8786"], "--workers sizes a local cluster"),
    (["lotA/s1", "--scheduler", "nonsense"], "bad --scheduler 'nonsense': expected tcp://HOST:PORT"),
    (["lotA/s1", "--scheduler", "tcp://127.0.0.1:8786", "--scheduler-file", "s.json"],
     "--scheduler and --scheduler-file: give one"),
    (["lotA/s1", "--workers", "2", "--scheduler-file", "s.json"], "--workers sizes a local cluster"),
    (["lotA/s1", "--scheduler-file", "s.json"], "--scheduler-file s.json: does not exist after 0 s"),
    (["lotA/s1", "--scheduler-file", "lotA/s1/f8.pgm"], "--scheduler-file lotA/s1/f8.pgm: is not a Dask scheduler"),
    (["lotA/s1", "--remove", "coma"], "argument --remove: bad --remove 'coma'"),
    (["lotA/s1", "--pupil", "square"], "argument --pupil: bad --pupil 'square'"),
    (["lotA/s1", "--unwrapper", "magic"], "argument --unwrapper: invalid choice"),
    (["lotA/s1", "lotA/link"], "lotA/s1 and lotA/link are the same folder"),
    (["lotA/s1", "odd\udcffname"], "'odd\\udcffname': a measurement's name must be UTF-8 text"),
    (["lotA/s1", "--scheduler", ""], "--scheduler is empty"),
    (["lotA/s1", "--scheduler", "tls://127.0.0.1:8786"], "--scheduler tls://127.0.0.1:8786: tls:// needs Dask's TLS"),
    (["lotA/s1", "--scheduler", "ucx://127.0.0.1:8786"], "bad --scheduler 'ucx://127.0.0.1:8786': expected tcp://"),
    (["lotA/s1", "--pupil", "mask:nomask.png"], "nomask.png: no such file (--pupil mask:FILE)"),
    (["lotA/s1", "--out", "lotA/s1/f8.pgm"], "lotA/s1/f8.pgm: exists and is not a folder"),
    (["lotA/s1", "--out", "lotA/s1/f8.pgm/sub"], "lotA/s1/f8.pgm/sub: "),
])
def test_bad_arguments_exit_2_before_any_work(options, message, lot, tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(batch, "WORKER_WAIT_SECONDS", 0)  # a scheduler file that never comes
    out = tmp_path / "out"
    assert run_batch(lot, out, options, folders=()) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"zelnor: error: {message}") and err.count("\n") == 1
    assert not out.exists()


def test_a_measurement_clears_its_earlier_results_and_names_its_warnings(lot, tmp_path, capsys, monkeypatch):
    """Measured again into the same OUT, a folder that now fails leaves no results beside its error row; the
    warnings of a measurement, among many in one log, start with its name; --json prints nothing more."""
    monkeypatch.chdir(lot)
    steep = tmp_path / "steep"  # fringes near the sampling limit: warned of
    write_frames(steep, [f"f{k}.pgm" for k in range(4)], {2: 15.0})
    options = batch.measure_options(cli._parser().parse_args(["batch", "DIR", "--json"]))
    out = tmp_path / "out"
    for folder, name in ((str(steep), "steep"), ("lotB/missing", "missing")):
        batch.measure_folder(name, folder, os.path.abspath(folder), str(out / "missing"), options)
    assert sorted(os.listdir(out / "missing")) == []
    err = capsys.readouterr().err
    warned = [line for line in err.splitlines() if "warning" in line]
    assert warned and all(line.startswith("zelnor: steep: warning: ") for line in warned)
    assert "wrote" not in err
    # A measurement failing after it began to write leaves nothing either, not even its incomplete report.
    def failing_fit(*args):
        raise road.RoadError("the fit failed")

    with monkeypatch.context() as patch:
        patch.setattr(road, "fit_zernike_and_condition", failing_fit)
        row = batch.measure_folder("late", str(steep), str(steep), str(out / "late"), options)
    assert row["error"] == "the fit failed" and os.listdir(out / "late") == []
    # OUT/NAME may be the folder a simulation wrote (batch sims/* --out sims): its true surface stays.
    sim = tmp_path / "sim"
    assert cli.main(["simulate", "--size", "48", "--out", str(sim), "--no-figure"]) == 0
    for _ in range(2):  # and a batch run again there still finds the frames alone
        row = batch.measure_folder("sim", str(sim), str(sim), str(sim), options)
        assert row["status"] == "ok" and row["frames"] == 4 and (sim / "true_surface.npy").exists()


def test_missing_dask_is_one_line(lot, tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)
    assert run_batch(lot, tmp_path / "out", ["lotA/s1"], folders=()) == 2
    assert capsys.readouterr().err == "zelnor: error: zelnor batch needs Dask: pip install 'zelnor[batch]'\n"


def start_environment():
    with open("/proc/self/environ", "rb") as handle:
        pairs = [item.split(b"=", 1) for item in handle.read().split(b"\0") if b"=" in item]
    return {key.decode(): value.decode() for key, value in pairs}


@pytest.mark.skipif(not os.path.exists("/proc/self/environ"), reason="reads a process's start environment in /proc")
def test_local_workers_fork_from_a_server_that_keeps_freed_memory(one_worker):
    """Local workers come from the fork server started with the allocator settings, and leave Ctrl-C to the
    command; the command's own environment is left as it was, and a start method the user chose is kept."""
    import dask
    import distributed
    from zelnor_cli.cli import REUSE_ENVIRONMENT

    with dask.config.set({"distributed.worker.multiprocessing-method": "fork"}):
        assert batch._start_fork_server() is None
    method = batch._start_fork_server()
    assert method == "forkserver"
    with dask.config.set({"distributed.worker.multiprocessing-method": method}), \
            distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                     dashboard_address=None) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        seen = client.run(start_environment)
        ignored = client.run(lambda: signal.getsignal(signal.SIGINT) == signal.SIG_IGN)
    # What the C libraries read as the process started: Dask edits os.environ afterwards.
    expected = dict(REUSE_ENVIRONMENT, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    assert [{key: found.get(key) for key in expected} for found in seen.values()] == [expected]
    assert "MALLOC_MMAP_THRESHOLD_" not in os.environ  # (Dask itself sets the other one here)
    # Ctrl-C is the command's own, and the command's handler is left as it was.
    assert list(ignored.values()) == [True] and signal.getsignal(signal.SIGINT) is signal.default_int_handler


def test_local_workers_run_the_code_the_command_runs(tmp_path):
    """A process that took zelnor and zelnor_cli from folders of its own (sys.path edited in a notebook, an
    older copy installed beside them) forks its local workers from a server that imports those same copies,
    each from the folder the process found it in, and nothing from the folder it runs in."""
    module, package = tmp_path / "module", tmp_path / "package"
    module.mkdir()
    shutil.copy(zelnor.__file__, module)
    shutil.copytree(os.path.dirname(batch.__file__), package / "zelnor_cli")
    (package / "zelnor.py").write_text('"""A stale zelnor beside the package."""\n', encoding="utf-8")
    shutil.copytree(package / "zelnor_cli", tmp_path / "zelnor_cli")  # in the folder the command runs in
    script = f"""
import multiprocessing, sys
sys.path[:0] = [{str(module)!r}, {str(package)!r}]
from zelnor_cli import batch

def where(queue):
    import zelnor, zelnor_cli
    queue.put((zelnor.__file__, zelnor_cli.__file__))

if __name__ == "__main__":
    batch._start_fork_server()
    context = multiprocessing.get_context("forkserver")
    queue = context.Queue()
    worker = context.Process(target=where, args=(queue,))
    worker.start()
    print(*queue.get(timeout=60))
    worker.join()
"""
    (tmp_path / "fork.py").write_text(script, encoding="utf-8")
    seen = subprocess.run([sys.executable, str(tmp_path / "fork.py")], capture_output=True, text=True, timeout=120,
                          cwd=tmp_path, check=True).stdout.split()
    expected = [str(module / os.path.basename(zelnor.__file__)), str(package / "zelnor_cli" / "__init__.py")]
    if sys.version_info < (3, 11):  # (no way to keep the folder a process runs in off its path)
        expected[1] = seen[1]
    assert seen == expected


@pytest.mark.parametrize("number, group, status", [(signal.SIGINT, True, 130), (signal.SIGTERM, False, 143),
                                                  (signal.SIGTERM, True, 143)])
def test_ctrl_c_on_the_command_stops_its_workers_quietly(number, group, status, tmp_path):
    """Ctrl-C as a terminal sends it, to the command and its workers alike, in the middle of a batch: the
    command keeps what is done, writes the summary and exits 130, and no worker prints a traceback or logs
    the cancellation. SIGTERM alike (exit 143), to the command alone as `timeout` sends it, or to all its
    processes as a job scheduler's time limit does."""
    folders = [str(tmp_path / f"p{index}") for index in range(12)]
    for index, folder in enumerate(folders):
        write_frames(tmp_path / folder, [f"f{k}.pgm" for k in range(4)], {4: 0.3 + 0.1 * index})
    process = subprocess.Popen([sys.executable, "-m", "zelnor_cli", "batch", *folders, "--workers", "1",
                                "--out", str(tmp_path / "out")], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               text=True, start_new_session=True,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        said = [process.stderr.readline()]  # the bar as a log: 0/12, then at each tenth
        while "0/12" in said[-1]:
            said.append(process.stderr.readline())
        (os.killpg if group else os.kill)(process.pid, number)
        said.append(process.stderr.read())
    finally:
        process.stderr.close()
        ended = process.wait(timeout=120)
    said = "".join(said)
    # SIGTERM kills the workers of its group too, one of which Dask may log as restarted as the batch ends.
    assert ended == status and "Traceback" not in said and ("WARNING" not in said or number == signal.SIGTERM), said
    errors = [row["error"] for row in json.loads((tmp_path / "out/summary.json").read_text(encoding="utf-8"))]
    assert 2 <= errors.count("") < 12 and set(errors) == {"", "interrupted"}


@pytest.fixture(scope="module")
def thread_client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False, dashboard_address=None) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        yield client


def test_failed_tasks_come_back_as_error_text(thread_client):
    """A task that fails outside the road (here in a thread cluster) is reported by its position, not raised."""

    def reciprocal(value):
        return 1 / value

    futures = thread_client.map(reciprocal, [4, 0, 2], pure=False)
    seen = sorted(batch.finished(thread_client, futures))
    assert seen == [(0, 0.25, None), (1, None, "ZeroDivisionError: division by zero"), (2, 0.5, None)]


def test_measure_folders_on_a_users_client_is_the_command(lot, one_worker, tmp_path, monkeypatch):
    import distributed

    monkeypatch.chdir(lot)
    out = tmp_path / "api"
    # A cluster as a user makes one: worker processes, which Dask starts with single-threaded BLAS.
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, dashboard_address=None) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        rows = batch.measure_folders(client, reversed(NAMES), out, ["--no-figure"], progress=False)
        for options in (["--workers", "2"], ["--help"], ["--he"]):
            with pytest.raises(road.RoadError, match="options are measure's"):
                batch.measure_folders(client, NAMES, tmp_path / "never", options)
    assert summary_bytes(out) == summary_bytes(one_worker[1])
    assert rows == json.loads((out / "summary.json").read_text(encoding="utf-8"))
    assert not (tmp_path / "never").exists()


def test_ctrl_c_keeps_what_is_done_and_writes_the_summary(lot, thread_client, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(lot)
    results = batch.finished

    def first_then_ctrl_c(client, futures, *lost):
        yield next(results(client, futures))
        raise KeyboardInterrupt

    monkeypatch.setattr(batch, "finished", first_then_ctrl_c)
    out = tmp_path / "cut"
    with pytest.raises(KeyboardInterrupt):
        batch.measure_folders(thread_client, NAMES, out, ["--no-figure"])
    rows = json.loads((out / "summary.json").read_text(encoding="utf-8"))
    assert [row["name"] for row in rows] == sorted(NAMES.values(), key=batch.natural_key)
    errors = [row["error"] for row in rows]
    assert errors.count("interrupted") == len(NAMES) - 1 and "interrupted" not in capsys.readouterr().err


_RELEASE = threading.Event()


def _stuck(*args):
    """A task that never gets to run, as on a cluster whose workers are gone."""
    _RELEASE.wait(30)


def test_a_cluster_that_loses_its_workers_ends_the_batch_with_error_rows(lot, thread_client, tmp_path, monkeypatch):
    """Workers that die, or cannot run the task and quit, would leave the batch waiting for ever (a cluster
    still waiting for its first worker is another matter: a job queue may take its time)."""
    answers = iter([{"tcp://127.0.0.1:1": 1}])  # one worker, then none

    monkeypatch.setattr(batch, "_measure_task", _stuck)
    monkeypatch.setattr(thread_client, "nthreads", lambda *args, **kwargs: next(answers, {}))
    monkeypatch.setattr(batch, "WORKERS_LOST_SECONDS", 0.3)
    monkeypatch.setattr(batch, "WORKER_POLL_SECONDS", 0.05)
    monkeypatch.chdir(lot)
    try:
        rows = batch.measure_folders(thread_client, ["lotA/s1", "lotA/s2"], tmp_path / "o", ["--no-figure"],
                                     progress=False)
    finally:
        _RELEASE.set()
    assert [row["error"] for row in rows] == ["not measured: the cluster lost all its workers and had none for "
                                              "0.3 s"] * 2


def test_ctrl_c_while_the_cluster_closes_lets_it_close(monkeypatch):
    """Pressed twice, the first press cuts the batch short and the second lands while the cluster closes: cut
    short there, the close would be left to Dask's exit handler, which waits 10 s for it."""
    import distributed

    closed = []

    class Cluster:
        def __init__(self, **kwargs):
            pass

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            os.kill(os.getpid(), signal.SIGINT)
            closed.append(True)

    monkeypatch.setattr(distributed, "LocalCluster", Cluster)
    monkeypatch.setattr(distributed, "Client", lambda cluster, **kwargs: contextlib.nullcontext())
    with pytest.raises(KeyboardInterrupt):  # held while the cluster closes, it takes effect then
        with batch._client(cli._parser().parse_args(["batch", "x", "--workers", "1"])):
            pass
    assert closed == [True] and signal.getsignal(signal.SIGINT) is signal.default_int_handler


@pytest.mark.parametrize("case", ["file-as-folder", "out-name-is-a-file", "folders-as-one-string", "out-as-option",
                                  "abbreviated-out"])
def test_measure_folders_refuses_what_it_cannot_measure(case, lot, thread_client, tmp_path, monkeypatch):
    monkeypatch.chdir(lot)
    folders, options, out = ["lotA/s1"], ["--no-figure"], tmp_path / "o"
    expected = {"file-as-folder": "lotA/s1/f8.pgm: not a folder", "out-name-is-a-file": "exists and is not a folder",
                "out-as-option": "the client and out are given as arguments",
                "abbreviated-out": "the client and out are given as arguments",
                "folders-as-one-string": "folders are a sequence of folders"}[case]
    if case == "file-as-folder":
        folders = ["lotA/s1/f8.pgm"]
    elif case == "out-name-is-a-file":
        out.mkdir()
        (out / "s1").write_text("not a folder")
    elif case == "folders-as-one-string":
        folders = "lotA/s1"
    elif case == "out-as-option":
        options = ["--out", "zelnor-out"]  # the default, given all the same
    elif case == "abbreviated-out":
        options = ["--ou=zelnor-out"]
    with pytest.raises((road.RoadError, TypeError), match=expected):
        batch.measure_folders(thread_client, folders, out, options, progress=False)


@pytest.mark.parametrize("step", ["_start_fork_server", "_import_distributed", "_client"])
def test_ctrl_c_while_the_cluster_starts_still_writes_the_summary(step, lot, tmp_path, monkeypatch, capsys):
    @contextlib.contextmanager
    def starting(args, start_method=None):
        raise KeyboardInterrupt
        yield

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(batch, step, starting if step == "_client" else interrupted)
    out = tmp_path / "cut"
    assert run_batch(lot, out, [], folders=("lotA/s1", "lotA/s2")) == 130
    rows = json.loads((out / "summary.json").read_text(encoding="utf-8"))
    assert [(row["name"], row["error"]) for row in rows] == [("s1", "interrupted"), ("s2", "interrupted")]


@pytest.mark.parametrize("number", [signal.SIGINT, signal.SIGTERM])
def test_ctrl_c_while_the_local_cluster_starts_stops_it_once_started(number, monkeypatch):
    """A cluster interrupted half started cannot be stopped cleanly: Ctrl-C (or SIGTERM, which the command reads
    as Ctrl-C) waits for it to start, then stops it."""
    import distributed

    closed = []

    class Cluster:
        def __init__(self, **kwargs):
            os.kill(os.getpid(), number)  # pressed halfway through the start
            self.started = True

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            closed.append(self.started)

    monkeypatch.setattr(distributed, "LocalCluster", Cluster)
    monkeypatch.setattr(distributed, "Client", lambda cluster, **kwargs: contextlib.nullcontext())
    with pytest.raises(KeyboardInterrupt), batch._terminating():
        with batch._client(cli._parser().parse_args(["batch", "x", "--workers", "1"])):
            pytest.fail("no measurement starts after Ctrl-C")
    assert closed == [True] and batch._TERMINATED == [True] * (number == signal.SIGTERM)
    assert (signal.getsignal(signal.SIGINT), signal.getsignal(signal.SIGTERM)) == (signal.default_int_handler,
                                                                                    signal.SIG_DFL)
    # Pressed twice, as over a start that hangs, it interrupts the start at once.
    with pytest.raises(KeyboardInterrupt):
        with batch._held_interrupt():
            os.kill(os.getpid(), signal.SIGINT)
            os.kill(os.getpid(), signal.SIGINT)
            pytest.fail("the second Ctrl-C is not held")
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


def test_summary_without_stderr_and_beyond_the_float_range(tmp_path, monkeypatch):
    """A closed stderr (2>&-) has no bar drawn on it; a number past the float range is null in the JSON."""
    monkeypatch.setattr(sys, "stderr", None)
    bar = batch.Progress(2)
    bar.step(True)
    row = batch._row("x", "x", 1, error="none")
    row.update(status="ok", pv=float("inf"), rms=float("nan"))
    batch.write_summary(str(tmp_path), [row])
    written = json.loads((tmp_path / "summary.json").read_text(), parse_constant=lambda name: pytest.fail(name))
    assert (written[0]["pv"], written[0]["rms"]) == (None, None)


def test_a_folder_path_that_is_not_utf8_is_escaped_in_the_summary(tmp_path):
    """A folder named on another system: its path is escaped, and both tables stay readable UTF-8."""
    path = os.fsdecode(b"parts/b\xffd/p1")
    batch.write_summary(str(tmp_path), [batch._row("p1", path, 1, error="none")])
    assert json.loads((tmp_path / "summary.json").read_text(encoding="utf-8"))[0]["path"] == path
    assert "parts/b\\udcffd/p1" in (tmp_path / "summary.csv").read_text(encoding="utf-8")


def test_a_batch_whose_stderr_reader_went_away_still_ends_with_its_summary(lot, thread_client, tmp_path, monkeypatch,
                                                                           capsys):
    """2>&1 | head: the bar and the failure lines are lost, not the summary or the exit code."""
    @contextlib.contextmanager
    def users_client(args, start_method=None):
        yield thread_client

    monkeypatch.setattr(batch, "_client", users_client)
    monkeypatch.setattr(sys, "stderr", _BrokenPipe(False))
    out = tmp_path / "piped"
    assert run_batch(lot, out, [], folders=("lotA/s1", "lotB/missing")) == 1
    rows = json.loads((out / "summary.json").read_text(encoding="utf-8"))
    assert [(row["name"], row["status"]) for row in rows] == [("missing", "error"), ("s1", "ok")]
    assert "2 measurements, 1 ok, 1 failed" in capsys.readouterr().out


def test_a_measurement_leaves_other_threads_output_alone(lot, tmp_path, capsys):
    """On a threaded cluster (a notebook's), a measurement keeps its report and messages to itself without
    taking the process's stdout and stderr from the other threads."""
    stop, printed = threading.Event(), []

    def chatter():
        while not stop.is_set():
            print(f"line {len(printed)}")
            print(f"note {len(printed)}", file=sys.stderr)
            printed.append(1)
            time.sleep(0.0005)

    thread = threading.Thread(target=chatter)
    thread.start()
    try:
        for run in range(3):
            row = batch.measure_folder("s2", "lotA/s2", str(lot / "lotA/s2"), str(tmp_path / f"o{run}"), {})
            assert row["status"] == "ok"
    finally:
        stop.set()
        thread.join()
    out, err = capsys.readouterr()
    assert out.count("line ") == err.count("note ") == len(printed) > 0
    assert "wrote" not in out + err
