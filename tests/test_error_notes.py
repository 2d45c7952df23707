"""Errors say where and why through exception notes and errno, while their type and text stay
exactly as they are: an OS error carries its number as errno (and nothing else that would change
str()), a file that cannot be read or parsed is named in a note with the place and the reason."""

import os
import shutil
import socket

import pytest

from tovra import Tovra


def notes_of(error):
    return getattr(error, "__notes__", [])


def only_note(error):
    notes = notes_of(error)
    assert len(notes) == 1, notes
    return notes[0]


# OS errors: errno is the number in the message, str() and the class stay as they were.

def missing(tmp_path):
    return str(tmp_path / "missing.json")


@pytest.mark.parametrize(
    "call, error_class, code, message, named",
    [
        (
            lambda db, tmp: db.load_from_document(missing(tmp)),
            OSError, 2, f"Error opening document {os.strerror(2)} (os error 2)", "missing.json",
        ),
        (
            lambda db, tmp: db.insert_many_from_document("c", missing(tmp)),
            OSError, 2, f"Error opening document {os.strerror(2)} (os error 2)", "missing.json",
        ),
        (
            lambda db, tmp: (shutil.rmtree(tmp / "db"), db.create_collection("c")),
            FileNotFoundError, 2, f"{os.strerror(2)} (os error 2)", "db",
        ),
        (
            lambda db, tmp: (shutil.rmtree(tmp / "db"), db.collections()),
            FileNotFoundError, 2, f"{os.strerror(2)} (os error 2)", "db",
        ),
        (
            lambda db, tmp: ((tmp / "db" / "x.json").mkdir(), db.drop_collection("x")),
            OSError, 21, f"{os.strerror(21)} (os error 21)",
            "x.json",
        ),
    ],
    ids=["load_from_document", "insert_many_from_document", "create_collection", "collections",
         "drop_collection"],
)
def test_os_error_carries_errno_alone_and_names_the_path(db, tmp_path, call, error_class, code,
                                                        message, named):
    with pytest.raises(OSError) as info:
        call(db, tmp_path)
    error = info.value
    assert type(error) is error_class
    assert str(error) == message
    assert error.errno == code
    assert error.strerror is None and error.filename is None and error.args == (message,)
    note = only_note(error)
    assert str(tmp_path) in note and named in note


def test_opening_a_file_as_database_names_the_directory(tmp_path):
    path = tmp_path / "plain"
    path.write_text("x")
    with pytest.raises(OSError) as info:
        Tovra(str(path))
    assert str(info.value) == f"{os.strerror(20)} (os error 20)"
    assert type(info.value) is OSError
    assert info.value.errno == 20
    assert only_note(info.value) == f"{path}: the database directory could not be listed"


def test_system_words_keep_errno_unset_and_name_the_directory(db, db_path):
    db.insert("c", {"a": 1})
    shutil.rmtree(db_path)
    for call in (lambda: db.write("c"), db.write_all):
        with pytest.raises(OSError) as info:
            call()
        assert type(info.value) is OSError and info.value.errno is None
        assert str(info.value).startswith("Problem creating temporary file: Os { code: 2,")
        note = only_note(info.value)
        assert note.startswith(f"{db_path}: ") and note.endswith(str(db_path / "c.json"))


def test_rename_failure_names_both_files(db, db_path):
    db.insert("c", {"a": 1})
    os.remove(db_path / "c.json")
    os.mkdir(db_path / "c.json")
    with pytest.raises(OSError) as info:
        db.write("c")
    assert str(info.value).startswith("Error renaming file: Os { code: 21,")
    assert info.value.errno is None
    note = only_note(info.value)
    assert note.startswith(str(db_path)) and note.endswith(f"renamed to {db_path / 'c.json'}")
    assert ".tmp" in note


# Files that are not text: the note says what they are.

@pytest.fixture
def special_file(db_path):
    db_path.mkdir()
    made = []

    def make(kind):
        path = db_path / "c.json"
        if kind == "fifo":
            os.mkfifo(path)
        elif kind == "socket":
            sock = socket.socket(socket.AF_UNIX)
            sock.bind(str(path))
            made.append(sock)
        else:
            os.symlink("/dev/null", path)
        return path

    yield make
    for sock in made:
        sock.close()


@pytest.mark.parametrize(
    "kind, words",
    [("fifo", "a FIFO (named pipe)"), ("socket", "a socket"), ("device", "a character device")],
)
def test_collection_file_of_another_kind(special_file, db_path, kind, words):
    path = special_file(kind)
    with pytest.raises(ValueError) as info:
        Tovra(str(db_path))
    assert type(info.value) is ValueError and str(info.value) == "Error deserializing JSON"
    assert only_note(info.value).startswith(f"{path}: {words}, not a regular file")


