"""The reader agrees with Python's json module on mutated JSON texts: what one accepts the
other accepts with equal values, what one refuses the other refuses."""

import json
import random
import re

import pytest

from tovra import Tovra

SEEDS = [
    b'[{"a":1,"b":[true,false,null],"c":"x\\u00e9\\ud83d\\ude00y","d":-0.5e-3,"e":{}}]',
    b'[1, 2.0, -3, "\\"\\\\\\/\\b\\f\\n\\r\\t", [[[]]], {"k":{"k":[1e5]}}]',
    b'[ "caf\xc3\xa9", 18446744073709551615, 0 , -0.0, 12.5E+2 ]',
    # Text long enough for the vectorised scans and checks, in every UTF-8 length.
    '[{"t\u00eftre":"donn\u00e9es Stra\u00dfe \u6771\u4eac \u03ba\u03cc\u03c3\u03bc\u03bf\u03c2 '
    '\u043c\u0438\u0440 \U0001f600 caf\u00e9 na\u00efve \u65e5\u672c\u8a9e end",'
    '"k":["\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9x",'
    '"\U0010ffff\uffff\u0800\u07ff\u0080\u007f"]}]'.encode("utf-8"),
]
# Single bytes of every UTF-8 class: leads of each length, continuations of each range, and
# bytes never allowed (C0, C1, F5..FF).
ALPHABET = (
    b' \t\n\r[]{},:"\\/0123456789-+.eEtrufalsn\xc3\xa9\xed\xa0\x80\x00\x1fuUabcdefABCDEF'
    b"\xc0\xc1\xc2\xdf\xe0\xe6\xef\xf0\xf4\xf5\xff\x8f\x90\x9f\xbf"
)
PIECES = [c.encode("utf-8") for c in "é\u07ff\u0800東\uffff\U00010000😀\U0010ffff"] + [
    b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe0\x80\x80", b"\xf0\x80\x80\x80", b"\xc0\x80"
]
# Texts where the two differ on purpose: lone surrogate escapes (refused here), NaN and the
# infinities (not JSON), numbers beyond 64-bit integers or doubles (kinds differ).
DIFFERENT_ON_PURPOSE = re.compile(rb"\\u[dD][89a-fA-F]|NaN|Infinity|\d{20}|[eE][+-]?\d{3}")


def python_reading(text):
    try:
        return json.loads(text.decode("utf-8"))
    except (UnicodeDecodeError, ValueError, RecursionError):
        return "refused"


def mutations(count):
    rng = random.Random(20261208)
    for _ in range(count):
        text = bytearray(rng.choice(SEEDS))
        for _ in range(rng.randint(1, 4)):
            i = rng.randrange(len(text))
            choice = rng.random()
            if choice < 0.35 and len(text) > 1:
                del text[i]
            elif choice < 0.7:
                text.insert(i, rng.choice(ALPHABET))
            elif choice < 0.85:
                text[i] = rng.choice(ALPHABET)
            else:
                # A whole character, or one cut short, into the middle of the text.
                piece = rng.choice(PIECES)
                text[i:i] = piece[: rng.randint(1, len(piece))]
        if not DIFFERENT_ON_PURPOSE.search(text):
            yield bytes(text)


@pytest.mark.parametrize("chunk", range(4))
def test_reader_agrees_with_json_module(tmp_path, chunk):
    texts = list(mutations(8000))[chunk::4]
    for text in texts:
        (tmp_path / "c.json").write_bytes(text)
        expected = python_reading(text)
        try:
            got = Tovra(str(tmp_path)).find("c")
        except ValueError as error:
            got = "refused" if str(error) == "Error deserializing JSON" else "not an array"
        if isinstance(expected, list):
            assert got == expected and json.dumps(got, sort_keys=True) == json.dumps(
                expected, sort_keys=True
            ), text
        else:
            assert got == ("refused" if expected == "refused" else "not an array"), text


def _number_literals(rng, count):
    """Integers and decimals of up to 20 digits in every form the grammar allows, some with
    exponents, around the bounds of 53-bit mantissas and 64-bit integers."""
    edges = ["0", "-0", "0.0", "-0.0", "9007199254740992", "9007199254740993.5", "0.1",
             "18446744073709551615", "-9223372036854775808", "9223372036854775807.0",
             "4503599627370497.5", "0.0000000000000000001", "1234567890123456789.0"]
    yield from edges
    for _ in range(count):
        digits = rng.randint(1, 19)
        whole = "0" if rng.random() < 0.2 else str(rng.randrange(10 ** (digits - 1), 10 ** digits))
        text = ("-" if rng.random() < 0.4 else "") + whole
        if rng.random() < 0.7:
            text += "." + "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 20)))
        if rng.random() < 0.1:
            text += rng.choice("eE") + rng.choice(["", "+", "-"]) + str(rng.randint(0, 30))
        if text.startswith("-") and "." not in text and "e" not in text.lower():
            if int(text) < -(2**63):
                continue  # beyond 64 bits tovra keeps a double where json keeps an int
        yield text


def test_numbers_read_exactly_as_json_reads_them(tmp_path):
    literals = list(_number_literals(random.Random(53), 6000))
    # Every number stands well inside the text, as the numbers of a collection file do.
    text = '[{"n": [' + ", ".join(literals) + "]}]" + " " * 64
    (tmp_path / "c.json").write_text(text)
    got = Tovra(str(tmp_path)).find("c")[0]["n"]
    expected = json.loads(text)[0]["n"]
    for literal, mine, theirs in zip(literals, got, expected):
        assert type(mine) is type(theirs) and repr(mine) == repr(theirs), literal
