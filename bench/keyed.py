"""Lookups and updates by a field's value, which tovra answers from indexes it builds by itself.

On the documents of bench/data.py (``id`` unique, ``age`` 18..117 in equal shares):

- ``find_by_key``: ``find(c, {"id": k})`` for K distinct ids, each once, so every call misses
  the result cache; per call. Peers: sqlite3 with the documents as JSON text and an index on
  ``json_extract(doc, '$.id')`` (the row's text turned into a dict by ``json.loads``), a dict
  keyed by id (lookup and ``dict(doc)``, a copy as tovra returns), and a list comprehension
  over a list of dicts (fewer keys: it scans).
- ``update_by_key``: ``update(c, {"age": {"$inc": 1}}, {"id": k})``, the two diagnostic lines
  going to /dev/null inside the timed call; sqlite3 ``UPDATE ... SET doc = json_set(...)
  WHERE json_extract(doc, '$.id') = ?``; the dict ``by_id[k]["age"] += 1``.
- ``find_range``: ``{"age": {"$gte": 117}}`` (1%) from the index, against the same find on a
  collection that meets its first filter (a scan: no index exists yet, as when indexes are
  forbidden), each run on a fresh load.
- ``build``: the second find naming ``id`` on a fresh load (which builds the index) against the
  first (one filtered scan).
- ``insert_many``: N more documents into a collection of N with two live indexes (id, age),
  against the same without indexes.
- ``memory``: resident memory the two indexes add (equality on id, numeric on age).

Run with ``python -m bench --dataset keyed`` (100,000 documents unless ``--sizes`` says
otherwise, ``--huge`` adds 1,000,000); writes keyed.md and keyed.json into the output directory.
"""

from __future__ import annotations

import gc
import json
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Callable, Optional

from . import data, peers, report, runner

DEFAULT_SIZES = (100_000,)
KEYS = 1_000  # distinct ids per find_by_key / update_by_key run
SCAN_KEYS = 10  # the list comprehension scans: fewer keys
COLLECTION = "c"
FIND_RANGE = {"age": {"$gte": 117}}

TARGETS = (
    ("find_by_key", "tovra", "sqlite3", 0.1, "find by a unique field vs sqlite3 with an index"),
    ("find_by_key", "tovra", "dict", 5.0, "find by a unique field vs dict lookup + dict(doc)"),
    ("update_by_key", "tovra", "sqlite3", 0.2,
     "update by a unique field (diagnostic lines included) vs sqlite3 with an index"),
    ("find_range", "tovra", "tovra_scan", 0.3, "range find of 1% vs the same by a scan"),
    ("build", "tovra", "tovra_scan", 1.0, "building an index vs one filtered scan"),
    ("insert_many", "tovra", "tovra_no_index", 1.1,
     "insert_many with two live indexes vs none"),
)


