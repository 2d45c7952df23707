"""Text in every script: str values and keys of any width go in and come back exactly, through
memory and through the file, and text that UTF-8 cannot hold is refused as CPython refuses it."""

import random
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tovra import Tovra

# Any code point but a lone surrogate, which has no UTF-8 form.
any_text = st.text(st.characters(blacklist_categories=("Cs",)), max_size=80)
# Long runs of one script take the vectorised paths, short mixes the step-by-step ones.
SAMPLES = [
    "",
    "ascii only",
    "é",
    "ÿ" * 3,
    "données Straße naïve façade " * 5,
    "κόσμος мир привет Ελλάδα " * 5,
    "東京 日本語 世界 " * 9,
    "mixed é κ м 東 😀 end",
    "😀🎉" * 20,
    "\x00\x1f\x7f\x80\xff\u0100\u07ff\u0800\ud7ff\ue000\uffff\U00010000\U0010ffff",
    "a" * 15 + "é",
    "é" + "a" * 40,
    "\"quote\" \\ back\nslash 東",
]


@settings(max_examples=150, deadline=None)
@given(st.lists(any_text, min_size=1, max_size=5))
def test_any_text_comes_back_equal_through_the_file(tmp_path_factory, texts):
    path = str(tmp_path_factory.mktemp("db"))
    documents = [{"value": text, "list": [text, 1], text: text[::-1]} for text in texts]
    db = Tovra(path)
    db.insert_many("c", documents)
    assert db.find("c") == documents
    db.write("c")
    reopened = Tovra(path)
    found = reopened.find("c")
    assert found == documents
    for document in found:
        for key, value in document.items():
            assert isinstance(key, str) and type(value) in (str, list)
    for text in texts:
        assert reopened.find("c", {"value": text}) == [d for d in documents if d["value"] == text]


@pytest.mark.parametrize("text", SAMPLES)
def test_strings_of_every_kind_round_trip(db, db_path, text):
    document = {"v": text, text: [text]}
    db.insert("c", document)
    assert db.find("c") == [document]
    db.write("c")
    again = Tovra(str(db_path)).find("c")
    assert again == [document]
    # The same str as decoding the stored UTF-8 would give, down to its internal width.
    value = again[0]["v"]
    assert value == text.encode("utf-8").decode("utf-8")
    assert sys.getsizeof(value) == sys.getsizeof(text.encode("utf-8").decode("utf-8"))


@pytest.mark.parametrize("text", [t for t in SAMPLES if not t.isascii()])
def test_inserting_leaves_no_utf8_copy_in_the_callers_str(db, text):
    # A fresh str (not interned or cached from an earlier encoding).
    fresh = "".join(list(text))
    size = sys.getsizeof(fresh)
    db.insert("c", {fresh: fresh})
    db.insert_many("c", [{"v": [fresh]}])
    assert sys.getsizeof(fresh) == size


def _with_utf8_copy(text: str) -> str:
    """A fresh str that carries CPython's cached UTF-8 form, as after a JSON encoder saw it."""
    import ctypes

    fresh = "".join(list(text))
    as_utf8 = ctypes.pythonapi.PyUnicode_AsUTF8AndSize
    as_utf8.argtypes = [ctypes.py_object, ctypes.c_void_p]
    as_utf8.restype = ctypes.c_char_p
    assert as_utf8(fresh, None) == text.encode("utf-8").split(b"\0")[0]
    return fresh


@pytest.mark.parametrize("text", [t for t in SAMPLES if not t.isascii()])
def test_strs_that_carry_their_utf8_store_the_same_text(db, db_path, text):
    carrying = _with_utf8_copy(text)
    documents = [{carrying: carrying, "v": [carrying, text]}]
    db.insert_many("c", documents)
    db.insert("c", {"k": carrying})
    expected = documents + [{"k": text}]
    assert db.find("c") == expected
    assert db.find("c", {"k": text}) == [{"k": text}]
    db.write("c")
    assert Tovra(str(db_path)).find("c") == expected


