"""The systems under test: tovra and the libraries a Python programmer would use instead.

Each system turns an operation name into a :class:`Bench`: the callable that is timed plus
the untimed steps around it. A system returns ``None`` for an operation it has no
counterpart for; the report shows a dash there.

The list-of-dicts peers (json, orjson) keep documents as plain Python dicts. Operations
that make new Python objects from stored ones or store copies of Python objects are
measured as the codec doing that conversion (``dumps`` to take documents in, ``loads`` to
hand out new ones), since tovra does the equivalent work; scans and updates run over the
dicts in place with list comprehensions and loops.

How a program's dicts were made changes what walking them costs (where their objects lie in
memory), so the systems that take Python documents in run on up to three sources of them:

- ``made``: bench/'s generator (:func:`data.make_documents`), the default and every system's;
- ``loaded``: the same documents after ``json.loads`` of their text, as a program holds data
  it read from a file; a system's key and label get ``@loaded`` and ``(loaded)``;
- ``loop``: insert_many only, documents made in one plain comprehension
  (:func:`data.loop_documents`), as a short benchmark script makes them.

The targets take, for each peer, the worse ratio for tovra over the sources both ran on.
"""

from __future__ import annotations

import contextlib
import json
import os
import shutil
import sqlite3
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Optional

from . import data

COLLECTION = "c"

# Operations in the order they run for each size. Updates come after the filtered finds
# because $inc turns the integer ages into floats, which an integer equality filter no
# longer matches; each system keeps one loaded collection for the read and update steps.
OPERATIONS = (
    ("open", "open a database whose collection file holds N documents"),
    ("insert_many", "insert_many of N documents into an empty collection"),
    ("insert_single", f"{data.SINGLE_INSERT_COUNT:,} single inserts into a collection of N"),
    ("find_all", "find of all documents"),
    ("find_1pct", "filtered find matching 1% (cache miss)"),
    ("find_50pct", "filtered find matching 50% (cache miss)"),
    ("find_cached", f"repeated filtered find of {data.CACHED_MATCHES} documents (cache hit)"),
    ("update_all", "update {'age': {'$inc': 1}} over all documents"),
    ("update_filtered", "update {'age': {'$inc': 1}} where address.city matches 10%"),
    ("write", "write the collection to its file"),
    ("memory", "resident memory added by a loaded collection (fresh process)"),
    ("memory_cached", "resident memory added by 100 cached results of 50% queries (fresh process)"),
)
# Operations measured in fresh processes rather than timed.
MEMORY_OPERATIONS = ("memory", "memory_cached")
OPERATION_NAMES = tuple(name for name, _ in OPERATIONS)

SOURCES = ("made", "loaded", "loop")
SOURCE_TEXT = {
    "made": "documents made in Python by bench/'s generator",
    "loaded": "the same documents after json.loads of their text",
    "loop": "documents made in one plain comprehension over range(N) (insert_many only)",
}
# The operations that a system run on another source than ``made`` takes part in: those whose
# input is the Python documents. Opening and reading files do not depend on them.
SOURCE_OPERATIONS = {
    "loaded": ("insert_many", "insert_single", "find_1pct", "find_50pct", "find_cached",
               "update_all", "update_filtered", "write"),
    "loop": ("insert_many",),
}


@dataclass
class Bench:
    """One system's way of doing one operation.

    ``run`` is the only timed step. ``before`` and ``after`` run untimed around every
    call; ``close`` runs once when all repetitions are done. ``run_partial``, where
    given, replaces ``run`` for systems too slow to finish the whole batch: it works
    until the time limit and returns the fraction of the batch it completed, and the
    runner scales the time up. ``count`` maps a result to the number of documents it
    holds so that the runner can check every system selected the same documents.
    """

    run: Callable[[], Any]
    before: Optional[Callable[[], None]] = None
    after: Optional[Callable[[], None]] = None
    close: Optional[Callable[[], None]] = None
    run_partial: Optional[Callable[[float], float]] = None
    count: Optional[Callable[[Any], int]] = None
    # A call too short to time on its own (a cache hit) is repeated in a loop and the
    # loop's time divided; only for calls without ``before``/``after`` steps.
    repeatable: bool = False


