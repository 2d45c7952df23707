"""Update operators applied to documents, and the rules of the update call itself."""

import datetime
import json

import pytest

from tovra import Tovra


def exact(value):
    """Text that tells 1 from 1.0 and True from 1."""
    return json.dumps(value, sort_keys=True)


def nested(depth, leaf=0):
    doc = leaf
    for _ in range(depth):
        doc = {"a": doc}
    return doc


INC, ADD, SUB = "$inc", "$add", "$substract"

# (update, document before, document after)
OPERATOR_CASES = [
    ({}, {"n": 5}, {"n": 5}),
    ({"n": {INC: 1}}, {"n": 5}, {"n": 6.0}), ({"n": {INC: 10}}, {"n": 5}, {"n": 6.0}),
    ({"n": {INC: "x"}}, {"n": 5}, {"n": 6.0}), ({"n": {INC: 1}}, {"n": 1.5}, {"n": 2.5}),
    ({"n": {INC: 1}}, {"n": "a"}, {"n": "a"}), ({"n": {INC: 1}}, {"n": True}, {"n": True}),
    ({"n": {INC: 1}}, {"m": 1}, {"m": 1}), ({"n": {"$dec": 1}}, {"n": 0}, {"n": -1.0}),
    ({"n": {"$dec": None}}, {"n": -5}, {"n": -6.0}), ({"n": {ADD: 2}}, {"n": 3}, {"n": 5.0}),
    ({"n": {ADD: 2}}, {"n": 1.5}, {"n": 3.5}), ({"n": {ADD: [1]}}, {"n": 3}, {"n": 3}),
    ({"n": {ADD: 2}}, {"n": "3"}, {"n": "3"}), ({"n": {ADD: "2"}}, {"n": 3}, {"n": 3}),
    ({"n": {ADD: True}}, {"n": 3}, {"n": 3}), ({"n": {ADD: 2}}, {"m": 3}, {"m": 3}),
    ({"n": {ADD: 1}}, {"n": 2**53}, {"n": 9007199254740992.0}),
    ({"n": {ADD: 0}}, {"n": 2**64 - 1}, {"n": 1.8446744073709552e19}),
    ({"n": {SUB: 10}}, {"n": 3}, {"n": -7.0}), ({"n": {SUB: -0.5}}, {"n": 3}, {"n": 3.5}),
    ({"n": {ADD: 1e308}}, {"n": 1e308}, {"n": None}),
    ({"n": {SUB: 1e308}}, {"n": -1e308}, {"n": None}),
    ({"a": 1}, {"a": "x"}, {"a": 1}), ({"a": {"$set": 1}}, {"a": "x"}, {"a": 1}),
    ({"a": 1}, {"b": 2}, {"b": 2}), ({"a": {"$set": [1, 2]}}, {"a": 0}, {"a": [1, 2]}),
    ({"a": {"$set": None}}, {"a": 0}, {"a": None}),
    ({"a": {"$set": {"x": 1}}}, {"a": 0}, {"a": {"x": 1}}),
    ({"a.b": 7}, {"a": {"b": 1}}, {"a": {"b": 7}}), ({"a.b": 7}, {"a": 3}, {"a": 3}),
    ({"a.b": 7}, {"a": {}}, {"a": {}}), ({"a.b": 7}, {"a": [{"b": 1}]}, {"a": [{"b": 1}]}),
    ({"a..b": 1}, {"a": {"": {"b": 0}}}, {"a": {"": {"b": 1}}}),
    ({"a": {"$delete": True}}, {"a": 1, "b": 2}, {"b": 2}),
    ({"a": {"$delete": True}}, {"b": 2}, {"b": 2}),
    ({"a.b": {"$delete": 0}}, {"a": {"b": 1, "c": 2}}, {"a": {"c": 2}}),
    ({"$set": {"a": 1}}, {"a": 0}, {"a": 0}),
    ({"$set": {"a": 1}}, {"$set": {"a": 0}}, {"$set": {"a": 1}}),
    # Records apply in key order, each seeing the ones before it.
    ({"a": {"$delete": 1}, "a.b": 5}, {"a": {"b": 1}, "c": 0}, {"c": 0}),
    ({"a": {"b": {ADD: 5}}, "a.b": {INC: 1}}, {"a": {"b": 0}}, {"a": {"b": 6.0}}),
    ({"a": {"$set": 5}, "a.b": 1}, {"a": {"b": 0}}, {"a": 5}),
    ({"a": {"$set": {"b": 0}}, "a.b": {INC: 1}}, {"a": 1}, {"a": {"b": 1.0}}),
    ({"n": {INC: 1}, "s": "x"}, {"n": 1, "s": 0, "t": 0}, {"n": 2.0, "s": "x", "t": 0}),
]


@pytest.mark.parametrize("update, before, after", OPERATOR_CASES)
def test_update_operators(db, update, before, after):
    db.insert("c", before)
    assert db.update("c", update) is None
    assert exact(db.find("c")) == exact([after])


@pytest.mark.parametrize(
    "key_depth, leaf_depth, applied",
    [(2, 124, True), (3, 124, False), (126, 1, False), (125, 1, True)],
)
def test_set_stays_within_nesting_bound(db, db_path, key_depth, leaf_depth, applied):
    db.insert("c", {**nested(key_depth), "b": 0})
    value = nested(leaf_depth) if leaf_depth > 1 else []
    db.update("c", {".".join(["a"] * key_depth): {"$set": value}, "b": 1})
    # A skipped record does not stop the others.
    expected = {**(nested(key_depth, leaf=value) if applied else nested(key_depth)), "b": 1}
    assert db.find("c") == [expected]
    db.write("c")
    assert Tovra(str(db_path)).find("c") == [expected]


