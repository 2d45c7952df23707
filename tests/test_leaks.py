"""Every method, on its success and its error paths, called in a long loop keeps memory flat:
native memory (resident size), Python objects (tracemalloc) and the reference counts of the
arguments."""

import gc
import json
import os
import shutil
import sys
import tempfile
import time
import tracemalloc

import pytest

from tovra import Tovra

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")
RSS_BOUND = 2 * 1024 * 1024
TRACED_BOUND = 256 * 1024
PAYLOAD = "p" * 1000  # makes a leaked document or buffer show up quickly


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE_SIZE


class Boom(Exception):
    pass


def expect(error, step):
    """Runs step, which must raise `error` (a class, or a class name for classes the module does
    not expose)."""
    try:
        step()
    except BaseException as raised:  # noqa: BLE001 - PanicException is a BaseException
        if isinstance(error, str) and type(raised).__name__ == error:
            return
        if isinstance(error, type) and type(raised) is error:
            return
        raise
    raise AssertionError(f"expected {error}")


class Env:
    """A database directory on a memory file system where there is one (writes sync files)."""

    def __init__(self, root):
        self.root = root
        self.dir = os.path.join(root, "db")
        self.db = Tovra(self.dir)
        self.db.insert_many("c", [{"n": i, "s": PAYLOAD} for i in range(10)])
        self.db.write("c")
        self.file("members.json", {"m": [{"s": PAYLOAD}]})
        self.file("list.json", [{"s": PAYLOAD}])
        self.file("object.json", {"s": PAYLOAD})
        self.file("broken.json", "[")
        self.gone = Tovra(os.path.join(root, "gone"))
        self.gone.insert("c", {"s": PAYLOAD})
        shutil.rmtree(os.path.join(root, "gone"))

    def file(self, name, content):
        with open(os.path.join(self.root, name), "w") as f:
            f.write(content if isinstance(content, str) else json.dumps(content))
        return os.path.join(self.root, name)

    def path(self, name):
        return os.path.join(self.root, name)


def self_containing():
    loop = []
    loop.append(loop)
    return loop


class CallsBack(dict):
    db = None

    def keys(self):
        self.db.clear_cache()
        return super().keys()


class RaisingKeys(dict):
    def keys(self):
        raise Boom(PAYLOAD)


def case_steps(env):
    """name -> (one iteration, objects whose reference counts must not move). Iterations that
    would grow the database undo their growth."""
    db, doc, docs = env.db, {"s": PAYLOAD, "k": [1, 2.5, None]}, [{"s": PAYLOAD}] * 3
    query, miss_queries = {"n": {"$gte": 5}}, [{"n": i} for i in range(150)]
    counter = iter(range(10**9))
    callback = CallsBack(n=1)
    callback.db = db
    members, items, obj = env.path("members.json"), env.path("list.json"), env.path("object.json")

    def pair(first, then):
        return lambda: (first(), then())

    drop_new = lambda: db.drop_collection("new")  # noqa: E731
    steps = {
        "new_ok": lambda: Tovra(env.dir),
        "new_bad_type": lambda: expect(TypeError, lambda: Tovra(123)),
        "load_ok": pair(lambda: db.load_from_document(members), lambda: db.drop_collection("m")),
        "load_missing": lambda: expect(OSError, lambda: db.load_from_document(env.path("no"))),
        "load_not_object": lambda: expect(ValueError, lambda: db.load_from_document(items)),
        "load_broken": lambda: expect(ValueError, lambda: db.load_from_document(env.path("broken.json"))),
        "create_ok": pair(lambda: db.create_collection("new"), drop_new),
        "create_bad_name": lambda: expect(ValueError, lambda: db.create_collection("a/b")),
        "insert_ok": pair(lambda: db.insert("new", doc), drop_new),
        "insert_unsupported": lambda: expect(TypeError, lambda: db.insert("c", {"s": PAYLOAD, "x": 1j})),
        "insert_self_containing": lambda: expect(ValueError, lambda: db.insert("c", {"v": self_containing()})),
        "insert_raising": lambda: expect(Boom, lambda: db.insert("c", {"v": RaisingKeys(a=PAYLOAD)})),
        "insert_reentrant": lambda: expect(RuntimeError, lambda: db.insert("c", {"v": callback})),
        "insert_many_ok": pair(lambda: db.insert_many("new", docs), drop_new),
        "insert_many_tuple": lambda: expect(TypeError, lambda: db.insert_many("c", tuple(docs))),
        "insert_many_range": lambda: expect(Exception, lambda: db.insert_many("c", [PAYLOAD, 2**64])),
        "from_document_ok": pair(lambda: db.insert_many_from_document("new", items), drop_new),
        "from_document_not_array": lambda: expect(ValueError, lambda: db.insert_many_from_document("c", obj)),
        "find_all": lambda: db.find("c"),
        "find_cached": lambda: db.find("c", query),
        "find_evicting": lambda: db.find("c", miss_queries[next(counter) % 150]),
        "find_non_numeric": lambda: expect(ValueError, lambda: db.find("c", {"s": {"$gt": 1}})),
        "find_unparsable": lambda: expect("PanicException", lambda: db.find("c", {"n": {"$in": [PAYLOAD]}})),
        "find_missing": lambda: expect(ValueError, lambda: db.find("nosuch")),
        "find_reentrant": lambda: expect(RuntimeError, lambda: db.find("c", callback)),
        "update_ok": lambda: db.update("c", {"n": {"$inc": 1}, "s": PAYLOAD}, query, True),
        "update_unparsable": lambda: expect("PanicException", lambda: db.update("c", {"n": {"$gt": PAYLOAD}})),
        "update_filter_fails": lambda: expect(ValueError, lambda: db.update("c", {"n": 1}, {"s": {"$lt": 1}})),
        "update_bad_flag": lambda: expect(TypeError, lambda: db.update("c", {}, None, None)),
        "collections_ok": lambda: db.collections(),
        "collections_gone": lambda: expect(FileNotFoundError, env.gone.collections),
        "drop_collection_ok": lambda: db.drop_collection("never"),
        "drop_collection_bad": lambda: expect(TypeError, lambda: db.drop_collection(b"c")),
        "drop_all_ok": lambda: (os.mkdir(env.path("scratch")), Tovra(env.path("scratch")).drop_all()),
        "drop_all_gone": lambda: expect(FileNotFoundError, env.gone.drop_all),
        "write_ok": lambda: db.write("c"),
        "write_missing": lambda: expect(ValueError, lambda: db.write("nosuch")),
        "write_gone": lambda: expect(OSError, lambda: env.gone.write("c")),
        "write_all_ok": lambda: db.write_all(),
        "write_all_gone": lambda: expect(OSError, env.gone.write_all),
        "clear_cache_ok": lambda: db.clear_cache(),
        "clear_cache_bad": lambda: expect(TypeError, lambda: db.clear_cache(1)),
    }
    return steps, (db, doc, docs[0], query, miss_queries[0], callback, members, PAYLOAD)


