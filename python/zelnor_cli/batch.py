"""`zelnor batch DIR...`: the measure road over many folders of frames, on a Dask cluster.

Each folder is one measurement. A worker runs `cli.measure` on it exactly as
`zelnor measure` would, writing OUT/NAME/, and hands back one summary row; the
client gathers the rows in name order into OUT/summary.csv and OUT/summary.json.
"""
from __future__ import annotations

import contextlib
import csv
import io
import json
import logging
import os
import signal
import sys
import threading
import time
import warnings
import zlib
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Sequence, Union

import zelnor

from . import road
from .frames import natural_key

if TYPE_CHECKING:
    import distributed

NAME_SEPARATOR = "__"
COEFFICIENT_COLUMNS = [f"Z{index + 1} {name}" for index, (_, _, name) in enumerate(road.FRINGE_TERMS)]
SUMMARY_COLUMNS = (["name", "path", "status", "error", "frames", "pupil_pixels", "pv", "rms"]
                   + COEFFICIENT_COLUMNS + ["units", "seed"])
SUMMARY_FILES = ("summary.csv", "summary.json")
# How long an existing cluster may take to show its first worker.
WORKER_WAIT_SECONDS = 30
# A cluster whose workers have all gone for this long (died, or quit on a task they cannot load) ends the
# batch; long enough for a cluster that replaces lost nodes, or scales workers up through a job queue.
WORKERS_LOST_SECONDS = 300
# How often a running batch asks the scheduler whether it still has workers.
WORKER_POLL_SECONDS = 1.0

# The C generator is process-wide: a worker with several threads must not
# interleave one measurement's srand() and unwrap draws with another's.
_ROAD_LOCK = threading.Lock()


def natural_sorted(names):
    return sorted(names, key=natural_key)


def seed_for(name):
    """The C generator's seed for a measurement: a stable hash of its name."""
    return zlib.crc32(name.encode("utf-8"))


def measurement_names(folders):
    """One distinct NAME per folder: its own name, or, when several folders share it,
    as many trailing path components as make them distinct, joined by '__'."""
    given = {}
    for folder in folders:
        same = given.setdefault(os.path.realpath(folder), folder)  # a link to a folder given is that folder
        if same is not folder:
            raise road.RoadError(f"{same} and {folder} are the same folder")
    parts = [os.path.abspath(folder).split(os.sep)[1:] for folder in folders]
    for folder, components in zip(folders, parts):
        if not components or not components[-1]:
            raise road.RoadError(f"{folder}: cannot name a measurement after the root folder")
    depth = [1] * len(folders)
    groups = {}
    for index, components in enumerate(parts):
        groups.setdefault(components[-1], []).append(index)
    for members in groups.values():
        while len(members) > 1 and len({tuple(parts[i][-depth[i]:]) for i in members}) < len(members):
            if all(depth[i] >= len(parts[i]) for i in members):
                break
            for i in members:
                depth[i] = min(depth[i] + 1, len(parts[i]))
    names = [NAME_SEPARATOR.join(components[-d:]) for components, d in zip(parts, depth)]
    seen = {}
    for folder, name in zip(folders, names):
        try:
            name.encode("utf-8")
        except UnicodeEncodeError:  # the summary files are UTF-8 text
            raise road.RoadError(f"{folder!r}: a measurement's name must be UTF-8 text, and this folder's is "
                                 "not") from None
        if name in SUMMARY_FILES:
            raise road.RoadError(f"{folder}: a measurement cannot be named {name!r}, the summary's own name")
        if name in seen:
            raise road.RoadError(f"{seen[name]} and {folder} would both be measurement {name!r}")
        seen[name] = folder
    return names


def _error_text(error):
    if isinstance(error, road.RoadError):
        text = str(error)
    elif isinstance(error, OSError):
        text = f"{error.strerror or error}: {error.filename or ''}".rstrip(": ")
    else:
        text = f"{type(error).__name__}: {error}"
    return " ".join(text.splitlines()).strip()  # one row, one line


