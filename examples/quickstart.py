"""A first look at tovra: open a database, insert, query, update, write and reopen."""

import sys
import tempfile
from pathlib import Path

from tovra import Tovra


def main(directory: str) -> None:
    db = Tovra(directory)
    db.insert_many(
        "people",
        [
            {"name": "Ada", "age": 36, "city": "London"},
            {"name": "Grace", "age": 45, "city": "Arlington"},
            {"name": "Linus", "age": 28, "city": "Helsinki"},
        ],
    )
    db.insert("people", {"name": "Barbara", "age": 52, "city": "Boston"})

    over_30 = db.find("people", {"age": {"$gt": 30}})
    print("over 30:", [person["name"] for person in over_30])

    # Every update entry reports what it parsed on standard output.
    db.update("people", {"age": {"$inc": 1}}, {"city": "London"})
    db.write("people")

    reopened = Tovra(directory)
    print("collections:", reopened.collections())
    for person in reopened.find("people"):
        print(f"  {person['name']:8} {person['age']!r:>5}  {person['city']}")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        main(sys.argv[1])
    else:
        with tempfile.TemporaryDirectory() as scratch:
            main(str(Path(scratch) / "db"))
