"""Failing well: memory exhaustion, signals, odd files, sub-interpreters, int and bool look-alikes.

Anything that limits memory, sends signals, could hang or touches interpreter-wide state runs in
a child process. A child's timeout only guards the suite against a hang; it asserts nothing.
"""

import collections
import json
import os
import signal
import stat
import subprocess
import sys
import textwrap
import time

import pytest

from tovra import Tovra

from emulation import skip_under_emulator

# The sanitizer runtime reserves terabytes of shadow address space: no address-space limit
# can be set under it.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
needs_address_space_limit = pytest.mark.skipif(
    UNDER_ASAN, reason="an address-space limit cannot be set under AddressSanitizer")
# The emulator does not hand an address-space limit the program sets on to the kernel (it would
# bind the emulator's own reservations too), so allocations go on succeeding until the
# machine's memory runs out.
unlimited_under_emulator = skip_under_emulator(
    "it does not apply the address-space limit (RLIMIT_AS) a program sets, so memory is not"
    " exhausted before the machine's is")

HANG_GUARD = 300  # seconds

PRELUDE = """\
import json, os, resource, signal, sys, threading
from tovra import Tovra

def vmsize():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

def limit_address_space(size):
    resource.setrlimit(resource.RLIMIT_AS, (size, resource.getrlimit(resource.RLIMIT_AS)[1]))

def unlimit_address_space():
    hard = resource.getrlimit(resource.RLIMIT_AS)[1]
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
"""


def child_script(body):
    return PRELUDE + textwrap.dedent(body)


def run_child(body, *args, env=None):
    """Runs `body` in a new interpreter; returns (exit status, stdout, stderr)."""
    proc = subprocess.run([sys.executable, "-c", child_script(body), *map(str, args)],
                          capture_output=True, text=True, env=env, timeout=HANG_GUARD)
    return proc.returncode, proc.stdout, proc.stderr


