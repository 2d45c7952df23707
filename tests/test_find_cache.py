"""The result cache of filtered find: what is served from it, what evicts and what empties it.

A cached result is a snapshot: a document inserted after the query ran is seen by a repeat
only when the repeat scans again, which is how these tests observe hits and misses.
"""

import pytest


@pytest.fixture
def cdb(db):
    db.insert_many("c", [{"a": 1, "b": 2}, {"a": 2}])
    return db


def q(i):
    """The i-th of many distinct queries, all passing {'a': 1}."""
    return {"a": {"$lte": 1 + i / 1000}}


def test_repeat_is_served_from_cache(cdb):
    assert cdb.find("c", {"a": 1}) == [{"a": 1, "b": 2}]
    cdb.insert("c", {"a": 1})
    assert cdb.find("c", {"a": 1}) == [{"a": 1, "b": 2}]
    # The unfiltered form is live and never cached.
    assert cdb.find("c") == [{"a": 1, "b": 2}, {"a": 2}, {"a": 1}]
    assert cdb.find("c", None) == cdb.find("c")
    # The empty filter passes every document and is cached like any other.
    assert len(cdb.find("c", {})) == 3
    cdb.insert("c", {"a": 3})
    assert len(cdb.find("c", {})) == 3


@pytest.mark.parametrize(
    "action, kept",
    [
        (lambda db: db.insert("c", {"z": 1}), True),
        (lambda db: db.insert_many("d", [{"a": 1}]), True),
        (lambda db: (db.write("c"), db.write_all()), True),
        (lambda db: db.find("c", {"a": 2}), True),
        (lambda db: (db.drop_collection("c"), db.create_collection("c")), True),
        (lambda db: db.clear_cache(), False),
        (lambda db: db.update("c", {}), False),
        (lambda db: db.update("d", {"x": 1}), False),
    ],
    ids=["insert", "insert_many", "write", "find", "drop_create", "clear", "update", "update_d"],
)
def test_what_keeps_and_what_empties_the_cache(cdb, action, kept):
    cdb.insert("d", {"x": 0})
    cdb.find("c", {"a": 1})
    cdb.insert("c", {"a": 1})
    action(cdb)
    assert len(cdb.find("c", {"a": 1})) == (1 if kept else 2)


def test_key_is_the_query_content_and_the_collection(cdb):
    cdb.insert_many("c", [{"a": 1.0, "b": 2}, {"z": 0.0}])
    cdb.insert("d", {"a": 1, "b": 2, "d": True})
    first = dict([("a", 1), ("b", 2)])
    assert cdb.find("c", first) == [{"a": 1, "b": 2}]
    cdb.insert("c", {"a": 1, "b": 2, "new": 1})
    # Key order does not matter: same entry.
    assert cdb.find("c", dict([("b", 2), ("a", 1)])) == [{"a": 1, "b": 2}]
    # 1 and 1.0 are different entries.
    [doc] = cdb.find("c", {"a": 1.0, "b": 2})
    assert type(doc["a"]) is float
    # The same query on another collection is another entry.
    assert cdb.find("d", first) == [{"a": 1, "b": 2, "d": True}]
    # 0.0 and -0.0 are one entry.
    assert cdb.find("c", {"z": 0.0}) == [{"z": 0.0}]
    cdb.insert("c", {"z": 0.0})
    assert cdb.find("c", {"z": -0.0}) == [{"z": 0.0}]


@pytest.mark.parametrize(
    "issued, expected_counts",
    [(list(range(101)), {100: 1, 0: 2}), (list(range(100)), {0: 1, 99: 1}),
     (list(range(100)) + [0, 100], {0: 1, 100: 1, 1: 2}),
     (list(range(100)) + [0, 100, 101], {0: 1, 1: 2})],
    ids=["101_evicts_first", "100_fit", "repeat_refreshes", "repeat_refreshes_twice"],
)
def test_least_recently_used_eviction(cdb, issued, expected_counts):
    for i in issued:
        assert len(cdb.find("c", q(i))) == 1
    cdb.insert("c", {"a": 1})
    # A count of 1 means the entry was still cached; 2 means the collection was scanned again.
    for i, count in expected_counts.items():
        assert len(cdb.find("c", q(i))) == count, i


@pytest.mark.parametrize(
    "query, error",
    [({"n": {"$gt": 0}}, ValueError), ({"n": [1]}, BaseException), ({"n": object()}, TypeError)],
)
def test_failing_find_caches_nothing(db, query, error):
    # The first document passes before the second fails: no partial result may be kept.
    db.insert_many("c", [{"n": 1}, {"n": "x"}])
    for _ in range(2):
        with pytest.raises(error):
            db.find("c", query)


def test_non_object_documents(db):
    docs = [{"a": 1}, 5, "x", [1], None, True]
    db.insert_many("c", docs)
    assert db.find("c", {}) == db.find("c") == docs
    assert db.find("c", {"a": 1}) == [{"a": 1}]
    assert db.find("c", {"a": {"$ne": 1}}) == []
    # A scan that met a non-object document cached nothing.
    db.insert("c", {"a": 1})
    assert db.find("c", {"a": 1}) == [{"a": 1}, {"a": 1}]
    assert len(db.find("c", {})) == 7


def test_returned_lists_are_independent(cdb):
    first = cdb.find("c", {"a": 1})
    first[0]["b"] = 99
    first.append({})
    assert cdb.find("c", {"a": 1}) == [{"a": 1, "b": 2}]
    assert cdb.find("c", {"a": 1}) is not cdb.find("c", {"a": 1})



@pytest.mark.parametrize("modulus", [1, 2, 3, 64, 500])
def test_cached_results_show_the_documents_they_were_made_from(db, modulus):
    # Dense and sparse results are kept in different forms; both must show the same documents,
    # in order, through inserts and a drop of the collection they came from.
    docs = [{"i": i, "m": i % modulus, "s": "x" * (i % 40)} for i in range(1000)]
    db.insert_many("c", docs)
    expected = [d for d in docs if d["m"] == 0]
    assert db.find("c", {"m": 0}) == expected
    db.insert_many("c", [{"i": -1, "m": 0}] * 70)
    assert db.find("c", {"m": 0}) == expected
    db.drop_collection("c")
    db.insert("c", {"m": 0})
    assert db.find("c", {"m": 0}) == expected
