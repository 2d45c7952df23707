"""Shared fixtures: every test works on a database directory of its own under tmp_path."""

import os

import pytest

from tovra import Tovra


@pytest.fixture
def db_path(tmp_path):
    """The directory of the `db` fixture (created by opening it)."""
    return tmp_path / "db"


@pytest.fixture
def db(db_path):
    """A freshly opened, empty database."""
    return Tovra(str(db_path))


@pytest.fixture
def open_with(db_path):
    """Open a database on a directory pre-filled with files: open_with({"c.json": "[]"}).

    Values are str or bytes file contents; a value of None makes a sub-directory.
    """

    def make(files):
        db_path.mkdir(exist_ok=True)
        for name, content in files.items():
            target = os.path.join(os.fsencode(db_path), os.fsencode(name))
            if content is None:
                os.mkdir(target)
            else:
                with open(target, "wb") as f:
                    f.write(content.encode() if isinstance(content, str) else content)
        return Tovra(str(db_path))

    return make

