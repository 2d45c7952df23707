"""The module and class surface, argument matching, borrows, error mapping and opening a database."""

import inspect
import os
import weakref

import pytest

import tovra
from tovra import Tovra

SIGNATURES = {
    "load_from_document": "($self, document_path)",
    "create_collection": "($self, collection_name)",
    "insert": "($self, collection_name, document)",
    "insert_many": "($self, collection_name, documents)",
    "insert_many_from_document": "($self, collection_name, document_name)",
    "find": "($self, collection_name, maybe_query=None)",
    "update": "($self, collection_name, update_query, maybe_query=None, return_result=False)",
    "collections": "($self)",
    "drop_collection": "($self, collection_name)",
    "drop_all": "($self)",
    "write": "($self, collection_name)",
    "write_all": "($self)",
    "clear_cache": "($self)",
}


def test_module_exposes_only_the_class():
    assert tovra.__all__ == ["Tovra"]
    assert [n for n in dir(tovra) if not n.startswith("__")] == ["Tovra"]
    assert isinstance(tovra.__doc__, str) and tovra.__doc__.strip()
    assert "\n" not in tovra.__doc__.strip()


def test_class_is_final_without_dict_or_weakrefs(db):
    assert Tovra.__mro__ == (Tovra, object)
    with pytest.raises(TypeError):
        type("Sub", (Tovra,), {})
    assert not hasattr(db, "__dict__")
    with pytest.raises(AttributeError):
        db.path = "x"
    with pytest.raises(TypeError):
        weakref.ref(db)
    assert Tovra.__text_signature__ == "(name)"
    assert Tovra.__doc__ is None
    assert list(inspect.signature(Tovra).parameters) == ["name"]


