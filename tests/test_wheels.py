"""Each wheel in dist/ installs, with no build step, into a fresh environment of its Python and
works there: the quick start runs, the module is the wheel's, and mypy finds the stubs. A wheel
for this machine's processor and one of its CPythons is tried here; the others (CPython 3.14,
aarch64) in the root that has their Python (scripts/root-*.sh), where mypy comes from PyPI.

The wheels come from `bash scripts/build-wheels.sh`. Without any in dist/ these tests are
skipped, unless TOVRA_REQUIRE_WHEELS=1 (as in CI), which turns a missing wheel into a failure.
"""

import os
import platform
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DIST = ROOT / "dist"
WHEELS = sorted(DIST.glob("tovra-*.whl"))
REQUIRED = os.environ.get("TOVRA_REQUIRE_WHEELS") == "1"
MACHINE = platform.machine()

# (python tag, processor) -> (root script, its interpreter) for the wheels built in a root.
ROOTS = {
    ("cp314", "x86_64"): ("root-sid-amd64.sh", "python3.14"),
    ("cp311", "aarch64"): ("root-bookworm-arm64.sh", "python3"),
}
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


def wheel_machine(wheel):
    """The processor of a wheel: "x86_64" for manylinux_2_36_x86_64."""
    return re.fullmatch(r"manylinux_\d+_\d+_(.+)", wheel_tags(wheel)[1].split(".")[0]).group(1)


def root_of(python_tag, machine):
    """The directory of the whole root for a wheel, or None when it has none or it is not made."""
    if (python_tag, machine) not in ROOTS:
        return None
    script = ROOT / "scripts" / ROOTS[python_tag, machine][0]
    made = subprocess.run(["bash", str(script), "dir"], capture_output=True, text=True)
    return Path(made.stdout.strip()) if made.returncode == 0 else None


class Place:
    """Where a wheel is tried: this machine, or a root whose /tovra is this checkout."""

    def __init__(self, python, work, script=None):
        self.python, self.work, self.script = python, work, script

    def path(self, path):
        """`path` (in this checkout, or tmp_path here) as the commands see it."""
        if self.script is None:
            return str(path)
        return "/tovra/" + str(Path(path).relative_to(ROOT))

    def run(self, *command, cwd=None):
        command = [str(c) for c in command]
        if self.script is not None:
            inner = "cd %s && exec \"$@\"" % self.path(cwd or ROOT)
            command = ["bash", str(ROOT / "scripts" / self.script), "run",
                       "sh", "-c", inner, "sh", *command]
            cwd = None
        return subprocess.run(command, cwd=cwd, capture_output=True, text=True)


@pytest.fixture(scope="module")
def pythons():
    """{"3.12": interpreter} for every supported CPython this machine has."""
    found = subprocess.run(["bash", str(ROOT / "scripts" / "find-pythons.sh")],
                           check=True, capture_output=True, text=True).stdout
    return dict(line.split(" ", 1) for line in found.splitlines())


def test_every_python_found_has_one_wheel(pythons):
    if not WHEELS and not REQUIRED:
        pytest.skip("no wheels in dist/ (bash scripts/build-wheels.sh builds them)")
    built = sorted((wheel_tags(w)[0], wheel_machine(w)) for w in WHEELS)
    expected = [("cp" + v.replace(".", ""), MACHINE) for v in pythons]
    expected += [key for key in ROOTS if root_of(*key) is not None]
    assert built == sorted(expected)
    assert len(list(DIST.glob("tovra-*.tar.gz"))) == 1


@pytest.mark.parametrize("wheel", WHEELS or [None], ids=[w.name for w in WHEELS] or ["none"])
def test_wheel_installs_and_works_without_a_build(wheel, pythons, tmp_path):
    if wheel is None:
        if REQUIRED:
            pytest.fail("TOVRA_REQUIRE_WHEELS=1 but dist/ holds no wheel")
        pytest.skip("no wheels in dist/ (bash scripts/build-wheels.sh builds them)")
    pytest.importorskip("mypy")
    python_tag, platform_tag = wheel_tags(wheel)
    assert all(p.startswith("manylinux") for p in platform_tag.split(".")), platform_tag
    version = f"{python_tag[2]}.{python_tag[3:]}"
    machine = wheel_machine(wheel)

    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
    assert "tovra-stubs/__init__.pyi" in names
    assert [n for n in names if n.endswith(".so")] == [
        f"tovra.cpython-{python_tag[2:]}-{machine}-linux-gnu.so"]

    if machine == MACHINE and version in pythons:
        place = Place(pythons[version], tmp_path)
    elif root_of(python_tag, machine) is not None:
        script, python = ROOTS[python_tag, machine]
        # The root sees this checkout, not tmp_path: the work goes under build/.
        work = ROOT / "build" / f"wheel-test-{python_tag}-{machine}"
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir(parents=True)
        place = Place(python, work, script)
    else:
        pytest.skip(f"no CPython {version} for {machine} here, nor a root with one")

    venv = place.work / "venv"
    python = place.path(venv / "bin" / "python")
    made = place.run(place.python, "-m", "venv", place.path(venv))
    assert made.returncode == 0, made.stdout + made.stderr
    install = place.run(python, "-m", "pip", "install", "--quiet", "--no-index",
                        "--only-binary", ":all:", place.path(wheel))
    assert install.returncode == 0, install.stdout + install.stderr

    work = place.work / "work"
    work.mkdir()
    # -I: neither the working directory nor PYTHON* variables can put another tovra first.
    where = place.run(
        python, "-I", "-c",
        "import platform, sys, tovra; print(sys.version_info[:2] == (%s)); print(platform.machine());"
        " print(tovra.__file__)" % version.replace(".", ", "), cwd=work)
    assert where.returncode == 0, where.stdout + where.stderr
    same_version, ran_on, module = where.stdout.split()
    assert (same_version, ran_on) == ("True", machine)
    assert module.startswith(place.path(venv) + "/")

    quickstart = place.run(python, "-I", place.path(ROOT / "examples" / "quickstart.py"), cwd=work)
    assert quickstart.returncode == 0, quickstart.stdout + quickstart.stderr
    assert "collections: ['people']" in quickstart.stdout

    # mypy looks for packages only in the new environment: the stubs it finds there are the ones
    # the wheel installed. Here it is this test environment's mypy; in a root, the same version
    # from PyPI, installed into the new environment after the wheel.
    import mypy.version

    if place.script is None:
        mypy_python = sys.executable
    else:
        mypy_python = python
        got = place.run(python, "-m", "pip", "install", "--quiet", f"mypy=={mypy.version.__version__}")
        assert got.returncode == 0, got.stdout + got.stderr
    (work / "use.py").write_text(TYPED_USE)
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    command = [mypy_python, "-m", "mypy", "--strict", "--no-incremental", "--no-error-summary",
               "--python-version", version, "--python-executable", python, "use.py"]
    if place.script is None:
        checked = subprocess.run(command, cwd=work, env=env, capture_output=True, text=True)
    else:
        checked = place.run(*command, cwd=work)
    lines = checked.stdout.splitlines()
    # Without the stubs the module would be untyped and its calls Any, or not found at all.
    revealed = r'use\.py:6: note: Revealed type is "(builtins\.)?list\[(builtins\.)?str\]"'
    assert any(re.fullmatch(revealed, line) for line in lines), checked.stdout + checked.stderr
    errors = [line for line in lines if ": error:" in line]
    assert len(errors) == 1 and errors[0].startswith("use.py:7:"), checked.stdout + checked.stderr
