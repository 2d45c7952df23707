"""The type stubs: strict mypy accepts the examples and rejects the wrong calls; stubtest agrees."""

import io
import os
import re
import shutil
import subprocess
import sys
import tokenize
from pathlib import Path

import pytest

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "stubs" / "tovra-stubs" / "__init__.pyi"
WRONG_CALLS = ROOT / "tests" / "typing" / "wrong_calls.py"
# Every Python version the package declares: the stubs must hold for each, whichever runs mypy.
VERSIONS = re.findall(r'"Programming Language :: Python :: (3\.\d+)"',
                      (ROOT / "pyproject.toml").read_text())
python_versions = pytest.mark.parametrize("version", VERSIONS)


@pytest.fixture(scope="module")
def run_mypy(tmp_path_factory):
    """Run a mypy tool against the stubs of this source tree, whether or not tovra is installed.

    mypy looks for a `tovra-stubs` package only in site-packages, never on MYPYPATH, so the stub
    is copied as a plain `tovra.pyi` into a directory of its own that MYPYPATH names. MYPYPATH
    comes before site-packages in mypy's search order, so an installed, possibly older copy of
    the stubs cannot hide the one being tested.
    """
    base = tmp_path_factory.mktemp("mypy")
    (base / "stubs").mkdir()
    shutil.copyfile(STUB, base / "stubs" / "tovra.pyi")
    env = dict(os.environ, MYPYPATH=str(base / "stubs"))

    def run(module, *args):
        return subprocess.run(
            [sys.executable, "-m", module, *args],
            cwd=base, env=env, capture_output=True, text=True,
        )

    def check(version, *paths):
        return run("mypy", "--strict", "--no-error-summary", "--cache-dir", str(base / "cache"),
                   "--python-version", version, *map(str, paths))

    check.stubtest = lambda: run("mypy.stubtest", "tovra")
    return check


def test_every_supported_version_is_checked():
    assert VERSIONS[0] == "3.10" and len(VERSIONS) >= 4


@python_versions
def test_examples_pass_strict(run_mypy, version):
    examples = sorted((ROOT / "examples").glob("*.py"))
    assert {p.name for p in examples} >= {"quickstart.py", "contacts.py"}
    result = run_mypy(version, *examples)
    assert result.returncode == 0, result.stdout + result.stderr


@python_versions
def test_wrong_calls_are_rejected_on_exactly_the_marked_lines(run_mypy, version):
    source = WRONG_CALLS.read_text(encoding="utf-8")
    marked = {
        token.start[0]
        for token in tokenize.generate_tokens(io.StringIO(source).readline)
        if token.type == tokenize.COMMENT and token.string.startswith("# E:")
    }
    assert len(marked) > 20
    result = run_mypy(version, WRONG_CALLS)
    errors = re.findall(r"^[^:\n]*wrong_calls\.py:(\d+): error:", result.stdout, re.M)
    reported = set(map(int, errors))
    assert result.returncode == 1, result.stdout + result.stderr
    assert sorted(reported - marked) == [], "accepted calls reported:\n" + result.stdout
    assert sorted(marked - reported) == [], "wrong calls not reported:\n" + result.stdout


def test_stubs_match_the_compiled_module(run_mypy):
    # Compares every stub signature with the runtime's text signatures: a parameter renamed or
    # added in the binding without the stub following fails here.
    result = run_mypy.stubtest()
    assert result.returncode == 0, result.stdout + result.stderr