def _row(name, path, seed, error=None, report=None):
    row = dict.fromkeys(SUMMARY_COLUMNS)
    row.update(name=name, path=path, status="error" if report is None else "ok", error=error or "", seed=seed)
    if report is not None:
        row.update(frames=report["frames"], pupil_pixels=report["pupil_pixels"],
                   pv=report["surface"]["pv"], rms=report["surface"]["rms"], units=report["units"])
        for column, coefficient in zip(COEFFICIENT_COLUMNS, report["coefficients"]):
            row[column] = coefficient["recovered"]
    return row


def _unmeasured(names, folders, index, error):
    return _row(names[index], folders[index], seed_for(names[index]), error=error)


def _clear_measurement(out):
    """Removes the maps, figure and report a measurement wrote into `out`, where report.json there is a
    measurement's; nothing else."""
    from .frames import OWN_OUTPUTS, own_report

    earlier = own_report(out)
    if earlier is None or earlier["command"] != "measure":
        return
    for file in sorted(OWN_OUTPUTS - {"true_surface.pgm", "true_surface.npy"}) + ["report.json"]:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(out, file))


def measure_folder(name, path, folder, out, options):
    """Runs on a worker: `zelnor measure` of the folder's frames into `out`, seeded from
    `name`; returns the summary row, with any failure as its error message. Its warnings go to
    standard error, each line naming the measurement."""
    row, lines = _measure_task(name, path, folder, out, options)
    for line in lines:
        _say(line)
    return row


def _say(line):
    """A line on standard error, if there is one to write to (2>&-, or a reader that went away: the
    summary and the reports hold everything said)."""
    if sys.stderr is None:
        return
    with contextlib.suppress(OSError, ValueError):
        print(line, file=sys.stderr)


# The modules a measurement runs: their code makes a row what it is.
_ROAD_MODULES = ("batch", "cli", "figure", "fit", "frames", "road")


def _code_digest():
    """A digest of what a row depends on besides its frames and options: the code of the modules a
    measurement runs, as this process loaded them, and the module's version. Workers whose digest is not
    the client's would give rows that `zelnor measure` does not."""
    return _DIGEST


def _digest_of_the_code():
    import hashlib

    digest = hashlib.sha256(zelnor.__version__.encode())
    folder = os.path.dirname(os.path.abspath(__file__))
    for name in _ROAD_MODULES:
        try:
            with open(os.path.join(folder, name + ".py"), "rb") as handle:
                code = handle.read().replace(b"\r\n", b"\n")  # a checkout's line ends are not the code
        except OSError:  # an install without sources
            code = b""
        digest.update(name.encode() + b"\0" + code)
    return digest.hexdigest()[:12]


# Read as the package loads, so that files replaced under a running process do not pass for its code.
_DIGEST = _digest_of_the_code()


def _measure_task(name, path, folder, out, options, client_digest=None):
    """measure_folder on a worker: (the summary row, the measurement's messages, each naming it), the
    messages for the client to print, so that they reach the command's standard error from any cluster.
    A worker whose code digest differs from the client's (`client_digest`) measures nothing."""
    from . import cli

    seed = seed_for(name)
    if client_digest is not None and client_digest != _code_digest():
        return _row(name, path, seed, error=f"this worker runs another zelnor (code {_code_digest()}, the client's "
                                            f"{client_digest}): install the same version on every worker"), []
    messages = io.StringIO()
    # OUT/NAME may be the measurement's own folder (batch sims/* --out sims): there the maps share their
    # names with a simulation's, and its report keeps the maps from being read as frames; nothing goes.
    own_folder = os.path.realpath(out) == os.path.realpath(folder)
    try:
        # What an earlier batch measured here goes first, so that a measurement that now fails (or draws no
        # figure) leaves no results of its own beside its error row.
        if not own_folder:
            _clear_measurement(out)
        # The folder itself, as `zelnor measure FOLDER` takes it: the same frames in the same order.
        args = cli._parser().parse_args(["measure", folder, "--out", out, "--seed", str(seed)])
        for key, value in options.items():
            setattr(args, key, value)
        # This thread's report and messages only: a worker's other threads (or a notebook's, on a
        # threaded cluster) keep their own streams.
        streams = cli._streams.set((io.StringIO(), messages))
        # One thread per measurement: the cluster already runs one measurement per core.
        try:
            with _ROAD_LOCK, road.using_threads(1):
                cli.measure(args)
        finally:
            cli._streams.reset(streams)
        row = _row(name, path, seed, report=args.report)
    except Exception as error:  # one measurement's failure is data, the batch goes on
        if not own_folder:
            with contextlib.suppress(Exception):
                _clear_measurement(out)  # what it wrote before it failed, and its incomplete report
        # Name files as the user gave the folder, not as the worker reached it.
        row = _row(name, path, seed, error=_error_text(error).replace(folder, path.rstrip(os.sep) or path))
    # Among many measurements' warnings in one log, each says whose it is.
    lines = [line.replace("zelnor: ", f"zelnor: {name}: ", 1) if line.startswith("zelnor: ") else line
             for line in messages.getvalue().splitlines()]
    return row, lines