@dataclass
class SizeContext:
    """What every system gets for one size: the documents and the files made from them."""

    size: int
    seed: int
    workdir: str
    documents: list = field(default_factory=list)
    extra_documents: list = field(default_factory=list)
    open_dir: str = ""
    collection_path: str = ""
    file_bytes: bytes = b""
    # The other sources' documents, made when first asked for (see documents_of).
    _sources: dict = field(default_factory=dict, repr=False)

    @classmethod
    def create(cls, size: int, seed: int, workdir: str) -> "SizeContext":
        documents = data.make_documents(size, seed)
        extra = data.make_documents(data.SINGLE_INSERT_COUNT, seed, first_id=size)
        open_dir = os.path.join(workdir, "open")
        path = data.write_collection_file(open_dir, COLLECTION, documents)
        with open(path, "rb") as source:
            file_bytes = source.read()
        return cls(size, seed, workdir, documents, extra, open_dir, path, file_bytes)

    def documents_of(self, source: str) -> list:
        """The N documents of ``source``. The systems of one source share them, so none may
        change them before the last operation that inserts or encodes them has run (updates
        come after those)."""
        if source == "made":
            return self.documents
        if source not in self._sources:
            if source == "loaded":
                self._sources[source] = json.loads(self.file_bytes)
            else:
                self._sources[source] = data.loop_documents(self.size)
        return self._sources[source]

    def extra_of(self, source: str) -> list:
        """The documents of the single inserts, from ``source`` (made or loaded)."""
        if source == "made":
            return self.extra_documents
        key = source + ":extra"
        if key not in self._sources:
            self._sources[key] = json.loads(data.compact_json(self.extra_documents))
        return self._sources[key]

    def scratch(self, name: str) -> str:
        """A fresh path under the work directory (removed first if it exists)."""
        path = os.path.join(self.workdir, name)
        _remove(path)
        return path


def _remove(path: str) -> None:
    if os.path.isdir(path):
        shutil.rmtree(path, ignore_errors=True)
    elif os.path.exists(path):
        os.remove(path)


@contextlib.contextmanager
def stdout_silenced():
    """Point file descriptor 1 at /dev/null (the update parser prints diagnostics there)."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


class _Silencer:
    """``before``/``after`` pair that keeps fd 1 silenced across one timed call."""

    def __init__(self) -> None:
        self._context = None

    def enter(self) -> None:
        self._context = stdout_silenced()
        self._context.__enter__()

    def exit(self) -> None:
        if self._context is not None:
            self._context.__exit__(None, None, None)
            self._context = None


def _atomic_write(path: str, payload, mode: str, durable: bool = False) -> None:
    """Writes through a temporary file and a rename; ``durable`` also syncs the file and its
    directory, as tovra's write does."""
    temporary = path + ".tmp"
    with open(temporary, mode) as out:
        out.write(payload)
        if durable:
            out.flush()
            os.fsync(out.fileno())
    os.replace(temporary, path)
    if durable:
        directory = os.open(os.path.dirname(path) or ".", os.O_RDONLY)
        try:
            os.fsync(directory)
        finally:
            os.close(directory)


def _partial_loop(items: list, action: Callable[[Any], Any]):
    """A ``run_partial`` that applies ``action`` to items until done or out of time."""

    def run(limit_s: float) -> float:
        clock = time.perf_counter
        deadline = clock() + limit_s
        done = 0
        for item in items:
            action(item)
            done += 1
            if clock() > deadline:
                break
        return done / len(items)

    return run


class System:
    """Base of all systems; subclasses fill in ``bench_<operation>`` methods. One instance runs
    on one source of documents (see SOURCES); ``sources`` lists those a system runs on."""

    key = ""
    label = ""
    sources: tuple = ("made",)
    # Per source, the operations run there, where they are fewer than SOURCE_OPERATIONS says.
    source_operations: dict = {}
    # Subprocess loader names for the memory operations (see bench/memory.py), if any.
    memory_loader: Optional[str] = None
    cached_memory_loader: Optional[str] = None

    @classmethod
    def availability(cls) -> Optional[str]:
        """``None`` when usable, else the reason it is skipped."""
        return None

    def __init__(self, source: str = "made") -> None:
        self.source = source
        if source != "made":
            self.key = f"{type(self).key}@{source}"
            self.label = f"{type(self).label} ({source})"

    def version(self) -> str:
        return ""

    def prepare(self, ctx: SizeContext) -> None:
        """Load the size's documents into the state the read and update steps use."""

    def cleanup(self) -> None:
        """Release what ``prepare`` made."""

    def runs(self, operation: str) -> bool:
        """Whether this system takes part in ``operation`` on its source."""
        if self.source == "made":
            return True
        allowed = self.source_operations.get(self.source, SOURCE_OPERATIONS[self.source])
        return operation in allowed

    def bench(self, operation: str, ctx: SizeContext) -> Optional[Bench]:
        if operation in MEMORY_OPERATIONS or not self.runs(operation):
            return None
        method = getattr(self, "bench_" + operation, None)
        return method(ctx) if method is not None else None


