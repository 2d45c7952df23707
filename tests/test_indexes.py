"""Finds and updates answered from the indexes a collection builds by itself give what a scan
gives: the second filter that names a path builds its index, so every query below runs three
times (scan, build, index) and is checked against a model of the filter language each time,
also after inserts and updates that change the indexed values."""

import math

import pytest

from tovra import Tovra

EDGE = [0, -0.0, 0.0, 1, 1.0, -1, 2.5, 2**53, 2**53 + 1, float(2**53), 2**64 - 1, -(2**63),
        2**63 - 1, 1.7976931348623157e308, -1.7976931348623157e308, 5e-324, True, False, None,
        "a", "a\0b", "", "x" * 40, [1, 2], [1, 2.0], [], {}, {"x": 1}, {"x": 1.0}]


def same(a, b):
    """Equality as filters compare: kinds must match (1 is not 1.0, True is not 1)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def resolve(document, path):
    for key in path.split("."):
        if not isinstance(document, dict) or key not in document:
            return KeyError
        document = document[key]
    return document


def passes(document, path, op, operand):
    value = resolve(document, path)
    if value is KeyError:
        return False
    if op == "$eq":
        return same(value, operand)
    if op == "$ne":
        return not same(value, operand)
    a, b = float(value), float(operand)
    return {"$gt": a > b, "$gte": a >= b, "$lt": a < b, "$lte": a <= b}[op]


def documents():
    docs = []
    for i, value in enumerate(EDGE * 3):
        doc = {"id": i, "v": value, "o": {"x": value} if i % 4 else value, "n": i % 7 - 3.5}
        if i % 5 == 0:
            del doc["v"]
        if i % 6 == 0:
            doc["k\0ey"] = value
        docs.append(doc)
    return docs


def check(db, model, path, op, operand):
    query = {path: operand} if op == "$eq" and not isinstance(operand, dict) else \
        {path: {op: operand}}
    expected = [d for d in model if passes(d, path, op, operand)]
    for _ in range(3):
        db.clear_cache()
        assert db.find("c", query) == expected, query


@pytest.mark.parametrize("path", ["v", "o.x", "o", "k\0ey", "missing", "id.x"])
def test_equality_matches_the_model(tmp_path, path):
    db = Tovra(str(tmp_path))
    model = documents()
    db.insert_many("c", model)
    for operand in EDGE:
        if operand is None or isinstance(operand, list):
            continue  # a plain None or list is not a valid query
        check(db, model, path, "$eq", operand)


@pytest.mark.parametrize("op", ["$gt", "$gte", "$lt", "$lte"])
def test_ordering_matches_the_model(tmp_path, op):
    db = Tovra(str(tmp_path))
    model = documents()
    db.insert_many("c", model)
    for operand in [x for x in EDGE if number(x)]:
        check(db, model, "n", op, operand)
        # "v" holds non-numbers: the scan raises, and so does every run.
        for _ in range(3):
            db.clear_cache()
            with pytest.raises(ValueError, match="non-numeric value found for operator"):
                db.find("c", {"v": {op: operand}})


def test_indexes_follow_inserts_and_updates(tmp_path, capfd):
    db = Tovra(str(tmp_path))
    model = documents()
    db.insert_many("c", model)
    for i in range(0, 120, 7):
        check(db, model, "id", "$eq", i)
        check(db, model, "n", "$gte", 0)
        # The indexed fields change, and documents arrive.
        db.update("c", {"id": {"$add": 1000}, "n": {"$inc": 1}}, {"id": i})
        for d in model:
            if same(d["id"], i):
                d["id"] = float(d["id"] + 1000)
                d["n"] = float(d["n"] + 1)
        extra = {"id": i, "n": -math.pi, "v": "new"}
        db.insert("c", extra)
        model.append(dict(extra))
        check(db, model, "id", "$eq", i)
        check(db, model, "id", "$eq", float(i + 1000))
        check(db, model, "n", "$lt", 0)
    db.update("c", {"v": {"$delete": True}})
    for d in model:
        d.pop("v", None)
    check(db, model, "v", "$eq", "a")
    capfd.readouterr()


def test_a_non_object_document_keeps_the_scan(tmp_path):
    (tmp_path / "c.json").write_text('[{"id": 1}, 7, {"id": 2}]')
    db = Tovra(str(tmp_path))
    for _ in range(3):
        assert db.find("c", {"id": 2}) == [{"id": 2}]
