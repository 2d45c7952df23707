"""Deterministic documents and the queries run against them.

Every document is about 200 bytes of compact JSON. The fields that the queries select on
are dealt out in exact proportions and then shuffled, so that for any size that is a
multiple of 100 each query matches a known number of documents and every system can be
checked against the same count:

- ``age`` takes each of the 100 values 18..117 equally often, so ``age == 42`` matches
  exactly 1% and ``age >= 68`` exactly 50%;
- ``address.city`` takes each of ten cities equally often (10% each);
- ``id`` runs 0..N-1 in order, so ``id < 10`` matches ten documents at every size.
"""

from __future__ import annotations

import json
import os
import random
from typing import Any

DEFAULT_SEED = 20240611
SINGLE_INSERT_COUNT = 10_000

FIRST_NAMES = (
    "Alice", "Bruno", "Chloe", "Dmitri", "Elena", "Farid", "Greta", "Hiro", "Ines", "Jonas",
    "Kira", "Lucas", "Maya", "Nils", "Olga", "Pablo", "Quinn", "Rosa", "Sven", "Tara",
    "Umar", "Vera", "Wim", "Xenia", "Yusuf", "Zoe",
)
LAST_NAMES = (
    "Martin", "Novak", "Okafor", "Petrov", "Quist", "Rossi", "Silva", "Tanaka", "Ueda",
    "Varga", "Weber", "Xu", "Yilmaz", "Zhang", "Andersen", "Bakker", "Costa", "Dubois",
)
STREETS = ("Oak", "Maple", "Cedar", "Birch", "Elm", "Pine", "Willow", "Ash", "Linden", "Hazel")
STREET_KINDS = ("Street", "Avenue", "Road", "Lane", "Way")
CITIES = (
    "Lyon", "Porto", "Ghent", "Tartu", "Brno", "Graz", "Malmo", "Turku", "Cork", "Bergen",
)
TAGS = (
    "red", "green", "blue", "amber", "violet", "admin", "beta", "vip", "trial", "archived",
    "mobile", "desktop",
)

# The queries, in the shape tovra and polodb accept. Peers that need another shape derive
# theirs from the same field names and operands in bench/peers.py.
FIND_1PCT = {"age": 42}
FIND_50PCT = {"age": {"$gte": 68}}
FIND_CACHED = {"id": {"$lt": 10}}
UPDATE_ALL = {"age": {"$inc": 1}}
UPDATE_FILTER = {"address.city": "Lyon"}
UPDATE_FILTERED = {"age": {"$inc": 1}}

CACHED_MATCHES = 10


def expected_matches(size: int) -> dict[str, int]:
    """How many documents each filtered operation selects in a collection of ``size``."""
    return {
        "find_1pct": size // 100,
        "find_50pct": size // 2,
        "find_cached": min(CACHED_MATCHES, size),
        "update_filtered": size // len(CITIES),
    }


def _dealt(rng: random.Random, count: int, values: tuple[Any, ...] | range) -> list[Any]:
    """``count`` values cycling through ``values`` in exact proportion, shuffled."""
    dealt = [values[k % len(values)] for k in range(count)]
    rng.shuffle(dealt)
    return dealt


def make_documents(count: int, seed: int = DEFAULT_SEED, first_id: int = 0) -> list[dict]:
    """``count`` documents with ids ``first_id`` onwards; the same arguments give the same list."""
    rng = random.Random(seed * 1_000_003 + first_id)
    ages = _dealt(rng, count, range(18, 118))
    cities = _dealt(rng, count, CITIES)
    documents = []
    for k in range(count):
        doc_id = first_id + k
        first = rng.choice(FIRST_NAMES)
        last = rng.choice(LAST_NAMES)
        year = rng.randint(2015, 2024)
        month = rng.randint(1, 12)
        day = rng.randint(1, 28)
        documents.append(
            {
                "id": doc_id,
                "name": f"{first} {last}",
                "email": f"{first.lower()}.{last.lower()}{doc_id}@example.com",
                "age": ages[k],
                "score": round(rng.uniform(0.0, 100.0), 2),
                "active": rng.random() < 0.5,
                "tags": rng.sample(TAGS, rng.randint(1, 4)),
                "address": {
                    "street": f"{rng.randint(1, 999)} {rng.choice(STREETS)} "
                    f"{rng.choice(STREET_KINDS)}",
                    "city": cities[k],
                    "zip": f"{rng.randint(10000, 99999)}",
                },
                "joined": f"{year:04d}-{month:02d}-{day:02d}",
            }
        )
    return documents


def loop_documents(count: int) -> list[dict]:
    """``count`` documents made the way a short benchmark script makes them: one comprehension
    over ``range``, every value computed from the index. The objects come out one after another
    in memory, unlike those of :func:`make_documents`, whose random draws interleave them with
    the generator's own garbage."""
    return [
        {
            "id": i,
            "name": f"user{i}",
            "email": f"user{i}@example.com",
            "age": 18 + i % 100,
            "score": i * 0.25,
            "active": i % 2 == 0,
            "tags": ["alpha", "beta"] if i % 3 else ["gamma"],
            "address": {"city": CITIES[i % len(CITIES)], "zip": f"{i % 100000:05d}"},
        }
        for i in range(count)
    ]


def compact_json(documents: list[dict]) -> str:
    """The documents as one compact JSON array, the layout tovra writes its own files in."""
    return json.dumps(documents, separators=(",", ":"), ensure_ascii=False)


def write_collection_file(directory: str, collection: str, documents: list[dict]) -> str:
    """Write ``documents`` as the collection file ``<directory>/<collection>.json``."""
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, collection + ".json")
    with open(path, "w", encoding="utf-8") as out:
        out.write(compact_json(documents))
    return path
