"""Creating, listing and dropping collections; inserting documents; reading them back unfiltered."""

import json
import os
import shutil
import subprocess

import pytest

from tovra import Tovra


@pytest.mark.parametrize(
    "name, file_name, text",
    [
        ("users", "users.json", b'{ "users":[] }'),
        ('say "hi"', 'say "hi".json', b'{ "say \\"hi\\"":[] }'),
        ("back\\slash", "back\\slash.json", b'{ "back\\\\slash":[] }'),
        ("\b\t\n\x0c\r\x01\x1f", "\b\t\n\x0c\r\x01\x1f.json", b'{ "\\b\\t\\n\\f\\r\\u0001\\u001f":[] }'),
        ("\x7f\u00e9\U0001F600 ~", "\x7f\u00e9\U0001F600 ~.json", '{ "\x7f\u00e9\U0001F600 ~":[] }'.encode()),
        ("a.b", "a.b.json", b'{ "a.b":[] }'),
        ("notes.json", "notes.json.json", b'{ "notes.json":[] }'),
        ("log.", "log..json", b'{ "log.":[] }'),
        (".hidden", ".hidden.json", b'{ ".hidden":[] }'),
    ],
)
def test_create_collection_writes_initial_text(db, db_path, name, file_name, text):
    assert db.create_collection(name) is None
    assert os.listdir(db_path) == [file_name]
    assert (db_path / file_name).read_bytes() == text
    assert json.loads(text) == {name: []}
    assert db.find(name) == []
    assert db.collections() == [name]
    # Every name reopens under itself.
    assert Tovra(str(db_path)).find(name) == []


def test_create_collection_keeps_an_existing_file(db, db_path):
    db.insert("c", {"a": 1})
    db.create_collection("c")
    assert db.find("c") == [{"a": 1}]
    # A file put there from outside is neither rewritten nor loaded by create_collection,
    # but a later find loads it.
    (db_path / "d.json").write_text('[{"d": 1}]')
    db.create_collection("d")
    assert (db_path / "d.json").read_text() == '[{"d": 1}]'
    assert db.find("d") == [{"d": 1}]


def test_create_collection_keeps_documents_whose_file_vanished(db, db_path):
    db.insert("c", {"a": 1})
    os.remove(db_path / "c.json")
    db.create_collection("c")
    assert (db_path / "c.json").read_text() == '{ "c":[] }'
    assert db.find("c") == [{"a": 1}]


def test_collections_lists_collection_files_in_directory_order(db, db_path):
    assert db.collections() == []
    names = ["users.json", "users.tmp", "notes.txt", ".json", "USERS.JSON", "a.b.json", "x.json",
             "plain", "..json", "...json"]
    for name in names:
        (db_path / name).write_text("")
    os.mkdir(db_path / "dir.json")
    with open(os.path.join(os.fsencode(db_path), b"bad\xff.json"), "w"):
        pass
    takes = {"users.json": "users", "a.b.json": "a.b", "x.json": "x", "dir.json": "dir"}
    expected = [takes[n] for n in os.listdir(db_path) if n in takes]
    assert db.collections() == expected


def test_drop_collection_removes_file_and_memory(db, db_path):
    db.insert("a.b", {"x": 1})
    db.insert("a", {"x": 2})
    assert db.drop_collection("a.b") is None
    assert os.listdir(db_path) == ["a.json"]
    with pytest.raises(ValueError, match="^Collection with name 'a.b' not found on disk$"):
        db.find("a.b")
    assert db.find("a") == [{"x": 2}]
    assert db.drop_collection("ghost") is None


def test_drop_collection_failure_is_raised_and_keeps_collection(db, db_path):
    db.insert("x", {"a": 1})
    os.remove(db_path / "x.json")
    os.mkdir(db_path / "x.json")
    with pytest.raises(OSError) as e:
        db.drop_collection("x")
    assert type(e.value) is OSError and str(e.value).endswith(" (os error 21)")
    assert db.find("x") == [{"a": 1}]


