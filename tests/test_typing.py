"""The typed interface as users meet it: the stub's examples run, and type checkers installed in a fresh
environment find the stubs without any path set."""
import ast
import doctest
import os
import re
import subprocess
import sys
import tempfile
import textwrap
import zipfile
from pathlib import Path

import numpy as np
import pytest

import zelnor

STUB = Path(__file__).resolve().parent.parent / "python" / "zelnor.pyi"


def stub_docstrings():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    return {node.name: (ast.get_docstring(node, clean=False), node.body[0].lineno) for node in tree.body
            if isinstance(node, ast.FunctionDef)}


DOCS = stub_docstrings()
# The declared result type of each function, in the checkers' words once normalised (see `normalise`).
RESULTS = {
    "roundmask": "ndarray[bool]",
    "make_mask": "ndarray[bool]",
    "zernike_surface": "ndarray[float64]",
    "zernike_matrix": "ndarray[float64]",
    "interferogram": "ndarray[uint16]",
    "phase": "ndarray[float64]",
    "phase5": "ndarray[int16]",
    "wrap": "ndarray[float64]",
    "fast_unwrap": "ndarray[float64]",
    "unwrap": "ndarray[float32]",
    "add_noise": "ndarray[float64]",
    "save_pgm": "None",
    "load_pgm": "ndarray[uint8] | ndarray[uint16]",
    "binning": "ndarray[float64]",
}
# One well-typed call per function for the user file.
CALLS = {
    "roundmask": "zelnor.roundmask(1.0, 8, 8)",
    "make_mask": "zelnor.make_mask(surface, 0.0)",
    "zernike_surface": "zelnor.zernike_surface(coefficients, mask)",
    "zernike_matrix": "zelnor.zernike_matrix(mask, 4)",
    "interferogram": "zelnor.interferogram(1.0, 0.0, 4000, mask, surface)",
    "phase": "zelnor.phase(frames)",
    "phase5": "zelnor.phase5(frames + [frame])",
    "wrap": "zelnor.wrap(surface, 1.0)",
    "fast_unwrap": "zelnor.fast_unwrap(mask, surface, 1.0)",
    "unwrap": "zelnor.unwrap(mask.astype(np.uint8), surface.astype(np.float32))",
    "add_noise": "zelnor.add_noise(surface, 0.1)",
    "save_pgm": "zelnor.save_pgm('out.pgm', surface)",
    "load_pgm": "zelnor.load_pgm('out.pgm')",
    "binning": "zelnor.binning(surface, 2)",
}


def test_every_function_has_a_documented_example():
    assert sorted(DOCS) == sorted(RESULTS) == sorted(n for n in vars(zelnor) if not n.startswith("__"))
    for name, (doc, _) in DOCS.items():
        for section in ("Parameters", "Returns", "Raises", "Examples"):
            assert f"\n    {section}\n    ---" in doc, (name, section)
        assert ">>> " in doc, name


