"""The source distribution holds what a build needs, and the version is package metadata."""

import importlib.metadata
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

if sys.version_info >= (3, 11):
    import tomllib
else:
    import tomli as tomllib

ROOT = Path(__file__).resolve().parent.parent


def test_version_comes_from_pyproject():
    declared = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    assert importlib.metadata.version("tovra") == declared


def test_sdist_holds_everything_a_source_build_needs(tmp_path):
    pytest.importorskip("scikit_build_core")
    subprocess.run(
        [sys.executable, "-c",
         "import sys; from scikit_build_core.build import build_sdist; build_sdist(sys.argv[1])",
         str(tmp_path)],
        cwd=ROOT, check=True, capture_output=True,
    )
    (archive,) = tmp_path.glob("tovra-*.tar.gz")
    with tarfile.open(archive) as sdist:
        names = {name.split("/", 1)[1] for name in sdist.getnames() if "/" in name}
    needed = {"pyproject.toml", "CMakeLists.txt", "README.md", "stubs/tovra-stubs/__init__.pyi",
              "src/python/module.cc", "src/json/json_reader.cc", "src/query/filter.cc",
              "src/store/fs.cc"}
    assert needed <= names
    assert not any(name.startswith("build/") for name in names)