@pytest.mark.parametrize(
    "bad",
    ["\ud800", "a\udfff", "é\ud800x", "東京\udc00", "😀\ud83d", "x" * 50 + "\ud800\udc00" + "y"],
)
@pytest.mark.parametrize("where", ["value", "key", "nested"])
def test_lone_surrogates_are_refused_as_cpython_refuses_them(db, bad, where):
    with pytest.raises(UnicodeEncodeError) as expected:
        bad.encode("utf-8")
    document = {"value": {"v": bad}, "key": {bad: 1}, "nested": {"v": [1, {"w": bad}]}}[where]
    with pytest.raises(UnicodeEncodeError) as raised:
        db.insert_many("c", [{"ok": "é"}, document])
    assert str(raised.value) == str(expected.value)
    assert raised.value.args == expected.value.args
    assert db.collections() == []


# Code points of each width a str can have: ASCII, the rest of one byte, two bytes (Latin to
# CJK, around the surrogates) and four.
WIDTHS = {
    "ascii": [0x00, 0x20, 0x41, 0x7F],
    "latin1": [0x80, 0xC9, 0xE9, 0xFF],
    "bmp": [0x100, 0x3BA, 0x43C, 0x7FF, 0x800, 0x6771, 0xD7FF, 0xE000, 0xFFFF],
    "astral": [0x10000, 0x1F600, 0x10FFFF],
}
# Byte lengths around the steps of the vector paths (16 and 32 bytes) and the reads past them.
LENGTHS = [1, 2, 3, 7, 8, 14, 15, 16, 17, 18, 19, 31, 32, 33, 34, 35, 47, 48, 49, 64, 100]


def _text_of_bytes(filler: str, length: int, widest: str, where: str) -> str:
    """About `length` bytes of UTF-8 of `filler`, with `widest` once at `where`."""
    text = filler * max(1, length // len(filler.encode("utf-8")))
    if where == "start":
        return widest + text
    if where == "end":
        return text + widest
    return text[: len(text) // 2] + widest + text[len(text) // 2 :]


def _assert_same_str(found, text):
    decoded = text.encode("utf-8").decode("utf-8")
    assert found == decoded
    # The same kind of str (one, two or four bytes per character) as decoding gives.
    assert sys.getsizeof(found) == sys.getsizeof(decoded)


@pytest.mark.parametrize("filler", ["a", "é", "κ", "東", "😀", "aé東"])
@pytest.mark.parametrize("widest", ["z", "ÿ", "Ā", "\uffff", "\U0010ffff"])
@pytest.mark.parametrize("where", ["start", "middle", "end"])
def test_found_strings_are_what_decoding_gives_at_every_length(db, filler, widest, where):
    texts = [_text_of_bytes(filler, length, widest, where) for length in LENGTHS]
    db.insert_many("c", [{"v": text} for text in texts])
    for document, text in zip(db.find("c"), texts):
        _assert_same_str(document["v"], text)


@pytest.mark.parametrize("seed", range(4))
def test_random_strings_of_mixed_widths_decode_as_python_decodes(db_path, seed):
    rng = random.Random(seed)
    texts = []
    for _ in range(400):
        classes = rng.sample(sorted(WIDTHS), rng.randint(1, len(WIDTHS)))
        pool = [cp for name in classes for cp in WIDTHS[name]]
        pool += [rng.randrange(0x20, 0x80) for _ in range(4)]
        texts.append("".join(chr(rng.choice(pool)) for _ in range(rng.randint(0, 120))))
    db = Tovra(str(db_path))
    db.insert_many("c", [{"v": text} for text in texts])
    db.write("c")
    for found in (db.find("c"), Tovra(str(db_path)).find("c")):
        assert len(found) == len(texts)
        for document, text in zip(found, texts):
            _assert_same_str(document["v"], text)
