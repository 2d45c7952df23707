"""Thousands of small collections: one document that names them all, and their files.

The document is one JSON object of 5,000 members (or the first of ``--sizes``), each a
collection of 1 to 3 small documents, as a package's data files or a per-user store hold
them. Every cell starts from a directory that no earlier run used, so no cell pays for the
files another one left or removed.

- ``load_from_document``: ``load_from_document(path)`` into an empty database directory,
  which makes one file per collection, durable when the call returns.
- ``write_all``: ``write_all()`` right after that load, which replaces every one of those
  files with its documents, durable when the call returns.
- ``open``: ``Tovra(dir)`` of the directory that write left.

The reference, against which every target is counted, is what one file costs a program that
holds the same data: ``orjson.loads`` of the document's bytes plus a durable write of those
bytes to one new file (create, write, fsync, close, fsync of its directory). ``files``, a
second reference, does in Python what a layout of one file per collection must do at the
least: for the load, each collection's text in a temporary file, one ``syncfs``, each
file linked into place, one directory fsync; for the write, the same with a rename over the
existing file. Its ratio shows how much of tovra's time is the file system's.

Run with ``python -m bench --dataset many_collections``; writes many.md and many.json into the
output directory.
"""

from __future__ import annotations

import ctypes
import os
import random
import shutil
import statistics
import sys
import tempfile
import time
from typing import Optional

from . import peers, report, runner

DEFAULT_SIZE = 5_000

TARGETS = (
    ("load_from_document", "tovra", "reference", 20.0,
     "load_from_document into an empty directory vs orjson.loads + one durable file"),
    ("write_all", "tovra", "reference", 20.0,
     "write_all of the collections vs orjson.loads + one durable file"),
)


def make_document(collections: int, seed: int) -> dict:
    """An object of ``collections`` members, each a list of 1 to 3 small documents."""
    rng = random.Random(seed)
    document = {}
    for i in range(collections):
        document[f"c{i:05d}"] = [
            {"id": j, "name": f"item {i}.{j}", "score": round(rng.random() * 100, 3),
             "tags": rng.sample(("a", "b", "c", "d", "e"), rng.randint(0, 3))}
            for j in range(rng.randint(1, 3))
        ]
    return document


def _sync_directory(path: str) -> None:
    descriptor = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def _durable_file(path: str, data: bytes) -> None:
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    try:
        os.write(descriptor, data)
        os.fsync(descriptor)
    finally:
        os.close(descriptor)
    _sync_directory(os.path.dirname(path))


def _sync_file_system(directory: str) -> None:
    """One wait for every file of the directory's file system (syncfs, as tovra does)."""
    descriptor = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        if ctypes.CDLL(None, use_errno=True).syncfs(descriptor) != 0:
            os.sync()
    finally:
        os.close(descriptor)


def _files(directory: str, texts: dict, replace: bool) -> None:
    """The least a layout of one file per collection does: every text in a temporary file,
    one sync, every file put in place, one directory sync."""
    temporaries = []
    for name, text in texts.items():
        temporary = os.path.join(directory, f".{name}.tmp")
        descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        try:
            os.write(descriptor, text)
            os.fchmod(descriptor, 0o644)
        finally:
            os.close(descriptor)
        temporaries.append((temporary, os.path.join(directory, f"{name}.json")))
    _sync_file_system(directory)
    for temporary, final in temporaries:
        if replace:
            os.rename(temporary, final)
        else:
            os.link(temporary, final)
            os.unlink(temporary)
    _sync_directory(directory)


def _check_same_files(tovra_directory: str, files_directory: str) -> None:
    """The file-system reference does the same work: the same files with the same bytes."""
    def contents(directory: str) -> dict:
        return {name: open(os.path.join(directory, name), "rb").read()
                for name in os.listdir(directory) if name.endswith(".json")}
    if contents(tovra_directory) != contents(files_directory):
        raise RuntimeError("the file-system reference wrote other files than tovra's write_all")


