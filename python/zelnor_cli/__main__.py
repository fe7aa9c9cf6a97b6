"""`python -m zelnor_cli` and the `zelnor` command."""
import os
import sys
from typing import Optional, Sequence

# Linear algebra libraries read these once, when NumPy loads them.
_BLAS_THREADS = ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")


def main(argv: Optional[Sequence[str]] = None) -> int:
    # One BLAS thread: the Zernike fit's sums then run in one order on every machine, so a measurement's
    # last bits do not depend on the core count, and `zelnor batch` rows (whose Dask workers run one BLAS
    # thread each) equal what `zelnor measure` gives. The fit works on small blocks: nothing is lost.
    if "numpy" not in sys.modules:
        for name in _BLAS_THREADS:
            os.environ[name] = "1"
    # A file name that is not UTF-8 (from another system) is printed as its bytes, as `ls` prints it.
    if getattr(sys.stdout, "errors", None) == "strict" and hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="surrogateescape")
    from .cli import main as run

    return run(argv)


if __name__ == "__main__":
    sys.exit(main())
