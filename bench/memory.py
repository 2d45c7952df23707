"""Resident memory added by a loaded collection, measured in a fresh interpreter.

The parent calls :func:`measure`; it starts ``python -m bench.memory LOADER PATH``, which
imports everything it needs first, collects garbage, reads its resident set size, loads
the collection, drops every temporary (the file text, parser buffers), collects again and
reads the resident set size a second time. The difference is what holding the collection
costs. The child prints one JSON object on stdout.
"""

from __future__ import annotations

import gc
import json
import os
import subprocess
import sys

_PAGE_SIZE = os.sysconf("SC_PAGE_SIZE") if hasattr(os, "sysconf") else 4096


def resident_bytes() -> int:
    """Current resident set size of this process."""
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * _PAGE_SIZE
    except OSError:
        import resource

        # ru_maxrss is the peak, in KiB on Linux: a fallback only.
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def _give_back_free_heap() -> None:
    """Returns the C heap's free memory to the system (glibc only), so that what is allocated
    next shows in the resident set instead of reusing pages freed before."""
    try:
        import ctypes

        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def _load_tovra(path: str):
    from tovra import Tovra

    return Tovra(os.path.dirname(path))


def _load_json(path: str):
    with open(path, encoding="utf-8") as source:
        return json.load(source)


def _load_orjson(path: str):
    import orjson

    with open(path, "rb") as source:
        return orjson.loads(source.read())


def _load_msgspec(path: str):
    import msgspec

    with open(path, "rb") as source:
        return msgspec.json.decode(source.read())


LOADERS = {"tovra": _load_tovra, "json": _load_json, "orjson": _load_orjson,
           "msgspec": _load_msgspec}
_IMPORTS = {"tovra": "tovra", "json": "json", "orjson": "orjson", "msgspec": "msgspec",
            "tovra_cached": "tovra"}

CACHED_RESULTS = 100


def _cached_results(path: str) -> dict:
    """Memory that 100 cached results of 50% queries add to a loaded collection. Two queries
    run before the first reading, so that the interpreter's own heap has already grown to
    hold one converted result, and the index that the collection builds for the path the
    second one names again (the collection's memory, not the results') is already there;
    the heap memory those runs freed is given back first, so the results cannot hide in it."""
    from . import data

    db = _load_tovra(path)
    collection = os.path.splitext(os.path.basename(path))[0]

    def query(i: int) -> dict:
        # Distinct cache keys, each passing the same half of the documents.
        return {**data.FIND_50PCT, "id": {"$gte": -1 - i}}

    db.find(collection, query(-1))
    db.find(collection, query(-2))
    db.clear_cache()
    gc.collect()
    _give_back_free_heap()  # what the index build and the first results used and let go of
    before = resident_bytes()
    for i in range(CACHED_RESULTS):
        db.find(collection, query(i))
    gc.collect()
    after = resident_bytes()
    assert db is not None
    return {"loader": "tovra_cached", "before": before, "after": after, "added": after - before}


def child(loader: str, path: str) -> dict:
    __import__(_IMPORTS[loader])
    if loader == "tovra_cached":
        return _cached_results(path)
    gc.collect()
    before = resident_bytes()
    held = LOADERS[loader](path)
    gc.collect()
    after = resident_bytes()
    # Keep the collection alive until after the second reading.
    assert held is not None
    return {"loader": loader, "before": before, "after": after, "added": after - before}


def measure(loader: str, collection_path: str, timeout: float = 600) -> int:
    """Bytes of resident memory that holding the collection file's documents adds."""
    env = dict(os.environ)
    package_parent = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in (package_parent, env.get("PYTHONPATH", "")) if p
    )
    completed = subprocess.run(
        [sys.executable, "-m", "bench.memory", loader, collection_path],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
        check=False,
    )
    if completed.returncode != 0:
        raise RuntimeError(
            f"memory measurement for {loader} failed: {completed.stderr.strip()[-500:]}"
        )
    return int(json.loads(completed.stdout.strip().splitlines()[-1])["added"])


if __name__ == "__main__":
    print(json.dumps(child(sys.argv[1], sys.argv[2])))