def run(size: int = DEFAULT_SIZE, repeat: int = 5, warmup: int = 1, seed: int = 7,
        progress: bool = True) -> dict:
    import orjson

    from tovra import Tovra

    started = time.time()
    root = tempfile.mkdtemp(prefix="tovra-many-bench-")
    document = make_document(size, seed)
    document_path = os.path.join(root, "document.json")
    with open(document_path, "wb") as out:
        out.write(orjson.dumps(document))
    with open(document_path, "rb") as source:
        document_bytes = source.read()
    initial = {name: orjson.dumps({name: []}) for name in document}
    written = {name: orjson.dumps(value) for name, value in document.items()}
    counter = iter(range(1 << 30))
    state: dict = {}

    def fresh(kind: str) -> str:
        path = os.path.join(root, f"{kind}-{next(counter)}")
        state["dir"] = path
        return path

    def reference():
        orjson.loads(document_bytes)
        _durable_file(os.path.join(state["dir"], "all.json"), document_bytes)

    def reference_before():
        os.mkdir(fresh("reference"))

    def tovra_load_before():
        state["db"] = Tovra(fresh("tovra"))
        _sync_directory(root)

    def tovra_write_before():
        tovra_load_before()
        state["db"].load_from_document(document_path)

    def files_load_before():
        os.mkdir(fresh("files"))

    def files_write_before():
        files_load_before()
        _files(state["dir"], initial, replace=False)

    def tovra_open_before():
        tovra_write_before()
        state["db"].write_all()
        state["db"] = None

    def tovra_open():
        state["db"] = Tovra(state["dir"])

    cells = {
        "load_from_document": {
            "tovra": (lambda: state["db"].load_from_document(document_path), tovra_load_before),
            "files": (lambda: _files(state["dir"], initial, replace=False), files_load_before),
            "reference": (reference, reference_before),
        },
        "write_all": {
            "tovra": (lambda: state["db"].write_all(), tovra_write_before),
            "files": (lambda: _files(state["dir"], written, replace=True), files_write_before),
            "reference": (reference, reference_before),
        },
        "open": {
            "tovra": (tovra_open, tovra_open_before),
            "orjson.loads": (lambda: orjson.loads(document_bytes), None),
        },
    }
    results: dict = {}
    last_directory: dict = {}
    try:
        for operation, by_cell in cells.items():
            runs = {key: [] for key in by_cell}
            for round_index in range(warmup + repeat):
                for key, (call, before) in by_cell.items():
                    seconds = runner._timed(peers.Bench(run=call, before=before), limit_s=1e9)[0]
                    last_directory[key] = state.get("dir")
                    state.clear()
                    if round_index >= warmup:
                        runs[key].append(seconds)
                if progress:
                    print(f"\r{size:,} collections, {operation}: round {round_index + 1}/"
                          f"{warmup + repeat}", end="", flush=True, file=sys.stderr)
            results[operation] = runs
            if operation == "write_all":
                _check_same_files(last_directory["tovra"], last_directory["files"])
        if progress:
            print(file=sys.stderr)
    finally:
        state.clear()
        shutil.rmtree(root, ignore_errors=True)
    return {
        "meta": runner.run_meta(
            started,
            collections=size,
            document_bytes=len(document_bytes),
            repeat=repeat,
            warmup=warmup,
            seed=seed,
        ),
        "results": results,
    }


def _median(raw: dict, operation: str, cell: str) -> Optional[float]:
    runs = raw["results"].get(operation, {}).get(cell)
    return statistics.median(runs) if runs else None


def markdown(raw: dict) -> str:
    meta = raw["meta"]
    machine = meta["machine"]
    lines = [
        "# tovra many-collections benchmark", "",
        report.machine_line(machine),
        f"Run {meta['started']}, {meta['seconds']} s. {meta['collections']:,} collections of 1 "
        f"to 3 documents, a document of {meta['document_bytes']:,} bytes. Median of "
        f"{meta['repeat']} timed runs after {meta['warmup']} warm-up run(s), each in a directory "
        "of its own. See bench/many.py for what each cell does.", "",
        "| operation | cell | time | / reference (orjson.loads for open) |", "|---|---|---|---|",
    ]
    for operation, by_cell in raw["results"].items():
        base = (_median(raw, operation, "reference")
                or _median(raw, operation, "orjson.loads"))
        for cell in by_cell:
            value = _median(raw, operation, cell)
            ratio = f"{value / base:.1f}" if value and base else "—"
            lines.append(f"| {operation} | {cell} | "
                         f"{'—' if value is None else report.format_seconds(value)} | {ratio} |")
    lines += ["", "| target | limit | measured | verdict |", "|---|---|---|---|"]
    for operation, numerator, denominator, limit, text in TARGETS:
        a = _median(raw, operation, numerator)
        b = _median(raw, operation, denominator)
        ratio = a / b if a and b else None
        measured = "—" if ratio is None else f"{ratio:.1f}"
        lines.append(f"| {text} | ≤ {limit:g} | {measured} | {report.verdict(ratio, limit)} |")
    lines += ["", "Rerun with `python -m bench --dataset many_collections` (`--sizes` takes the "
              "number of collections, `--repeat`, `--out`).", ""]
    return "\n".join(lines)


def write_all(raw: dict, directory: str) -> dict:
    """Write many.json and many.md; returns the paths written."""
    return report.write_all(raw, directory, stem="many", chart_stem="many",
                            to_markdown=markdown, to_chart=lambda raw_, path: False)
