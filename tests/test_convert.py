"""Python values in and out: what a document holds after insert, read back through find."""

import collections
import datetime
import decimal
import enum
import math
import os
import sys
import types
from collections.abc import Mapping, Sequence

import pytest


class Color(enum.IntEnum):
    RED = 2


class Text(str):
    pass


class Outer:
    class Inner:
        pass


class PairMapping(Mapping):
    """A mapping whose keys() repeats a key: the later value must win."""

    def __getitem__(self, key):
        raise AssertionError("values are taken through values()")

    def __iter__(self):
        return iter(["a", "a"])

    def __len__(self):
        return 2

    def keys(self):
        return ["a", "a"]

    def values(self):
        return [1, 2]


class Boom(Exception):
    pass


class BrokenSequence(Sequence):
    def __init__(self, fail_in):
        self.fail_in = fail_in

    def __len__(self):
        if self.fail_in == "len":
            raise Boom("len")
        return 2

    def __getitem__(self, index):
        if self.fail_in == "getitem" and index == 1:
            raise Boom("getitem")
        return index


class Slippery:
    # The abstract-class instance checks read __class__, which raises here.
    @property
    def __class__(self):
        raise Boom("instance check")


class BrokenKeys(dict):
    def keys(self):
        raise Boom("keys")


class ShadowedDict(dict):
    """Read through keys()/values(), not the dict storage; a repeated key keeps its last value."""

    def __len__(self):
        return 2

    def keys(self):
        return ["k", "k"]

    def values(self):
        return ["first", "last"]


class ShadowedList(list):
    def __len__(self):
        return 2

    def __getitem__(self, index):
        return index * 10


def nest(levels):
    value = []
    for _ in range(levels - 1):
        value = [value]
    return value


def roundtrip(db, value):
    db.insert("c", {"v": value})
    return db.find("c")[-1]["v"]


@pytest.mark.parametrize(
    "value, expected",
    [
        (True, True),
        (False, False),
        (1, 1),
        (0, 0),
        (1.0, 1.0),
        (-0.0, -0.0),
        (2**64 - 1, 2**64 - 1),
        (-(2**63), -(2**63)),
        (5e-324, 5e-324),
        (1.7976931348623157e308, 1.7976931348623157e308),
        (float("nan"), None),
        (float("inf"), None),
        (float("-inf"), None),
        (None, None),
        (Color.RED, 2),
        (Text("abc"), "abc"),
        ("\u00e9\U0001F600\x00\x7f", "\u00e9\U0001F600\x00\x7f"),
        ((1, (2, 3)), [1, [2, 3]]),
        (range(3), [0, 1, 2]),
        (collections.deque([1, "x"]), [1, "x"]),
        (collections.UserList([1]), [1]),
        (frozenset({7}), [7]),
        (collections.OrderedDict([("b", 1), ("a", 2)]), {"a": 2, "b": 1}),
        (types.MappingProxyType({"x": [1]}), {"x": [1]}),
        (collections.UserDict({"x": 1}), {"x": 1}),
        (collections.defaultdict(int, {"x": 1}), {"x": 1}),
        ({Text("k"): 1}, {"k": 1}),
        (PairMapping(), {"a": 2}),
        (ShadowedDict(a=1), {"k": "last"}),
        (ShadowedList([1, 2, 3]), [0, 10]),
        ([{"b": {"y": 1, "x": 2}}], [{"b": {"x": 2, "y": 1}}]),
    ],
)
def test_value_roundtrip(db, value, expected):
    got = roundtrip(db, value)
    assert got == expected
    assert type(got) is type(expected)
    if isinstance(expected, float):
        assert math.copysign(1, got) == math.copysign(1, expected)


def test_set_becomes_list_in_iteration_order(db):
    s = {3, 1, 2, "a", 10**9}
    assert roundtrip(db, s) == list(s)


def test_keys_come_back_in_byte_order(db):
    got = roundtrip(db, {"b": 1, "a": 2, "B": 3, "\u00e9": 4, "": 5, "aa": {"z": 1, "y": 2}})
    assert list(got) == ["", "B", "a", "aa", "b", "\u00e9"]
    assert list(got["aa"]) == ["y", "z"]


def _same_keys(k):
    # Built from the same literal each time: the dicts share their key objects.
    return {"name": f"n{k}", "id": k, "address": {"zip": k, "city": "c"}, "a": [k]}


