"""The typed interface as users meet it: the stub's examples run, and type checkers installed in a fresh
environment find the stubs without any path set."""
import ast
import doctest
import os
import subprocess
import sys
import textwrap
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
# The declared result type of each function, as mypy prints it after `import numpy as np`.
RESULTS = {
    "roundmask": "numpy.ndarray[Any, numpy.dtype[numpy.bool]]",
    "make_mask": "numpy.ndarray[Any, numpy.dtype[numpy.bool]]",
    "zernike_surface": "numpy.ndarray[Any, numpy.dtype[numpy.float64]]",
    "zernike_matrix": "numpy.ndarray[Any, numpy.dtype[numpy.float64]]",
    "interferogram": "numpy.ndarray[Any, numpy.dtype[numpy.uint16]]",
    "phase": "numpy.ndarray[Any, numpy.dtype[numpy.float64]]",
    "phase5": "numpy.ndarray[Any, numpy.dtype[numpy.int16]]",
    "wrap": "numpy.ndarray[Any, numpy.dtype[numpy.float64]]",
    "fast_unwrap": "numpy.ndarray[Any, numpy.dtype[numpy.float64]]",
    "unwrap": "numpy.ndarray[Any, numpy.dtype[numpy.float32]]",
    "add_noise": "numpy.ndarray[Any, numpy.dtype[numpy.float64]] | numpy.float64",
    "save_pgm": "None",
    "load_pgm": "numpy.ndarray[Any, numpy.dtype[numpy.uint8]] | numpy.ndarray[Any, numpy.dtype[numpy.uint16]]",
    "binning": "numpy.ndarray[Any, numpy.dtype[numpy.float64]]",
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
        for section in ("Parameters", "Raises", "Examples"):
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
    """
) + "".join(f"reveal_type({call})  # {name}\n" for name, call in CALLS.items()) + (
    'zelnor.roundmask("a", 1, 2)  # wrong\n'
)


@pytest.fixture(scope="module")
def user_env(tmp_path_factory):
    """A fresh virtual environment (no system site-packages) with the built wheel, numpy and mypy."""
    wheel = os.environ.get("ZELNOR_WHEEL")
    if not wheel:
        pytest.skip("ZELNOR_WHEEL is not set: scripts/test.sh names the built wheel to install")
    root = tmp_path_factory.mktemp("typing")
    venv = root / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    python = venv / "bin" / "python"
    env = dict(os.environ, PIP_DISABLE_PIP_VERSION_CHECK="1")
    for name in ("MYPYPATH", "PYTHONPATH"):
        env.pop(name, None)
    subprocess.run([str(python), "-m", "pip", "install", "--quiet", wheel, "numpy", "mypy"],
                   check=True, env=env, capture_output=True)
    (root / "user.py").write_text(USER_FILE)
    return root, python, env


def revealed(output, marker):
    """Line number -> revealed type, from a checker's output lines that contain `marker`."""
    found = {}
    for line in output.splitlines():
        if marker in line:
            number = int(line.split(":")[1])
            found[number] = line.split(marker, 1)[1].strip().strip('"')
    return found


def user_lines():
    return {i + 1: line for i, line in enumerate(USER_FILE.splitlines())}


def test_mypy_finds_the_stubs(user_env):
    root, python, env = user_env
    proc = subprocess.run([str(python), "-m", "mypy", "--no-incremental", "--hide-error-context",
                           "--no-error-summary", "user.py"], cwd=root, env=env, capture_output=True, text=True)
    out = proc.stdout + proc.stderr
    assert "missing library stubs" not in out, out
    lines = user_lines()
    wrong = [n for n, line in lines.items() if line.endswith("# wrong")]
    errors = [line for line in out.splitlines() if ": error:" in line]
    assert [int(e.split(":")[1]) for e in errors] == wrong, out
    assert '"roundmask" has incompatible type "str"' in errors[0], out
    types = revealed(out, "Revealed type is ")
    for number, line in lines.items():
        if line.startswith("reveal_type("):
            name = line.split("# ")[1]
            # NumPy 1.26 calls the boolean scalar bool_, NumPy 2 bool.
            assert types[number].replace("numpy.bool_", "numpy.bool") == RESULTS[name], (name, out)


def test_pyright_finds_the_stubs(user_env):
    root, python, env = user_env
    install = subprocess.run([str(python), "-m", "pip", "install", "--quiet", "pyright"], env=env,
                             capture_output=True, text=True)
    pyright = python.parent / "pyright"
    if install.returncode != 0 or subprocess.run([str(pyright), "--version"], env=env,
                                                 capture_output=True).returncode != 0:
        pytest.skip("pyright does not install or run here (it needs node and its bundled engine)")
    proc = subprocess.run([str(pyright), "--pythonpath", str(python), "user.py"], cwd=root, env=env,
                          capture_output=True, text=True)
    out = proc.stdout
    assert "reportMissingModuleSource" not in out and "could not be resolved" not in out, out
    lines = user_lines()
    wrong = [n for n, line in lines.items() if line.endswith("# wrong")]
    errors = [line for line in out.splitlines() if " - error: " in line]
    assert [int(e.split(":")[1]) for e in errors] == wrong, out
    assert '"Literal[\'a\']" is not assignable to "float"' in errors[0] or "cannot be assigned" in errors[0], out
    types = revealed(out, "Type of ")
    for number, line in lines.items():
        if line.startswith("reveal_type("):
            assert "ndarray" in types[number] or types[number].endswith("is \"None\""), (line, out)
