"""The README's examples and the example programs run as they are written."""

import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def readme_blocks():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    return re.findall(r"```python\n(.*?)```", text, flags=re.S)


def test_readme_examples_run_in_order(tmp_path, monkeypatch):
    blocks = readme_blocks()
    assert len(blocks) >= 5
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "readme"}
    for number, block in enumerate(blocks, 1):
        exec(compile(block, f"README.md python block {number}", "exec"), namespace)


def test_quickstart_runs_the_whole_round(tmp_path):
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "quickstart.py"), str(tmp_path / "db")],
        capture_output=True, text=True, check=True,
    )
    assert "collections: ['people']" in result.stdout
    assert "Ada" in result.stdout and "37.0" in result.stdout
    assert (tmp_path / "db" / "people.json").is_file()
