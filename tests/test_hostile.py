"""Hostile values and concurrent use: containers that call back, mutate themselves or raise while
they are converted, self-containing and very deep values, threads sharing one database and
several database objects or processes writing one collection."""

import collections.abc
import json
import os
import random
import subprocess
import sys
import threading
import time

import pytest

from tovra import Tovra


class Boom(Exception):
    pass


@pytest.fixture
def quiet_stdout():
    """Update parsing prints diagnostics to fd 1; keep them out of the captured output."""
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    yield
    os.dup2(saved, 1)
    os.close(saved)
    os.close(null)


# Every way a hostile value reaches a conversion: as a document, inside a list of documents, as
# a filter, as an update and as the filter of an update.
ENTRY_POINTS = {
    "insert": lambda db, v: db.insert("c", {"v": v}),
    "insert_many": lambda db, v: db.insert_many("c", [{"ok": 1}, {"v": v}]),
    "find": lambda db, v: db.find("c", {"v": {"$eq": v}}),
    "update": lambda db, v: db.update("c", {"v": {"$set": v}}),
    "update_filter": lambda db, v: db.update("c", {"v": 1}, {"v": {"$eq": v}}),
}
entry_points = pytest.mark.parametrize("entry", sorted(ENTRY_POINTS))


def seeded(db):
    db.insert_many("c", [{"v": 1}, {"v": 2}])
    db.write("c")
    return db.find("c")


# Inner calls made from inside a conversion, with the borrow error each meets: every method
# that converts holds the exclusive borrow.
INNER_CALLS = {
    "load_from_document": (lambda db: db.load_from_document("x.json"), "Already borrowed"),
    "create_collection": (lambda db: db.create_collection("d"), "Already borrowed"),
    "insert": (lambda db: db.insert("c", {}), "Already borrowed"),
    "insert_many": (lambda db: db.insert_many("c", []), "Already borrowed"),
    "insert_many_from_document": (
        lambda db: db.insert_many_from_document("c", "x.json"),
        "Already borrowed",
    ),
    "find": (lambda db: db.find("c"), "Already borrowed"),
    "update": (lambda db: db.update("c", {}), "Already borrowed"),
    "drop_collection": (lambda db: db.drop_collection("c"), "Already borrowed"),
    "drop_all": (lambda db: db.drop_all(), "Already borrowed"),
    "clear_cache": (lambda db: db.clear_cache(), "Already borrowed"),
    "collections": (lambda db: db.collections(), "Already mutably borrowed"),
    "write": (lambda db: db.write("c"), "Already mutably borrowed"),
    "write_all": (lambda db: db.write_all(), "Already mutably borrowed"),
}


@entry_points
@pytest.mark.parametrize("inner", sorted(INNER_CALLS))
def test_callback_into_same_database_is_refused(db, db_path, quiet_stdout, entry, inner):
    before = seeded(db)
    file_before = (db_path / "c.json").read_bytes()
    call, message = INNER_CALLS[inner]
    refusals = []

    class CallsBack(dict):
        def values(self):
            try:
                call(db)
            except RuntimeError as error:
                refusals.append(str(error))
                raise
            return super().values()

    with pytest.raises(RuntimeError) as caught:
        ENTRY_POINTS[entry](db, CallsBack(a=1))
    assert refusals == [message] and str(caught.value) == message
    assert db.find("c") == before
    assert (db_path / "c.json").read_bytes() == file_before


class RaisingList(list):
    def __init__(self, hook):
        super().__init__([1, 2])
        self.hook = hook

    def __len__(self):
        if self.hook == "__len__":
            raise Boom(self.hook)
        return super().__len__()

    def __getitem__(self, index):
        if self.hook == "__getitem__":
            raise Boom(self.hook)
        return super().__getitem__(index)


class RaisingDict(dict):
    def __init__(self, hook):
        super().__init__(a=1)
        self.hook = hook

    def keys(self):
        if self.hook == "keys":
            raise Boom(self.hook)
        return super().keys()

    def values(self):
        if self.hook == "values":
            raise Boom(self.hook)
        return super().values()

    def __len__(self):
        if self.hook == "__len__":
            raise Boom(self.hook)
        return super().__len__()


class RaisingSet(frozenset):
    def __iter__(self):
        raise Boom("__iter__")


class RaisingMapping(collections.abc.Mapping):
    def __getitem__(self, key):
        raise Boom("__getitem__")

    def __iter__(self):
        raise Boom("__iter__")

    def __len__(self):
        return 1