@pytest.fixture
def env(tmp_path):
    base = "/dev/shm" if os.path.isdir("/dev/shm") else str(tmp_path)
    root = tempfile.mkdtemp(prefix="tovra-leaks-", dir=base)
    # Update parsing prints to fd 1; keep a hundred thousand lines out of the captured output.
    saved, null = os.dup(1), os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    try:
        yield Env(root)
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(null)
        shutil.rmtree(root, ignore_errors=True)


def run_flat(step, held, warm_up, loops):
    for _ in range(warm_up):
        step()
    gc.collect()
    references = [sys.getrefcount(obj) for obj in held]
    before = resident_bytes()
    for _ in range(loops):
        step()
    gc.collect()
    growth = resident_bytes() - before
    assert [sys.getrefcount(obj) for obj in held] == references
    if not UNDER_ASAN:  # the sanitizer's quarantine keeps freed memory resident on purpose
        assert growth < RSS_BOUND, f"resident size grew by {growth} bytes over {loops} calls"

    tracemalloc.start()
    try:
        for _ in range(loops // 20):
            step()
        gc.collect()
        traced_before = tracemalloc.get_traced_memory()[0]
        for _ in range(loops // 10):
            step()
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    finally:
        tracemalloc.stop()
    assert traced_growth < TRACED_BOUND, f"Python objects grew by {traced_growth} bytes"


CASE_NAMES = [
    "new_ok", "new_bad_type", "load_ok", "load_missing", "load_not_object", "load_broken",
    "create_ok", "create_bad_name", "insert_ok", "insert_unsupported", "insert_self_containing",
    "insert_raising", "insert_reentrant", "insert_many_ok", "insert_many_tuple",
    "insert_many_range", "from_document_ok", "from_document_not_array", "find_all",
    "find_cached", "find_evicting", "find_non_numeric", "find_unparsable", "find_missing",
    "find_reentrant", "update_ok", "update_unparsable", "update_filter_fails", "update_bad_flag",
    "collections_ok", "collections_gone", "drop_collection_ok", "drop_collection_bad",
    "drop_all_ok", "drop_all_gone", "write_ok", "write_missing", "write_gone", "write_all_ok",
    "write_all_gone", "clear_cache_ok", "clear_cache_bad",
]


FULL_LOOPS = 100_000
BUDGET_SECONDS = 0.2


def budgeted_loops(step):
    """The full loop for cheap calls; calls that touch the disk or unwind deep conversions get
    as many iterations as a quarter second allows (at least a few thousand)."""
    start = time.perf_counter()
    for _ in range(500):
        step()
    per_call = (time.perf_counter() - start) / 500
    return max(3_000, min(FULL_LOOPS, int(BUDGET_SECONDS / per_call)))


@pytest.mark.parametrize("name", CASE_NAMES)
def test_repeated_calls_keep_memory_flat(env, name):
    steps, held = case_steps(env)
    loops = budgeted_loops(steps[name])
    run_flat(steps[name], held, loops // 5, loops)


@pytest.mark.slow
@pytest.mark.parametrize("name", CASE_NAMES)
def test_repeated_calls_keep_memory_flat_full_length(env, name):
    steps, held = case_steps(env)
    run_flat(steps[name], held, FULL_LOOPS // 5, FULL_LOOPS)


def test_every_case_is_listed(env):
    assert sorted(case_steps(env)[0]) == sorted(CASE_NAMES)
