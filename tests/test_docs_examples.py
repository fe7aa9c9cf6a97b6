"""Every example in the README and docs/ runs, and every link in them resolves, so no example can rot."""
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DOCS = [ROOT / "README.md"] + sorted((ROOT / "docs").glob("*.md"))
FENCE = re.compile(r"^```(\w*)\n(.*?)^```", re.S | re.M)
LINK = re.compile(r"\]\(([^)\s]+)\)")


def blocks(language):
    found = []
    for doc in DOCS:
        for number, match in enumerate(m for m in FENCE.finditer(doc.read_text(encoding="utf-8"))
                                       if m.group(1) == language):
            found.append(pytest.param(doc, match.group(2), id=f"{doc.relative_to(ROOT)}:{number}"))
    return found


def slug(heading):
    """The anchor GitHub gives a heading: lower case, punctuation dropped, spaces to hyphens."""
    text = re.sub(r"[`*]", "", heading.strip().lower())
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def imported_modules(code):
    return set(re.findall(r"^\s*(?:import|from)\s+(\w+)", code, re.M))


@pytest.mark.parametrize("doc, code", blocks("python"))
def test_python_examples_run(doc, code, tmp_path):
    """Each example runs as the script a user would save it to: its own process, as __main__."""
    for module in imported_modules(code):  # an optional extra (Dask) may be missing: the example can't run
        pytest.importorskip(module)
    (tmp_path / "example.py").write_text(code, encoding="utf-8")
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "example.py"], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, f"{doc}:\n{proc.stdout}\n{proc.stderr}"


def zelnor_lines(code):
    return [line.split("#")[0].strip() for line in code.splitlines() if line.startswith("zelnor ")]


@pytest.mark.parametrize("doc", [d for d in DOCS
                                 if any(zelnor_lines(m.group(2)) for m in FENCE.finditer(d.read_text(encoding="utf-8"))
                                        if m.group(1) in ("sh", "console", "bash"))],
                         ids=lambda d: str(d.relative_to(ROOT)))
def test_command_examples_run(doc, tmp_path):
    """The `zelnor ...` lines of a page's shell examples, in order, in one folder: each must succeed."""
    env = dict(os.environ, MPLBACKEND="Agg")
    for match in FENCE.finditer(doc.read_text(encoding="utf-8")):
        if match.group(1) not in ("sh", "console", "bash"):
            continue
        for line in zelnor_lines(match.group(2)):
            argv = shlex.split(line)[1:]
            run = subprocess.run([sys.executable, "-m", "zelnor_cli", *argv], cwd=tmp_path, env=env,
                                 capture_output=True, text=True, timeout=600)
            assert run.returncode == 0, f"{line}\n{run.stderr}"
            assert "Traceback" not in run.stderr


@pytest.mark.parametrize("doc", DOCS, ids=lambda d: str(d.relative_to(ROOT)))
def test_links_resolve(doc):
    text = doc.read_text(encoding="utf-8")
    for target in LINK.findall(text):
        if re.match(r"[a-z]+:", target):
            continue
        path, _, anchor = target.partition("#")
        page = (doc.parent / path).resolve() if path else doc
        assert page.exists(), f"{doc.name}: broken link {target}"
        if anchor and page.suffix == ".md":
            headings = re.findall(r"^#+ (.*)$", page.read_text(encoding="utf-8"), re.M)
            assert anchor in {slug(h) for h in headings}, f"{doc.name}: no heading for #{anchor} in {page.name}"