@pytest.fixture
def undeletable():
    """Make a file impossible to remove: a read-only directory, or for root an immutable file."""
    undo = []

    def make(path):
        if os.geteuid() != 0:
            os.chmod(path.parent, 0o500)
            undo.append(lambda: os.chmod(path.parent, 0o700))
        elif shutil.which("chattr") is None:
            pytest.skip("chattr is missing: root has no way to make a file undeletable")
        elif subprocess.run(["chattr", "+i", str(path)], capture_output=True).returncode == 0:
            undo.append(lambda: subprocess.run(["chattr", "-i", str(path)]))
        else:
            pytest.skip("no way to make a file undeletable here")

    yield make
    for step in undo:
        step()


def test_drop_collection_permission_error(db, db_path, undeletable):
    db.insert("x", {"a": 1})
    undeletable(db_path / "x.json")
    with pytest.raises(PermissionError) as e:
        db.drop_collection("x")
    assert e.value.errno == int(str(e.value).rsplit(" ", 1)[1][:-1])
    assert db.find("x") == [{"a": 1}]


def test_drop_all_removes_collections_and_empty_directory(db, db_path):
    for name in ("a", "a.b", "c"):
        db.insert(name, {"n": name})
    assert db.drop_all() is None
    assert not db_path.exists()
    for name in ("a", "a.b", "c"):
        with pytest.raises(ValueError, match="not found on disk"):
            db.find(name)
    with pytest.raises(FileNotFoundError):
        db.insert("a", {})
    with pytest.raises(FileNotFoundError):
        db.drop_all()


def test_drop_all_keeps_other_files_and_unlisted_collections(db, db_path):
    db.insert("c", {"n": 1})
    db.insert("memory_only", {"n": 2})
    os.remove(db_path / "memory_only.json")
    (db_path / "notes.txt").write_text("keep")
    open(os.path.join(os.fsencode(db_path), b"bad\xff.json"), "w").close()
    db.drop_all()
    assert sorted(os.listdir(db_path)) == ["bad\udcff.json", "notes.txt"]
    with pytest.raises(ValueError):
        db.find("c")
    assert db.find("memory_only") == [{"n": 2}]


def test_drop_all_tries_every_collection_then_raises(db, db_path):
    db.insert("a", {})
    db.insert("z", {})
    os.mkdir(db_path / "x.json")
    with pytest.raises(OSError) as e:
        db.drop_all()
    assert str(e.value).endswith(" (os error 21)")
    assert os.listdir(db_path) == ["x.json"]


INVALID_NAMES = ["", ".", "..", "a/b", "/abs", "../up", "a\x00b"]
NAME_CALLS = {
    "create_collection": lambda db, n: db.create_collection(n),
    "insert": lambda db, n: db.insert(n, {1: 2}),
    "insert_many": lambda db, n: db.insert_many(n, [{1: 2}]),
    "insert_many_from_document": lambda db, n: db.insert_many_from_document(n, "missing.json"),
    "find": lambda db, n: db.find(n),
    "find_query": lambda db, n: db.find(n, {1: 2}),
    "update": lambda db, n: db.update(n, {1: 2}),
    "drop_collection": lambda db, n: db.drop_collection(n),
    "write": lambda db, n: db.write(n),
}


@pytest.mark.parametrize("call", NAME_CALLS.values(), ids=NAME_CALLS.keys())
@pytest.mark.parametrize("name", INVALID_NAMES)
def test_invalid_collection_names_are_refused(db, tmp_path, name, call):
    with pytest.raises(ValueError) as e:
        call(db, name)
    assert str(e.value) == f"Invalid collection name: '{name}'"
    assert os.listdir(tmp_path) == ["db"] and db.collections() == []


def test_insert_creates_collection_and_leaves_file_alone(db, db_path):
    db.insert("c", {"b": 1, "a": 2})
    db.insert("c", {"b": 1, "a": 2})
    assert (db_path / "c.json").read_text() == '{ "c":[] }'
    got = db.find("c")
    assert got == [{"a": 2, "b": 1}] * 2 and list(got[0]) == ["a", "b"]


def test_insert_many_appends_every_kind_in_order(db, db_path):
    db.insert_many("c", [])
    assert os.listdir(db_path) == ["c.json"] and db.find("c") == []

    class Docs(list):
        pass

    docs = [{"a": 1}, 1, "s", None, [1, 2], 2.5, True]
    db.insert_many("c", Docs(docs))
    db.insert("c", {"z": 0})
    assert db.find("c") == docs + [{"z": 0}]
    assert db.find("c", None) == db.find(collection_name="c", maybe_query=None)