def _module_version(name: str) -> str:
    try:
        from importlib.metadata import version

        return version(name)
    except Exception:
        return ""


# --------------------------------------------------------------------------- tovra


class TovraSystem(System):
    key = "tovra"
    label = "tovra"
    memory_loader = "tovra"
    cached_memory_loader = "tovra_cached"
    sources = SOURCES
    # Finds, updates and writes work on the stored documents, whatever their source.
    source_operations = {"loaded": ("insert_many", "insert_single")}

    @classmethod
    def availability(cls):
        try:
            import tovra  # noqa: F401
        except Exception as error:  # an ImportError, or a broken build
            return f"not importable ({error.__class__.__name__}: {error})"
        return None

    def version(self):
        return _module_version("tovra")

    def prepare(self, ctx):
        from tovra import Tovra

        self.Tovra = Tovra
        self.silencer = _Silencer()
        if self.source != "made":
            return
        base = ctx.scratch("tovra_base")
        data.write_collection_file(base, COLLECTION, ctx.documents)
        self.db = Tovra(base)

    def cleanup(self):
        self.db = None

    def bench_open(self, ctx):
        return Bench(run=lambda: self.Tovra(ctx.open_dir))

    def bench_insert_many(self, ctx):
        state = {}
        documents = ctx.documents_of(self.source)

        def before():
            state["db"] = self.Tovra(ctx.scratch("tovra_insert"))
            state["db"].create_collection(COLLECTION)

        return Bench(
            run=lambda: state["db"].insert_many(COLLECTION, documents),
            before=before,
            after=lambda: state.clear(),
        )

    def bench_insert_single(self, ctx):
        state = {}
        extra = ctx.extra_of(self.source)

        def before():
            state["db"] = self.Tovra(ctx.open_dir)

        def run():
            insert = state["db"].insert
            for document in extra:
                insert(COLLECTION, document)

        return Bench(run=run, before=before, after=lambda: state.clear())

    def bench_find_all(self, ctx):
        return Bench(run=lambda: self.db.find(COLLECTION), count=len)

    def _find_miss(self, query):
        return Bench(
            run=lambda: self.db.find(COLLECTION, query), before=self.db.clear_cache, count=len
        )

    def bench_find_1pct(self, ctx):
        return self._find_miss(data.FIND_1PCT)

    def bench_find_50pct(self, ctx):
        return self._find_miss(data.FIND_50PCT)

    def bench_find_cached(self, ctx):
        # The warm-up call stores the result; every timed call is a hit.
        return Bench(
            run=lambda: self.db.find(COLLECTION, data.FIND_CACHED), count=len, repeatable=True
        )

    def bench_update_all(self, ctx):
        return Bench(
            run=lambda: self.db.update(COLLECTION, data.UPDATE_ALL),
            before=self.silencer.enter,
            after=self.silencer.exit,
        )

    def bench_update_filtered(self, ctx):
        return Bench(
            run=lambda: self.db.update(COLLECTION, data.UPDATE_FILTERED, data.UPDATE_FILTER),
            before=self.silencer.enter,
            after=self.silencer.exit,
        )

    def bench_write(self, ctx):
        return Bench(run=lambda: self.db.write(COLLECTION))


# --------------------------------------------------------------- list of dicts peers


def _scan_benches(docs_of: Callable[[], list]) -> dict[str, Callable[[], Bench]]:
    """The in-place operations shared by every list-of-dicts store."""

    def find_1pct():
        return [d for d in docs_of() if d["age"] == 42]

    def find_50pct():
        return [d for d in docs_of() if d["age"] >= 68]

    def find_cached():
        return [d for d in docs_of() if d["id"] < 10]

    def update_all():
        for d in docs_of():
            d["age"] += 1

    def update_filtered():
        for d in docs_of():
            if d["address"]["city"] == "Lyon":
                d["age"] += 1

    return {
        "find_1pct": lambda: Bench(run=find_1pct, count=len),
        "find_50pct": lambda: Bench(run=find_50pct, count=len),
        "find_cached": lambda: Bench(run=find_cached, count=len, repeatable=True),
        "update_all": lambda: Bench(run=update_all),
        "update_filtered": lambda: Bench(run=update_filtered),
    }