@pytest.mark.parametrize(
    "documents",
    [
        pytest.param([_same_keys(k) for k in range(50)], id="one-layout"),
        # The same key objects in another order, then back: each dict is sorted on its own.
        pytest.param([_same_keys(k) if k % 3 else dict(reversed(_same_keys(k).items()))
                      for k in range(50)], id="orders-alternate"),
        # Keys that own memory, str subclasses and repeated text in new objects.
        pytest.param([{"a_key_longer_than_fourteen": k, Text("t"): k, "b": k} for k in range(20)]
                     + [{"".join(["b"]): k, "a": k} for k in range(20)], id="mixed-keys"),
        # Dicts of one layout whose sizes differ only in the last key.
        pytest.param([{"x": 1, "y": 2}, {"x": 1, "y": 2, "z": 3}] * 10, id="prefix-layouts"),
    ],
)
def test_many_dicts_keep_their_keys_in_byte_order(db, documents):
    db.insert_many("c", documents)
    found = db.find("c")
    assert found == documents
    for got, sent in zip(found, documents):
        assert list(got) == sorted(sent, key=lambda key: key.encode())
        if "address" in got:
            assert list(got["address"]) == ["city", "zip"]


def test_nested_dicts_of_new_layouts_leave_the_outer_keys_alone(db):
    # Each nested dict has keys of its own, so it is remembered afresh, over whichever layout
    # it meets, the outer one included, while the outer dict is being converted.
    documents = [{"outer": {f"n{i}": i, "m": i}, "b": i, "c": [i]} for i in range(300)]
    db.insert_many("c", documents)
    assert db.find("c") == documents


def test_keys_and_values_of_many_layouts_come_back_equal(db):
    # More layouts than a find keeps keys for, and more distinct keys of every length than it
    # keeps strs for (short, up to 30 bytes, longer), some equal in text to values: each str
    # made for one text is taken over by others again and again.
    documents = [{f"key number {i % 300:03d} of a kind": f"k{i % 40}", f"k{i % 40}": f"k{i % 40}",
                  "x" * 31 + str(i % 5): i, "\u00e9" * 7: "\u00e9" * 7} for i in range(1200)]
    db.insert_many("c", documents)
    found = db.find("c")
    assert found == documents
    for got, sent in zip(found, documents):
        assert list(got) == sorted(sent, key=lambda key: key.encode())


def test_remembered_keys_are_released(db):
    key = "".join(["ke", "y"])  # a str of its own, not an interned constant
    before = sys.getrefcount(key)
    db.insert_many("c", [{key: k, "b": k} for k in range(20)])
    assert sys.getrefcount(key) == before


def test_known_layout_with_a_bad_value_stores_nothing(db):
    documents = [_same_keys(k) for k in range(20)]
    documents[15]["a"] = [object()]
    with pytest.raises(TypeError, match="unsupported type object"):
        db.insert_many("c", documents)
    assert db.collections() == []


def unsupported(name):
    return TypeError, f"unsupported type {name}"


@pytest.mark.parametrize(
    "value, error, message",
    [
        (2**64, Exception, "JSON number out of range"),
        (2**128 - 1, Exception, "JSON number out of range"),
        (-(2**63) - 1, Exception, "JSON number out of range"),
        (-(2**127), Exception, "JSON number out of range"),
        (2**128, OverflowError, None),
        (-(2**127) - 1, OverflowError, None),
        (2**200, OverflowError, None),
        (b"x", Exception, "invalid type: byte array, expected any valid JSON value"),
        (bytearray(b"x"), TypeError, "unexpected type: 'bytearray' object cannot be converted to 'PyBytes'"),
        ([{1: "x"}], TypeError, "unexpected type: 'int' object cannot be converted to 'PyString'"),
        ({None: 1}, TypeError, "unexpected type: 'NoneType' object cannot be converted to 'PyString'"),
        (datetime.date(2020, 1, 1), *unsupported("date")),
        (decimal.Decimal(1), *unsupported("Decimal")),
        (1j, *unsupported("complex")),
        (object(), *unsupported("object")),
        (Outer.Inner(), *unsupported("Outer.Inner")),
        ((x for x in []), *unsupported("generator")),
        ({"a"}.__iter__(), *unsupported("set_iterator")),
        ("\ud800", UnicodeEncodeError, None),
        ({"\udc80": 1}, UnicodeEncodeError, None),
        (BrokenSequence("len"), Boom, "len"),
        (BrokenSequence("getitem"), Boom, "getitem"),
        (BrokenKeys(a=1), Boom, "keys"),
        (nest(126), ValueError, None),
    ],
)
def test_unconvertible_value_stores_nothing(db, db_path, value, error, message):
    # Preceded by good elements: nothing of the call may be appended, and the
    # collection is not created.
    with pytest.raises(BaseException) as e:
        db.insert_many("c", [{"ok": 1}, 2, {"v": [0, value]}])
    assert type(e.value) is error
    if message is not None:
        assert str(e.value) == message
    assert db.collections() == []
    with pytest.raises(ValueError, match="not found on disk"):
        db.find("c")