def _keys(size: int, count: int) -> list:
    step = max(1, size // count)
    return [(k * step + 7) % size for k in range(count)]


_MEMORY_PROBE = """
import gc, os, sys
from tovra import Tovra
def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
db = Tovra(sys.argv[1])
gc.collect()
before = rss()
for query in ({"id": -1}, {"id": -2}, {"age": {"$gte": 200}}, {"age": {"$gte": 201}}):
    db.find("c", query)
gc.collect()
print(rss() - before)
"""


def _index_memory(base: str) -> int:
    """Resident memory that the two indexes (id, age) add, measured in a fresh interpreter."""
    done = subprocess.run([sys.executable, "-c", _MEMORY_PROBE, base], capture_output=True,
                          text=True, check=True)
    return max(0, int(done.stdout.strip()))


def _time(run: Callable, before: Optional[Callable] = None) -> float:
    return runner._timed(peers.Bench(run=run, before=before), limit_s=1e9)[0]


def run(sizes=DEFAULT_SIZES, repeat: int = 5, warmup: int = 1, seed: int = data.DEFAULT_SEED,
        progress: bool = True) -> dict:
    from tovra import Tovra

    started = time.time()
    results = {}
    memory = {}
    root = tempfile.mkdtemp(prefix="tovra-keyed-bench-")
    try:
        for size in sizes:
            documents = data.make_documents(size, seed)
            base = os.path.join(root, f"base{size}")
            data.write_collection_file(base, COLLECTION, documents)
            keys = _keys(size, KEYS)
            scan_keys = keys[:SCAN_KEYS]

            db = Tovra(base)
            sql = sqlite3.connect(":memory:")
            sql.execute("create table docs (doc text)")
            sql.executemany("insert into docs values (?)",
                            ((json.dumps(d),) for d in documents))
            sql.execute("create index docs_id on docs (json_extract(doc, '$.id'))")
            by_id = {d["id"]: json.loads(json.dumps(d)) for d in documents}
            listed = list(by_id.values())
            silencer = peers._Silencer()

            def tovra_find():
                find = db.find
                for k in keys:
                    find(COLLECTION, {"id": k})

            def sqlite_find():
                execute = sql.execute
                for k in keys:
                    [json.loads(row[0]) for row in execute(
                        "select doc from docs where json_extract(doc, '$.id') = ?", (k,))]

            def dict_find():
                for k in keys:
                    [dict(by_id[k])]

            def list_find():
                for k in scan_keys:
                    [d for d in listed if d["id"] == k]

            def tovra_update():
                silencer.enter()
                try:
                    update = db.update
                    for k in keys:
                        update(COLLECTION, {"age": {"$inc": 1}}, {"id": k})
                finally:
                    silencer.exit()

            def sqlite_update():
                execute = sql.execute
                for k in keys:
                    execute("update docs set doc = json_set(doc, '$.age', "
                            "json_extract(doc, '$.age') + 1) where json_extract(doc, '$.id') = ?",
                            (k,))

            def dict_update():
                for k in keys:
                    by_id[k]["age"] += 1

            fresh = {}
            range_db = Tovra(base)
            # The second filter that names a path builds its index: both are built before the
            # rounds (the build cell times one on its own).
            for query in ({"id": -1}, {"id": -2}):
                db.find(COLLECTION, query)
            for query in ({"age": {"$gte": 200}}, {"age": {"$gte": 201}}):
                range_db.find(COLLECTION, query)

            def fresh_load():
                fresh["db"] = Tovra(base)

            def fresh_after_first():
                fresh_load()
                fresh["db"].find(COLLECTION, {"id": -1})

            def with_indexes(indexed: bool):
                def before():
                    scratch = os.path.join(root, "insert")
                    shutil.rmtree(scratch, ignore_errors=True)
                    shutil.copytree(base, scratch)
                    fresh["db"] = Tovra(scratch)
                    if indexed:
                        for query in ({"id": -1}, {"id": -2}, {"age": {"$gte": 200}},
                                      {"age": {"$gte": 201}}):
                            fresh["db"].find(COLLECTION, query)
                return before

            cells = {
                "find_by_key": {
                    "tovra": (tovra_find, None, KEYS),
                    "sqlite3": (sqlite_find, None, KEYS),
                    "dict": (dict_find, None, KEYS),
                    "list": (list_find, None, SCAN_KEYS),
                },
                "update_by_key": {
                    "tovra": (tovra_update, None, KEYS),
                    "sqlite3": (sqlite_update, None, KEYS),
                    "dict": (dict_update, None, KEYS),
                },
                "find_range": {
                    "tovra": (lambda: range_db.find(COLLECTION, FIND_RANGE), range_db.clear_cache,
                              1),
                    "tovra_scan": (lambda: fresh["db"].find(COLLECTION, FIND_RANGE),
                                   fresh_load, 1),
                },
                "build": {
                    "tovra": (lambda: fresh["db"].find(COLLECTION, {"id": -2}),
                              fresh_after_first, 1),
                    "tovra_scan": (lambda: fresh["db"].find(COLLECTION, {"id": -1}),
                                   fresh_load, 1),
                },
                "insert_many": {
                    "tovra": (lambda: fresh["db"].insert_many(COLLECTION, documents),
                              with_indexes(True), 1),
                    "tovra_no_index": (lambda: fresh["db"].insert_many(COLLECTION, documents),
                                       with_indexes(False), 1),
                },
            }
            for operation, by_cell in cells.items():
                runs = {key: [] for key in by_cell}
                for round_index in range(warmup + repeat):
                    for key, (call, before, calls) in by_cell.items():
                        seconds = _time(call, before) / calls
                        if round_index >= warmup:
                            runs[key].append(seconds)
                    fresh.clear()
                    if progress:
                        print(f"\r{size:,} {operation}: round {round_index + 1}/"
                              f"{warmup + repeat}", end="", flush=True, file=sys.stderr)
                results.setdefault(str(size), {})[operation] = runs
            if progress:
                print(file=sys.stderr)

            memory[str(size)] = _index_memory(base)
            del db, range_db, sql, by_id, listed
            gc.collect()
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return {
        "meta": runner.run_meta(
            started,
            sizes=list(sizes),
            repeat=repeat,
            warmup=warmup,
            seed=seed,
            keys=KEYS,
        ),
        "results": results,
        "memory": memory,
    }


def _median(raw: dict, size: str, operation: str, cell: str) -> Optional[float]:
    runs = raw["results"].get(size, {}).get(operation, {}).get(cell)
    return statistics.median(runs) if runs else None


def markdown(raw: dict) -> str:
    meta = raw["meta"]
    machine = meta["machine"]
    lines = [
        "# tovra keyed benchmark: lookups and updates by a field's value", "",
        report.machine_line(machine),
        f"Run {meta['started']}, {meta['seconds']} s. Median of {meta['repeat']} timed runs "
        f"after {meta['warmup']} warm-up run(s); times per call ({meta['keys']:,} distinct keys "
        "per run for the keyed operations). See bench/keyed.py for what each cell does.", "",
    ]
    for size in raw["results"]:
        lines += [f"## {int(size):,} documents", "", "| operation | cell | per call |",
                  "|---|---|---|"]
        for operation, by_cell in raw["results"][size].items():
            for cell in by_cell:
                value = _median(raw, size, operation, cell)
                lines.append(f"| {operation} | {cell} | "
                             f"{'—' if value is None else report.format_seconds(value)} |")
        held = raw["memory"].get(size)
        if held is not None:
            lines.append(f"| memory | two indexes (id, age) | {held / 2**20:.1f} MiB, "
                         f"{held / int(size):.1f} bytes per document |")
        lines += ["", "| target | limit | measured | verdict |", "|---|---|---|---|"]
        for operation, numerator, denominator, limit, text in TARGETS:
            a = _median(raw, size, operation, numerator)
            b = _median(raw, size, operation, denominator)
            ratio = a / b if a and b else None
            measured = "—" if ratio is None else f"{ratio:.3f}"
            lines.append(f"| {text} | ≤ {limit:g} | {measured} | "
                         f"{report.verdict(ratio, limit)} |")
        lines.append("")
    lines += ["Rerun with `python -m bench --dataset keyed` (`--sizes`, `--huge`, `--repeat`, "
              "`--out`).", ""]
    return "\n".join(lines)


def write_all(raw: dict, directory: str) -> dict:
    """Write keyed.json and keyed.md; returns the paths written."""
    return report.write_all(raw, directory, stem="keyed", chart_stem="keyed",
                            to_markdown=markdown, to_chart=lambda raw_, path: False)