def test_methods_and_text_signatures():
    assert sorted(n for n in vars(Tovra) if not n.startswith("_")) == sorted(SIGNATURES)
    for name, signature in SIGNATURES.items():
        method = getattr(Tovra, name)
        assert method.__text_signature__ == signature, name
        assert method.__doc__ is None, name


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda db: db.find("c", None, 3), "Tovra.find() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda db: db.write("a", "b"), "Tovra.write() takes 1 positional arguments but 2 were given"),
        (lambda db: db.update("c", {}, None, False, 1), "Tovra.update() takes from 2 to 4 positional arguments but 5 were given"),
        (lambda db: db.insert("c"), "Tovra.insert() missing 1 required positional argument: 'document'"),
        (lambda db: db.insert(), "Tovra.insert() missing 2 required positional arguments: 'collection_name' and 'document'"),
        (lambda db: db.update(maybe_query={}), "Tovra.update() missing 2 required positional arguments: 'collection_name' and 'update_query'"),
        (lambda db: db.insert("c", {}, collection_name="c"), "Tovra.insert() got multiple values for argument 'collection_name'"),
        (lambda db: db.find("c", query={}), "Tovra.find() got an unexpected keyword argument 'query'"),
        (lambda db: Tovra(), "Tovra.__new__() missing 1 required positional argument: 'name'"),
        (lambda db: Tovra("a", "b"), "Tovra.__new__() takes 1 positional arguments but 2 were given"),
        (lambda db: Tovra(path="a"), "Tovra.__new__() got an unexpected keyword argument 'path'"),
        # Conversion runs in parameter order and names the first bad argument.
        (lambda db: db.insert(1, []), "argument 'collection_name': 'int' object cannot be converted to 'PyString'"),
        (lambda db: db.insert("c", []), "argument 'document': 'list' object cannot be converted to 'PyDict'"),
        (lambda db: db.insert_many("c", (1,)), "argument 'documents': 'tuple' object cannot be converted to 'PyList'"),
        (lambda db: db.find("c", [("a", 1)]), "argument 'maybe_query': 'list' object cannot be converted to 'PyDict'"),
        (lambda db: db.update("c", {}, return_result=None), "argument 'return_result': 'NoneType' object cannot be converted to 'PyBool'"),
        (lambda db: db.update("c", {}, return_result=1), "argument 'return_result': 'int' object cannot be converted to 'PyBool'"),
        (lambda db: db.load_from_document(b"x"), "argument 'document_path': 'bytes' object cannot be converted to 'PyString'"),
        (lambda db: Tovra(name=1), "argument 'name': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_argument_errors(db, db_path, call, message):
    with pytest.raises(TypeError) as e:
        call(db)
    assert str(e.value) == message
    assert os.listdir(db_path) == []


@pytest.mark.parametrize("method", ["collections", "drop_all", "write_all", "clear_cache"])
def test_methods_without_arguments_refuse_any(db, method):
    with pytest.raises(TypeError):
        getattr(db, method)(1)


def test_non_utf8_str_argument_raises_encoding_error_unchanged(db):
    with pytest.raises(UnicodeEncodeError):
        db.find("\ud800")
    with pytest.raises(UnicodeEncodeError):
        Tovra("\udcff")


def test_str_subclass_and_keyword_arguments_are_accepted(db):
    class Name(str):
        pass

    db.insert(collection_name=Name("c"), document={"a": 1})
    assert db.find(maybe_query=None, collection_name="c") == [{"a": 1}]


@pytest.mark.parametrize(
    "callback, message",
    [
        (lambda db: db.find("c"), "Already borrowed"),
        (lambda db: db.insert("c", {}), "Already borrowed"),
        (lambda db: db.clear_cache(), "Already borrowed"),
        (lambda db: db.drop_all(), "Already borrowed"),
        (lambda db: db.collections(), "Already mutably borrowed"),
        (lambda db: db.write("c"), "Already mutably borrowed"),
        (lambda db: db.write_all(), "Already mutably borrowed"),
    ],
)
@pytest.mark.parametrize("outer", ["insert", "find"])
def test_reentrant_call_from_conversion_is_refused(db, db_path, callback, message, outer):
    class CallsBack(dict):
        def keys(self):
            callback(db)
            return super().keys()

    db.create_collection("c")
    with pytest.raises(RuntimeError) as e:
        if outer == "insert":
            db.insert("c", CallsBack(a=1))
        else:
            db.find("c", CallsBack(a=1))
    assert str(e.value) == message
    # The borrow was released and nothing was stored or dropped.
    assert db.find("c") == []
    assert db.collections() == ["c"]


def test_reentrant_refusal_caught_by_callback_lets_outer_call_finish(db):
    seen = []

    class CallsBack(dict):
        def keys(self):
            try:
                db.find("c")
            except RuntimeError as e:
                seen.append(str(e))
            return super().keys()

    db.insert("c", CallsBack(a=1))
    assert seen == ["Already borrowed"]
    assert db.find("c") == [{"a": 1}]


def test_os_errors_map_by_kind_with_errno(db, db_path):
    os.rmdir(db_path)
    with pytest.raises(FileNotFoundError) as e:
        db.create_collection("c")
    assert str(e.value) == f"{os.strerror(2)} (os error 2)"
    assert e.value.errno == 2 and e.value.strerror is None and e.value.filename is None
    # The object stays usable after a failure.
    with pytest.raises(FileNotFoundError):
        db.collections()


# Opening a database


def test_open_creates_missing_directory_only_one_level(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    db = Tovra(name="rel")
    assert os.listdir("rel") == [] and db.collections() == []
    Tovra("missing/deeper")
    assert not os.path.exists("missing")
    # A relative path is resolved against the working directory at each operation.
    os.mkdir("elsewhere")
    monkeypatch.chdir("elsewhere")
    with pytest.raises(FileNotFoundError):
        db.create_collection("c")


def test_open_on_regular_file_fails_with_plain_oserror(tmp_path):
    (tmp_path / "f").write_text("")
    with pytest.raises(OSError) as e:
        Tovra(str(tmp_path / "f"))
    assert type(e.value) is OSError
    assert str(e.value) == f"{os.strerror(20)} (os error 20)"


def test_open_loads_only_collection_files(open_with, db_path):
    db = open_with(
        {
            "users.json": '[{"n": 1}]',
            "a.b.json": '[{"n": 2}, 3]',
            "notes.txt": "not json",
            ".json": "not json",
            "USERS.JSON": "not json",
            "users.tmp": "not json",
            b"bad\xff.json": "not json",
        }
    )
    for name in ("users.json", "a.b.json"):
        os.remove(db_path / name)  # what follows comes from memory
    assert db.find("users") == [{"n": 1}]
    assert db.find("a.b") == [{"n": 2}, 3]
    for missing in ("USERS", "notes", "a"):
        with pytest.raises(ValueError, match="not found on disk"):
            db.find(missing)


@pytest.mark.parametrize(
    "content, documents",
    [
        ('{ "c":[] }', []),
        ('{"c": [{"a": 1}], "other": 5}', [{"a": 1}]),
        ("[]", []),
    ],
)
def test_open_accepts_both_file_forms_without_rewriting(open_with, db_path, content, documents):
    db = open_with({"c.json": content})
    assert (db_path / "c.json").read_text() == content
    os.remove(db_path / "c.json")
    assert db.find("c") == documents


@pytest.mark.parametrize("content", ['{"other": []}', '{"shape": {}}', "5", '"shape"', "null"])
def test_open_refuses_other_shapes_naming_the_collection(open_with, content):
    with pytest.raises(ValueError, match="shape"):
        open_with({"shape.json": content})


@pytest.mark.parametrize("files", [{"x.json": None}, {"ok.json": "[]", "bad.json": "[1,"}])
def test_open_fails_on_unreadable_collection_file(open_with, files):
    with pytest.raises(ValueError) as e:
        open_with(files)
    assert str(e.value) == "Error deserializing JSON"


def test_open_reports_unopenable_file_as_plain_oserror(db_path):
    db_path.mkdir()
    os.symlink("nowhere", db_path / "c.json")
    with pytest.raises(OSError) as e:
        Tovra(str(db_path))
    assert type(e.value) is OSError
    assert str(e.value) == f"Error opening document {os.strerror(2)} (os error 2)"


# Reading rules, checked through files loaded at open


def nested_text(levels, kind):
    if kind == "array":
        return "[" * levels + "]" * levels
    return "[" + '{"a":' * (levels - 1) + "1" + "}" * (levels - 1) + "]"


def depth(value):
    if isinstance(value, (list, dict)):
        children = value.values() if isinstance(value, dict) else value
        return 1 + max(map(depth, children), default=0)
    return 0


@pytest.mark.parametrize("kind", ["array", "object"])
def test_reading_nesting_limit(open_with, kind):
    # The file's top-level array is level 1, so the document itself is 126 levels deep.
    assert depth(open_with({"c.json": nested_text(127, kind)}).find("c")[0]) == 126
    with pytest.raises(ValueError) as info:
        open_with({"c.json": nested_text(128, kind)})
    assert str(info.value) == "Error deserializing JSON"


@pytest.mark.parametrize(
    "content, documents",
    [
        (' \t\r\n[1]\n\r\t ', [1]),
        ('[{"a": 1, "a": 2}]', [{"a": 2}]),
        ('[{"b": 1, "a": {"d": 1, "c": 2}}]', [{"a": {"c": 2, "d": 1}, "b": 1}]),
        ('["\\ud83d\\ude00", "a\\u0000b", "\\/\\"\\\\"]', ["\U0001F600", "a\x00b", '/"\\']),
        ('["\u00e9\u4e2d"]', ["\u00e9\u4e2d"]),
        ("[10, 10.0, -5, 0, -0, 1e2, 1E-400, 0.5]", [10, 10.0, -5, 0, 0, 100.0, 0.0, 0.5]),
        ("[18446744073709551615, 18446744073709551616]", [2**64 - 1, 2.0**64]),
        ("[-9223372036854775808, -9223372036854775809]", [-(2**63), -(2.0**63)]),
        ("[123456789012345678901234567890, 1.7976931348623157e308]", [1.2345678901234568e29, 1.7976931348623157e308]),
    ],
)
def test_reading_accepts(open_with, content, documents):
    got = open_with({"c.json": content}).find("c")
    assert got == documents
    assert [type(d) for d in got] == [type(d) for d in documents]
    if isinstance(documents[0], dict):
        assert list(got[0]) == sorted(got[0])


@pytest.mark.parametrize(
    "content",
    [b"", b"\xef\xbb\xbf[]", b"\x0c[]", b"[] x", b"[][]", b"[1] // c", b"[1,]", b"[01]", b"[NaN]"]
    + [b"[2e308]", b"[1e309]", b'["\\ud800"]', b'["\\udc00"]', b'["\xff"]', b'["\xed\xa0\x80"]']
    + [b'["a\nb"]', b'{"a" 1}'],
)
def test_reading_refuses(open_with, content):
    with pytest.raises(ValueError) as e:
        open_with({"c.json": content})
    assert str(e.value) == "Error deserializing JSON"