def interrupt_child(body, *args, delay=0.5):
    """Starts `body`, waits for its "ready" line on stderr, sends SIGINT after `delay` seconds
    and returns the child's stdout (it reports there) once it ended."""
    proc = subprocess.Popen([sys.executable, "-c", child_script(body), *map(str, args)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stderr.readline() == "ready\n"
        time.sleep(delay)
        proc.send_signal(signal.SIGINT)
        # A signal that lands before the child enters a blocking call (a loaded machine) is
        # noticed by nobody while it then waits: one more, seconds later, reaches the wait.
        deadline = time.monotonic() + HANG_GUARD
        while True:
            try:
                out, err = proc.communicate(timeout=5)
                break
            except subprocess.TimeoutExpired:
                if time.monotonic() > deadline:
                    raise
                proc.send_signal(signal.SIGINT)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0, err
    return out


def leftovers(directory):
    """Temporary files a write left behind."""
    return [name for name in os.listdir(directory) if name.endswith(".tmp")]


# --- Memory exhaustion ----------------------------------------------------------------------

# Takes every byte malloc can still give (address space limited to what is mapped now), makes
# one call, gives the memory back. The database was made in another thread, so the call is
# the first one the calling thread makes into tovra.
EXHAUST = """\
import ctypes
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]
libc.free.argtypes = [ctypes.c_void_p]

made = {}
def make():
    made["db"] = Tovra(sys.argv[1])
    made["db"].insert("c", {"a": 1})
maker = threading.Thread(target=make)
maker.start()
maker.join()
db = made["db"]

def exhausted(call):
    blocks = (ctypes.c_void_p * 4_000_000)()
    count = 0
    limit_address_space(vmsize())
    try:
        for size in (1 << 16, 4096, 256, 16):
            while count < len(blocks):
                block = libc.malloc(size)
                if not block:
                    break
                blocks[count] = block
                count += 1
        try:
            call()
            return "returned"
        except MemoryError:
            return "MemoryError"
        except ValueError:
            return "ValueError"
    finally:
        for i in range(count):
            libc.free(blocks[i])
        unlimit_address_space()

outcome = {}
def first_call():
    outcome["value"] = exhausted(lambda: db.find("missing"))
if sys.argv[2] == "thread":
    worker = threading.Thread(target=first_call)
    worker.start()
    worker.join()
else:
    first_call()
print(outcome["value"])
print(json.dumps(db.find("c")))
"""


@needs_address_space_limit
@unlimited_under_emulator
@pytest.mark.parametrize("where", ["main", "thread"])
def test_first_exception_of_a_thread_without_memory_raises(tmp_path, where):
    status, out, err = run_child(EXHAUST, tmp_path / "db", where)
    assert status == 0, err
    outcome, documents = out.splitlines()
    # The call gets MemoryError, or its own error when it found memory after all.
    assert outcome in ("MemoryError", "ValueError")
    assert json.loads(documents) == [{"a": 1}]


@needs_address_space_limit
@unlimited_under_emulator
def test_memory_error_in_update_keeps_every_document(tmp_path):
    status, out, err = run_child("""
        path = sys.argv[1]
        db = Tovra(path)
        db.insert_many("c", [{"i": i, "v": 0} for i in range(100)])
        db.write("c")
        db.insert("c", {"i": 100, "v": 0})  # never written
        big = "x" * (8 << 20)
        limit_address_space(vmsize() + (200 << 20))
        try:
            db.update("c", {"v": {"$set": big}})
            print("completed")
        except MemoryError:
            print("MemoryError")
        unlimit_address_space()
        documents = db.find("c")
        assert [d["i"] for d in documents] == list(range(101))
        assert all(d["v"] in (0, big) for d in documents)
        print(sum(d["v"] == big for d in documents))
        del documents
        db.update("c", {"v": {"$set": 1}})
        db.insert("c", {"i": 101, "v": 2})
        assert db.find("c", {"v": 1}) == [{"i": i, "v": 1} for i in range(101)]
        db.write("c")
        print(json.dumps(Tovra(path).find("c")[-2:]))
    """, tmp_path / "db")
    assert status == 0, err
    outcome, updated, tail = [line for line in out.splitlines()
                              if not line.startswith(("Update operator found", "Fields: "))]
    assert outcome == "MemoryError"
    assert int(updated) < 101
    assert json.loads(tail) == [{"i": 100, "v": 1}, {"i": 101, "v": 2}]


# --- Files that are not regular files -------------------------------------------------------

def test_fifo_collection_file_is_refused_at_open(tmp_path):
    (tmp_path / "db").mkdir()
    os.mkfifo(tmp_path / "db" / "x.json")
    status, out, err = run_child("""
        try:
            Tovra(sys.argv[1])
        except ValueError as error:
            print(error)
    """, tmp_path / "db")
    assert (status, out) == (0, "Error deserializing JSON\n"), err


def test_fifo_collection_file_is_refused_when_loaded_on_demand(tmp_path):
    status, out, err = run_child("""
        db = Tovra(sys.argv[1])
        os.mkfifo(os.path.join(sys.argv[1], "x.json"))
        for call in (lambda: db.find("x"), lambda: db.find("x", {"a": 1}),
                     lambda: db.update("x", {"a": {"$set": 1}}), lambda: db.insert("x", {})):
            try:
                call()
            except ValueError as error:
                print(error)
    """, tmp_path / "db")
    assert status == 0, err
    assert out.splitlines()[-4:] == ["Error deserializing JSON"] * 4
    assert stat.S_ISFIFO(os.lstat(tmp_path / "db" / "x.json").st_mode)


def test_fifo_with_a_writer_is_a_fine_document(db, tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    # The writer must be another process: opening the FIFO blocks until both ends are open.
    writer = subprocess.Popen(["sh", "-c", 'printf \'[{"a": 1}, {"a": 2}]\' > "$1"', "sh",
                               str(fifo)])
    try:
        db.insert_many_from_document("c", str(fifo))
    finally:
        writer.wait(timeout=HANG_GUARD)
    assert db.find("c") == [{"a": 1}, {"a": 2}]


def test_fifo_document_without_writer_waits_until_ctrl_c(tmp_path):
    os.mkfifo(tmp_path / "pipe")
    out = interrupt_child("""
        db = Tovra(sys.argv[1])
        sys.stderr.write("ready\\n")
        try:
            db.load_from_document(sys.argv[2])
            print("returned")
        except KeyboardInterrupt:
            print("KeyboardInterrupt", db.collections())
    """, tmp_path / "db", tmp_path / "pipe")
    assert out == "KeyboardInterrupt []\n"


# --- Ctrl-C during long calls ---------------------------------------------------------------

# 300,000 documents of 100 numbers: each call below takes seconds here, ten times the delay
# before the signal; the interrupted call must raise KeyboardInterrupt itself.
LONG = """\
path, what = sys.argv[1], sys.argv[2]
DOCUMENT = {"a": [0.5, 1.25, 1e300, -3.75] * 25, "s": "x"}
N = 300_000
if what != "constructor":
    db = Tovra(path)
    db.insert("c", {"old": True})
    db.write("c")
if what in ("find", "find_filtered", "write", "update_result"):
    db.insert_many("c", [DOCUMENT] * N)
if what == "insert_many":
    documents = [DOCUMENT] * (4 * N)  # converting is the fastest of these calls
sys.stderr.write("ready\\n")
try:
    if what == "insert_many":
        db.insert_many("new", documents)
    elif what == "find":
        db.find("c")
    elif what == "find_filtered":
        db.find("c", {"s": "x"})
    elif what == "write":
        db.write("c")
    elif what == "constructor":
        db = Tovra(path)
    print("returned")
except KeyboardInterrupt:
    print("KeyboardInterrupt")
"""


@pytest.mark.parametrize("what,check", [
    ("insert_many", """
        assert db.collections() == ["c"]
        assert not os.path.exists(os.path.join(path, "new.json"))
        try:
            db.find("new")
        except ValueError as error:
            print(error)
    """),
    ("find", "print(db.find('c', {'old': True}))"),
    ("find_filtered", "print(db.find('c', {'old': True}), db.find('c', {'s': 'y'}))"),
    ("write", """
        with open(os.path.join(path, "c.json")) as f:
            print(f.read().replace(" ", "").replace("\\n", ""))
        print(sorted(os.listdir(path)))
    """),
    ("constructor", "print('db' in globals())"),
], ids=lambda value: value if value in LONG else "")
def test_ctrl_c_stops_a_long_call(tmp_path, what, check):
    path = tmp_path / "db"
    if what == "constructor":
        path.mkdir()
        document = json.dumps({"a": [0.5, 1.25, 1e300, -3.75] * 25, "s": "x"})
        (path / "c.json").write_text("[" + ",".join([document] * 300_000) + "]")
    out = interrupt_child(LONG + textwrap.dedent(check), path, what)
    expected = {
        "insert_many": "Collection with name 'new' not found on disk",
        "find": "[{'old': True}]",
        "find_filtered": "[{'old': True}] []",
        "write": '[{"old":true}]\n' + str(["c.json"]),
        "constructor": "False",
    }[what]
    assert out == "KeyboardInterrupt\n" + expected + "\n"


def test_ctrl_c_stops_diagnostic_lines_blocked_on_a_full_pipe(tmp_path):
    proc = subprocess.Popen(
        [sys.executable, "-c", child_script("""
            db = Tovra(sys.argv[1])
            db.insert("c", {"a": 0})
            os.set_blocking(1, False)
            try:
                while True:
                    os.write(1, b"." * 4096)
            except BlockingIOError:
                pass
            os.set_blocking(1, True)
            sys.stderr.write("ready\\n")
            try:
                db.update("c", {"a": {"$set": 1}})
                sys.stderr.write("returned\\n")
            except KeyboardInterrupt:
                sys.stderr.write("KeyboardInterrupt %s\\n" % db.find("c"))
        """), str(tmp_path / "db")],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stderr.readline() == "ready\n"
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
        # Only now is the pipe drained: the child's write was stuck until the signal.
        _, err = proc.communicate(timeout=HANG_GUARD)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert err == "KeyboardInterrupt [{'a': 0}]\n"


# --- Diagnostic lines and sys.stdout --------------------------------------------------------

def test_diagnostic_lines_follow_buffered_output(tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    status, out, err = run_child("""
        db = Tovra(sys.argv[1])
        db.insert("c", {"a": 0})
        print("before")
        db.update("c", {"a": {"$set": 1}})
        print("after")
    """, tmp_path / "db", env=env)
    assert status == 0, err
    assert out == "before\nUpdate operator found Set\nFields: [\"a\"]\nafter\n"


@pytest.mark.parametrize("replacement", ["none", "missing", "raising"])
def test_diagnostic_lines_without_a_usable_sys_stdout(db, capfd, monkeypatch, replacement):
    class RaisingFlush:
        def write(self, text):
            return len(text)

        def flush(self):
            raise OSError("cannot flush")

    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    db.insert("c", {"a": 0})
    capfd.readouterr()
    if replacement == "missing":
        monkeypatch.delattr(sys, "stdout")
    else:
        monkeypatch.setattr(sys, "stdout", None if replacement == "none" else RaisingFlush())
    db.update("c", {"a": {"$set": 1}})
    monkeypatch.undo()
    assert capfd.readouterr().out == "Update operator found Set\nFields: [\"a\"]\n"
    assert db.find("c") == [{"a": 1}]
    if replacement == "raising":
        assert [type(r.exc_value) for r in reported] == [OSError]
    else:
        assert reported == []


# --- Files: modes, links, drop_all, descriptors ---------------------------------------------

def test_write_keeps_the_permission_bits_of_the_file(db, db_path):
    db.insert("c", {"a": 1})
    db.write("c")
    umask = os.umask(0)
    os.umask(umask)
    assert stat.S_IMODE(os.stat(db_path / "c.json").st_mode) == 0o666 & ~umask
    os.chmod(db_path / "c.json", 0o600)
    db.insert("c", {"a": 2})
    db.write("c")
    assert stat.S_IMODE(os.stat(db_path / "c.json").st_mode) == 0o600
    assert Tovra(str(db_path)).find("c") == [{"a": 1}, {"a": 2}]


@pytest.mark.parametrize("target,exception", [
    ("nowhere.json", FileNotFoundError),
    ("c.json", OSError),  # a link to itself: a loop
])
@pytest.mark.parametrize("call", ["create_collection", "insert"])
def test_unfollowable_link_is_refused_and_nothing_written(db, db_path, target, exception, call):
    os.symlink(target, db_path / "c.json")
    before = sorted(os.listdir(db_path))
    with pytest.raises(OSError) as raised:
        if call == "create_collection":
            db.create_collection("c")
        else:
            db.insert("c", {"a": 1})
    assert type(raised.value) is exception
    if exception is OSError:
        assert str(raised.value).endswith("(os error 40)")
    assert sorted(os.listdir(db_path)) == before
    assert os.readlink(db_path / "c.json") == target


def test_create_collection_keeps_documents_held_in_memory(db, db_path):
    db.insert("c", {"a": 1})
    db.write("c")
    db.insert("c", {"a": 2})
    os.remove(db_path / "c.json")
    db.create_collection("c")
    assert db.find("c") == [{"a": 1}, {"a": 2}]
    assert (db_path / "c.json").exists()


@pytest.mark.parametrize("spelling", [".", "data/.", "link"])
def test_drop_all_through_a_name_that_cannot_be_removed(tmp_path, monkeypatch, spelling):
    data = tmp_path / "data"
    data.mkdir()
    (tmp_path / "link").symlink_to(data)
    monkeypatch.chdir(data if spelling == "." else tmp_path)
    db = Tovra(spelling)
    db.insert("a", {"x": 1})
    db.insert("b", {"x": 2})
    db.write_all()
    (data / "notes.txt").write_text("kept")
    db.drop_all()
    assert sorted(os.listdir(data)) == ["notes.txt"]
    assert db.collections() == []


# The sanitizer runtime needs descriptors of its own (a pipe to probe memory) to check a throw.
@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer runtime needs free descriptors")
def test_write_out_of_descriptors_fails_before_changing_anything(tmp_path):
    status, out, err = run_child("""
        path = sys.argv[1]
        db = Tovra(path)
        db.insert("c", {"a": 1})
        db.write("c")
        db.insert("c", {"a": 2})
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        # No descriptor left: the lowest free one is the limit.
        free = os.open(os.devnull, os.O_RDONLY)
        os.close(free)
        resource.setrlimit(resource.RLIMIT_NOFILE, (free, hard))
        try:
            db.write("c")
            print("written")
        except OSError as error:
            print(type(error).__name__, error)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
        print(sorted(os.listdir(path)))
        print(json.dumps(Tovra(path).find("c")))
        db.write("c")
        print(json.dumps(Tovra(path).find("c")))
    """, tmp_path / "db")
    assert status == 0, err
    failure, names, before, after = out.splitlines()
    assert failure.startswith("OSError Problem creating temporary file: Os { code: 24,")
    assert names == str(["c.json"])
    assert json.loads(before) == [{"a": 1}]
    assert json.loads(after) == [{"a": 1}, {"a": 2}]


# --- Sub-interpreters -----------------------------------------------------------------------

SUBINTERPRETERS = """\
import _testcapi, collections
report = sys.argv[2]
code = '''
import collections, sys
try:
    from tovra import Tovra
except ImportError as error:
    open(%r, "w").write("ImportError " + str(error))
else:
    db = Tovra(%r)
    db.insert("sub", {"a": collections.UserList([1]), "b": range(2)})
    open(%r, "w").write("imported")
''' % (report, sys.argv[1], report)
if sys.argv[3] == "main-first":
    from tovra import Tovra
    db = Tovra(sys.argv[1])
    _testcapi.run_in_subinterp(code)
    print(open(report).read())
    db.insert("c", {"a": collections.UserList([1]), "b": range(2)})
    try:
        db.update("c", {"$bogus": 1})
    except BaseException as error:
        print(type(error).__name__)
    print(db.find("c"))
else:
    _testcapi.run_in_subinterp(code)
    print(open(report).read())
    try:
        import tovra
    except ImportError as error:
        print("ImportError")
"""


@pytest.mark.parametrize("first", ["main-first", "sub-first"])
def test_only_the_first_interpreter_may_use_the_module(tmp_path, first):
    pytest.importorskip("_testcapi")
    # PRELUDE imports tovra, which would make the main interpreter first: skip it here.
    proc = subprocess.run(
        [sys.executable, "-c", "import sys\n" + SUBINTERPRETERS, str(tmp_path / "db"),
         str(tmp_path / "report"), first],
        capture_output=True, text=True, timeout=HANG_GUARD)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    refused = "ImportError tovra does not support sub-interpreters"
    if first == "main-first":
        assert lines[0].startswith(refused)
        assert lines[1:] == ["PanicException", "[{'a': [1], 'b': [0, 1]}]"]
    else:
        # Exactly one interpreter gets the module. Up to 3.11 the sub-interpreter's import
        # initialises it; from 3.12 on, CPython initialises a module of this kind for the main
        # interpreter first, and the sub-interpreter is refused.
        assert lines == ["imported", "ImportError"] or (
            len(lines) == 1 and lines[0].startswith(refused))


# --- An embedding program that starts the interpreter twice ---------------------------------

EMBEDDER = r"""
#include <Python.h>
#include <stdio.h>

/* Runs argv[1] in a fresh interpreter, twice: Py_Initialize, the script, Py_FinalizeEx. */
int main(int argc, char** argv) {
  (void)argc;
  for (int round = 1; round <= 2; ++round) {
    Py_Initialize();
    PyObject* globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyObject* number = PyLong_FromLong(round);
    PyDict_SetItemString(globals, "ROUND", number);
    Py_DECREF(number);
    PyObject* result = PyRun_String(argv[1], Py_file_input, globals, globals);
    if (result == NULL) {
      PyErr_Print();
      return 10 + round;
    }
    Py_DECREF(result);
    Py_DECREF(globals);
    if (Py_FinalizeEx() < 0) return 20 + round;
  }
  return 0;
}
"""

EMBEDDED_SCRIPT = """
import sys
from tovra import Tovra
db = Tovra(sys_dir)
db.insert("c", {"round": ROUND, "tags": ("a", "b")})
try:
    db.update("c", {"$bogus": 1})
except BaseException as error:
    print(ROUND, type(error).__name__, db.find("c"), flush=True)
"""


def test_module_works_again_after_the_interpreter_is_started_anew(tmp_path):
    import shutil
    import sysconfig

    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None or not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        pytest.skip("needs a C compiler and a shared libpython")
    source = tmp_path / "embed.c"
    source.write_text(EMBEDDER)
    program = tmp_path / "embed"
    libdir = sysconfig.get_config_var("LIBDIR")
    subprocess.run(
        [compiler, str(source), "-o", str(program), "-I" + sysconfig.get_paths()["include"],
         "-L" + libdir, "-Wl,-rpath," + libdir,
         "-lpython" + sysconfig.get_config_var("LDVERSION")],
        check=True, capture_output=True, timeout=HANG_GUARD)
    import tovra

    env = dict(os.environ, PYTHONPATH=os.path.dirname(tovra.__file__), PYTHONHOME=sys.base_prefix)
    script = "sys_dir = %r\n" % str(tmp_path / "db") + EMBEDDED_SCRIPT
    proc = subprocess.run([str(program), script], capture_output=True, text=True, env=env,
                          timeout=HANG_GUARD)
    assert proc.returncode == 0, proc.stderr
    # Nothing was written, so the second interpreter starts from an empty directory again.
    assert proc.stdout.splitlines() == [
        "1 PanicException [{'round': 1, 'tags': ['a', 'b']}]",
        "2 PanicException [{'round': 2, 'tags': ['a', 'b']}]",
    ]


# --- Look-alikes: numpy booleans and int subclasses -----------------------------------------

def fake_numpy_scalar(name):
    return type(name, (), {"__module__": "numpy", "__bool__": lambda self: self.truth})


@pytest.mark.parametrize("name", ["bool_", "bool"])
@pytest.mark.parametrize("truth", [True, False])
def test_numpy_booleans_are_known_by_module_and_name(db, name, truth):
    flag = fake_numpy_scalar(name)()
    flag.truth = truth
    db.insert("c", {"a": 0})
    result = db.update("c", {"a": {"$set": 1}}, return_result=flag)
    assert result == ([{"a": 1}] if truth else None)


@pytest.mark.parametrize("make", [
    lambda: fake_numpy_scalar("int_")(),
    lambda: type("bool_", (), {"__module__": "numpyx"})(),
    lambda: type("numpy.bool_", (), {})(),
])
def test_other_objects_are_not_numpy_booleans(db, make):
    db.insert("c", {"a": 0})
    with pytest.raises(TypeError, match="cannot be converted to 'PyBool'"):
        db.update("c", {"a": {"$set": 1}}, return_result=make())


class LyingInt(int):
    """An int whose comparisons all claim the opposite of the truth."""

    def __lt__(self, other): return not int.__lt__(self, other)
    def __le__(self, other): return not int.__le__(self, other)
    def __gt__(self, other): return not int.__gt__(self, other)
    def __ge__(self, other): return not int.__ge__(self, other)
    def __eq__(self, other): return not int.__eq__(self, other)
    def __ne__(self, other): return not int.__ne__(self, other)
    __hash__ = int.__hash__


@pytest.mark.parametrize("kind", [int, LyingInt])
@pytest.mark.parametrize("value,outcome", [
    (2**64 - 1, None),
    (-2**63, None),
    (2**64, "range"),
    (2**128 - 1, "range"),
    (2**128, "overflow"),
    (2**200, "overflow"),
    (-2**63 - 1, "range"),
    (-2**127, "range"),
    (-2**127 - 1, "overflow"),
])
def test_ints_are_judged_by_their_value(db, kind, value, outcome):
    if outcome is None:
        db.insert("c", {"v": kind(value)})
        assert db.find("c") == [{"v": value}]
    elif outcome == "range":
        with pytest.raises(Exception) as raised:
            db.insert("c", {"v": kind(value)})
        assert type(raised.value) is Exception and str(raised.value) == "JSON number out of range"
    else:
        with pytest.raises(OverflowError) as raised:
            db.insert("c", {"v": kind(value)})
        assert str(raised.value) == "int too big to convert"