HOOKS = [
    (RaisingList, "__len__"),
    (RaisingList, "__getitem__"),
    (RaisingDict, "keys"),
    (RaisingDict, "values"),
    (RaisingDict, "__len__"),
    (lambda hook: RaisingSet({1}), "__iter__"),
    (lambda hook: RaisingMapping(), "__iter__"),
]


@entry_points
@pytest.mark.parametrize("make, hook", HOOKS)
def test_exception_raised_by_container_passes_through_unchanged(db, quiet_stdout, entry, make,
                                                                hook):
    before = seeded(db)
    with pytest.raises(Boom) as caught:
        ENTRY_POINTS[entry](db, make(hook))
    assert caught.value.args == (hook,)
    assert db.find("c") == before
    db.insert("c", {"v": 3})
    assert db.find("c", {"v": 3}) == [{"v": 3}]


def test_list_subclass_cleared_by_its_own_getitem_gives_indices_read_once(db):
    class Clearing(list):
        def __getitem__(self, index):
            self.clear()
            return index

    db.insert("c", {"v": Clearing([7, 8, 9])})
    assert db.find("c") == [{"v": [0, 1, 2]}]


@pytest.mark.parametrize("clear", [True, False])
def test_mapping_whose_values_shrinks_it(db, clear):
    # keys(), values() and the length are taken in that order: cleared, it is empty; with
    # values() shorter than the length, the missing index is an IndexError.
    class Shrinking(dict):
        def values(self):
            if clear:
                self.clear()
            return []

    if clear:
        db.insert("c", {"v": Shrinking(a=1, b=2)})
        assert db.find("c") == [{"v": {}}]
    else:
        with pytest.raises(IndexError):
            db.insert("c", {"v": Shrinking(a=1, b=2)})
        assert db.collections() == []


def test_mapping_whose_values_empties_the_returned_keys_list(db):
    # keys() may hand out a list the mapping keeps; values() then empties that very list.
    class Sneaky(collections.abc.Mapping):
        def __init__(self):
            self.listed = ["a" * 100, "b" * 100]

        def keys(self):
            return self.listed

        def values(self):
            self.listed.clear()
            return [1, 2]

        def __getitem__(self, key):
            return 1

        def __iter__(self):
            return iter(["a", "b"])

        def __len__(self):
            return 2

    with pytest.raises(IndexError):
        db.insert("c", {"v": Sneaky()})


class ClearsOuter:
    """A sequence whose length query empties the container it was found in, dropping the last
    reference to itself while it is being converted."""

    def __init__(self, outer):
        self.outer = outer

    def __len__(self):
        outer, self.outer = self.outer, None
        outer.clear()
        return 1

    def __getitem__(self, index):
        return "x" * 64


collections.abc.Sequence.register(ClearsOuter)


@pytest.mark.parametrize("position", [0, 2])
def test_element_that_clears_the_exact_list_holding_it(db, position):
    outer = [{"n": 0}, {"n": 1}, {"n": 2}]
    outer[position] = {"v": ClearsOuter(outer)}
    if position == 2:
        # The last element: nothing is read from the list after it.
        db.insert_many("c", outer)
        assert db.find("c") == [{"n": 0}, {"n": 1}, {"v": ["x" * 64]}]
    else:
        with pytest.raises(IndexError):
            db.insert_many("c", outer)
        assert db.collections() == []


def test_value_that_clears_the_exact_dict_holding_it(db):
    # A dict converts from a snapshot of its entries, so the clear changes nothing.
    document = {"a": 1, "b": None, "c": "z" * 50}
    document["b"] = ClearsOuter(document)
    db.insert("c", document)
    assert db.find("c") == [{"a": 1, "b": ["x" * 64], "c": "z" * 50}]


class SelfSequence:
    def __len__(self):
        return 1

    def __getitem__(self, index):
        return self


collections.abc.Sequence.register(SelfSequence)


class SelfDict(dict):
    def values(self):
        return [self]


def self_list():
    loop = [1]
    loop.append(loop)
    return loop


def deep_tuple(levels):
    value = ()
    for _ in range(levels):
        value = (value,)
    return value


@entry_points
@pytest.mark.parametrize(
    "make", [self_list, SelfSequence, lambda: SelfDict(a=1), lambda: deep_tuple(100_000)]
)
def test_self_containing_or_very_deep_value_is_refused(db, quiet_stdout, entry, make):
    before = seeded(db)
    with pytest.raises(ValueError, match="(?i)nest"):
        ENTRY_POINTS[entry](db, make())
    assert db.find("c") == before


