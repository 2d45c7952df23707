"""A writer process killed at random moments never leaves a damaged or foreign collection file."""

import json
import os
import random
import signal
import subprocess
import sys

from tovra import Tovra

KILLS = 200
BASE_DOCUMENTS = 3000
PAD = "p" * 40

# Generation g of the collection holds BASE_DOCUMENTS + g documents, every one tagged with g, so
# any file content is either exactly some generation or damaged. The writer reports each
# generation once its write has returned; update diagnostics go to fd 1, so reports use a copy.
WRITER = f"""
import os, sys
from tovra import Tovra
report = os.fdopen(os.dup(1), "w")
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
db = Tovra(sys.argv[1])
documents = db.find("c")
generation = documents[0]["gen"]
print("ready", generation, file=report, flush=True)
while True:
    generation += 1
    db.update("c", {{"gen": generation}})
    db.insert("c", {{"gen": generation, "i": len(documents), "pad": {PAD!r}}})
    documents.append(None)
    if generation % 2:
        db.write("c")
    else:
        db.write_all()
    print(generation, file=report, flush=True)
"""


def generation_of(documents):
    """The generation a file content belongs to; fails the test for any other content."""
    generation = documents[0]["gen"]
    assert len(documents) == BASE_DOCUMENTS + generation
    assert documents == [{"gen": generation, "i": i, "pad": PAD} for i in range(len(documents))]
    return generation


def test_killed_writer_leaves_previous_or_new_content(tmp_path):
    db_path = tmp_path / "db"
    db = Tovra(str(db_path))
    db.insert_many("c", [{"gen": 0, "i": i, "pad": PAD} for i in range(BASE_DOCUMENTS)])
    db.write("c")
    del db

    rng = random.Random(7)
    collection_file = db_path / "c.json"
    for kill in range(KILLS):
        writer = subprocess.Popen(
            [sys.executable, "-c", WRITER, str(db_path)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        ready = writer.stdout.readline().split()
        if not ready:
            writer.wait()
            raise AssertionError(f"writer failed to start: {writer.stderr.read()}")
        try:
            writer.wait(timeout=rng.uniform(0, 0.03))
        except subprocess.TimeoutExpired:
            pass
        writer.send_signal(signal.SIGKILL)
        reports = writer.stdout.read().split("\n")
        writer.wait()
        writer.stdout.close()
        writer.stderr.close()
        assert writer.returncode == -signal.SIGKILL, f"kill {kill}: writer ended on its own"

        # The last line may have been cut by the kill; complete lines are finished writes.
        confirmed = [int(line) for line in reports[:-1]]
        last_confirmed = confirmed[-1] if confirmed else int(ready[1])
        with open(collection_file) as f:
            on_disk = json.load(f)
        assert generation_of(on_disk) in (last_confirmed, last_confirmed + 1), f"kill {kill}"

    reopened = Tovra(str(db_path))
    assert reopened.find("c") == on_disk
    # Killed writes may leave temporary files behind; they are listed like any entry, but
    # nothing is ever loaded from them.
    leftovers = [name for name in os.listdir(db_path) if name != "c.json"]
    assert all(name.endswith(".tmp") for name in leftovers)
    for stem in set(reopened.collections()) - {"c"}:
        try:
            reopened.write(stem)
        except ValueError as error:
            assert "not found in stored collections" in str(error)
        else:
            raise AssertionError(f"temporary file {stem!r} was loaded as a collection")
