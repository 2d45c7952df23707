"""Disk faults under an open database: the write fails with its own error, the previous collection
file stays as it was, no temporary file is left, and once the fault is gone the same object
writes normally."""

import json
import os
import resource
import shutil
import signal
import subprocess
import sys

import pytest

from tovra import Tovra

OLD = [{"old": True}]
NEW = [{"i": i, "s": "x" * 80} for i in range(200)]  # about 19 KB once written
OTHER = [{"other": 1}]


def os_message(prefix, code, kind):
    return f'{prefix}Os {{ code: {code}, kind: {kind}, message: "{os.strerror(code)}" }}'


def open_with_old_file(db_path):
    """A database whose c.json holds OLD while c in memory holds OLD + NEW, plus a second
    collection that exists only in memory."""
    db = Tovra(str(db_path))
    db.insert_many("c", OLD)
    db.write("c")
    db.insert_many("c", NEW)
    db.insert_many("other", OTHER)
    return db, (db_path / "c.json").read_bytes()


def call(db, method):
    return db.write("c") if method == "write" else db.write_all()


def check_failed_write(db, db_path, method, error_class, message, old_bytes):
    with pytest.raises(BaseException) as caught:
        call(db, method)
    assert type(caught.value) is error_class, repr(caught.value)
    assert str(caught.value) == message
    if error_class is OSError:
        assert caught.value.errno is None
    if old_bytes is not None:
        assert (db_path / "c.json").read_bytes() == old_bytes
    if db_path.is_dir():
        assert not [name for name in os.listdir(db_path) if name.endswith(".tmp")]
    assert db.find("c") == OLD + NEW


def check_usable(db, db_path, method):
    assert call(db, method) is None
    with open(db_path / "c.json") as f:
        assert json.load(f) == OLD + NEW
    assert not [name for name in os.listdir(db_path) if name.endswith(".tmp")]


methods = pytest.mark.parametrize("method", ["write", "write_all"])


def run_in_child(scenario, *args, prefix=()):
    """Runs a scenario function of this module in a fresh interpreter (for process-wide limits
    and privileges) and fails with its output when it fails."""
    code = (
        "import sys; sys.path.insert(0, sys.argv[1]); import test_disk_faults as t; "
        "getattr(t, sys.argv[2])(*sys.argv[3:])"
    )
    here = os.path.dirname(os.path.abspath(__file__))
    result = subprocess.run(
        [*prefix, sys.executable, "-c", code, here, scenario, *map(str, args)],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def file_size_limit_scenario(db_path, method, limit):
    from pathlib import Path

    db_path = Path(db_path)
    db, old_bytes = open_with_old_file(db_path)
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (int(limit), hard))
    check_failed_write(db, db_path, method, ValueError, "Error serializing JSON", old_bytes)
    resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
    check_usable(db, db_path, method)


# 16384 lets two full buffers through, so the failure comes from writing out the last one.
@methods
@pytest.mark.parametrize("limit", [0, 100, 8192, 16384])
def test_file_size_limit_fails_serialization(tmp_path, method, limit):
    run_in_child("file_size_limit_scenario", tmp_path / "db", method, limit)


@pytest.fixture
def small_tmpfs(tmp_path):
    mount_point = tmp_path / "mnt"
    mount_point.mkdir()
    mounted = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(mount_point)],
        capture_output=True,
    )
    if mounted.returncode != 0:
        pytest.skip("mounting a tmpfs is not allowed here")
    yield mount_point
    subprocess.run(["umount", str(mount_point)], check=True)


@methods
def test_full_file_system_fails_serialization(small_tmpfs, method):
    db_path = small_tmpfs / "db"
    db, old_bytes = open_with_old_file(db_path)
    filler = small_tmpfs / "filler"
    with open(filler, "wb") as f:
        f.write(b"\0" * 44 * 1024)
    check_failed_write(db, db_path, method, ValueError, "Error serializing JSON", old_bytes)
    filler.unlink()
    check_usable(db, db_path, method)


@methods
def test_database_directory_removed(db_path, method):
    db, _ = open_with_old_file(db_path)
    shutil.rmtree(db_path)
    message = os_message("Problem creating temporary file: ", 2, "NotFound")
    check_failed_write(db, db_path, method, OSError, message, None)
    with pytest.raises(FileNotFoundError):
        db.collections()
    with pytest.raises(FileNotFoundError):
        db.insert("new", {})
    db_path.mkdir()
    check_usable(db, db_path, method)


def read_only_scenario(db_path, method):
    from pathlib import Path

    db_path = Path(db_path)
    db, old_bytes = open_with_old_file(db_path)
    os.chmod(db_path, 0o500)
    try:
        message = os_message("Problem creating temporary file: ", 13, "PermissionDenied")
        check_failed_write(db, db_path, method, OSError, message, old_bytes)
    finally:
        os.chmod(db_path, 0o700)
    check_usable(db, db_path, method)


@methods
def test_database_directory_made_read_only(tmp_path, method):
    if os.geteuid() != 0:
        read_only_scenario(tmp_path / "db", method)
        return
    # Root ignores permission bits; without the override capabilities it is bound by them.
    setpriv = shutil.which("setpriv")
    drop = [setpriv, "--bounding-set=-dac_override,-dac_read_search"] if setpriv else None
    if not drop or subprocess.run([*drop, "true"]).returncode != 0:
        pytest.skip("permission checks do not apply to root")
    run_in_child("read_only_scenario", tmp_path / "db", method, prefix=drop)


@methods
def test_collection_file_replaced_by_directory(db_path, method):
    db, _ = open_with_old_file(db_path)
    (db_path / "c.json").unlink()
    (db_path / "c.json").mkdir()
    (db_path / "c.json" / "inside").write_text("kept")
    message = os_message("Error renaming file: ", 21, "IsADirectory")
    check_failed_write(db, db_path, method, OSError, message, None)
    assert (db_path / "c.json" / "inside").read_text() == "kept"
    if method == "write_all":
        # The failure of one collection does not stop the others from being written.
        with open(db_path / "other.json") as f:
            assert json.load(f) == OTHER
    shutil.rmtree(db_path / "c.json")
    check_usable(db, db_path, method)