class StdlibSystem(System):
    """json + a list of dicts + list comprehensions."""

    key = "stdlib"
    label = "json+list"
    memory_loader = "json"
    sources = ("made", "loaded")

    def version(self):
        return "json " + json.__version__

    def prepare(self, ctx):
        # The scans and updates walk the source's own documents (and change their ages).
        self.docs = ctx.documents_of(self.source)
        self.text = ctx.file_bytes.decode("utf-8")
        self.path = ctx.scratch(f"stdlib_{self.source}.json")
        self.scans = _scan_benches(lambda: self.docs)

    def cleanup(self):
        self.docs = None

    def bench(self, operation, ctx):
        if operation in ("find_1pct", "find_50pct", "find_cached", "update_all",
                         "update_filtered"):
            return self.scans[operation]()
        return super().bench(operation, ctx)

    def bench_open(self, ctx):
        def run():
            with open(ctx.collection_path, encoding="utf-8") as source:
                return json.load(source)

        return Bench(run=run, count=len)

    def bench_insert_many(self, ctx):
        documents = ctx.documents_of(self.source)
        return Bench(run=lambda: json.dumps(documents))

    def bench_insert_single(self, ctx):
        extra = ctx.extra_of(self.source)

        def run():
            store = []
            for document in extra:
                store.append(json.dumps(document))

        return Bench(run=run)

    def bench_find_all(self, ctx):
        return Bench(run=lambda: json.loads(self.text), count=len)

    def bench_write(self, ctx):
        def run():
            temporary = self.path + ".tmp"
            with open(temporary, "w", encoding="utf-8") as out:
                json.dump(self.docs, out)
            os.replace(temporary, self.path)

        return Bench(run=run)


class OrjsonSystem(System):
    """orjson + a list of dicts. Scans and updates are the same Python code as json+list,
    so only the codec operations are measured here."""

    key = "orjson"
    label = "orjson+list"
    memory_loader = "orjson"
    sources = SOURCES

    @classmethod
    def availability(cls):
        try:
            import orjson  # noqa: F401
        except ImportError:
            return "not installed (pip install orjson)"
        return None

    def version(self):
        return _module_version("orjson")

    def prepare(self, ctx):
        import orjson

        self.orjson = orjson
        self.docs = ctx.documents_of(self.source)
        self.path = ctx.scratch(f"orjson_{self.source}.json")

    def cleanup(self):
        self.docs = None

    def bench_open(self, ctx):
        def run():
            with open(ctx.collection_path, "rb") as source:
                return self.orjson.loads(source.read())

        return Bench(run=run, count=len)

    def bench_insert_many(self, ctx):
        return Bench(run=lambda: self.orjson.dumps(self.docs))

    def bench_insert_single(self, ctx):
        dumps = self.orjson.dumps
        extra = ctx.extra_of(self.source)

        def run():
            store = []
            for document in extra:
                store.append(dumps(document))

        return Bench(run=run)

    def bench_find_all(self, ctx):
        return Bench(run=lambda: self.orjson.loads(ctx.file_bytes), count=len)

    def bench_write(self, ctx):
        # Durable, as tovra's write: the bytes are synced before the rename.
        return Bench(
            run=lambda: _atomic_write(self.path, self.orjson.dumps(self.docs), "wb", durable=True)
        )


# ----------------------------------------------------------------------------- msgspec


class MsgspecSystem(System):
    """msgspec's JSON codec + a list of dicts: only the codec operations are measured."""

    key = "msgspec"
    label = "msgspec+list"
    memory_loader = "msgspec"
    sources = SOURCES

    @classmethod
    def availability(cls):
        try:
            import msgspec  # noqa: F401
        except ImportError:
            return "not installed (pip install msgspec)"
        return None

    def version(self):
        return _module_version("msgspec")

    def prepare(self, ctx):
        import msgspec

        self.encode = msgspec.json.encode
        self.decode = msgspec.json.decode
        self.docs = ctx.documents_of(self.source)
        self.path = ctx.scratch(f"msgspec_{self.source}.json")

    def cleanup(self):
        self.docs = None

    def bench_open(self, ctx):
        def run():
            with open(ctx.collection_path, "rb") as source:
                return self.decode(source.read())

        return Bench(run=run, count=len)

    def bench_insert_many(self, ctx):
        return Bench(run=lambda: self.encode(self.docs))

    def bench_find_all(self, ctx):
        return Bench(run=lambda: self.decode(ctx.file_bytes), count=len)

    def bench_write(self, ctx):
        return Bench(run=lambda: _atomic_write(self.path, self.encode(self.docs), "wb", durable=True))


