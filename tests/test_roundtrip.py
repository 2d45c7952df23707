"""Any collection of JSON values survives a write and a reopen, number kinds included."""

import json
import random
import math
import tempfile
from decimal import Decimal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tovra import Tovra

text = st.text(st.characters(blacklist_categories=("Cs",)), max_size=8)
scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**64 - 1)
    | st.floats(allow_nan=False, allow_infinity=False)
    | text
)
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(text, inner, max_size=4),
    max_leaves=20,
)


def kinds(value):
    """The value with every scalar tagged by its Python type (and the sign of zero)."""
    if isinstance(value, dict):
        return {k: kinds(v) for k, v in value.items()}
    if isinstance(value, list):
        return [kinds(v) for v in value]
    if isinstance(value, float):
        return ("float", value, math.copysign(1.0, value))
    return (type(value).__name__, value)


def double_text(x):
    """Shortest round-trip digits D times ten to the E, laid out by the magnitude K = n + E."""
    if x == 0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    sign, digits, exp = Decimal(repr(abs(x))).as_tuple()
    d = "".join(map(str, digits)).rstrip("0")
    e = exp + len(digits) - len(d)
    k = len(d) + e
    if e >= 0 and k <= 16:
        body = d + "0" * e + ".0"
    elif 1 <= k <= 16:
        body = d[:k] + "." + d[k:]
    elif -4 <= k <= 0:
        body = "0." + "0" * -k + d
    else:
        body = d[0] + ("." + d[1:] if len(d) > 1 else "") + "e" + str(k - 1)
    return ("-" if x < 0 else "") + body


def expected_bytes(value):
    if isinstance(value, float):
        return double_text(value)
    if isinstance(value, list):
        return "[" + ",".join(map(expected_bytes, value)) + "]"
    if isinstance(value, dict):
        members = (expected_bytes(k) + ":" + expected_bytes(value[k]) for k in sorted(value))
        return "{" + ",".join(members) + "}"
    return json.dumps(value, ensure_ascii=False)


def write_and_check(docs):
    with tempfile.TemporaryDirectory() as tmp:
        path = tmp + "/db"
        db = Tovra(path)
        db.insert_many("c", docs)
        db.write("c")
        assert kinds(Tovra(path).find("c")) == kinds(docs)
        with open(path + "/c.json", "rb") as f:
            data = f.read()
        assert data == expected_bytes(docs).encode()
        assert kinds(json.loads(data)) == kinds(docs)


@settings(max_examples=100, deadline=None)
@given(st.lists(values, max_size=6))
def test_written_collection_reopens_equal(docs):
    write_and_check(docs)


@pytest.mark.parametrize("size", [8191, 8192, 8193, 20000])
def test_output_larger_than_the_buffer(size):
    # Escapes and multi-byte characters straddle the buffer boundaries.
    write_and_check(["a" * size, "\u00e9\n\x01" * size, [i / 7 for i in range(size // 8)]])


@pytest.mark.parametrize("megabytes", [4, 13])
def test_files_of_many_megabytes_write_whole(megabytes):
    # The writer hands finished stretches of a large file to the device as it goes on; every
    # stretch, and the tail after the last one, must land.
    write_and_check([{"n": i, "text": "t\u00e9xt " * 170} for i in range(megabytes * 1000)])


def short_decimals():
    """Doubles written with few digits, as stored numbers mostly are, and their neighbours."""
    rng = random.Random(20261208)
    for _ in range(3000):
        fraction_digits = rng.randint(0, 11)
        mantissa = rng.randint(1, 10 ** rng.randint(1, 17))
        x = mantissa / 10**fraction_digits
        yield x
        yield math.nextafter(x, math.inf)
        yield -math.nextafter(x, 0.0)
    # Where the product of the digits reaches 10**15, and beyond nine fraction digits.
    yield from (999999999999999.9, 99999999999999.99, 1e15 - 1, 1e15 - 0.125, 0.1234567891,
                123456.123456789, 2.5e-10, 1e-9, 0.000001, 4.35, 0.3, 2.675)


def test_doubles_are_written_with_their_shortest_digits():
    docs = list(short_decimals())
    write_and_check(docs)


@pytest.mark.parametrize("shapes", [1, 3, 200])
def test_objects_sharing_keys_are_written_exactly(shapes):
    # Keys of one key list are rendered once per write and reused for its later objects: keys
    # that need escapes, long keys, empty ones and many key lists in turn must come out as the
    # first object's did.
    keys = ["", "a", 'q"uote', "back\\slash", "\x01ctl", "\u00e9t\u00e9", "\U0001f600",
            "k" * 31, "long key " * 8]
    key_lists = [[keys[(s + j) % len(keys)] + str(s) for j in range(1 + s % 5)]
                 for s in range(shapes)]
    docs = []
    for i in range(600):
        names = key_lists[i % shapes]
        inner = {name: i for name in names}
        docs.append({name: (inner if j == 0 else [inner, str(i)]) for j, name in enumerate(names)})
    write_and_check(docs)


@pytest.mark.parametrize("inner_shapes", [1, 70, 300])
def test_objects_inside_an_object_of_a_rendered_shape_keep_its_keys(inner_shapes):
    # The outer shape's keys are rendered by the time its third object is written; the many
    # key lists met twice inside that object are rendered meanwhile, and must not take over the
    # outer keys while they are still being written.
    inner = []
    for j in range(inner_shapes):
        one = {f"k{j}": 0, f"m{j}": 1}
        inner += [one, dict(one)]
    write_and_check([{"x": [], "y": 1}, {"x": [], "y": 1}, {"x": inner, "y": 2}])
