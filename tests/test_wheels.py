"""Each wheel in dist/ installs, with no build step, into a fresh environment of its Python and
works there: the quick start runs, the module is the wheel's, and mypy finds the stubs.

The wheels come from `bash scripts/build-wheels.sh`. Without any in dist/ these tests are
skipped, unless TOVRA_REQUIRE_WHEELS=1 (as in CI), which turns a missing wheel into a failure.
"""

import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DIST = ROOT / "dist"
WHEELS = sorted(DIST.glob("tovra-*.whl"))
REQUIRED = os.environ.get("TOVRA_REQUIRE_WHEELS") == "1"

TYPED_USE = """\
from tovra import Tovra

db = Tovra("data")
db.insert("people", {"name": "Ada"})
names: list[str] = [str(person["name"]) for person in db.find("people", {"age": {"$gt": 30}})]
reveal_type(db.collections())
db.insert("people", ["not", "a", "dict"])  # the only error
"""


def wheel_tags(wheel):
    """The (python, platform) tags of a wheel file name: ("cp312", "manylinux_2_36_x86_64")."""
    name, version, python, abi, platform = wheel.stem.split("-")
    return python, platform


@pytest.fixture(scope="module")
def pythons():
    """{"3.12": interpreter} for every supported CPython this machine has."""
    found = subprocess.run(["bash", str(ROOT / "scripts" / "find-pythons.sh")],
                           check=True, capture_output=True, text=True).stdout
    return dict(line.split(" ", 1) for line in found.splitlines())


def test_every_python_found_has_one_wheel(pythons):
    if not WHEELS and not REQUIRED:
        pytest.skip("no wheels in dist/ (bash scripts/build-wheels.sh builds them)")
    built = sorted(wheel_tags(w)[0] for w in WHEELS)
    assert built == sorted("cp" + v.replace(".", "") for v in pythons)
    assert len(list(DIST.glob("tovra-*.tar.gz"))) == 1


@pytest.mark.parametrize("wheel", WHEELS or [None], ids=[w.name for w in WHEELS] or ["none"])
def test_wheel_installs_and_works_without_a_build(wheel, pythons, tmp_path):
    if wheel is None:
        if REQUIRED:
            pytest.fail("TOVRA_REQUIRE_WHEELS=1 but dist/ holds no wheel")
        pytest.skip("no wheels in dist/ (bash scripts/build-wheels.sh builds them)")
    pytest.importorskip("mypy")
    python_tag, platform = wheel_tags(wheel)
    assert all(p.startswith("manylinux") for p in platform.split(".")), platform
    version = f"{python_tag[2]}.{python_tag[3:]}"
    if version not in pythons:
        pytest.skip(f"no CPython {version} on this machine")

    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
    assert "tovra-stubs/__init__.pyi" in names
    assert [n for n in names if n.endswith(".so")] == [f"tovra.cpython-{python_tag[2:]}-x86_64-linux-gnu.so"]

    venv = tmp_path / "venv"
    subprocess.run([pythons[version], "-m", "venv", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    install = subprocess.run(
        [python, "-m", "pip", "install", "--quiet", "--no-index", "--only-binary", ":all:",
         str(wheel)],
        capture_output=True, text=True)
    assert install.returncode == 0, install.stdout + install.stderr

    work = tmp_path / "work"
    work.mkdir()
    # -I: neither the working directory nor PYTHON* variables can put another tovra first.
    where = subprocess.run(
        [python, "-I", "-c",
         "import sys, tovra; print(sys.version_info[:2] == (%s)); print(tovra.__file__)"
         % version.replace(".", ", ")],
        cwd=work, check=True, capture_output=True, text=True).stdout.split()
    assert where[0] == "True"
    assert Path(where[1]).is_relative_to(venv)

    quickstart = subprocess.run([python, "-I", str(ROOT / "examples" / "quickstart.py")],
                                cwd=work, capture_output=True, text=True)
    assert quickstart.returncode == 0, quickstart.stdout + quickstart.stderr
    assert "collections: ['people']" in quickstart.stdout

    # mypy of this test environment, looking for packages only in the new environment: the
    # stubs it finds there are the ones the wheel installed.
    (work / "use.py").write_text(TYPED_USE)
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    checked = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--no-error-summary",
         "--python-version", version, "--python-executable", python, "use.py"],
        cwd=work, env=env, capture_output=True, text=True)
    lines = checked.stdout.splitlines()
    # Without the stubs the module would be untyped and its calls Any, or not found at all.
    revealed = r'use\.py:6: note: Revealed type is "(builtins\.)?list\[(builtins\.)?str\]"'
    assert any(re.fullmatch(revealed, line) for line in lines), checked.stdout + checked.stderr
    errors = [line for line in lines if ": error:" in line]
    assert len(errors) == 1 and errors[0].startswith("use.py:7:"), checked.stdout + checked.stderr