@pytest.mark.parametrize("indexed", [False, True])
def test_large_insert_many_into_an_empty_collection(db, indexed):
    # Enough documents that the collection keeps the converted ones as they are; an index
    # built while the collection was empty must still cover them.
    db.create_collection("c")
    if indexed:
        assert db.find("c", {"id": 7}) == [] and db.find("c", {"id": 8}) == []
    docs = [{"id": i, "name": f"user{i}" * 4, "tags": ["a", i]} for i in range(3000)]
    db.insert_many("c", docs)
    db.insert_many("c", docs[:10])
    db.insert("c", {"id": 5})
    assert db.find("c", {"id": 5}) == [docs[5], docs[5], {"id": 5}]
    assert db.find("c") == docs + docs[:10] + [{"id": 5}]


def test_failed_insert_leaves_existing_collection_unchanged(db):
    db.insert("c", {"n": 0})
    with pytest.raises(TypeError):
        db.insert_many("c", [{"n": 1}, {"n": 2}, {"n": {3: 3}}])
    with pytest.raises(TypeError):
        db.insert("c", {"n": [1, {"k": object()}]})
    assert db.find("c") == [{"n": 0}]


@pytest.mark.parametrize(
    "content, loaded",
    [
        ('[{"a": 1}, 2]', [{"a": 1}, 2]),
        ('{"c": [{"a": 1}], "other": 5}', [{"a": 1}]),
        ('{ "c":[] }', []),
    ],
)
@pytest.mark.parametrize("method", ["insert", "find"])
def test_collection_file_added_after_open_is_loaded_on_demand(db, db_path, content, loaded, method):
    (db_path / "c.json").write_text(content)
    if method == "insert":
        db.insert("c", {"new": 1})
        loaded = loaded + [{"new": 1}]
    assert db.find("c") == loaded
    # Loaded once: memory no longer follows the file, and the file is not rewritten.
    assert (db_path / "c.json").read_text() == content
    (db_path / "c.json").write_text("[]")
    assert db.find("c") == loaded


def test_find_of_a_collection_without_file(db, db_path):
    os.symlink("nowhere", db_path / "link.json")  # the existence test follows links
    for name in ("ghost", "link"):
        with pytest.raises(ValueError) as e:
            db.find(name)
        assert str(e.value) == f"Collection with name '{name}' not found on disk"


@pytest.mark.parametrize(
    "content",
    [None, "", "[1,", '{"other": []}', '{"coll": 1}', "3", '"coll"'],
)
@pytest.mark.parametrize("method", ["insert", "insert_many", "find"])
def test_failed_load_on_demand_stores_nothing(db, db_path, content, method):
    path = db_path / "coll.json"
    os.mkdir(path) if content is None else path.write_text(content)
    with pytest.raises(ValueError) as e:
        if method == "find":
            db.find("coll")
        else:
            getattr(db, method)("coll", {"a": 1} if method == "insert" else [{"a": 1}])
    if content in (None, "", "[1,"):
        assert str(e.value) == "Error deserializing JSON"
    else:
        assert "coll" in str(e.value)
    if content is not None:
        assert path.read_text() == content
        path.write_text("[]")
        assert db.find("coll") == []


def test_entries_naming_the_directory_are_not_collections(open_with):
    db = open_with({"..json": "[1]", "...json": "[2]", "ok.json": "[3]"})
    assert db.collections() == ["ok"]
    assert db.find("ok") == [3]


def test_failed_inserts_into_a_loaded_collection_leave_it_intact(db, db_path):
    # A document converts straight into the collection's memory; a conversion that fails
    # half-way gives that memory back and leaves every document as it was.
    docs = [{"i": i, "s": "x" * 40, "n": {"t": ["y" * 30]}} for i in range(100)]
    db.insert_many("c", docs)
    for _ in range(300):
        with pytest.raises(TypeError):
            db.insert("c", {"a": "y" * 5000, "b": [1, {"deep": "z" * 100}, object()]})
    db.insert("c", {"i": 100, "s": "w" * 40})
    expected = docs + [{"i": 100, "s": "w" * 40}]
    assert db.find("c") == expected
    db.write("c")
    assert Tovra(str(db_path)).find("c") == expected
