"""Filter and update query parsing, filter evaluation and the update diagnostic lines."""

import io
import sys

import pytest


def raises_panic(call, message):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == message


NOT_VALID, EMPTY = "Not Valid query", "Error while parsing query"
UNKNOWN, UNKNOWN_UPDATE = "Unknown query operator found: ", "Unknown update query operator found: "

BAD_FILTERS = [
    ({"a": None}, NOT_VALID), ({"a": [1, 2]}, NOT_VALID), ({"a": {"b": None}}, NOT_VALID),
    ({"a.$in": [1]}, NOT_VALID), ({"a": {"$in": [1]}}, UNKNOWN + "$in"),
    ({"a": {}}, EMPTY), ({"a": {"b": {}}}, EMPTY),
    ({"a": {"$": 1}}, UNKNOWN + "$"), ({"a": {"$GT": 1}}, UNKNOWN + "$GT"),
    ({"a": {"$x.y": 1}}, UNKNOWN + "$x.y"), ({"a": {"$eq ": 1}}, UNKNOWN + "$eq "),
    ({"a": {"$set": 1}}, UNKNOWN + "$set"), ({"$gt": 5}, NOT_VALID),
    ({"$foo": 5}, UNKNOWN + "$foo"), ({"$set": 5}, UNKNOWN + "$set"),
    # Entries are parsed in key order; the first bad one is reported.
    ({"b": {}, "a": None}, NOT_VALID), ({"b": None, " a": {"$bad": 1}}, UNKNOWN + "$bad"),
]

BAD_UPDATES = [
    ({"a": None}, NOT_VALID), ({"a": {"$gt": 1}}, UNKNOWN_UPDATE + "$gt"),
    ({"a": {"$Set": 1}}, UNKNOWN_UPDATE + "$Set"), ({"a": {}}, EMPTY),
    ({"$delete": 1}, NOT_VALID), ({"$set": 1}, NOT_VALID), ({"$gt": 1}, UNKNOWN_UPDATE + "$gt"),
]


@pytest.mark.parametrize("query, message", BAD_FILTERS)
def test_filter_parse_errors(db, query, message):
    db.insert("c", {"a": 1})
    raises_panic(lambda: db.find("c", query), message)
    # The same filter fails the same way inside update, which changes nothing.
    raises_panic(lambda: db.update("c", {"a": 2}, query), message)
    assert db.find("c") == [{"a": 1}]


@pytest.mark.parametrize("query, message", BAD_UPDATES)
def test_update_parse_errors(db, query, message):
    db.insert("c", {"a": 1})
    raises_panic(lambda: db.update("c", query), message)
    assert db.find("c") == [{"a": 1}]