# ----------------------------------------------------------------------------- TinyDB


class TinyDBSystem(System):
    """TinyDB with its default JSON file storage."""

    key = "tinydb"
    label = "TinyDB"
    in_memory = False

    @classmethod
    def availability(cls):
        try:
            import tinydb  # noqa: F401
        except ImportError:
            return "not installed (pip install tinydb)"
        return None

    def version(self):
        return _module_version("tinydb")

    def _new_db(self, path: Optional[str]):
        from tinydb import TinyDB
        from tinydb.middlewares import CachingMiddleware
        from tinydb.storages import MemoryStorage

        if self.in_memory:
            return TinyDB(storage=CachingMiddleware(MemoryStorage))
        return TinyDB(path)

    def prepare(self, ctx):
        from tinydb import Query
        from tinydb.operations import increment

        record = Query()
        self.queries = {
            "find_1pct": record.age == 42,
            "find_50pct": record.age >= 68,
            "find_cached": record.id < 10,
            "update_filter": record.address.city == "Lyon",
        }
        self.increment_age = increment("age")
        self.path = None if self.in_memory else ctx.scratch("tinydb.json")
        self.db = self._new_db(self.path)
        self.db.insert_multiple(ctx.documents)

    def cleanup(self):
        self.db.close()
        self.db = None

    def bench_open(self, ctx):
        if self.in_memory:
            return None
        from tinydb import TinyDB

        def run():
            # TinyDB reads its file lazily: open, then count the documents.
            db = TinyDB(self.path)
            len(db)
            return db

        return Bench(run=run, count=len)

    def bench_insert_many(self, ctx):
        state = {}
        scratch = None if self.in_memory else os.path.join(ctx.workdir, "tinydb_insert.json")

        def before():
            if scratch:
                _remove(scratch)
            state["db"] = self._new_db(scratch)

        def after():
            state.pop("db").close()

        return Bench(
            run=lambda: state["db"].insert_multiple(ctx.documents), before=before, after=after
        )

    def bench_insert_single(self, ctx):
        state = {}
        scratch = None if self.in_memory else os.path.join(ctx.workdir, "tinydb_single.json")

        def before():
            if scratch:
                shutil.copyfile(self.path, scratch)
                state["db"] = self._new_db(scratch)
            else:
                state["db"] = self._new_db(None)
                state["db"].insert_multiple(ctx.documents)

        def after():
            state.pop("db").close()

        return Bench(
            run=lambda: [state["db"].insert(d) for d in ctx.extra_documents] and None,
            run_partial=lambda limit: _partial_loop(
                ctx.extra_documents, lambda d: state["db"].insert(d)
            )(limit),
            before=before,
            after=after,
        )

    def bench_find_all(self, ctx):
        return Bench(run=self.db.all, count=len)

    def _find_miss(self, query):
        return Bench(run=lambda: self.db.search(query), before=self.db.clear_cache, count=len)

    def bench_find_1pct(self, ctx):
        return self._find_miss(self.queries["find_1pct"])

    def bench_find_50pct(self, ctx):
        return self._find_miss(self.queries["find_50pct"])

    def bench_find_cached(self, ctx):
        # TinyDB keeps its own per-query result cache; the warm-up fills it.
        query = self.queries["find_cached"]
        return Bench(run=lambda: self.db.search(query), count=len, repeatable=True)

    def bench_update_all(self, ctx):
        return Bench(run=lambda: self.db.update(self.increment_age))

    def bench_update_filtered(self, ctx):
        query = self.queries["update_filter"]
        return Bench(run=lambda: self.db.update(self.increment_age, query))

    def bench_write(self, ctx):
        if self.in_memory:
            return None
        state = {}

        def before():
            state["data"] = self.db.storage.read()

        return Bench(run=lambda: self.db.storage.write(state["data"]), before=before,
                     after=state.clear)


