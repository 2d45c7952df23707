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
]
ALPHABET = b' \t\n\r[]{},:"\\/0123456789-+.eEtrufalsn\xc3\xa9\xed\xa0\x80\x00\x1fuUabcdefABCDEF'
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
            if choice < 0.4 and len(text) > 1:
                del text[i]
            elif choice < 0.8:
                text.insert(i, rng.choice(ALPHABET))
            else:
                text[i] = rng.choice(ALPHABET)
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