def test_non_object_documents_are_unchanged(db):
    docs = [5, "x", [1], None, {"n": 1}, True]
    db.insert_many("c", docs)
    assert db.update("c", {"n": {"$inc": 1}}, {}, True) == [5, "x", [1], None, {"n": 2.0}, True]
    assert db.update("c", {"n": 0}, {"n": 2.0}, True) == [5, "x", [1], None, {"n": 0}, True]


def test_filter_selects_and_return_result(db):
    db.insert_many("c", [{"a": 1, "s": "a"}, {"a": 2, "s": "b"}, {"b": 1, "s": "c"}])
    assert db.update("c", {"s": "x"}, {"a": 1}, True) == [
        {"a": 1, "s": "x"},
        {"a": 2, "s": "b"},
        {"b": 1, "s": "c"},
    ]
    assert db.update("c", {"s": "y"}, maybe_query={"a": {"$gte": 2}}, return_result=False) is None
    assert db.update("c", {"s": "z"}, {"a": 99}) is None
    assert [d["s"] for d in db.find("c")] == ["x", "y", "c"]


def test_failing_filter_changes_no_document(db):
    db.insert_many("c", [{"a": 1, "n": 0}, {"a": "x", "n": 0}, {"a": 2, "n": 0}])
    with pytest.raises(ValueError) as info:
        db.update("c", {"n": {"$inc": 1}}, {"a": {"$gte": 0}})
    assert str(info.value) == (
        "Malformed query, non-numeric value found for operator GreaterThanEqual"
    )
    assert exact(db.find("c")) == exact([{"a": 1, "n": 0}, {"a": "x", "n": 0}, {"a": 2, "n": 0}])
    # The collection stays usable.
    db.update("c", {"n": {"$inc": 1}}, {"a": 2})
    assert db.find("c", {"n": 1.0}) == [{"a": 2, "n": 1.0}]


@pytest.mark.parametrize(
    "args, error, message",
    [
        (("nosuch", {"a": 1}), ValueError, "Collection with name 'nosuch' not found on disk"),
        (("c", {"a": datetime.date(2020, 1, 1)}), TypeError, None),
        (("c", {"a": 1}, {"a": datetime.date(2020, 1, 1)}), TypeError, None),
        (("c", {"n": 1, "z": {"$x": 1}}), BaseException, "Unknown update query operator found: $x"),
        (("c", {"n": {"$inc": 1}}, {"a": {"$gt": "x"}}), ValueError, None),
        (("c", {"n": 1}), None, None),
    ],
)
def test_cache_is_emptied_first_whatever_follows(db, args, error, message):
    db.insert("c", {"a": 1, "n": 0})
    db.find("c", {"a": 1})
    db.insert("c", {"a": 1})
    if error is None:
        db.update(*args)
    else:
        with pytest.raises(error) as info:
            db.update(*args)
        if message is not None:
            assert str(info.value) == message
        # A failed update changed no document.
        assert exact(db.find("c")) == exact([{"a": 1, "n": 0}, {"a": 1}])
    assert len(db.find("c", {"a": 1})) == 2


@pytest.mark.parametrize(
    "args",
    [("c", []), ("c", {}, []), ("c", {}, None, 1), (1, {})],
)
def test_argument_errors_leave_the_cache(db, args):
    db.insert("c", {"a": 1})
    db.find("c", {"a": 1})
    db.insert("c", {"a": 1})
    with pytest.raises(TypeError):
        db.update(*args)
    assert len(db.find("c", {"a": 1})) == 1


@pytest.mark.parametrize("text", ['[{"n": 1}]', '{"late": [{"n": 1}]}'])
def test_loads_on_demand_and_writes_nothing(db, db_path, text):
    (db_path / "late.json").write_text(text)
    assert db.update("late", {"n": {"$add": 1}}, None, True) == [{"n": 2.0}]
    assert (db_path / "late.json").read_text() == text
    db.write("late")
    assert (db_path / "late.json").read_text() == '[{"n":2.0}]'


@pytest.mark.parametrize("reopen", [False, True], ids=["inserted", "read from file"])
def test_delete_changes_only_the_selected_of_documents_alike(db_path, reopen):
    # Documents with the same keys share how their keys are held: removing a key from some
    # must leave the others, and every later read, with all of theirs.
    docs = [{"id": i, "name": f"n{i}", "address": {"city": f"c{i % 3}", "zip": str(i)},
             "a_rather_long_key_name": i} for i in range(30)]
    db = Tovra(str(db_path))
    db.insert_many("c", docs)
    if reopen:
        db.write("c")
        db = Tovra(str(db_path))
    db.update("c", {"address.city": {"$delete": 1}}, {"id": {"$lt": 10}})
    db.update("c", {"a_rather_long_key_name": {"$delete": 1}, "name": {"$delete": 1}},
              {"id": {"$gte": 20}})
    for doc in docs[:10]:
        del doc["address"]["city"]
    for doc in docs[20:]:
        del doc["a_rather_long_key_name"], doc["name"]
    assert db.find("c") == docs
    in_c1 = [d for d in docs if d["address"].get("city") == "c1"]
    assert db.find("c", {"address.city": "c1"}) == in_c1
    db.write("c")
    assert Tovra(str(db_path)).find("c") == docs
