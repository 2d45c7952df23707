"""Memory that updates, drops and shared files give back: measured as resident size, in a fresh
process where the allocator's state of earlier tests would blur it."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from tovra import Tovra

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
MIB = 1 << 20

pytestmark = pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's allocator keeps memory")

PRELUDE = """
import json, os, sys
MIB = 1 << 20
from tovra import Tovra

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

def quiet(step):
    # The diagnostic lines of each update go to descriptor 1: away with them.
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    try:
        return step()
    finally:
        os.dup2(saved, 1)
        os.close(null)
        os.close(saved)

def report(**numbers):
    sys.stderr.write(json.dumps(numbers))
"""


def measure(tmp_path, body):
    script = PRELUDE + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", script, str(tmp_path)], capture_output=True,
                          text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stderr)


@pytest.mark.parametrize("update, query", [
    ({"missing": {"$set": ["v" * 30] * 100}}, None),
    ({"nope.x": {"$set": ["v" * 30] * 100}}, None),
    ({"a": {"$delete": 1}, "a.b": {"$set": ["v" * 30] * 100}}, None),
    ({"missing": {"$set": "s" * 4000}}, {"n": {"$gte": 0}}),
], ids=["missing_target", "missing_parent", "parent_deleted_before", "filtered_long_string"])
def test_set_operands_without_target_take_no_memory(tmp_path, update, query):
    numbers = measure(tmp_path, f"""
        db = Tovra(sys.argv[1] + "/db")
        db.insert_many("c", [{{"n": i, "a": {{"b": 1}}}} for i in range(10_000)])
        quiet(lambda: db.update("c", {update!r}, {query!r}))
        before = rss()
        for _ in range(40):
            quiet(lambda: db.update("c", {update!r}, {query!r}))
        report(grown=rss() - before, first=db.find("c", {{"n": 7}}))
    """)
    # Each call used to keep a copy of the operand per document: 46 MiB and more per call.
    assert numbers["grown"] < 16 * MIB
    assert numbers["first"] == [{"n": 7}] if "a" in update else [{"n": 7, "a": {"b": 1}}]


def test_cached_result_of_a_dropped_collection_keeps_its_documents_only(tmp_path):
    numbers = measure(tmp_path, """
        db = Tovra(sys.argv[1] + "/db")
        db.insert_many("c", [{"n": i, "s": "p" * 300} for i in range(200_000)])
        found = db.find("c", {"n": 12345})
        loaded = rss()
        db.drop_collection("c")
        dropped = rss()
        db.insert("c", {"n": 12345, "s": "new"})
        report(freed=loaded - dropped, again=db.find("c", {"n": 12345}) == found,
               plain=db.find("c"))
    """)
    # The collection took about 90 MiB; the cached result keeps one document of it.
    assert numbers["freed"] > 40 * MIB
    # A cached result shows what it showed before the drop.
    assert numbers["again"] is True
    assert numbers["plain"] == [{"n": 12345, "s": "new"}]


def test_updates_of_a_collection_sharing_a_loaded_document_stay_bounded(tmp_path):
    document = tmp_path / "both.json"
    document.write_text(json.dumps({"a": [{"big": ""}],
                                    "b": [{"n": i, "s": "p" * 6000} for i in range(10_000)]}))
    numbers = measure(tmp_path, """
        db = Tovra(sys.argv[1] + "/db")
        db.load_from_document(sys.argv[1] + "/both.json")
        before = rss()
        for i in range(150):
            quiet(lambda: db.update("a", {"big": {"$set": str(i % 10) * MIB}}))
        grown = rss() - before
        db.drop_collection("a")
        report(grown=grown, b=len(db.find("b")), last=db.find("b", {"n": 9_999}))
    """)
    # The replaced strings used to go into the arena that the sibling keeps (60 MiB), and stay
    # there until they passed half of it.
    assert numbers["grown"] < 16 * MIB
    assert numbers["b"] == 10_000
    assert numbers["last"] == [{"n": 9_999, "s": "p" * 6000}]


def test_dropping_one_of_two_collections_of_a_loaded_document_frees_its_part(tmp_path):
    document = tmp_path / "both.json"
    rows = [{"n": i, "s": "p" * 300} for i in range(100_000)]
    document.write_text(json.dumps({"a": rows, "b": rows}))
    numbers = measure(tmp_path, """
        db = Tovra(sys.argv[1] + "/db")
        db.load_from_document(sys.argv[1] + "/both.json")
        loaded = rss()
        db.drop_collection("a")
        report(freed=loaded - rss(), b=len(db.find("b")), last=db.find("b", {"n": 99_999}))
    """)
    # "a" took about 45 MiB of the arena both share; the survivor lets go of it.
    assert numbers["freed"] > 20 * MIB
    assert numbers["b"] == 100_000
    assert numbers["last"] == [{"n": 99_999, "s": "p" * 300}]


def test_ctrl_c_while_stdout_flushes_stops_the_update_before_any_change(db, monkeypatch):
    class InterruptedFlush:
        def write(self, text):
            return len(text)

        def flush(self):
            raise KeyboardInterrupt

    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    db.insert_many("c", [{"a": 0}, {"a": 1}])
    monkeypatch.setattr(sys, "stdout", InterruptedFlush())
    with pytest.raises(KeyboardInterrupt):
        db.update("c", {"a": {"$set": 5}, "b": {"$delete": 1}})
    monkeypatch.undo()
    assert db.find("c") == [{"a": 0}, {"a": 1}]
    assert reported == []
