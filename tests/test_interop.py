"""A written collection file is a plain JSON array that DuckDB reads as a table, row for row."""

import pytest

from tovra import Tovra

duckdb = pytest.importorskip("duckdb")

PEOPLE = [
    {"name": "Ada", "age": 36, "score": 9.5, "active": True, "nick": None,
     "tags": ["math", "poetry"], "address": {"city": "London", "zip": "NW1"},
     "id": 2**64 - 1, "offset": -2**63},
    {"name": 'Zoë "Z" \U0001F600\n\\', "age": 45, "score": 7.0, "active": False, "nick": "G",
     "tags": [], "address": {"city": "Arlington", "zip": None}, "id": 0, "offset": 5},
    {"name": "Linus", "age": 28, "score": -0.25, "active": True, "nick": "L",
     "tags": ["kernel"], "address": {"city": "London", "zip": "E1"}, "id": 7, "offset": 0},
]


def duckdb_rows(sql, path):
    result = duckdb.connect().execute(sql, [str(path)])
    columns = [column[0] for column in result.description]
    return [dict(zip(columns, row)) for row in result.fetchall()]


def test_duckdb_reads_a_written_collection_as_find_returns_it(db_path):
    db = Tovra(str(db_path))
    db.insert_many("people", PEOPLE)
    db.update("people", {"age": {"$inc": 1}}, {"address.city": "London"})  # ages become floats
    db.write_all()
    path = db_path / "people.json"

    assert duckdb_rows("SELECT * FROM read_json(?)", path) == db.find("people")
    londoners = duckdb_rows("SELECT * FROM read_json(?) WHERE address.city = 'London'", path)
    assert londoners == db.find("people", {"address.city": "London"})
    assert [row["age"] for row in londoners] == [37.0, 29.0]