def measure_options(args):
    """The measure options given to batch, as attributes of a measure namespace."""
    from . import cli

    shared = vars(cli._parser().parse_args(["measure", "frame"]))
    # --json only changes what measure prints, which a batch does not show.
    options = {key: value for key, value in vars(args).items()
               if key in shared and key not in ("command", "frames", "out", "seed", "json")}
    kind, value = options.get("pupil", ("disc", None))
    if kind == "mask":
        if not os.path.isfile(value):
            raise road.RoadError(f"{value}: no such file (--pupil mask:FILE)")
        # Absolute, as the folders: workers of an existing cluster run in folders of their own.
        options["pupil"] = (kind, os.path.abspath(value))
    return options


class Progress:
    """A one-line bar on stderr, redrawn in place on a terminal. Written to a file or a pipe (a cluster
    job's log), the bar is a line of its own at the start, at each tenth of the batch and at the end: at
    most a dozen lines, however large the batch. A stream that fails (its reader went away) ends the bar,
    never the batch."""

    WIDTH = 30

    def __init__(self, total, stream=None):
        self.total, self.done, self.failed = total, 0, 0
        self.stream = sys.stderr if stream is None else stream
        try:
            self.live = self.stream.isatty()
        except (AttributeError, ValueError):  # a closed or plain stream: log lines
            self.live = False
        self._drawn = ""
        self._draw()

    def step(self, ok, lines=()):
        """One more measurement done, `ok` or not; `lines` are its messages, printed above the bar."""
        self.done += 1
        self.failed += not ok
        if lines:
            self._write(("\r" + " " * len(self._drawn) + "\r" if self.live and self._drawn else "")
                        + "".join(line + "\n" for line in lines))
            if self.live:
                self._drawn = ""  # the bar was wiped: draw it again below them
        if self.live or self.done == self.total or self._tenth(self.done) > self._tenth(self.done - 1):
            self._draw()

    def _tenth(self, done):
        return 10 * done // max(self.total, 1)

    def _draw(self):
        filled = self.WIDTH * self.done // max(self.total, 1)
        failed = f", {self.failed} failed" if self.failed else ""
        bar = f"zelnor batch [{'#' * filled}{'.' * (self.WIDTH - filled)}] {self.done}/{self.total}{failed}"
        if self.live:
            self._write("\r" + bar + ("\n" if self.done == self.total else ""))
            self._drawn = "" if self.done == self.total else bar
        else:
            self._write(bar + "\n")

    def _write(self, text):
        if self.stream is None:  # stderr closed when the process started (2>&-), or failed since
            return
        try:
            self.stream.write(text)
            self.stream.flush()
        except (OSError, ValueError):  # a broken pipe (| head): no more bar
            self.stream = None


def _check_address(address):
    # Caught here: a Client given a malformed address hangs on its way out.
    from distributed.comm.addressing import parse_address, parse_host_port

    try:
        scheme, location = parse_address(address)
        host, _ = parse_host_port(location)
    except ValueError:
        scheme, host = "", ""
    if not host or scheme not in ("tcp", "tls"):
        raise road.RoadError(f"bad --scheduler {address!r}: expected tcp://HOST:PORT")
    import dask

    # Without its certificates a TLS client fails only after a minute's wait, with tracebacks.
    if scheme == "tls" and not dask.config.get("distributed.comm.tls.ca-file", None):
        raise road.RoadError(f"--scheduler {address}: tls:// needs Dask's TLS configuration "
                             "(distributed.comm.tls.ca-file and the client's certificate)")