@pytest.mark.parametrize("method", ["insert", "insert_many"])
def test_nesting_bound(db, method):
    # The top-level container is level 1, the list of insert_many included: 126 levels
    # pass, 127 do not.
    def store(value):
        if method == "insert":
            db.insert("c", {"v": value})
            return {"v": value}
        db.insert_many("c", [value])
        return value

    stored = store(nest(125))
    with pytest.raises(ValueError, match="(?i)nest"):
        store(nest(126))
    assert db.find("c") == [stored]


def test_self_containing_values_are_refused(db):
    loop = []
    loop.append(loop)
    knot = {}
    knot["k"] = [knot]
    for value in (loop, knot):
        with pytest.raises(ValueError, match="(?i)nest"):
            db.insert("c", {"v": value})
    assert db.collections() == []


def test_failing_instance_check_is_unraisable_and_not_a_match(db, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    with pytest.raises(TypeError) as e:
        db.insert("c", {"v": Slippery()})
    assert str(e.value) == "unsupported type Slippery"
    assert [type(r.exc_value) for r in reported] == [Boom, Boom]


def short_texts():
    yield from ("", "a", "\x00", "\xe9", "\u20ac", "\U0001f600", "a\x00b", "x" * 14, "\xe9" * 7)
    # More distinct short texts than a find keeps strs for: slots are taken over again and again.
    yield from (f"v{i}" for i in range(5000))
    yield from (f"\u0394{i}" for i in range(300))
    yield from (f"same8by{i}" for i in range(300))  # equal first words, other second words


def test_short_texts_come_back_equal_however_often_they_repeat(db):
    texts = list(short_texts())
    documents = [{"t": texts[i % len(texts)], "u": [texts[(7 * i) % len(texts)]]}
                 for i in range(3 * len(texts))]
    db.insert_many("c", documents)
    found = db.find("c")
    assert found == documents
    for got, expected in zip(found, documents):
        assert type(got["t"]) is str and got["t"] == expected["t"]
    last = found[-1]["t"]
    del found, got
    # find keeps no reference once it returns: `last` is held as often as a str made here and
    # named once (counting the same way on every version, borrowed references or not).
    alone = "".join(["held", " ", "once"])
    assert sys.getrefcount(last) == sys.getrefcount(alone)


def test_results_are_fresh_objects_independent_of_the_store(db):
    source = {"a": [1, {"b": 2}]}
    db.insert("c", source)
    source["a"][1]["b"] = 99
    first = db.find("c")
    first[0]["a"].append(3)
    first[0]["new"] = 1
    second = db.find("c")
    assert second == [{"a": [1, {"b": 2}]}]
    assert second[0] is not first[0] and second[0]["a"] is not first[0]["a"]


def test_repeated_calls_hold_no_references_and_memory_stays_flat(db):
    text, key, marker = "value " * 10, "key " * 3, object()
    good = {key: [text, 1.5, {"n": None}]}
    bad = [good, {key: marker}]
    db.insert_many("f", [good] * 10)

    def run(times):
        for _ in range(times):
            with pytest.raises(TypeError):
                db.insert_many("c", bad)
            with pytest.raises(Boom):
                db.insert("c", {"v": BrokenSequence("getitem")})
            db.find("f")

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    counts = [sys.getrefcount(o) for o in (text, key, marker, good)]
    for _ in range(1000):
        db.insert_many("c", [good])
    run(1000)
    before = rss()
    run(20000)
    assert [sys.getrefcount(o) for o in (text, key, marker, good)] == counts
    # Nothing is stored, so anything kept per call (even one small dict) shows here. Under
    # AddressSanitizer freed memory stays resident by design, so only the counts tell.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        assert rss() - before < 2 * 2**20


def _with_holes():
    d = {f"k{i}": i for i in range(12)}
    for i in (0, 5, 11):
        del d[f"k{i}"]
    d["k0"] = "back at the end"
    return d


class _Plain:
    def __init__(self):
        self.a = 1
        self.b = [2, {"c": 3}]


@pytest.mark.parametrize(
    "make",
    [
        _with_holes,  # deleted entries are skipped, a re-added key comes last
        lambda: vars(_Plain()),  # an instance's dict (a table shared between instances)
        lambda: dict.fromkeys("abcdefghijklmnopqrstuvwxyz", None),  # grown several times
        lambda: {"x": {"y": {"z": [1, {"w": "short"}, "a text longer than fourteen"]}}},
    ],
)
def test_insert_many_takes_every_entry_of_the_dicts(db, make):
    documents = [make() for _ in range(20)]
    db.insert_many("c", documents)
    assert db.find("c") == documents
