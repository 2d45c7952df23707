"""Durability and privacy seen from outside: the file system calls of each operation, traced with
strace in a child interpreter. Every file that an operation puts in place is synced before its
name appears, every name it makes or removes is followed by a sync of its directory, temporary
files are made private and get their final mode before the rename, and bulk operations wait for
the device a bounded number of times, however many collections they touch."""

import os
import re
import shutil
import subprocess
import sys

import pytest

STRACE = shutil.which("strace")
TRACED = (
    "openat,fsync,fdatasync,syncfs,rename,renameat,renameat2,link,linkat,unlink,unlinkat,"
    "mkdir,mkdirat,fchmod,sync_file_range"
)
BEGIN = "/tovra-trace-begin"
END = "/tovra-trace-end"
LINE = re.compile(r"^\d+\s+(\w+)\((.*)\)\s+=\s+(-?\d+)")
TEMPORARY = re.compile(r"/\.[0-9a-f]{16}\.tmp")
SYNCS = ("fsync", "fdatasync", "syncfs")


def strace_works():
    if STRACE is None:
        return False
    return subprocess.run([STRACE, "-o", os.devnull, "true"], capture_output=True).returncode == 0


pytestmark = pytest.mark.skipif(not strace_works(), reason="strace is missing or cannot trace")


class Call:
    def __init__(self, name, args, result):
        self.name = name
        self.args = args
        self.result = int(result)

    def paths(self):
        """The paths the call names, its descriptors' paths (shown by -y) included."""
        return re.findall(r'"([^"]*)"|<([^>]*)>', self.args)

    def names(self, path):
        return any(path in (quoted or shown) for quoted, shown in self.paths())

    def fd_path(self):
        match = re.match(r"\d+<([^>]*)>", self.args)
        return match.group(1) if match else None

    def __repr__(self):
        return f"{self.name}({self.args}) = {self.result}"