@pytest.mark.parametrize("name", sorted(DOCS))
def test_stub_examples_run(name, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    doc, line = DOCS[name]
    # Line numbers in failure reports count from the docstring's opening line.
    test = doctest.DocTestParser().get_doctest(doc, {"zelnor": zelnor, "np": np}, name, str(STUB), line - 1)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = []
    runner.run(test, out=report.append)
    assert runner.summarize(verbose=False).failed == 0, "".join(report)


USER_FILE = textwrap.dedent(
    """\
    import numpy as np
    import zelnor

    mask = zelnor.roundmask(1.0, 8, 8)
    surface = np.zeros((8, 8))
    coefficients = np.zeros(4)
    frame = zelnor.interferogram(1.0, 0.0, 4000, mask, surface)
    frames = [frame, frame, frame, frame]
    zelnor.binning(surface, np.int32(2)), zelnor.roundmask(np.float32(1), np.int64(8), np.int64(8))  # NumPy scalars
    """
) + "".join(f"reveal_type({call})  # {name}\n" for name, call in CALLS.items()) + (
    'zelnor.roundmask("a", 1, 2)  # wrong\n'
)


# The road as a pipeline calls it, under `mypy --strict`: no untyped call, the types users expect.
ROAD_FILE = textwrap.dedent(
    """\
    import pathlib

    import numpy as np

    from zelnor_cli import batch, frames, road

    mask = road.disc_pupil(64, 64)
    images = road.make_frames(road.synthesize_surface({4: 1.0}, mask), mask, 4, noise=2.0)
    waves = road.unwrap_waves(mask, road.retrieve_phase(images), "unwrap")
    fit = road.fit_zernike(waves, mask)
    with road.using_threads(1):
        flat = road.remove_terms(waves, mask, fit, [0, 1, 2])
    road.remove_terms(waves, mask.astype(np.uint8) * 255, fit, np.arange(29) < 3)  # a 0/255 pupil, 29 flags
    reveal_type(mask)  # ndarray[bool]
    reveal_type(images)  # list[ndarray[uint16]]
    reveal_type(road.modulation(images))  # ndarray[float64]
    reveal_type(flat)  # ndarray[float64]
    reveal_type(road.largest_region(mask))  # tuple[ndarray[bool], int]
    reveal_type(road.pv_rms(flat, mask))  # tuple[float, float]
    reveal_type(road.discontinuities(waves, mask))  # int
    reveal_type(road.fit_zernike_and_condition(waves, mask))  # tuple[ndarray[float64], float]
    reveal_type(road.fit_removable(waves, mask, [0, 1, 2]))  # ndarray[float64]
    reveal_type(road.unmodulated(images, waves, mask))  # int
    reveal_type(road.phase_step(images, mask))  # float | None
    reveal_type(road.step_ripple(4, 1.5))  # float
    reveal_type(road.frame_shifts(images, mask, 1.5))  # ndarray[float64] | None
    reveal_type(road.shift_ripple([0.0, 1.5, 3.0, 4.5, 6.0]))  # float
    reveal_type(road.frame_misfit(images, mask, 1.5))  # float | None
    reveal_type(frames.load_mask("pupil.png", mask.shape))  # ndarray[bool]
    reveal_type(batch.measure_folders)  # measure_folders
    shifts = road.frame_shifts(np.stack(images), mask)  # a (frames, height, width) stack is frames too
    if shifts is not None:
        road.shift_ripple(shifts)
    loaded, sources = frames.load_frames(pathlib.Path("frames"))
    reveal_type(loaded)  # list[ndarray[Any]]
    road.disc_pupil("64", 64)  # wrong
    """
)


def test_the_wheel_carries_the_licence_the_stubs_and_the_typed_marker():
    wheel = os.environ.get("ZELNOR_WHEEL")
    if not wheel:
        pytest.skip("ZELNOR_WHEEL is not set: scripts/test.sh names the built wheel to install")
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
    assert {"zelnor_cli/LICENSE", "zelnor_cli/py.typed", "zelnor-stubs/__init__.pyi"} <= names


@pytest.fixture(scope="module")
def user_env():
    """A fresh virtual environment (no system site-packages) with the built wheel, numpy and mypy, and
    the user file beside it."""
    wheel = os.environ.get("ZELNOR_WHEEL")
    if not wheel:
        pytest.skip("ZELNOR_WHEEL is not set: scripts/test.sh names the built wheel to install")
    # Outside pytest's numbered temporary folders, which a concurrent pytest run may prune.
    with tempfile.TemporaryDirectory(prefix="zelnor-typing-") as folder:
        root = Path(folder)
        venv = root / "venv"
        subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
        python = venv / "bin" / "python"
        env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH", "VIRTUAL_ENV")}
        env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
        proc = subprocess.run([str(python), "-m", "pip", "install", "--quiet", wheel, "numpy", "mypy"],
                              env=env, capture_output=True, text=True)
        assert proc.returncode == 0, proc.stderr
        (root / "user.py").write_text(USER_FILE)
        (root / "road_user.py").write_text(ROAD_FILE)
        yield root, python, env


def normalise(revealed_type):
    """A revealed type without module prefixes, shape or bit-width generics: mypy and pyright, over NumPy
    versions, spell `NDArray[np.uint16]` as `numpy.ndarray[Any, numpy.dtype[numpy.unsignedinteger[
    numpy._typing._16Bit]]]`, `ndarray[tuple[Any, ...], dtype[unsignedinteger[_16Bit]]]`, ..."""
    t = re.sub(r"\b(?:numpy\._typing\._nbit_base\.|numpy\._typing\.|numpy\.|builtins\.)", "", revealed_type)
    t = re.sub(r"\bbool_?(?:\[bool\])?", "bool", t)
    for generic, name in (("unsignedinteger", "uint"), ("signedinteger", "int"), ("floating", "float")):
        t = re.sub(generic + r"\[_(\d+)Bit\]", name + r"\1", t)
    t = re.sub(r"ndarray\[(?:Any|tuple\[Any, \.\.\.\]), dtype\[(\w+)\]\]", r"ndarray[\1]", t)
    union = re.fullmatch(r"Union\[(.*)\]", t)  # mypy on Python 3.9
    return " | ".join(union.group(1).split(", ")) if union else t


def revealed(output, marker):
    """Line number -> normalised revealed type, from the output lines of a checker that hold `marker`."""
    found = {}
    for line in output.splitlines():
        if marker in line:
            found[int(line.split(":")[1])] = normalise(line.rsplit(" is ", 1)[1].strip().strip('"'))
    return found


def check_output(out, error_marker, reveal_marker, wrong_type_message):
    lines = {i + 1: line for i, line in enumerate(USER_FILE.splitlines())}
    errors = [line for line in out.splitlines() if error_marker in line]
    # Only the deliberately wrong call is an error: the import resolved and every good call checks.
    assert [int(e.split(":")[1]) for e in errors] == [len(lines)], out
    assert wrong_type_message in errors[0], out
    types = revealed(out, reveal_marker)
    got = {line.split("# ")[1]: types.get(n) for n, line in lines.items() if line.startswith("reveal_type(")}
    assert got == RESULTS, out


def test_mypy_finds_the_stubs(user_env):
    root, python, env = user_env
    proc = subprocess.run([str(python), "-m", "mypy", "--no-incremental", "user.py"], cwd=root, env=env,
                          capture_output=True, text=True)
    check_output(proc.stdout + proc.stderr, ": error:", "Revealed type is",
                 'Argument 1 to "roundmask" has incompatible type "str"')


def test_pyright_finds_the_stubs(user_env):
    root, python, env = user_env
    pyright = python.parent / "pyright"
    install = subprocess.run([str(python), "-m", "pip", "install", "--quiet", "pyright"], env=env,
                             capture_output=True, text=True)
    if install.returncode != 0:
        pytest.skip("pyright does not install here: " + install.stderr.strip()[-300:])
    version = subprocess.run([str(pyright), "--version"], env=env, capture_output=True, text=True)
    if version.returncode != 0:
        pytest.skip("pyright does not run here (it needs node): " + (version.stdout + version.stderr)[-300:])
    proc = subprocess.run([str(pyright), "--pythonpath", str(python), "user.py"], cwd=root, env=env,
                          capture_output=True, text=True)
    check_output(proc.stdout, " - error: ", " - information: Type of ",
                 'cannot be assigned to parameter "limit" of type "_Float" in function "roundmask"')


def test_mypy_checks_the_road_strictly(user_env):
    root, python, env = user_env
    proc = subprocess.run([str(python), "-m", "mypy", "--strict", "--no-incremental", "road_user.py"], cwd=root,
                          env=env, capture_output=True, text=True)
    out = proc.stdout + proc.stderr
    lines = ROAD_FILE.splitlines()
    errors = [line for line in out.splitlines() if ": error:" in line]
    assert [int(e.split(":")[1]) for e in errors] == [len(lines)], out
    assert 'Argument 1 to "disc_pupil" has incompatible type "str"; expected "int"' in errors[0], out
    types = {n: t.replace("Tuple[", "tuple[") for n, t in revealed(out, "Revealed type is").items()}
    for number, line in enumerate(lines, 1):
        if line.startswith("reveal_type("):
            expected = line.split("# ")[1]
            assert (types[number].startswith("def (client:") if expected == "measure_folders"
                    else types[number] == expected), out
