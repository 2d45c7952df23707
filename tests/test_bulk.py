"""Bulk loading from external JSON documents."""

import os

import pytest


@pytest.fixture
def document(tmp_path):
    def make(text, name="doc.json"):
        path = tmp_path / name
        path.write_bytes(text.encode() if isinstance(text, str) else text)
        return str(path)

    return make


def test_load_from_document_fills_collections(db, db_path, document):
    db.insert("a", {"old": 1})
    db.write("a")
    before = (db_path / "a.json").read_bytes()
    text = '{"b": [{"x": 1}, 2], "a": {"y": 2}, "e": [], "n": 5, "s": [[1]]}'
    db.load_from_document(document(text))
    assert db.find("a") == [{"old": 1}, {"y": 2}]
    assert db.find("b") == [{"x": 1}, 2]
    assert db.find("e") == []
    assert db.find("n") == [5]
    assert db.find("s") == [[1]]
    # Existing files are untouched; new collections get their initial file.
    assert (db_path / "a.json").read_bytes() == before
    assert (db_path / "e.json").read_bytes() == b'{ "e":[] }'
    db.write_all()
    assert (db_path / "b.json").read_bytes() == b'[{"x":1},2]'


@pytest.mark.parametrize(
    "text, message",
    [
        ("[1, 2]", "Document is not an object"),
        ('"a"', "Document is not an object"),
        ("null", "Document is not an object"),
        ('{"a": [1], "b/c": [2], "z": [3]}', "Invalid collection name: 'b/c'"),
        ('{"x/y": 1, "..": 1, "a": 1}', "Invalid collection name: '..'"),
        ('{"a": 1, ".": 1}', "Invalid collection name: '.'"),
        ('{"": 1, "a": 1}', "Invalid collection name: ''"),
        ('{"a\\u0000b": 1, "b": 1}', "Invalid collection name: 'a\x00b'"),
        ("{", "Error deserializing JSON"),
        ("", "Error deserializing JSON"),
    ],
)
def test_load_from_document_refuses_before_inserting(db, db_path, document, text, message):
    with pytest.raises(ValueError) as info:
        db.load_from_document(document(text))
    assert str(info.value) == message
    assert os.listdir(db_path) == []


def test_load_from_document_loads_collection_from_its_file(db, db_path, document):
    (db_path / "late.json").write_text('[{"old": 1}]')
    (db_path / "broken.json").write_text("[")
    db.load_from_document(document('{"late": [{"new": 1}]}'))
    assert db.find("late") == [{"old": 1}, {"new": 1}]
    assert (db_path / "late.json").read_text() == '[{"old": 1}]'
    # A failing load of an existing file raises its error; earlier members stay inserted.
    with pytest.raises(ValueError) as info:
        db.load_from_document(document('{"a": 1, "broken": [2], "z": 3}'))
    assert str(info.value) == "Error deserializing JSON"
    assert db.find("a") == [1]
    assert "z" not in db.collections()


def test_insert_many_from_document(db, db_path, document):
    db.insert("c", {"first": True})
    assert db.insert_many_from_document("c", document('[1, [2, 3], {"a": 1}]')) is None
    assert db.find("c") == [{"first": True}, 1, [2, 3], {"a": 1}]
    db.insert_many_from_document("new", document("[]"))
    assert db.find("new") == []
    assert (db_path / "new.json").read_bytes() == b'{ "new":[] }'


@pytest.mark.parametrize("text", ['{"a": 1}', "5", '"x"', "null", "true"])
def test_insert_many_from_document_needs_an_array(db, db_path, document, text):
    with pytest.raises(ValueError) as info:
        db.insert_many_from_document("c", document(text))
    assert str(info.value) == "Document is not an array"
    assert os.listdir(db_path) == []
    assert db.collections() == []


@pytest.mark.parametrize(
    "call, rel_text",
    [
        (lambda db, path: db.load_from_document(path), '{"c": [1]}'),
        (lambda db, path: db.insert_many_from_document("c", path), "[1]"),
    ],
    ids=["load_from_document", "insert_many_from_document"],
)
def test_read_errors_and_relative_paths(db, db_path, tmp_path, monkeypatch, call, rel_text):
    with pytest.raises(OSError) as info:
        call(db, str(tmp_path / "missing.json"))
    assert type(info.value) is OSError and info.value.errno == 2
    assert str(info.value) == f"Error opening document {os.strerror(2)} (os error 2)"
    with pytest.raises(ValueError) as info:
        call(db, str(tmp_path))
    assert str(info.value) == "Error deserializing JSON"
    # Relative paths resolve against the working directory, not the database directory.
    (db_path / "rel.json").write_text(rel_text)
    monkeypatch.chdir(tmp_path)
    with pytest.raises(OSError):
        call(db, "rel.json")
    monkeypatch.chdir(db_path)
    call(db, "rel.json")
    assert db.find("c") == [1]


def test_bulk_loads_leave_cached_results(db, document):
    db.insert("c", {"a": 1})
    db.find("c", {"a": 1})
    db.insert_many_from_document("c", document('[{"a": 1}]'))
    db.load_from_document(document('{"c": {"a": 1}}'))
    assert db.find("c", {"a": 1}) == [{"a": 1}]
    db.clear_cache()
    assert db.find("c", {"a": 1}) == [{"a": 1}] * 3