def _scheduler_from_file(path):
    """The address in a scheduler file, waiting for the file as Dask's own client does: in a job script
    the scheduler may still be starting."""
    deadline = time.monotonic() + WORKER_WAIT_SECONDS
    while True:
        try:
            with open(path, encoding="utf-8") as handle:
                address = json.load(handle).get("address")
            if isinstance(address, str) and address:
                return address
            problem = "holds no scheduler address"
        except FileNotFoundError:
            problem = "does not exist"
        except (OSError, ValueError, AttributeError):  # half written, or not a scheduler file
            problem = "is not a Dask scheduler file"
        if time.monotonic() >= deadline:
            raise road.RoadError(f"--scheduler-file {path}: {problem} after {WORKER_WAIT_SECONDS} s")
        time.sleep(0.2)


def _import_dask():
    try:
        import dask
    except ImportError:
        raise road.RoadError("zelnor batch needs Dask: pip install 'zelnor[batch]'") from None
    return dask


def _import_distributed():
    try:
        import distributed
    except ImportError:
        raise road.RoadError("zelnor batch needs Dask: pip install 'zelnor[batch]'") from None
    return distributed


# Modules a local worker needs before its first measurement, imported once by the fork server.
_WORKER_MODULES = ["distributed", "numpy", "zelnor", "zelnor_cli.batch", "zelnor_cli.cli"]


def _start_fork_server(figures=False):
    """Starts the process that local workers are forked from, and returns Dask's name for that
    start method; None where there is none, or where the user chose a method of their own.

    Dask spawns each worker as a fresh interpreter that imports Dask and the road again, which
    costs more than a batch of small measurements takes. Forked from one server that imported
    them once, workers start at once. The server starts here, before this process imports Dask
    itself, so that both imports run side by side; even Dask's configuration is read only once the
    server is on its way (left unused when the user chose another method). The server is
    single-threaded: unlike a plain fork of this process, whose Dask event loop runs in a thread,
    its children inherit no held lock."""
    import multiprocessing

    if "forkserver" not in multiprocessing.get_all_start_methods():
        return None
    from multiprocessing import forkserver

    from .__main__ import _BLAS_THREADS
    from .cli import REUSE_ENVIRONMENT

    multiprocessing.get_context("forkserver").set_forkserver_preload(
        _WORKER_MODULES + (["zelnor_cli._agg"] if figures else []) + ["zelnor_cli._interrupt"])
    # The server imports NumPy: one BLAS thread, as Dask gives the workers it spawns, so that rows
    # equal `zelnor measure` bit for bit. Workers keep freed image memory for their next measurement,
    # as the command does for itself, unless the user tuned glibc's allocator in the environment.
    settings = dict.fromkeys(_BLAS_THREADS, "1")
    settings.update((key, value) for key, value in REUSE_ENVIRONMENT.items() if key not in os.environ)
    # The server imports the road before it learns this process's sys.path: it looks for zelnor and
    # zelnor_cli first in the folders this process took them from, in this process's order, and not in the
    # folder it starts in (from Python 3.11, PYTHONSAFEPATH), so that workers run this very code and not an
    # older copy installed beside it.
    settings["PYTHONSAFEPATH"] = "1"
    roots = _package_roots()
    if roots:
        settings["PYTHONPATH"] = os.pathsep.join(roots + ([os.environ["PYTHONPATH"]] if os.environ.get("PYTHONPATH")
                                                          else []))
    before = {key: os.environ.get(key) for key in settings}
    os.environ.update(settings)
    # Ctrl-C is this process's: it keeps what is done and stops the workers. Ignored as the server starts,
    # it stays ignored there (Python installs no handler of its own then) and in every worker forked from
    # it, which would otherwise each print the traceback of its interrupted imports or event loop.
    # (Left alone outside the main thread, and where a handler set outside Python could not be put back.)
    interrupt = signal.getsignal(signal.SIGINT) if threading.current_thread() is threading.main_thread() else None
    if interrupt is not None:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        forkserver.ensure_running()
    finally:
        for key, value in before.items():
            if value is None:
                del os.environ[key]
            else:
                os.environ[key] = value
        if interrupt is not None:
            signal.signal(signal.SIGINT, interrupt)
    dask = _import_dask()
    if dask.config.get("distributed.worker.multiprocessing-method", "spawn") != "spawn":
        return None  # not Dask's default: the user's own choice
    return "forkserver"


