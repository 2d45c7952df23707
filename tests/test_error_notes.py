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
