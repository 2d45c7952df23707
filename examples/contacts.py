"""A small address book on the command line, kept in a tovra database.

    python examples/contacts.py --db ~/.contacts add "Ada Lovelace" --email ada@example.org
    python examples/contacts.py --db ~/.contacts find --city London
    python examples/contacts.py --db ~/.contacts update "Ada Lovelace" --phone "+44 20 7946 0000"
    python examples/contacts.py --db ~/.contacts remove "Ada Lovelace"
    python examples/contacts.py --db ~/.contacts list

Every command that changes something writes the collection before it returns.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from typing import Any, Dict, Iterator, List

from tovra import Tovra

COLLECTION = "contacts"
FIELDS = ("email", "phone", "city")


@contextlib.contextmanager
def quiet_stdout() -> Iterator[None]:
    """Hide what update prints about the query it parsed (it writes to descriptor 1 directly)."""
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        with open(os.devnull, "w") as devnull:
            os.dup2(devnull.fileno(), 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def open_book(directory: str) -> Tovra:
    db = Tovra(directory)
    # find raises on a collection that does not exist, and a new book is empty, not an error;
    # create_collection leaves an existing collection file alone.
    db.create_collection(COLLECTION)
    return db


def active(db: Tovra, **fields: str) -> List[Dict[str, Any]]:
    """The contacts that are not removed and whose fields equal the given values."""
    return db.find(COLLECTION, {"removed": False, **fields})


def show(contacts: List[Dict[str, Any]]) -> None:
    for contact in sorted(contacts, key=lambda c: str(c["name"]).casefold()):
        columns = [contact.get(field) or "-" for field in FIELDS]
        print(f"{contact['name']:<22} {columns[0]:<28} {columns[1]:<18} {columns[2]}")


def cmd_add(db: Tovra, args: argparse.Namespace) -> int:
    if active(db, name=args.name):
        print(f"{args.name!r} is already in the book; use update", file=sys.stderr)
        return 1
    # Every field is stored, empty ones as null: update changes fields but never adds one.
    contact: Dict[str, Any] = {"name": args.name, "removed": False}
    contact.update({field: getattr(args, field) for field in FIELDS})
    db.insert(COLLECTION, contact)
    db.write(COLLECTION)
    print(f"added {args.name}")
    return 0


def cmd_list(db: Tovra, args: argparse.Namespace) -> int:
    show(active(db))
    return 0


def cmd_find(db: Tovra, args: argparse.Namespace) -> int:
    wanted = {field: getattr(args, field) for field in ("name", *FIELDS) if getattr(args, field)}
    if not wanted:
        print("find needs at least one of --name, --email, --phone, --city", file=sys.stderr)
        return 2
    found = active(db, **wanted)
    if not found:
        print("no contact matches", file=sys.stderr)
        return 1
    show(found)
    return 0


def change(db: Tovra, name: str, changes: Dict[str, Any]) -> bool:
    """Apply changes to the active contact called name and save; False when there is none."""
    if not active(db, name=name):
        print(f"no contact called {name!r}", file=sys.stderr)
        return False
    with quiet_stdout():
        db.update(COLLECTION, changes, {"name": name, "removed": False})
    db.write(COLLECTION)
    return True


def cmd_update(db: Tovra, args: argparse.Namespace) -> int:
    changes = {field: getattr(args, field) for field in FIELDS if getattr(args, field)}
    if args.rename:
        if active(db, name=args.rename):
            print(f"{args.rename!r} is already in the book", file=sys.stderr)
            return 1
        changes["name"] = args.rename
    if not changes:
        print("nothing to change", file=sys.stderr)
        return 2
    if not change(db, args.name, changes):
        return 1
    print(f"updated {args.rename or args.name}")
    return 0


def cmd_remove(db: Tovra, args: argparse.Namespace) -> int:
    # The contact is marked, not deleted: the collection file is then replaced in one atomic
    # write, and a removed contact can still be found in the file by hand.
    if not change(db, args.name, {"removed": True}):
        return 1
    print(f"removed {args.name}")
    return 0


def parse_args(argv: List[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="A contacts book kept in a tovra database.")
    parser.add_argument("--db", default="contacts-db", help="database directory")
    commands = parser.add_subparsers(dest="command", required=True)

    add = commands.add_parser("add", help="add a contact")
    add.add_argument("name")
    commands.add_parser("list", help="list every contact")
    find = commands.add_parser("find", help="list the contacts whose fields match exactly")
    find.add_argument("--name")
    update = commands.add_parser("update", help="change fields of a contact")
    update.add_argument("name")
    update.add_argument("--rename", help="new name")
    remove = commands.add_parser("remove", help="remove a contact")
    remove.add_argument("name")
    for sub in (add, find, update):
        for field in FIELDS:
            sub.add_argument(f"--{field}")

    handlers = {"add": cmd_add, "list": cmd_list, "find": cmd_find}
    handlers.update({"update": cmd_update, "remove": cmd_remove})
    args = parser.parse_args(argv)
    args.handler = handlers[args.command]
    return args


def main(argv: List[str]) -> int:
    args = parse_args(argv)
    db = open_book(args.db)
    code: int = args.handler(db, args)
    return code


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
