"""Writing collections: exact bytes, the temporary file, and every failure path."""

import json
import os
import shutil
import stat
import subprocess
import sys
import textwrap

import pytest

from tovra import Tovra

DOUBLES = [
    (1.0, "1.0"), (0.1, "0.1"), (1e16, "1e16"), (1e-6, "1e-6"), (1.5e-7, "1.5e-7"),
    (0.00001, "0.00001"), (100.0, "100.0"), (100, "100"), (-0.0, "-0.0"), (1.5e16, "1.5e16"),
    (1e15, "1000000000000000.0"), (123456789.125, "123456789.125"), (0.0001234, "0.0001234"),
    (5e-324, "5e-324"), (12345678901234568.0, "1.2345678901234568e16"), (-2.5e-5, "-0.000025"),
    (2**64 - 1, "18446744073709551615"), (-(2**63), "-9223372036854775808"),
]


@pytest.mark.parametrize(
    "docs, text",
    [
        ([], "[]"),
        ([{"b": 1, "a": [True, None]}], '[{"a":[true,null],"b":1}]'),  # 25 bytes
        ([{"v": [v for v, _ in DOUBLES]}], '[{"v":[' + ",".join(t for _, t in DOUBLES) + "]}]"),
        (
            [{'k"\\\n': "\t\n\x1f/\u00e9\"\\\b\x0c\r\x00\x7f\U0001F600"}],
            '[{"k\\"\\\\\\n":"\\t\\n\\u001f/\u00e9\\"\\\\\\b\\f\\r\\u0000\x7f\U0001F600"}]',
        ),
        ([5, "x", None, [1, {}], {"z": {}, "": []}], '[5,"x",null,[1,{}],{"":[],"z":{}}]'),
    ],
    ids=["empty", "example", "numbers", "escapes", "any_values"],
)
def test_exact_bytes(db, db_path, docs, text):
    db.create_collection("c")
    db.insert_many("c", docs)
    assert db.write("c") is None
    data = (db_path / "c.json").read_bytes()
    assert data == text.encode()
    assert json.loads(data) == docs
    assert os.listdir(db_path) == ["c.json"]


@pytest.mark.parametrize("name", ["a.b", "x" * 250, "log.", ".hidden"])
def test_file_name_and_no_temporary_file(db, db_path, tmp_path, monkeypatch, name):
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    monkeypatch.chdir(cwd)
    db.insert(name, {"a": 1})
    db.write(name)
    assert os.listdir(db_path) == [name + ".json"]
    assert os.listdir(cwd) == []
    assert Tovra(str(db_path)).find(name) == [{"a": 1}]


def test_new_file_mode_follows_umask(db, db_path):
    db.insert("c", {})
    os.remove(db_path / "c.json")
    old = os.umask(0o027)
    try:
        db.write("c")
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(db_path / "c.json").st_mode) == 0o640


# Setgid and sticky bits are kept too (setuid with them, on a file not executable by its group).
@pytest.mark.parametrize("mode", [0o600, 0o640, 0o755, 0o444, 0o2640, 0o1600, 0o6744], ids=oct)
def test_write_keeps_the_permission_bits_of_the_file_it_replaces(db, db_path, mode):
    db.insert("c", {"a": 1})
    os.chmod(db_path / "c.json", mode)
    db.write("c")
    assert stat.S_IMODE(os.stat(db_path / "c.json").st_mode) == mode
    assert Tovra(str(db_path)).find("c") == [{"a": 1}]


@pytest.mark.parametrize("name", ["missing", "disk"])
def test_write_needs_collection_in_memory(db, db_path, name):
    (db_path / "disk.json").write_text("[1]")
    with pytest.raises(ValueError) as info:
        db.write(name)
    assert str(info.value) == f"Collection '{name}' not found in stored collections"
    assert os.listdir(db_path) == ["disk.json"]
    assert (db_path / "disk.json").read_text() == "[1]"


@pytest.fixture
def not_root():
    if os.geteuid() == 0:
        pytest.skip("permission checks do not apply to root")


def raises_os_error(call, prefix, code, kind):
    with pytest.raises(OSError) as info:
        call()
    assert type(info.value) is OSError and info.value.errno is None
    message = f'"{os.strerror(code)}"'
    assert str(info.value) == f"{prefix}Os {{ code: {code}, kind: {kind}, message: {message} }}"


def test_database_directory_removed(db, db_path):
    db.insert("c", {"a": 1})
    shutil.rmtree(db_path)
    for call in (lambda: db.write("c"), db.write_all):
        raises_os_error(call, "Problem creating temporary file: ", 2, "NotFound")


def test_read_only_directory(db, db_path, not_root):
    db.insert("c", {"a": 1})
    db.write("c")
    db.insert("c", {"a": 2})
    os.chmod(db_path, 0o555)
    try:
        raises_os_error(
            lambda: db.write("c"), "Problem creating temporary file: ", 13, "PermissionDenied"
        )
    finally:
        os.chmod(db_path, 0o755)
    assert os.listdir(db_path) == ["c.json"]
    assert (db_path / "c.json").read_bytes() == b'[{"a":1}]'


def test_write_all_attempts_all_and_raises_first_failure(db, db_path):
    assert db.write_all() is None
    for name in ("a", "bad", "z"):
        db.insert(name, {"n": name})
    os.remove(db_path / "bad.json")
    os.mkdir(db_path / "bad.json")
    for call in (lambda: db.write("bad"), db.write_all):
        raises_os_error(call, "Error renaming file: ", 21, "IsADirectory")
    assert (db_path / "a.json").read_bytes() == b'[{"n":"a"}]'
    assert (db_path / "z.json").read_bytes() == b'[{"n":"z"}]'
    assert sorted(os.listdir(db_path)) == ["a.json", "bad.json", "z.json"]
    assert os.listdir(db_path / "bad.json") == []


def run_child(script, *args, **kwargs):
    command = [sys.executable, "-c", textwrap.dedent(script), *map(str, args)]
    return subprocess.Popen(command, **kwargs)


FSIZE_SCRIPT = """
    import json, os, resource, signal, sys
    from tovra import Tovra
    path, count, limit = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    db = Tovra(path)
    db.insert("c", {"old": True})
    db.write("c")
    db.insert_many("c", [{"i": i, "s": "x" * 40} for i in range(count)])
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    try:
        db.write("c")
        outcome = ["ok", ""]
    except BaseException as e:
        outcome = [type(e).__name__, str(e)]
    print(json.dumps(outcome + [sorted(os.listdir(path)), open(path + "/c.json").read()]))
"""


@pytest.mark.parametrize(
    "count, limit", [(2000, 20000), (80, 3000)], ids=["mid_stream", "last_flush"]
)
def test_file_size_limit_leaves_old_file(db_path, count, limit):
    child = run_child(FSIZE_SCRIPT, db_path, count, limit, stdout=subprocess.PIPE, text=True)
    out, _ = child.communicate(timeout=60)
    kind, message, files, content = json.loads(out.splitlines()[-1])
    assert (kind, message) == ("ValueError", "Error serializing JSON")
    assert files == ["c.json"]
    assert content == '[{"old":true}]'