@pytest.mark.parametrize("method", ["load_from_document", "insert_many_from_document"])
def test_directory_as_document(db, tmp_path, method):
    call = getattr(db, method)
    with pytest.raises(ValueError) as info:
        call(str(tmp_path)) if method == "load_from_document" else call("c", str(tmp_path))
    assert str(info.value) == "Error deserializing JSON"
    assert only_note(info.value) == f"{tmp_path}: a directory, not a file"


def test_notes_do_not_accumulate_across_calls(db, tmp_path):
    for _ in range(2):
        with pytest.raises(OSError) as info:
            db.load_from_document(missing(tmp_path))
        assert len(notes_of(info.value)) == 1


# Texts the reader refuses: where (line, column in characters, byte offset) and why.

BROKEN = [
    # text, line, column, offset, reason
    (b"", 1, 1, 0, "the text is empty or only whitespace"),
    (b"[1,\n 2,\n]", 3, 1, 8, "trailing comma in an array"),
    (b'{"a": 1,\n}', 2, 1, 9, "trailing comma in an object"),
    (b"[1, NaN]", 1, 5, 4, "NaN is not JSON"),
    (b"[-Infinity]", 1, 3, 2, "-Infinity is not JSON"),
    (b"\xef\xbb\xbf[]", 1, 1, 0, "a byte order mark is not allowed"),
    (b"[" * 128 + b"]" * 128, 1, 128, 127, "nesting deeper than 127 levels"),
    (b'[\n"\xc3\xa9t\xc3\xa9", "caf\xc3"]', 2, 12, 15, "invalid UTF-8 byte 0xC3 at byte offset 15"),
    (b"[1e400]", 1, 2, 1, "number out of range"),
    (b"[] []", 1, 4, 3, "text after the top-level value"),
    (b'["\\ud83d"]', 1, 3, 2, "lone surrogate \\uD83D"),
    (b'["x\\udc00"]', 1, 4, 3, "lone surrogate \\uDC00"),
    (b'["\xe6\x9d\xb1", x]', 1, 7, 8, "a value was expected, found 'x'"),
    (b'["a\nb"]', 1, 4, 3, "unescaped control character 0x0A in a string"),
    (b'{"a" 1}', 1, 6, 5, "a colon was expected after a key"),
    (b"[1 2]", 1, 4, 3, "a comma or ']' was expected"),
    (b'["abc', 1, 6, 5, "the text ends inside a string"),
]


@pytest.mark.parametrize("text, line, column, offset, reason", BROKEN,
                         ids=[reason.split(":")[0][:30] for *_, reason in BROKEN])
def test_broken_text_note_gives_place_and_reason(db, tmp_path, text, line, column, offset,
                                                 reason):
    path = tmp_path / "broken.json"
    path.write_bytes(text)
    with pytest.raises(ValueError) as info:
        db.insert_many_from_document("c", str(path))
    assert type(info.value) is ValueError and str(info.value) == "Error deserializing JSON"
    note = only_note(info.value)
    assert note.startswith(f"{path}, line {line}, column {column} (byte offset {offset}): ")
    assert reason in note


def test_place_beyond_the_first_buffer(db, tmp_path):
    # 300,000 bytes of documents first: the fault lies in the second buffer of the reader.
    good = b'{"k": "' + b"x" * 90 + b'"},\n'
    text = b"[" + good * 3000 + b'{"k": 1,}]'
    path = tmp_path / "long.json"
    path.write_bytes(text)
    with pytest.raises(ValueError) as info:
        db.insert_many_from_document("c", str(path))
    offset = len(text) - 2
    assert only_note(info.value) == (
        f"{path}, line 3001, column 9 (byte offset {offset}): trailing comma in an object")


def test_every_reading_path_names_its_file(open_with, db_path, tmp_path):
    broken = b"[1,]"
    reason = "line 1, column 4 (byte offset 3): trailing comma in an array"
    with pytest.raises(ValueError) as info:
        open_with({"c.json": broken})
    assert only_note(info.value) == f"{db_path / 'c.json'}, {reason}"
    (db_path / "c.json").unlink()
    db = Tovra(str(db_path))
    (db_path / "late.json").write_bytes(broken)
    with pytest.raises(ValueError) as info:
        db.find("late")
    assert only_note(info.value) == f"{db_path / 'late.json'}, {reason}"
    document = tmp_path / "doc.json"
    document.write_bytes(b'{"c": [1,]}')
    with pytest.raises(ValueError) as info:
        db.load_from_document(str(document))
    assert only_note(info.value) == (
        f"{document}, line 1, column 10 (byte offset 9): trailing comma in an array")