def test_deepest_value_allowed_is_written_and_read_back(db, db_path):
    deepest = {"v": deep_tuple(124)}  # 126 levels with the document
    db.insert("c", deepest)
    db.write("c")
    assert Tovra(str(db_path)).find("c") == json.loads(json.dumps([deepest]))


class YieldingDict(dict):
    """Lets other threads run in the middle of a conversion."""

    def keys(self):
        time.sleep(0)
        return super().keys()


BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}


def test_threads_sharing_one_database_meet_only_borrow_errors(db, db_path, quiet_stdout):
    errors, failures = [], []
    db.insert("c", {"n": 0})

    def drive(seed):
        rng = random.Random(seed)
        operations = [
            lambda: db.insert("c", YieldingDict(n=rng.randrange(5), t=seed)),
            lambda: db.insert_many("c", [YieldingDict(n=1), {"n": 2}]),
            lambda: db.find("c", YieldingDict(n=1)),
            lambda: db.find("c"),
            lambda: db.update("c", YieldingDict(n={"$inc": 1}), YieldingDict(t=seed)),
            lambda: db.write("c"),
            lambda: db.write_all(),
            lambda: db.collections(),
            lambda: db.clear_cache(),
        ]
        for _ in range(150):
            try:
                rng.choice(operations)()
            except RuntimeError as error:
                errors.append(str(error))
            except BaseException as error:  # noqa: BLE001 - anything else is a fault
                failures.append(repr(error))

    threads = [threading.Thread(target=drive, args=(seed,)) for seed in range(4)]
    switch_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(switch_interval)
    assert failures == []
    assert set(errors) <= BORROW_ERRORS and errors, "threads never met each other"
    db.write("c")
    with open(db_path / "c.json") as f:
        assert json.load(f) == db.find("c")


ROUNDS = 20

WRITER = f"""
import sys
from tovra import Tovra
db = Tovra(sys.argv[1])
writer = int(sys.argv[2])
print("open", flush=True)
sys.stdin.readline()
for round in range({ROUNDS}):
    db.insert_many(f"c{{round}}", [{{"writer": writer, "i": i}} for i in range(500 + writer)])
    for _ in range(2):
        db.write(f"c{{round}}")
"""


def is_valid_content(documents, name):
    """An empty collection in either file form, or whole runs of writers' documents: a writer
    that finds the file of another already written loads it and appends its own."""
    if documents == {name: []}:
        return True
    position = 0
    while position < len(documents):
        writer = documents[position]["writer"]
        run = [{"writer": writer, "i": i} for i in range(500 + writer)]
        if documents[position : position + len(run)] != run:
            return False
        position += len(run)
    return True


# Without files, the writers race to create each collection when they first insert into it.
@pytest.mark.parametrize("existing_files", [True, False])
def test_several_processes_writing_one_collection_never_corrupt_it(db_path, existing_files):
    db_path.mkdir()
    if existing_files:
        for round in range(ROUNDS):
            (db_path / f"c{round}.json").write_text("[]")
    writers = [
        subprocess.Popen(
            [sys.executable, "-c", WRITER, str(db_path), str(n)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        for n in range(4)
    ]
    # All are open before any of them inserts, so only the race itself can mix their work.
    for writer in writers:
        assert writer.stdout.readline() == "open\n"
    for writer in writers:
        writer.stdin.write("go\n")
        writer.stdin.close()
    while any(writer.poll() is None for writer in writers):
        for name in os.listdir(db_path):
            try:
                text = (db_path / name).read_text()
            except FileNotFoundError:
                continue
            if name.endswith(".json"):
                assert is_valid_content(json.loads(text), name[:-5]), f"{name} read as {text[:80]!r}"
    assert [writer.wait() for writer in writers] == [0] * 4
    reopened = Tovra(str(db_path))
    assert all(is_valid_content(reopened.find(f"c{round}"), None) for round in range(ROUNDS))
    assert sorted(os.listdir(db_path)) == sorted(f"c{round}.json" for round in range(ROUNDS))


def test_several_objects_in_one_process_on_one_directory(db_path):
    first, second = Tovra(str(db_path)), Tovra(str(db_path))
    first.insert("c", {"by": 1})
    second.insert_many("c", [{"by": 2}, {"by": 2}])
    for _ in range(3):
        first.write("c")
        second.write_all()
    assert Tovra(str(db_path)).find("c") == [{"by": 2}, {"by": 2}]
    first.write("c")
    assert Tovra(str(db_path)).find("c") == [{"by": 1}]