class TinyDBMemorySystem(TinyDBSystem):
    """TinyDB with MemoryStorage under its CachingMiddleware."""

    key = "tinydb_mem"
    label = "TinyDB mem"
    in_memory = True


# ---------------------------------------------------------------------------- sqlite3


class SqliteSystem(System):
    """sqlite3 with one JSON text column, json_extract filters, a file and no index."""

    key = "sqlite"
    label = "sqlite3"

    @classmethod
    def availability(cls):
        try:
            with sqlite3.connect(":memory:") as con:
                con.execute("select json_extract('{\"a\":1}', '$.a')").fetchone()
        except sqlite3.Error as error:
            return f"no JSON functions ({error})"
        return None

    def version(self):
        return "SQLite " + sqlite3.sqlite_version

    @staticmethod
    def _create(path: str, documents: list) -> sqlite3.Connection:
        con = sqlite3.connect(path)
        con.execute("create table docs (rowid integer primary key, doc text not null)")
        if documents:
            con.executemany(
                "insert into docs (doc) values (?)", ((json.dumps(d),) for d in documents)
            )
        con.commit()
        return con

    def prepare(self, ctx):
        self.path = ctx.scratch("sqlite.db")
        self.con = self._create(self.path, ctx.documents)

    def cleanup(self):
        self.con.close()
        self.con = None

    def bench_open(self, ctx):
        def run():
            # sqlite opens lazily and keeps documents on disk: connect and count.
            con = sqlite3.connect(self.path)
            count = con.execute("select count(*) from docs").fetchone()[0]
            return con, count

        def count(result):
            result[0].close()
            return result[1]

        return Bench(run=run, count=count)

    def bench_insert_many(self, ctx):
        state = {}

        def before():
            state["con"] = self._create(ctx.scratch("sqlite_insert.db"), [])

        def run():
            con = state["con"]
            con.executemany(
                "insert into docs (doc) values (?)", ((json.dumps(d),) for d in ctx.documents)
            )
            con.commit()

        def after():
            state.pop("con").close()

        return Bench(run=run, before=before, after=after)

    def bench_insert_single(self, ctx):
        state = {}

        def before():
            scratch = ctx.scratch("sqlite_single.db")
            shutil.copyfile(self.path, scratch)
            state["con"] = sqlite3.connect(scratch)

        def run():
            # One statement per document, one transaction for the batch.
            con = state["con"]
            for document in ctx.extra_documents:
                con.execute("insert into docs (doc) values (?)", (json.dumps(document),))
            con.commit()

        def after():
            state.pop("con").close()

        return Bench(run=run, before=before, after=after)

    def _select(self, where: str):
        sql = "select doc from docs" + where
        loads = json.loads
        return Bench(run=lambda: [loads(row[0]) for row in self.con.execute(sql)], count=len)

    def bench_find_all(self, ctx):
        return self._select("")

    def bench_find_1pct(self, ctx):
        return self._select(" where json_extract(doc, '$.age') = 42")

    def bench_find_50pct(self, ctx):
        return self._select(" where json_extract(doc, '$.age') >= 68")

    def bench_find_cached(self, ctx):
        bench = self._select(" where json_extract(doc, '$.id') < 10")
        bench.repeatable = True
        return bench

    def _update(self, where: str):
        sql = (
            "update docs set doc = json_set(doc, '$.age', json_extract(doc, '$.age') + 1)"
            + where
        )

        def run():
            self.con.execute(sql)
            self.con.commit()

        return Bench(run=run)

    def bench_update_all(self, ctx):
        return self._update("")

    def bench_update_filtered(self, ctx):
        return self._update(" where json_extract(doc, '$.address.city') = 'Lyon'")


# ---------------------------------------------------------------------------- PoloDB


