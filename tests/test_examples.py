"""The contacts example, run as a user would run it: one process per command."""

import subprocess
import sys
from pathlib import Path

import pytest

from tovra import Tovra

CONTACTS = Path(__file__).resolve().parent.parent / "examples" / "contacts.py"


@pytest.fixture
def contacts(tmp_path):
    def run(*args, code=0):
        result = subprocess.run(
            [sys.executable, str(CONTACTS), "--db", str(tmp_path / "book"), *args],
            capture_output=True, text=True,
        )
        assert result.returncode == code, result.stdout + result.stderr
        return result.stdout

    run.db_path = tmp_path / "book"
    return run


def names(listing):
    return [line.split("  ")[0] for line in listing.splitlines()]


def test_a_book_through_every_command(contacts):
    assert contacts("list") == ""
    assert contacts("add", "Grace Hopper", "--city", "Arlington") == "added Grace Hopper\n"
    contacts("add", "Ada Lovelace", "--email", "ada@example.org", "--city", "London")
    assert names(contacts("list")) == ["Ada Lovelace", "Grace Hopper"]
    assert "ada@example.org" in contacts("list")

    assert names(contacts("find", "--city", "London")) == ["Ada Lovelace"]
    contacts("find", "--city", "London", "--name", "Grace Hopper", code=1)

    # update sets a field stored empty at add, and renames; its query diagnostics stay hidden.
    out = contacts("update", "Grace Hopper", "--email", "grace@example.org", "--rename", "Grace")
    assert out == "updated Grace\n"
    assert names(contacts("find", "--email", "grace@example.org")) == ["Grace"]
    contacts("find", "--name", "Grace Hopper", code=1)

    assert contacts("remove", "Ada Lovelace") == "removed Ada Lovelace\n"
    assert names(contacts("list")) == ["Grace"]
    contacts("find", "--city", "London", code=1)

    # Every command saved its work: the file read afresh holds the final state.
    rows = {row["name"]: row for row in Tovra(str(contacts.db_path)).find("contacts")}
    assert rows["Grace"] == {
        "name": "Grace", "email": "grace@example.org", "phone": None, "city": "Arlington",
        "removed": False,
    }
    assert rows["Ada Lovelace"]["removed"] is True


@pytest.mark.parametrize("args, code", [
    (["update", "Nobody", "--city", "Oslo"], 1),
    (["remove", "Nobody"], 1),
    (["add", "Ada"], 1),                       # already in the book
    (["update", "Ada", "--rename", "Ada"], 1),  # the new name is taken
    (["update", "Ada"], 2),                    # nothing to change
    (["find"], 2),                             # no criterion
])
def test_refused_commands_change_nothing(contacts, args, code):
    contacts("add", "Ada", "--city", "London")
    before = (contacts.db_path / "contacts.json").read_bytes()
    contacts(*args, code=code)
    assert (contacts.db_path / "contacts.json").read_bytes() == before