def _package_roots():
    """The folders this process imported zelnor_cli and zelnor from, less the site folders where a new
    interpreter finds them anyway (put ahead of the standard library, they could shadow it)."""
    import site

    sites = getattr(site, "getsitepackages", list)() + [site.getusersitepackages()]
    sites = {os.path.realpath(folder) for folder in sites}
    roots = [os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
             os.path.dirname(os.path.abspath(zelnor.__file__))]
    # In this process's order: each package is then found first in the folder this process found it in.
    order = {os.path.realpath(os.path.abspath(folder or os.curdir)): place for place, folder in enumerate(sys.path)}
    roots = sorted(dict.fromkeys(roots), key=lambda root: order.get(os.path.realpath(root), len(order)))
    return [root for root in roots if os.path.realpath(root) not in sites]


@contextlib.contextmanager
def _client(args, start_method=None):
    distributed = _import_distributed()
    logging.getLogger("distributed").setLevel(logging.WARNING)
    if args.scheduler:
        try:
            client = distributed.Client(args.scheduler, set_as_default=False)
        except Exception as error:  # unreachable, or a protocol (tls://) that wants a security configuration
            raise road.RoadError(f"cannot reach the Dask scheduler at {args.scheduler}: "
                                 f"{_error_text(error)}") from None
        with client:
            try:
                client.wait_for_workers(1, timeout=WORKER_WAIT_SECONDS)
            except (OSError, TimeoutError):
                raise road.RoadError(f"the Dask scheduler at {args.scheduler} has no workers") from None
            yield client
        return
    # No more workers than measurements: each one costs a process and its start.
    workers = min(args.workers or road.usable_cores(), max(1, len(args.folders)))
    # One thread per process: the road is CPU bound and the C generator is per process.
    # No memory limit, so that what measures alone also measures here.
    settings = {}
    if start_method is not None:
        import distributed.utils

        settings["distributed.worker.multiprocessing-method"] = start_method
        # Dask would otherwise import its optional packages (pandas...) here to preload them
        # into a server that has already started with the road's own modules.
        distributed.utils._forkserver_preload_set = True
    import dask

    with dask.config.set(settings), warnings.catch_warnings():
        # Dask's notice that its default HTTP port is taken (by another cluster) says nothing to a batch.
        warnings.filterwarnings("ignore", message="Port .* is already in use", category=UserWarning)
        try:
            with _held_interrupt() as interrupted:
                cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                                   dashboard_address=None, memory_limit=0)
        except Exception as error:  # e.g. a script that starts processes without a __main__ guard
            raise road.RoadError(f"cannot start a local Dask cluster: {_error_text(error)}") from None
        closing = contextlib.ExitStack()
        failed = True
        try:
            closing.enter_context(cluster)
            client = closing.enter_context(distributed.Client(cluster, set_as_default=False))
            if interrupted:
                raise KeyboardInterrupt
            yield client
            failed = False
        finally:
            # Ctrl-C held while both close (pressed twice, the first cut the batch short): a close cut short
            # leaves the cluster to Dask's exit handler, which waits 10 s for it. Pressed only then, it takes
            # effect once they have closed.
            with _held_interrupt() as pressed:
                closing.close()
            if pressed and not failed:
                raise KeyboardInterrupt


@contextlib.contextmanager
def _held_interrupt():
    """Holds Ctrl-C (and SIGTERM, where the command reads it as Ctrl-C) back while the block runs, and yields a
    list that then holds True if it came: a cluster interrupted half started cannot be stopped cleanly, one that
    has started can. Pressed twice, it interrupts the block at once (a start that hangs)."""
    pressed: List[bool] = []
    if threading.current_thread() is not threading.main_thread() or \
            signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
        yield pressed  # not ours to hold: Ctrl-C is ignored, or handled by the caller's own handler
        return
    terminate = signal.getsignal(signal.SIGTERM) is _terminate

    def hold(number, frame):
        if number == signal.SIGTERM:
            _TERMINATED.append(True)
            _quiet_dask()
        if pressed:
            signal.default_int_handler(number, frame)
        pressed.append(True)

    signal.signal(signal.SIGINT, hold)
    if terminate:
        signal.signal(signal.SIGTERM, hold)
    try:
        yield pressed
    finally:
        signal.signal(signal.SIGINT, signal.default_int_handler)
        if terminate:
            signal.signal(signal.SIGTERM, _terminate)