def trace(tmp_path, setup, body):
    """The successful calls on files under tmp_path that `body` (Python source run after `setup`,
    with `db` and `path` defined) makes, in order."""
    script = (
        "import os, sys\nfrom tovra import Tovra\npath = sys.argv[1]\n"
        + setup
        + f"\ntry:\n    os.open({BEGIN!r}, os.O_RDONLY)\nexcept OSError:\n    pass\n"
        + body
        + f"\ntry:\n    os.open({END!r}, os.O_RDONLY)\nexcept OSError:\n    pass\n"
    )
    out = tmp_path / "trace.txt"
    result = subprocess.run(
        [STRACE, "-f", "-y", "-qq", "-s", "256", "-e", f"trace={TRACED}", "-o", str(out),
         sys.executable, "-c", script, str(tmp_path / "db")],
        capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 0, result.stderr
    calls, inside = [], False
    for line in out.read_text().splitlines():
        if BEGIN in line:
            inside = True
        elif END in line:
            inside = False
        elif inside:
            match = LINE.match(line)
            if match and int(match.group(3)) >= 0:
                call = Call(*match.groups())
                if str(tmp_path) in call.args:
                    calls.append(call)
    return calls


def index(calls, predicate, last=False):
    found = [i for i, call in enumerate(calls) if predicate(call)]
    assert found, calls
    return found[-1] if last else found[0]


def new_file_mode():
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


def is_sync_of(path):
    return lambda call: call.name in SYNCS and call.fd_path() == path


def temporary_opens(calls):
    return [call for call in calls if call.name == "openat" and "O_CREAT" in call.args
            and TEMPORARY.search(call.args)]


def check_private_then_final_mode(calls, final_mode):
    """Each temporary file is made 0600 and given `final_mode` before it is renamed or linked."""
    opens = temporary_opens(calls)
    assert opens
    for opened in opens:
        assert opened.args.endswith(", 0600"), opened
        temp = TEMPORARY.search(opened.args).group(0)
        mode = index(calls, lambda c: c.name == "fchmod" and c.names(temp))
        placed = index(calls, lambda c: c.name in ("rename", "link") and c.names(temp))
        assert mode < placed
        assert calls[mode].args.endswith(f", {final_mode:#o}".replace("0o", "0")), calls[mode]


@pytest.mark.parametrize("mode", [0o640, 0o2640, 0o1600], ids=oct)
def test_write_syncs_the_file_before_the_rename_and_the_directory_after(tmp_path, mode):
    db_dir = str(tmp_path / "db")
    calls = trace(
        tmp_path,
        f"db = Tovra(path)\ndb.insert('c', {{'a': 1}})\ndb.write('c')\n"
        f"os.chmod(os.path.join(path, 'c.json'), {mode})",
        "db.insert('c', {'a': 2})\ndb.write('c')",
    )
    temp = TEMPORARY.search(temporary_opens(calls)[0].args).group(0)
    synced = index(calls, lambda c: c.name in SYNCS and temp in (c.fd_path() or ""))
    renamed = index(calls, lambda c: c.name == "rename" and c.names(temp))
    directory_synced = index(calls, is_sync_of(db_dir), last=True)
    assert synced < renamed < directory_synced
    check_private_then_final_mode(calls, mode)


def test_create_collection_syncs_the_file_before_the_link_and_the_directory_after(tmp_path):
    db_dir = str(tmp_path / "db")
    calls = trace(tmp_path, "db = Tovra(path)", "db.create_collection('c')")
    temp = TEMPORARY.search(temporary_opens(calls)[0].args).group(0)
    synced = index(calls, lambda c: c.name in SYNCS and temp in (c.fd_path() or ""))
    linked = index(calls, lambda c: c.name == "link" and c.names(temp))
    directory_synced = index(calls, is_sync_of(db_dir), last=True)
    assert synced < linked < directory_synced
    check_private_then_final_mode(calls, new_file_mode())


@pytest.mark.parametrize(
    "setup, body, removed",
    [
        ("db = Tovra(path)\ndb.create_collection('c')", "db.drop_collection('c')", ["c.json"]),
        ("db = Tovra(path)\ndb.create_collection('a')\ndb.create_collection('b')",
         "db.drop_all()", ["a.json", "b.json"]),
    ],
    ids=["drop_collection", "drop_all"],
)
def test_drops_sync_the_directory_after_the_removals(tmp_path, setup, body, removed):
    db_dir = str(tmp_path / "db")
    calls = trace(tmp_path, setup, body)
    last_removal = max(
        index(calls, lambda c, name=name: c.name in ("unlink", "unlinkat") and c.names(name))
        for name in removed
    )
    assert index(calls, is_sync_of(db_dir), last=True) > last_removal


def test_a_new_database_directory_is_synced_into_its_parent(tmp_path):
    calls = trace(tmp_path, "", "Tovra(path)")
    made = index(calls, lambda c: c.name in ("mkdir", "mkdirat") and c.names(str(tmp_path / "db")))
    assert index(calls, is_sync_of(str(tmp_path))) > made


@pytest.mark.parametrize("count", [3, 60])
def test_write_all_waits_for_the_device_twice_whatever_the_count(tmp_path, count):
    db_dir = str(tmp_path / "db")
    calls = trace(
        tmp_path,
        f"db = Tovra(path)\nfor i in range({count}):\n    db.insert(f'c{{i}}', {{'i': i}})\n",
        "db.write_all()",
    )
    syncs = [i for i, call in enumerate(calls) if call.name in SYNCS]
    renames = [i for i, call in enumerate(calls) if call.name == "rename"]
    assert len(renames) == count
    assert len(syncs) == 2, [calls[i] for i in syncs]
    # The bytes of every file before any rename, every rename before the directory's sync.
    assert syncs[0] < renames[0] and renames[-1] < syncs[1]
    assert calls[syncs[0]].name == "syncfs" or calls[syncs[0]].fd_path() != db_dir
    assert calls[syncs[1]].fd_path() == db_dir
    assert max(i for i, c in enumerate(calls) if c.name == "fchmod") < renames[0]
    check_private_then_final_mode(calls, new_file_mode())


def test_load_from_document_creates_collections_with_two_waits(tmp_path):
    db_dir = str(tmp_path / "db")
    source = tmp_path / "source.json"
    source.write_text("{" + ",".join(f'"k{i}": [{{"i": {i}}}]' for i in range(200)) + "}")
    calls = trace(tmp_path, "db = Tovra(path)", f"db.load_from_document({str(source)!r})")
    syncs = [i for i, call in enumerate(calls) if call.name in SYNCS]
    links = [i for i, call in enumerate(calls) if call.name == "link"]
    assert len(links) == 200
    assert len(syncs) == 2, [calls[i] for i in syncs]
    assert syncs[0] < links[0] and links[-1] < syncs[1]
    assert calls[syncs[1]].fd_path() == db_dir
    assert len(os.listdir(db_dir)) == 200


def test_writeback_hints_cover_the_file_in_order(tmp_path):
    # About 10 MB: the hint is given every 4 MiB written, for the range written since the last.
    calls = trace(
        tmp_path,
        "db = Tovra(path)\ndb.insert_many('c', [{'s': 'x' * 1000} for _ in range(10_000)])",
        "db.write('c')",
    )
    hints = [call for call in calls if call.name == "sync_file_range"]
    if not hints:
        pytest.skip("no writeback hints on this system")
    expected_offset = 0
    for hint in hints:
        _, offset, length, _ = (part.strip() for part in hint.args.split(","))
        assert int(offset) == expected_offset, hints
        assert int(length) >= 4 << 20
        expected_offset += int(length)
    assert expected_offset <= os.path.getsize(tmp_path / "db" / "c.json")