class PoloDBSystem(System):
    key = "polodb"
    label = "PoloDB"

    @classmethod
    def availability(cls):
        try:
            import polodb

            polodb.PoloDB  # noqa: B018
        except Exception as error:
            return f"not available ({error.__class__.__name__}); pip install polodb-python"
        return None

    def version(self):
        return _module_version("polodb-python")

    def _open(self, path: str):
        import polodb

        db = polodb.PoloDB(path)
        return db, db.collection(COLLECTION)

    def prepare(self, ctx):
        self.path = ctx.scratch("polodb.db")
        self.db, self.col = self._open(self.path)
        self.col.insert_many(ctx.documents)

    def _close_base(self):
        # The store holds a lock on its directory until the native object is freed.
        self.db.close()
        self.db = self.col = None

    def cleanup(self):
        if self.db is not None:
            self._close_base()

    def bench_open(self, ctx):
        self._close_base()

        def run():
            db, col = self._open(self.path)
            col.count_documents()
            return db, col

        def count(result):
            documents = result[1].count_documents()
            result[0].close()
            return documents

        def close():
            self.db, self.col = self._open(self.path)

        return Bench(run=run, count=count, close=close)

    def bench_insert_many(self, ctx):
        state = {}

        def before():
            state["db"], state["col"] = self._open(ctx.scratch("polodb_insert.db"))

        def after():
            state.pop("col")
            state.pop("db").close()

        return Bench(
            run=lambda: state["col"].insert_many(ctx.documents), before=before, after=after
        )

    def bench_insert_single(self, ctx):
        state = {}

        def before():
            scratch = ctx.scratch("polodb_single.db")
            self._close_base()
            shutil.copytree(self.path, scratch)
            self.db, self.col = self._open(self.path)
            state["db"], state["col"] = self._open(scratch)

        def after():
            state.pop("col")
            state.pop("db").close()

        return Bench(
            run=lambda: [state["col"].insert_one(d) for d in ctx.extra_documents] and None,
            run_partial=lambda limit: _partial_loop(
                ctx.extra_documents, lambda d: state["col"].insert_one(d)
            )(limit),
            before=before,
            after=after,
        )

    def _find(self, query):
        return Bench(run=lambda: self.col.find(query).to_list(), count=len)

    def bench_find_all(self, ctx):
        return self._find(None)

    def bench_find_1pct(self, ctx):
        return self._find(data.FIND_1PCT)

    def bench_find_50pct(self, ctx):
        return self._find(data.FIND_50PCT)

    def bench_find_cached(self, ctx):
        bench = self._find(data.FIND_CACHED)
        bench.repeatable = True
        return bench

    def bench_update_all(self, ctx):
        return Bench(run=lambda: self.col.update_many({}, {"$inc": {"age": 1}}))

    def bench_update_filtered(self, ctx):
        return Bench(
            run=lambda: self.col.update_many(data.UPDATE_FILTER, {"$inc": {"age": 1}})
        )


ALL_SYSTEMS = (
    TovraSystem,
    StdlibSystem,
    OrjsonSystem,
    MsgspecSystem,
    TinyDBSystem,
    TinyDBMemorySystem,
    SqliteSystem,
    PoloDBSystem,
)
SYSTEM_KEYS = tuple(system.key for system in ALL_SYSTEMS)

# How each peer does each operation, for the notes under the results.
METHODS = {
    "stdlib": "open `json.load`; insert_many `json.dumps(list)`; single inserts "
    "`json.dumps(doc)` each; find all `json.loads` of the collection text (new objects); "
    "filters: list comprehensions over the source's dicts (no copies); updates: a Python "
    "loop; "
    "write `json.dump` to a temporary file and rename",
    "orjson": "open `orjson.loads` of the file; insert_many `orjson.dumps(list)`; single "
    "inserts `orjson.dumps(doc)` each; find all `orjson.loads` of the collection file "
    "bytes; write `orjson.dumps` of the source's documents + write bytes to a temporary file, fsync, rename and fsync "
    "of the directory (as tovra does); scans and updates are the json+list code",
    "msgspec": "open `msgspec.json.decode` of the file; insert_many `msgspec.json.encode(list)`; "
    "find all `decode` of the collection file bytes; write `encode` + the same durable write "
    "as orjson",
    "tinydb": "default JSON file storage: every read and write goes through the file; "
    "cache misses call `clear_cache()` first, hits use TinyDB's query cache; write is "
    "`storage.write` of the table data",
    "tinydb_mem": "MemoryStorage under CachingMiddleware; nothing is written",
    "sqlite": "file-backed table `(rowid, doc text)` without an index; documents as "
    "`json.dumps` text, filters with `json_extract`, rows decoded with `json.loads`; "
    "updates with `json_set` and a commit; open is lazy (connect + count); no write step "
    "(every commit is durable)",
    "polodb": "`insert_many`, `insert_one`, `find(...).to_list()`, `update_many` with "
    "`$inc`; open is open + count; no write step",
}