# Whether SIGTERM cut the command's batch short: it exits 143 then, 130 after Ctrl-C.
_TERMINATED: List[bool] = []


def _terminate(number, frame):
    """SIGTERM (a job scheduler's time limit, `timeout`, a service manager) read as Ctrl-C: what is done is
    kept and the summary written."""
    _TERMINATED.append(True)
    _quiet_dask()
    signal.default_int_handler(number, frame)


def _quiet_dask():
    """Dask's logs of what SIGTERM did to the local workers, which a job scheduler sends it too (a nanny's
    traceback of a worker that died under it), left unsaid: the batch is stopping on purpose."""
    for name in ["distributed"] + [name for name in logging.root.manager.loggerDict if name.startswith("distributed.")]:
        logging.getLogger(name).setLevel(logging.CRITICAL)


@contextlib.contextmanager
def _terminating():
    """The command's batch reads SIGTERM as Ctrl-C, where nothing else handles it."""
    del _TERMINATED[:]
    if threading.current_thread() is not threading.main_thread() or \
            signal.getsignal(signal.SIGTERM) != signal.SIG_DFL:
        yield
        return
    signal.signal(signal.SIGTERM, _terminate)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)


def finished(client, futures, lost=None):
    """(position in `futures`, result, None) for each future as it finishes, or (position, None,
    the error's one-line text) for one that failed. Results come with their futures, fetched by the
    client's own event loop, rather than asked for one by one from this thread. A future cancelled while
    `lost` (a list) holds a message fails with that message."""
    from distributed import as_completed

    slot = {future.key: position for position, future in enumerate(futures)}
    for future, result in as_completed(futures, loop=client.loop, with_results=True, raise_errors=False):
        position = slot[future.key]
        if future.status == "finished":
            item = position, result, None
        elif future.status == "cancelled" and lost:
            item = position, None, lost[0]
        else:  # an error comes as (type, exception, traceback), a cancellation as the exception
            item = position, None, _error_text(result[1] if isinstance(result, tuple) else result)
        # Its row is here: the cluster may forget it (a worker lost later would otherwise measure it again).
        future.release()
        yield item


@contextlib.contextmanager
def _watching_workers(client, futures):
    """Yields a list that gets a message, and cancels what is left of `futures`, once the cluster, having
    had workers, has had none for WORKERS_LOST_SECONDS: a cluster whose workers died (or cannot run the task
    and quit) would leave the batch waiting for ever. A cluster still waiting for its first worker is the
    caller's to wait for (the command waits WORKER_WAIT_SECONDS for it before it starts)."""
    lost: List[str] = []
    stop = threading.Event()

    def watch():
        seen, since = False, None
        while not stop.wait(WORKER_POLL_SECONDS):
            try:
                workers = len(client.nthreads())
            except Exception:  # the scheduler itself gone: its own error reaches the futures
                continue
            seen = seen or workers > 0
            since = None if workers or not seen else since or time.monotonic()
            if since is not None and time.monotonic() - since >= WORKERS_LOST_SECONDS:
                lost.append(f"not measured: the cluster lost all its workers and had none for "
                            f"{WORKERS_LOST_SECONDS} s")
                with contextlib.suppress(Exception):
                    client.cancel([future for future in futures if not future.done()])
                return

    watcher = threading.Thread(target=watch, name="zelnor-batch-workers", daemon=True)
    watcher.start()
    try:
        yield lost
    finally:
        stop.set()
        watcher.join()


def _write_atomically(path, text, errors="strict"):
    from .cli import _replacing

    try:
        with _replacing(path) as temporary, open(temporary, "w", encoding="utf-8", errors=errors,
                                                 newline="") as handle:
            handle.write(text)
    except OSError as error:
        raise road.RoadError(f"{path}: cannot write: {error.strerror or error}") from None