def test_pipe_gives_the_offset_without_a_line(db, tmp_path):
    fifo = tmp_path / "pipe.json"
    os.mkfifo(fifo)
    pid = os.fork()
    if pid == 0:
        try:
            with open(fifo, "wb") as writer:
                writer.write(b"[1,\n]")
        finally:
            os._exit(0)
    try:
        with pytest.raises(ValueError) as info:
            db.insert_many_from_document("c", str(fifo))
    finally:
        os.waitpid(pid, 0)
    assert only_note(info.value) == (
        f"{fifo}, byte offset 4 (its line is unknown: a FIFO (named pipe) cannot be read again): "
        "trailing comma in an array")


# Values that cannot be converted: the note gives their place in the argument.

class Unstorable:
    pass


class Listish:
    """A Sequence that is no list: converted through its own methods."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


import collections.abc  # noqa: E402

collections.abc.Sequence.register(Listish)


@pytest.mark.parametrize(
    "call, error_class, message, place",
    [
        (
            lambda db: db.insert_many("c", [{"a": 1}, {"a": 2}, {"a": 3},
                                            {"a": 4, "created": Unstorable()}]),
            TypeError, "unsupported type Unstorable", "at documents[3]['created']",
        ),
        (
            # Many documents of one key order take the converter's layout path.
            lambda db: db.insert_many("c", [{"a": 1, "b": [1]}] * 20 + [{"a": 1, "b": [1, b"x"]}]),
            Exception, "invalid type: byte array, expected any valid JSON value",
            "at documents[20]['b'][1]",
        ),
        (
            lambda db: db.insert("c", {"t": (1, {"deep": bytearray(b"x")})}),
            TypeError, "unexpected type: 'bytearray' object cannot be converted to 'PyBytes'",
            "at document['t'][1]['deep']",
        ),
        (
            lambda db: db.insert("c", {"k": {1: "one"}}),
            TypeError, "unexpected type: 'int' object cannot be converted to 'PyString'",
            "at document['k'][1]",
        ),
        (
            lambda db: db.insert("c", {"n": Listish([0, 2**64])}),
            Exception, "JSON number out of range", "at document['n'][1]",
        ),
        (
            lambda db: db.insert("c", {"s": {2**200}}),
            OverflowError, "int too big to convert", "at document['s'] (an element of a set)",
        ),
        (
            lambda db: (db.insert("c", {"n": 1}), db.find("c", {"n": {"$gt": Unstorable()}})),
            TypeError, "unsupported type Unstorable", "at maybe_query['n']['$gt']",
        ),
        (
            lambda db: (db.insert("c", {"n": 1}),
                        db.update("c", {"n": {"$set": Unstorable()}})),
            TypeError, "unsupported type Unstorable", "at update_query['n']['$set']",
        ),
        (
            lambda db: (db.insert("c", {"n": 1}),
                        db.update("c", {"n": {"$set": 2}}, {"n": [Unstorable()]})),
            TypeError, "unsupported type Unstorable", "at maybe_query['n'][0]",
        ),
    ],
    ids=["insert_many", "layout_path", "tuple", "key", "sequence", "set", "find", "update",
         "update_filter"],
)
def test_unconvertible_value_note_gives_its_place(db, capsys, call, error_class, message, place):
    with pytest.raises(BaseException) as info:
        call(db)
    assert type(info.value) is error_class
    assert str(info.value) == message
    assert only_note(info.value) == place


def test_exception_from_user_code_gets_the_place_and_interrupts_none(db):
    class Failing(collections.abc.Mapping):
        def __getitem__(self, key):
            raise KeyError(key)

        def __iter__(self):
            return iter(["x"])

        def __len__(self):
            return 1

        def keys(self):
            raise LookupError("no keys today")

    with pytest.raises(LookupError) as info:
        db.insert_many("c", [{"ok": 1}, {"m": Failing()}])
    assert str(info.value) == "no keys today"
    assert only_note(info.value) == "at documents[1]['m']"

    class Interrupting(collections.abc.Mapping):
        __getitem__ = __iter__ = __len__ = None

        def keys(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt) as info:
        db.insert("c", {"m": Interrupting()})
    assert notes_of(info.value) == []


def test_a_long_key_is_cut_in_the_note(db):
    key = "k" * 200
    with pytest.raises(TypeError) as info:
        db.insert("c", {key: Unstorable()})
    assert only_note(info.value) == "at document['" + "k" * 56 + "...]"
