"""The module frame: definition, function table, start-up and argument conventions."""
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import zelnor

# Entries in table order with their docstrings; each issue that builds a
# function adds its row here.
FUNCTIONS = [
    ("roundmask", "generate round mask."),
    ("make_mask", "make mask."),
    ("zernike_surface", "generate surface from zernike polinomials."),
    ("zernike_matrix", "generate matrix of zernike polinomials surfaces."),
    ("interferogram", "generate interferogram from surface."),
    ("phase", "calculate phase."),
    ("phase5", "calculate phase 5 frames."),
    ("wrap", "phase wrapping."),
    ("fast_unwrap", "fast and simle phase unwrapping."),
    ("unwrap", "phase unwrapping."),
    ("add_noise", "add noise."),
    ("save_pgm", "save matrix as pgm file."),
    ("load_pgm", "load pgm file."),
    ("binning", "image binning."),
]
MASK = np.ones((3, 3), bool)


def test_module_doc_is_empty_string():
    assert zelnor.__doc__ == ""


def test_version_is_major_minor():
    major, minor = zelnor.__version__.split(".")
    assert major.isdigit() and minor.isdigit()


def test_version_matches_distribution():
    from importlib.metadata import PackageNotFoundError, version

    try:
        installed = version("zelnor")
    except PackageNotFoundError:
        pytest.skip("zelnor is not installed as a distribution (developer build)")
    assert installed.split(".")[:2] == zelnor.__version__.split(".")


@pytest.mark.parametrize("name, doc", FUNCTIONS)
def test_function_docstrings(name, doc):
    assert getattr(zelnor, name).__doc__ == doc


def test_function_table_in_order_and_complete():
    public = [n for n in vars(zelnor) if not n.startswith("__")]
    assert public == [n for n, _ in FUNCTIONS]


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda: zelnor.roundmask(1.0, 3), "roundmask"),
        (lambda: zelnor.make_mask([[1.0]], 0.0), "make_mask"),
        (lambda: zelnor.make_mask(np.zeros((2, 2))), "make_mask"),
        (lambda: zelnor.add_noise([1.0], 1.0), "add_noise"),
        (lambda: zelnor.save_pgm(b"x.pgm", np.zeros((2, 2))), "save_pgm"),
        (lambda: zelnor.load_pgm(1), "load_pgm"),
        (lambda: zelnor.fast_unwrap(np.ones((2, 2), bool), [[0.0]], 1.0), "fast_unwrap"),
        (lambda: zelnor.fast_unwrap(np.ones((2, 2), bool), np.zeros((2, 2))), "fast_unwrap"),
        (lambda: zelnor.interferogram(1.0, 0.0, 1, [[True]], np.ones((1, 1))), "interferogram"),
        (lambda: zelnor.interferogram(1.0, 0.0, 1), "interferogram"),
        (lambda: zelnor.phase(), "phase"),
        (lambda: zelnor.phase5(tuple()), "phase"),
        (lambda: zelnor.wrap([[1.0]], 1.0), "wrap"),
        (lambda: zelnor.unwrap(np.zeros((2, 2), np.uint8)), "unwrap"),
        (lambda: zelnor.unwrap([[255]], np.zeros((1, 1), np.float32)), "unwrap"),
        (lambda: zelnor.unwrap(np.zeros((2, 2), np.uint8), phase=np.zeros((2, 2), np.float32)), "unwrap"),
        (lambda: zelnor.zernike_surface([1.0], MASK), "zernike_surface"),
        (lambda: zelnor.zernike_surface(np.zeros(4)), "zernike_surface"),
        (lambda: zelnor.zernike_matrix([[True]], 2), "zernike_matrix"),
        (lambda: zelnor.zernike_matrix(MASK, count=2), "zernike_matrix"),
        # keywords and arguments of the wrong kind, refused whatever the message
        (lambda: zelnor.roundmask(limit=1.0, width=3, height=3), None),
        (lambda: zelnor.roundmask(1.0, 3, height=3), None),
        (lambda: zelnor.make_mask(np.zeros((2, 2)), threshold=0.0), None),
        (lambda: zelnor.add_noise(np.zeros(2), amplitude=1.0), None),
        (lambda: zelnor.save_pgm("unused.pgm", np.zeros((2, 2)), scale=1.0), None),
        (lambda: zelnor.load_pgm(path="unused.pgm"), None),
        (lambda: zelnor.binning(np.zeros((2, 2)), factor=1), None),
        (lambda: zelnor.fast_unwrap(np.ones((2, 2), bool), np.zeros((2, 2)), scale=1.0), None),
        (lambda: zelnor.wrap(np.zeros((2, 2)), period=1.0), None),
        (lambda: zelnor.phase(frames=[np.zeros((2, 2), np.uint16)] * 4), None),
        (lambda: zelnor.roundmask("1", 3, 3), None),
        (lambda: zelnor.roundmask(1.0, 3.5, 3), None),
        (lambda: zelnor.save_pgm("x.pgm", np.zeros((2, 2)), "1"), None),
        (lambda: zelnor.binning(np.zeros((2, 2)), 1.5), None),
        (lambda: zelnor.zernike_matrix(MASK, 2.5), None),
    ],
)
def test_parser_errors(call, name):
    with pytest.raises(TypeError, match=name):
        call()


def test_only_pyinit_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", zelnor.__file__],
                         capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_zelnor"]


def test_import_without_numpy_raises_importerror():
    code = "import sys; sys.modules['numpy'] = None\nimport zelnor"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=dict(os.environ), cwd=os.path.dirname(__file__))
    assert proc.returncode != 0
    assert "ImportError: numpy.core.multiarray failed to import" in proc.stderr