def write_summary(out, rows):
    table = io.StringIO()
    writer = csv.DictWriter(table, SUMMARY_COLUMNS, lineterminator="\n")
    writer.writeheader()
    writer.writerows(rows)
    csv_name, json_name = SUMMARY_FILES
    # A name that is not UTF-8 (a folder named on another system) is written with backslash escapes, not as bytes
    # that would make the whole table unreadable as UTF-8.
    _write_atomically(os.path.join(out, csv_name), table.getvalue(), errors="backslashreplace")
    from .cli import json_text

    _write_atomically(os.path.join(out, json_name), json_text(rows) + "\n")


def _check_folders(folders):
    """Each folder's measurement name, after checking that the folders exist."""
    for folder in folders:
        if not os.path.isdir(folder):
            raise road.RoadError(f"{folder}: " + ("not a folder; each measurement is a folder of frames"
                                                  if os.path.exists(folder) else "no such folder"))
    return measurement_names(folders)


def _check_out(out, given, names):
    """Refuses an OUT that cannot be made (`given` names it as the user did), or where an OUT/NAME is a file:
    that measurement could write nothing."""
    from .cli import check_out_folder

    check_out_folder(out, given)
    for name in names:
        if os.path.lexists(os.path.join(out, name)) and not os.path.isdir(os.path.join(out, name)):
            raise road.RoadError(f"{os.path.join(given, name)}: exists and is not a folder, where measurement "
                                 f"{name} writes its results")


def _measure_all(client, folders, names, out, options, progress):
    """Every folder measured on `client`: (rows in name order, whether Ctrl-C cut the batch short, seconds
    from the first submission to the last result). On Ctrl-C what is done is kept and the rest of the
    measurements are cancelled and come back as `interrupted` error rows."""
    order = sorted(range(len(names)), key=lambda i: natural_key(names[i]))
    # Absolute paths: workers of an existing cluster run in folders of their own.
    futures = client.map(_measure_task, [names[i] for i in order], [folders[i] for i in order],
                         [os.path.abspath(folders[i]) for i in order],
                         [os.path.join(out, names[i]) for i in order], [options] * len(order),
                         [_code_digest()] * len(order), pure=False)
    started = time.perf_counter()
    rows = [None] * len(order)
    bar = Progress(len(futures)) if progress else None
    try:
        with _watching_workers(client, futures) as lost:
            for position, result, error in finished(client, futures, lost):
                # An error here is the worker's own (it died, cannot import zelnor...): the road's are rows.
                row, lines = result if error is None else (_unmeasured(names, folders, order[position], error), [])
                rows[position] = row
                if bar:
                    bar.step(row["status"] == "ok", lines)
                else:
                    for line in lines:
                        _say(line)
    except KeyboardInterrupt:
        client.cancel([future for future, row in zip(futures, rows) if row is None])
        rows = [row or _unmeasured(names, folders, order[position], "interrupted")
                for position, row in enumerate(rows)]
        if bar and bar.live and bar._drawn:  # end the bar's line
            bar._write("\n")
        return rows, True, time.perf_counter() - started
    return rows, False, time.perf_counter() - started


