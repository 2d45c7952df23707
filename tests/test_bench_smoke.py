"""The benchmark harness runs end to end at its smallest size and reports every operation.

No timing is asserted: only that the harness works, that every system it found selected
the expected documents, and that the report, the raw numbers and the chart are written.
"""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from bench import data, peers  # noqa: E402


@pytest.mark.parametrize("size", [100, 1_000, 2_500])
def test_generated_documents_match_the_query_counts(size):
    documents = data.make_documents(size)
    assert documents == data.make_documents(size)
    assert [d["id"] for d in documents] == list(range(size))
    counts = {
        "find_1pct": sum(d["age"] == 42 for d in documents),
        "find_50pct": sum(d["age"] >= 68 for d in documents),
        "find_cached": sum(d["id"] < 10 for d in documents),
        "update_filtered": sum(d["address"]["city"] == "Lyon" for d in documents),
    }
    assert counts == data.expected_matches(size)
    average = len(data.compact_json(documents)) / size
    assert 170 <= average <= 260
    assert all(1 <= len(d["tags"]) <= 4 for d in documents)


def test_harness_smoke(tmp_path):
    pytest.importorskip("tovra")
    out = tmp_path / "results"
    command = [
        sys.executable, "-m", "bench", "--sizes", "1000", "--repeat", "1", "--warmup", "0",
        "--cap", "2", "--no-progress", "--out", str(out),
    ]
    completed = subprocess.run(
        command, cwd=ROOT, capture_output=True, text=True, timeout=120, check=False
    )
    assert completed.returncode == 0, completed.stderr[-2000:]
    # The update diagnostics must not leak into the harness's own output.
    assert "Update operator" not in completed.stdout

    raw = json.loads((out / "results.json").read_text())
    assert "tovra" in raw["meta"]["systems"]
    for operation in peers.OPERATION_NAMES:
        by_system = raw["results"][operation]["1000"]
        for key, cell in by_system.items():
            assert cell["error"] is None, f"{operation} {key}: {cell['error']}"
        assert by_system["tovra"]["median"] > 0, operation

    report = (out / "results.md").read_text()
    assert "| operation | tovra | json+list |" in report
    for operation in peers.OPERATION_NAMES:
        assert f"| {operation} |" in report
    assert "## Targets" in report
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return
    assert (out / "scaling.png").stat().st_size > 0


def test_text_documents_have_ascii_twins_of_equal_bytes():
    from bench import text

    multilingual, ascii_ = text.make_text_documents(200)
    assert (multilingual, ascii_) == text.make_text_documents(200)
    for doc, twin in zip(multilingual, ascii_):
        assert doc.keys() == twin.keys() and doc["id"] == twin["id"]
        for field in ("title", "body"):
            assert len(doc[field].encode()) == len(twin[field].encode())
            assert twin[field].isascii()
        assert len(doc["title"].encode()) >= text.TITLE_BYTES - 1
        assert len(doc["body"].encode()) >= text.BODY_BYTES - 1
    assert sum(not doc["body"].isascii() for doc in multilingual) == len(multilingual)


def test_text_harness_smoke(tmp_path):
    pytest.importorskip("tovra")
    pytest.importorskip("orjson")
    out = tmp_path / "results"
    command = [
        sys.executable, "-m", "bench", "--dataset", "text", "--sizes", "200", "--repeat", "1",
        "--warmup", "0", "--no-progress", "--out", str(out),
    ]
    completed = subprocess.run(
        command, cwd=ROOT, capture_output=True, text=True, timeout=120, check=False
    )
    assert completed.returncode == 0, completed.stderr[-2000:]
    raw = json.loads((out / "text.json").read_text())
    for operation in ("open", "insert_many", "insert_many_fresh", "find_all"):
        assert set(raw["results"][operation]) == {
            "tovra:text", "tovra:ascii", "orjson:text", "orjson:ascii"
        }
    report = (out / "text.md").read_text()
    assert "## Targets" in report and "find of all vs orjson.loads" in report


def _raw(medians: dict) -> dict:
    """A run's raw results holding just ``medians``: {(operation, size, system): seconds}."""
    results, systems = {}, {}
    for (operation, size, system), value in medians.items():
        results.setdefault(operation, {}).setdefault(str(size), {})[system] = {"median": value}
        systems[system] = {"label": system, "version": ""}
    return {"meta": {"systems": systems}, "results": results}


@pytest.mark.parametrize(
    "medians, expected",
    [
        # Inserts pair each source with tovra on the same source; the worse ratio counts.
        ({("insert_many", 100_000, "tovra"): 1.0, ("insert_many", 100_000, "orjson"): 1.0,
          ("insert_many", 100_000, "tovra@loaded"): 1.5,
          ("insert_many", 100_000, "orjson@loaded"): 1.0}, (1.5, {"made": 1.0, "loaded": 1.5})),
        # A find has no tovra run per source: the peer's sources all face tovra's one time.
        ({("find_1pct", 100_000, "tovra"): 1.0, ("find_1pct", 100_000, "stdlib"): 4.0,
          ("find_1pct", 100_000, "stdlib@loaded"): 2.0}, (0.5, {"made": 0.25, "loaded": 0.5})),
    ],
)
def test_targets_take_the_worse_source(medians, expected):
    from bench import report

    operation = next(iter(medians))[0]
    peer = "orjson" if operation == "insert_many" else "stdlib"
    rows = [row for row in report.evaluate_targets(_raw(medians))
            if row[0].operation == operation and row[0].peer == peer and row[1] == 100_000]
    assert len(rows) == 1
    _, _, ratio, _, by_source = rows[0]
    assert ratio == pytest.approx(expected[0])
    assert by_source == pytest.approx(expected[1])


def test_sources_of_documents(tmp_path):
    ctx = peers.SizeContext.create(200, data.DEFAULT_SEED, str(tmp_path))
    loaded = ctx.documents_of("loaded")
    assert loaded == ctx.documents and loaded is not ctx.documents
    assert ctx.documents_of("loaded") is loaded
    assert ctx.extra_of("loaded") == ctx.extra_documents
    loop = ctx.documents_of("loop")
    assert [d["id"] for d in loop] == list(range(200))
    assert sum(d["age"] == 42 for d in loop) == 2
    # A system on another source takes part only where Python documents go in.
    on_loop = peers.OrjsonSystem("loop")
    assert on_loop.key == "orjson@loop" and on_loop.runs("insert_many")
    assert not on_loop.runs("write")
    assert not peers.TovraSystem("loaded").runs("find_1pct")


def test_many_collections_harness_smoke(tmp_path):
    # The harness itself checks that its file-system reference wrote the same files, byte for
    # byte, as tovra's write_all.
    pytest.importorskip("tovra")
    pytest.importorskip("orjson")
    out = tmp_path / "results"
    command = [
        sys.executable, "-m", "bench", "--dataset", "many_collections", "--sizes", "100",
        "--repeat", "1", "--warmup", "0", "--no-progress", "--out", str(out),
    ]
    completed = subprocess.run(
        command, cwd=ROOT, capture_output=True, text=True, timeout=120, check=False
    )
    assert completed.returncode == 0, completed.stderr[-2000:]
    raw = json.loads((out / "many.json").read_text())
    assert raw["meta"]["collections"] == 100
    for operation in ("load_from_document", "write_all"):
        assert set(raw["results"][operation]) == {"tovra", "files", "reference"}
    report = (out / "many.md").read_text()
    assert "write_all of the collections vs orjson.loads" in report