# (filter, document, passes)
FILTER_CASES = [
    ({}, {"x": 1}, True), ({"age": 30}, {"age": 30}, True), ({"age": 30}, {"age": 30.0}, False),
    ({"age": 30.0}, {"age": 30}, False), ({"age": 30}, {"age": "30"}, False),
    ({"age": 30}, {}, False),
    ({"age": {"$gte": 30}}, {"age": 30.0}, True), ({"age": {"$gte": 30}}, {"age": 30}, True),
    ({"age": {"$gt": 30}}, {"age": 30}, False), ({"age": {"$gt": 30}}, {"age": 31}, True),
    ({"age": {"$lt": 30}}, {"age": 29.5}, True), ({"age": {"$lte": 30}}, {"age": 30.5}, False),
    ({"a": {"$ne": 1}}, {}, False), ({"a": {"$ne": 1}}, {"a": "1"}, True),
    ({"a": {"$ne": 1}}, {"a": 1.0}, True), ({"a": {"$ne": 1}}, {"a": 1}, False),
    ({"flag": 1}, {"flag": True}, False), ({"flag": 0}, {"flag": False}, False),
    ({"flag": True}, {"flag": True}, True), ({"z": 0.0}, {"z": -0.0}, True),
    ({"n": -1}, {"n": -1}, True), ({"n": 2**64 - 1}, {"n": 2**64 - 1}, True),
    ({"n": 2**53}, {"n": 2**53 + 1}, False), ({"n": {"$gt": 2**53}}, {"n": 2**53 + 1}, False),
    ({"n": {"$gte": 2**53}}, {"n": 2**53 + 1}, True), ({"n": {"$lt": -1}}, {"n": -2}, True),
    ({"n": {"$gt": -1}}, {"n": 0}, True), ({"n": {"$gt": 2**64 - 1}}, {"n": -(2**63)}, False),
    ({"s": "abc"}, {"s": "ABC"}, False), ({"s": "\u00e9"}, {"s": "e\u0301"}, False),
    ({"a": {"$eq": None}}, {"a": None}, True), ({"a": {"$ne": None}}, {"a": None}, False),
    # Arrays compare whole and are never searched or entered.
    ({"tags": {"$eq": ["x"]}}, {"tags": ["x"]}, True),
    ({"tags": {"$eq": ["x"]}}, {"tags": ["x", "y"]}, False),
    ({"tags": "x"}, {"tags": ["x"]}, False),
    ({"items.0": 1}, {"items": [1]}, False), ({"items.0": 1}, {"items": {"0": 1}}, True),
    ({"a.b": 1}, {"a": [{"b": 1}]}, False), ({"a.b": 1}, {"a": 5}, False),
    ({"a.b": 1}, {"a": {}}, False),
    # Objects compare by content, whatever the key order.
    ({"p": {"$eq": {"x": 1, "y": 2}}}, {"p": {"y": 2, "x": 1}}, True),
    ({"p": {"$eq": {"x": 1, "y": 2}}}, {"p": {"x": 1, "y": 2, "z": 3}}, False),
    ({"p": {"$eq": {"x": 1}}}, {"p": {"x": 1.0}}, False),
    ({"a": {"$eq": {"$gt": 1}}}, {"a": {"$gt": 1}}, True),
    # Path shapes: dotted keys, nested keys, the smallest key of a nested object.
    ({"a.b": 1}, {"a": {"b": 1}}, True), ({"a": {"b": 1}}, {"a": {"b": 1}}, True),
    ({"a": {"b": {"$eq": 1}}}, {"a": {"b": 1}}, True),
    ({"a": {"b.c": 1}}, {"a": {"b": {"c": 1}}}, True),
    ({"a.$gt": 5}, {"a": 6}, True), ({"a.$gt": 5}, {"a": 5}, False),
    ({"a": {"$gt": 1, "$lt": 5}}, {"a": 9}, True),
    ({"a": {"b": 1, "c": 2}}, {"a": {"b": 1, "c": 3}}, True),
    ({"a": {"#x": 1, "$gt": 5}}, {"a": {"#x": 1}}, True),
    ({"a": {"#x": 1, "$gt": 5}}, {"a": 9}, False),
    ({"a.b": {"$gt": 1}, "a": {"b": {"$lt": 5}}}, {"a": {"b": 3}}, True),
    ({"a.b": {"$gt": 1}, "a": {"b": {"$lt": 5}}}, {"a": {"b": 7}}, False),
    ({"a..b": 1}, {"a": {"": {"b": 1}}}, True), ({"a..b": 1}, {"a": {"b": 1}}, False),
    ({".a": 1}, {"": {"a": 1}}, True), ({"a.": 1}, {"a": {"": 1}}, True), ({"": 1}, {"": 1}, True),
    # A top-level $ key with an object value names a field.
    ({"$eq": {"x": 1}}, {"$eq": {"x": 1}}, True), ({"$gt": {"$eq": 1}}, {"$gt": 1}, True),
]


@pytest.mark.parametrize("query, doc, passes", FILTER_CASES)
def test_filter_evaluation(db, query, doc, passes):
    db.insert("c", doc)
    assert len(db.find("c", query)) == int(passes)