def measure_folders(client: distributed.Client, folders: Iterable[Union[str, os.PathLike[str]]],
                    out: Union[str, os.PathLike[str]] = "zelnor-out", options: Sequence[str] = (),
                    progress: bool = True) -> List[Dict[str, Any]]:
    """Measures each folder on a Dask `client` as `zelnor batch` does, and returns the summary rows.

    Writes OUT/NAME/ per measurement and OUT/summary.csv and OUT/summary.json, exactly as the
    command; the rows (dicts keyed by SUMMARY_COLUMNS, in name order) are those of the summary.
    `options` are measure options as on the command line, e.g. ``["--pupil", "annulus:0.3",
    "--no-figure"]``. The client's workers must import zelnor and see the folders and OUT under the
    same paths. Bad folders or options raise road.RoadError before anything is written; Ctrl-C keeps
    what is done, writes the summary and raises KeyboardInterrupt."""
    from . import cli

    if isinstance(options, (str, bytes)):
        raise TypeError("options are a sequence of command-line arguments, e.g. ['--no-figure']")
    if isinstance(folders, (str, bytes, os.PathLike)):  # not a sequence of one-letter folders
        raise TypeError("folders are a sequence of folders, e.g. ['lot/part1']")
    folders = [os.fspath(folder) for folder in folders]
    out = os.path.abspath(os.fspath(out))
    # argparse would print help and exit, for --help as for any abbreviation of it
    if any(option == "-h" or (len(option) > 2 and "--help".startswith(option)) for option in options):
        raise road.RoadError("options are measure's: --help is not one of them")
    args = cli._parser().parse_args(["batch", "DIR", *options])
    # Given at all, even as their defaults or abbreviated (argparse takes --sch for --scheduler).
    given = [option.split("=", 1)[0] for option in options if option.startswith("--")]
    if any(len(option) > 2 and full.startswith(option) for option in given
           for full in ("--out", "--workers", "--scheduler", "--scheduler-file")):
        raise road.RoadError("options are measure's: the client and out are given as arguments")
    if args.folders != ["DIR"]:
        raise road.RoadError(f"options are measure's: {args.folders[1:]} are not options; folders are given as "
                             "an argument")
    names = _check_folders(folders)
    _check_out(out, out, names)
    os.makedirs(out, exist_ok=True)
    rows, interrupted, _ = _measure_all(client, folders, names, out, measure_options(args), progress)
    write_summary(out, rows)
    if interrupted:
        raise KeyboardInterrupt
    return rows


def run(args):
    """`zelnor batch`: 0 when every measurement succeeds, 1 when some failed."""
    for option, value in (("--scheduler", args.scheduler), ("--scheduler-file", args.scheduler_file)):
        if value is not None and not value.strip():  # an unset shell variable: not a local cluster
            raise road.RoadError(f"{option} is empty: give the cluster's, or leave the option out")
    if args.scheduler and args.scheduler_file:
        raise road.RoadError("--scheduler and --scheduler-file: give one")
    if (args.scheduler or args.scheduler_file) and args.workers:
        raise road.RoadError("--workers sizes a local cluster: not with --scheduler or --scheduler-file")
    names = _check_folders(args.folders)
    options = measure_options(args)
    out = os.path.abspath(args.out)
    _check_out(out, args.out, names)
    with _terminating():
        rows, interrupted, elapsed = _run_on_cluster(args, names, out, options)
    os.makedirs(out, exist_ok=True)
    write_summary(out, rows)

    failed = [row for row in rows if row["status"] != "ok"]
    for row in failed:
        _say(f"zelnor: {row['name']}: {row['error']}")
    status = (143 if _TERMINATED else 130) if interrupted else 1 if failed else 0
    try:
        print(f"batch: {len(rows)} measurements, {len(rows) - len(failed)} ok, {len(failed)} failed, "
              f"measured in {elapsed:.2f} s; wrote {os.path.join(args.out, 'summary.csv')}")
        sys.stdout.flush()
    except BrokenPipeError:  # the reader went away (| head); the summary is written, the status stands
        from .cli import stdout_gone

        stdout_gone()
    except (AttributeError, ValueError, OSError):  # no stdout (>&-)
        pass
    return status


def _run_on_cluster(args, names, out, options):
    """The batch's rows, whether it was cut short, and its measuring time, on the local cluster or the one
    named; cut short while the cluster starts or stops, every measurement left is `interrupted`."""
    rows, interrupted, elapsed = None, False, 0.0
    try:
        if args.scheduler_file:
            args.scheduler = _scheduler_from_file(args.scheduler_file)
        start_method = None
        if not args.scheduler:
            start_method = _start_fork_server(figures=not args.no_figure)
        _import_distributed()
        if args.scheduler:
            _check_address(args.scheduler)
        with _client(args, start_method) as client:
            os.makedirs(out, exist_ok=True)  # once the cluster is there: a bad address leaves no folder
            rows, interrupted, elapsed = _measure_all(client, args.folders, names, out, options, progress=True)
    except KeyboardInterrupt:  # while the cluster started or stopped: the summary is written all the same
        if rows is None:
            rows = [_unmeasured(names, args.folders, index, "interrupted") for index in
                    sorted(range(len(names)), key=lambda i: natural_key(names[i]))]
        interrupted = True
    return rows, interrupted, elapsed
