"""Random sequences of calls, some with wrong-typed arguments, checked against a plain Python
model of the collections in memory, the files on disk and the cached filtered results."""

import os
import shutil
import tempfile

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from tovra import Tovra

NAMES = st.sampled_from(["a", "b", "c"])
DOCUMENTS = st.fixed_dictionaries(
    {"n": st.one_of(st.integers(-2, 3), st.sampled_from([1.0, 2.5])), "s": st.sampled_from("xy")}
)
# Few enough distinct (collection, filter) pairs that the cache never evicts.
FILTERS = st.sampled_from(
    [
        {},
        {"n": 1},
        {"n": 1.0},
        {"n": {"$gt": 1}},
        {"n": {"$lte": 2}, "s": "x"},
        {"s": {"$ne": "x"}},
        {"s": {"$gt": 0}},  # fails on the first document: strings have no order
    ]
)
UPDATES = st.sampled_from(
    [
        {"n": {"$inc": 1}},
        {"n": {"$dec": 1}},
        {"n": {"$add": 2}},
        {"n": {"$set": 2}},
        {"s": {"$set": "y"}},
        {"s": "x", "missing": 1},
    ]
)
WRONG = st.sampled_from([1, ("x",), b"x", 2.5])


def same(a, b):
    """Equality of stored values: numbers of different kinds (1 and 1.0) are never equal."""
    return type(a) is type(b) and a == b


def passes(document, query):
    for key in sorted(query):
        if key not in document:
            return False
        condition, value = query[key], document[key]
        operator, operand = next(iter(condition.items())) if isinstance(condition, dict) else (
            "$eq",
            condition,
        )
        if operator == "$eq":
            held = same(value, operand)
        elif operator == "$ne":
            held = not same(value, operand)
        else:
            if not all(isinstance(x, (int, float)) for x in (value, operand)):
                raise ValueError("non-numeric")
            held = {"$gt": value > operand, "$lte": value <= operand}[operator]
        if not held:
            return False
    return True


def apply_update(document, update):
    for key in sorted(update):
        if key not in document:
            continue
        change = update[key]
        operator, operand = next(iter(change.items())) if isinstance(change, dict) else (
            "$set",
            change,
        )
        if operator == "$set":
            document[key] = operand
        else:
            step = {"$inc": 1.0, "$dec": -1.0, "$add": float(operand)}[operator]
            document[key] = float(document[key]) + step


def typed(value):
    """A comparable form that keeps number kinds apart."""
    if isinstance(value, dict):
        return {k: typed(v) for k, v in value.items()}
    if isinstance(value, list):
        return [typed(v) for v in value]
    return (type(value).__name__, value)


class DatabaseModel(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        # Writes sync their files: a memory file system keeps the run short where there is one.
        base = "/dev/shm" if os.path.isdir("/dev/shm") else None
        self.root = tempfile.mkdtemp(prefix="tovra-stateful-", dir=base)
        self.db = Tovra(self.root)
        self.memory = {}  # name -> documents in memory
        self.disk = {}  # name -> documents in the file (either file form)
        self.cache = {}  # (name, typed filter) -> cached result

    def teardown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def check(self, actual, expected):
        assert typed(actual) == typed(expected)

    def load(self, name):
        """The on-demand load of find and update; False when there is no file."""
        if name in self.memory:
            return True
        if name not in self.disk:
            return False
        self.memory[name] = [dict(d) for d in self.disk[name]]
        return True

    def ensure_for_insert(self, name):
        if name not in self.memory:
            if name not in self.disk:
                self.disk[name] = []
                self.memory[name] = []
            else:
                self.load(name)

    @rule(name=NAMES, document=DOCUMENTS)
    def insert(self, name, document):
        self.db.insert(name, document)
        self.ensure_for_insert(name)
        self.memory[name].append(dict(document))

    @rule(name=NAMES, documents=st.lists(DOCUMENTS, max_size=4))
    def insert_many(self, name, documents):
        self.db.insert_many(name, documents)
        self.ensure_for_insert(name)
        self.memory[name].extend(dict(d) for d in documents)

    @rule(name=NAMES, query=st.one_of(st.none(), FILTERS))
    def find(self, name, query):
        if not self.load(name):
            with pytest.raises(ValueError, match="not found on disk"):
                self.db.find(name, query)
            return
        if query is None:
            self.check(self.db.find(name), self.memory[name])
            return
        key = (name, repr(typed(query)))
        if key not in self.cache:
            try:
                result = [d for d in self.memory[name] if passes(d, query)]
            except ValueError:
                with pytest.raises(ValueError, match="non-numeric"):
                    self.db.find(name, query)
                return
            self.cache[key] = [dict(d) for d in result]
        self.check(self.db.find(name, query), self.cache[key])

    @rule(name=NAMES, update=UPDATES, query=st.one_of(st.none(), FILTERS),
          return_result=st.booleans())
    def update(self, name, update, query, return_result):
        self.cache.clear()
        if not self.load(name):
            with pytest.raises(ValueError, match="not found on disk"):
                self.db.update(name, update, query, return_result)
            return
        documents = self.memory[name]
        try:
            selected = [d for d in documents if query is None or passes(d, query)]
        except ValueError:
            with pytest.raises(ValueError, match="non-numeric"):
                self.db.update(name, update, query, return_result)
            return
        result = self.db.update(name, update, query, return_result)
        for document in selected:
            apply_update(document, update)
        self.check(result, documents if return_result else None)

    @rule(name=NAMES)
    def write(self, name):
        if name not in self.memory:
            with pytest.raises(ValueError, match="not found in stored collections"):
                self.db.write(name)
            return
        self.db.write(name)
        self.disk[name] = [dict(d) for d in self.memory[name]]

    @rule()
    def write_all(self):
        self.db.write_all()
        for name, documents in self.memory.items():
            self.disk[name] = [dict(d) for d in documents]

    @rule()
    def clear_cache(self):
        self.db.clear_cache()
        self.cache.clear()

    @rule(name=NAMES)
    def create_collection(self, name):
        self.db.create_collection(name)
        if name not in self.disk:
            self.disk[name] = []
            self.memory[name] = []

    @rule(name=NAMES)
    def drop_collection(self, name):
        self.db.drop_collection(name)
        self.disk.pop(name, None)
        self.memory.pop(name, None)

    @rule()
    def reopen(self):
        self.db = Tovra(self.root)
        self.memory = {name: [dict(d) for d in docs] for name, docs in self.disk.items()}
        self.cache.clear()

    @rule(
        call=st.sampled_from(
            [
                lambda db, bad: db.insert("a", bad),
                lambda db, bad: db.insert_many("a", bad),
                lambda db, bad: db.find("a", bad),
                lambda db, bad: db.update("a", bad),
                lambda db, bad: db.update("a", {"n": 1}, None, bad),
                lambda db, bad: db.update("a", {"n": 1}, None, None),
                lambda db, bad: db.write(bad),
                lambda db, bad: db.create_collection(bad),
                lambda db, bad: db.drop_collection(bad),
            ]
        ),
        bad=WRONG,
    )
    def wrong_types(self, call, bad):
        # Refused while binding arguments: nothing changes, not even the cache.
        with pytest.raises(TypeError):
            call(self.db, bad)

    @invariant()
    def files_and_listing_agree(self):
        assert sorted(self.db.collections()) == sorted(self.disk)


DatabaseModel.TestCase.settings = settings(
    max_examples=50, stateful_step_count=30, deadline=None
)
test_database_model = DatabaseModel.TestCase