@pytest.mark.parametrize(
    "query, docs, operator",
    [
        ({"name": {"$gt": "m"}}, [{}, {"name": "z"}], "GreaterThan"),
        ({"age": {"$lte": 30}}, [{"age": "30"}], "LessThanEqual"),
        ({"age": {"$lte": 30}}, [{"age": True}], "LessThanEqual"),
        ({"age": {"$lte": 30}}, [{"age": None}], "LessThanEqual"),
        ({"a": {"$lt": 1}}, [{"a": [1]}], "LessThan"),
        ({"a": {"$lt": None}}, [{"a": 1}], "LessThan"),
        ({"a": {"$gte": 1}}, [{"a": {"b": 1}}], "GreaterThanEqual"),
        ({"a": {"$gte": "x"}}, [{"a": 1}], "GreaterThanEqual"),
        ({"a": 1, "b": {"$lt": "x"}}, [{"a": 2, "b": 1}, {"a": 1, "b": 1}], "LessThan"),
        # A document lacking the field, or failing an earlier record, just does not pass.
        ({"name": {"$gt": "m"}}, [{}, {"a": {"name": 1}}], None),
        ({"a.b": {"$gt": 1}}, [{"a": 5}, {"a": {}}], None),
        ({"a": 1, "b": {"$lt": "x"}}, [{"a": 2, "b": 1}], None),
    ],
)
def test_ordering_meets_non_number(db, query, docs, operator):
    db.insert_many("c", docs)
    if operator is None:
        assert db.find("c", query) == []
        return
    message = "Malformed query, non-numeric value found for operator " + operator
    with pytest.raises(ValueError) as info:
        db.find("c", query)
    assert str(info.value) == message


def lines(*pairs):
    return "".join(f"Update operator found {op}\nFields: {fields}\n" for op, fields in pairs)


@pytest.mark.parametrize(
    "update, expected",
    [
        ({}, ""),
        (
            {"s": "x", "n": {"$inc": 1}},
            lines(("Increment", '["n"]'), ("Set", '["s"]')),
        ),
        ({"a.b": {"$delete": 1}}, lines(("Delete", '["a", "b"]'))),
        ({"a": {"b": {"$add": 1}}}, lines(("Add", '["a", "b"]'))),
        ({"a": {"$substract": 1}}, lines(("Substract", '["a"]'))),
        ({"a": {"$dec": [1]}}, lines(("Decrement", '["a"]'))),
        ({"$set": {"a": 1}}, lines(("Set", '["$set", "a"]'))),
        ({"a..b": {"$set": None}}, lines(("Set", '["a", "", "b"]'))),
        ({"": 1}, lines(("Set", '[""]'))),
        ({'q"\\\n\t': 1}, lines(("Set", '["q\\"\\\\\\n\\t"]'))),
    ],
)
def test_update_diagnostic_lines(db, capfd, monkeypatch, update, expected):
    db.insert("c", {"a": 1})
    capfd.readouterr()
    python_stdout = io.StringIO()
    monkeypatch.setattr(sys, "stdout", python_stdout)
    assert db.update("c", update) is None
    # Written straight to descriptor 1 before update returns, never through sys.stdout.
    assert capfd.readouterr().out == expected
    assert python_stdout.getvalue() == ""


def test_diagnostic_lines_on_parse_failures(db, capfd):
    db.insert("c", {"a": 1})
    capfd.readouterr()
    db.find("c", {"a": {"$gt": 0}})
    assert capfd.readouterr().out == ""
    # Entries before the bad one have written their lines.
    raises_panic(lambda: db.update("c", {"a": 1, "b": {"$gt": 1}}), UNKNOWN_UPDATE + "$gt")
    assert capfd.readouterr().out == lines(("Set", '["a"]'))
    # The update query is parsed before the filter.
    raises_panic(lambda: db.update("c", {"n": 1}, {"a": None}), NOT_VALID)
    assert capfd.readouterr().out == lines(("Set", '["n"]'))
    raises_panic(lambda: db.update("c", {"a": None}, {"b": {"$bad": 1}}), NOT_VALID)
    assert capfd.readouterr().out == ""
