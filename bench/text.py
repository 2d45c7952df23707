"""The text-heavy benchmark: documents whose strings are mostly prose, in many scripts.

Each document has an id, a title of about 50 bytes and a body of about 500, made of words
drawn from accented Latin, Greek, Cyrillic and CJK. Its ASCII twin has the same shape and the
same byte length in every string (each word is swapped for an ASCII word of equal UTF-8
length), so the two sets differ only in what the bytes encode. Both are run through tovra's
``Tovra(dir)``, ``insert_many`` and ``find`` of all, and the multilingual set also through
orjson's ``loads`` and ``dumps``, the fastest codec a Python programmer would reach for.

Run with ``python -m bench --dataset text`` (30,000 documents unless ``--sizes`` says
otherwise); it writes text.md, text.json and text.png into the output directory.
"""

from __future__ import annotations

import os
import random
import shutil
import statistics
import sys
import tempfile
import time
from dataclasses import dataclass
from typing import Callable, Optional

from . import data, report, runner

DEFAULT_SIZE = 30_000
TITLE_BYTES = 50
BODY_BYTES = 500
COLLECTION = "c"

WORDS = (
    # Accented Latin
    "données", "Straße", "café", "naïve", "über", "façade", "señor", "mañana", "élève",
    "Äpfel", "søster", "řeka", "łódź", "crème", "pièce", "Größe", "ação", "coração",
    # Greek
    "κόσμος", "Ελλάδα", "θάλασσα", "λόγος", "ψυχή", "ημέρα", "φως",
    # Cyrillic
    "мир", "привет", "Москва", "книга", "вода", "человек", "город", "язык",
    # CJK
    "東京", "日本語", "世界", "中文", "漢字", "한국어", "서울", "大阪", "北京", "学校",
    # Plain ASCII, as real prose in these languages mixes in
    "the", "and", "data", "2024", "OK",
)
ASCII_LETTERS = "abcdefghijklmnopqrstuvwxyz"

OPERATIONS = (
    ("open", "Tovra(dir) on the collection file / orjson.loads of the file"),
    ("insert_many", "insert_many into an empty collection / orjson.dumps of the list"),
    ("insert_many_fresh", "the same, each run on a new copy of the list whose strs were never "
     "encoded (repeated runs over one list find the UTF-8 form that orjson.dumps leaves cached "
     "in every non-ASCII str, and both copy it)"),
    ("find_all", "find of all documents / orjson.loads of the collection bytes"),
)


@dataclass(frozen=True)
class Target:
    operation: str
    numerator: str  # "tovra:text"
    denominator: str  # "tovra:ascii" or "orjson:text"
    limit: float
    text: str


TARGETS = (
    Target("open", "tovra:text", "tovra:ascii", 1.3, "open, multilingual vs ASCII of equal bytes"),
    Target("open", "tovra:text", "orjson:text", 0.3, "open vs orjson.loads of the file"),
    Target("insert_many", "tovra:text", "orjson:text", 1.2, "insert_many vs orjson.dumps"),
    Target("insert_many_fresh", "tovra:text", "orjson:text", 1.2,
           "insert_many vs orjson.dumps, strs never encoded before"),
    Target("find_all", "tovra:text", "tovra:ascii", 1.3,
           "find of all, multilingual vs ASCII of equal bytes"),
    Target("find_all", "tovra:text", "orjson:text", 0.5, "find of all vs orjson.loads"),
)


def _ascii_word(word: str, rng: random.Random) -> str:
    return "".join(rng.choice(ASCII_LETTERS) for _ in range(len(word.encode("utf-8"))))


def _sentence(rng: random.Random, target_bytes: int, twin: dict) -> tuple[str, str]:
    """Words until about ``target_bytes`` of UTF-8, and the ASCII twin of the same bytes."""
    words, ascii_words, size = [], [], 0
    while size < target_bytes:
        word = rng.choice(WORDS)
        words.append(word)
        ascii_words.append(twin[word])
        size += len(word.encode("utf-8")) + 1
    return " ".join(words), " ".join(ascii_words)


def make_text_documents(count: int, seed: int = data.DEFAULT_SEED) -> tuple[list, list]:
    """``count`` multilingual documents and their ASCII twins (equal UTF-8 length per string)."""
    rng = random.Random(seed)
    twin_rng = random.Random(seed + 1)
    twin = {word: _ascii_word(word, twin_rng) for word in WORDS}
    text, ascii_ = [], []
    for k in range(count):
        title, ascii_title = _sentence(rng, TITLE_BYTES, twin)
        body, ascii_body = _sentence(rng, BODY_BYTES, twin)
        text.append({"id": k, "title": title, "body": body})
        ascii_.append({"id": k, "title": ascii_title, "body": ascii_body})
    return text, ascii_


def _measure(run: Callable, before: Optional[Callable] = None) -> float:
    bench = runner.peers.Bench(run=run, before=before)
    return runner._timed(bench, limit_s=1e9)[0]


def run(size: int = DEFAULT_SIZE, repeat: int = 5, warmup: int = 1,
        seed: int = data.DEFAULT_SEED, progress: bool = True) -> dict:
    """Measure every cell; returns plain data: {"meta": ..., "results": {op: {cell: runs}}}."""
    import orjson
    from tovra import Tovra

    text_docs, ascii_docs = make_text_documents(size, seed)
    root = tempfile.mkdtemp(prefix="tovra-text-bench-")
    started = time.time()
    try:
        sets = {"text": text_docs, "ascii": ascii_docs}
        files = {}
        for name, documents in sets.items():
            directory = os.path.join(root, name)
            path = data.write_collection_file(directory, COLLECTION, documents)
            with open(path, "rb") as source:
                files[name] = (directory, path, source.read())
        loaded = {name: Tovra(files[name][0]) for name in sets}

        def fresh_copy(documents):
            # New str objects with the same text and no UTF-8 form cached in them.
            return [{key: value.encode("utf-8").decode("utf-8") if isinstance(value, str)
                     else value for key, value in document.items()} for document in documents]

        def insert_many(name, fresh=False):
            state = {}

            def before():
                scratch = os.path.join(root, "insert")
                shutil.rmtree(scratch, ignore_errors=True)
                state["db"] = Tovra(scratch)
                state["db"].create_collection(COLLECTION)
                state["documents"] = fresh_copy(sets[name]) if fresh else sets[name]

            return (lambda: state["db"].insert_many(COLLECTION, state["documents"])), before

        def dumps_fresh(name):
            state = {}

            def before():
                state["documents"] = fresh_copy(sets[name])

            return (lambda: orjson.dumps(state["documents"])), before

        def orjson_open(name):
            def run_():
                with open(files[name][1], "rb") as source:
                    return orjson.loads(source.read())
            return run_

        cells = {
            "open": {
                "tovra:text": (lambda: Tovra(files["text"][0]), None),
                "tovra:ascii": (lambda: Tovra(files["ascii"][0]), None),
                "orjson:text": (orjson_open("text"), None),
                "orjson:ascii": (orjson_open("ascii"), None),
            },
            "insert_many": {
                "tovra:text": insert_many("text"),
                "tovra:ascii": insert_many("ascii"),
                "orjson:text": (lambda: orjson.dumps(text_docs), None),
                "orjson:ascii": (lambda: orjson.dumps(ascii_docs), None),
            },
            "insert_many_fresh": {
                "tovra:text": insert_many("text", fresh=True),
                "tovra:ascii": insert_many("ascii", fresh=True),
                "orjson:text": dumps_fresh("text"),
                "orjson:ascii": dumps_fresh("ascii"),
            },
            "find_all": {
                "tovra:text": (lambda: loaded["text"].find(COLLECTION), None),
                "tovra:ascii": (lambda: loaded["ascii"].find(COLLECTION), None),
                "orjson:text": (lambda: orjson.loads(files["text"][2]), None),
                "orjson:ascii": (lambda: orjson.loads(files["ascii"][2]), None),
            },
        }
        # The results of find must be the documents themselves.
        if loaded["text"].find(COLLECTION) != text_docs:
            raise AssertionError("find of all did not return the multilingual documents")
        results = {}
        for operation, by_cell in cells.items():
            runs = {key: [] for key in by_cell}
            for round_index in range(warmup + repeat):
                for key, (call, before) in by_cell.items():
                    seconds = _measure(call, before)
                    if round_index >= warmup:
                        runs[key].append(seconds)
                if progress:
                    print(f"\r{operation}: round {round_index + 1}/{warmup + repeat}", end="",
                          flush=True, file=sys.stderr)
            results[operation] = runs
        if progress:
            print(file=sys.stderr)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return {
        "meta": runner.run_meta(
            started,
            size=size,
            repeat=repeat,
            warmup=warmup,
            seed=seed,
            file_bytes={name: len(files[name][2]) for name in files},
            operations=dict(OPERATIONS),
        ),
        "results": results,
    }


def _median(raw: dict, operation: str, cell: str) -> Optional[float]:
    runs = raw["results"].get(operation, {}).get(cell)
    return statistics.median(runs) if runs else None


def evaluate_targets(raw: dict) -> list:
    rows = []
    for target in TARGETS:
        a = _median(raw, target.operation, target.numerator)
        b = _median(raw, target.operation, target.denominator)
        ratio = a / b if a and b else None
        rows.append((target, ratio, report.verdict(ratio, target.limit)))
    return rows


def markdown(raw: dict) -> str:
    meta = raw["meta"]
    machine = meta["machine"]
    sizes = meta["file_bytes"]
    lines = [
        "# tovra text benchmark: multilingual and ASCII text", "",
        report.machine_line(machine),
        f"Run {meta['started']}, {meta['seconds']} s. {meta['size']:,} documents of a title "
        f"(~{TITLE_BYTES} bytes) and a body (~{BODY_BYTES} bytes). Collection files: "
        f"multilingual {sizes['text'] / 1e6:.1f} MB, ASCII twin {sizes['ascii'] / 1e6:.1f} MB "
        f"(equal bytes in every string). Median of {meta['repeat']} timed runs after "
        f"{meta['warmup']} warm-up run(s), cells interleaved run by run, `gc.collect()` before "
        "and the collector on during each, as in a program.",
        "", "| operation | tovra, multilingual | tovra, ASCII | orjson, multilingual | "
        "orjson, ASCII |", "|---|---|---|---|---|",
    ]
    for operation, description in meta["operations"].items():
        cells = [_median(raw, operation, key) for key in
                 ("tovra:text", "tovra:ascii", "orjson:text", "orjson:ascii")]
        lines.append(f"| {operation} | " + " | ".join(
            "—" if v is None else report.format_seconds(v) for v in cells) + " |")
    lines += ["", "Operations:", ""]
    lines += [f"- `{name}`: {text}" for name, text in meta["operations"].items()]
    lines += ["", "## Targets (tovra / other)", "", "| target | limit | measured | verdict |",
              "|---|---|---|---|"]
    for target, ratio, verdict in evaluate_targets(raw):
        measured = "—" if ratio is None else f"{ratio:.3f}"
        lines.append(f"| {target.text} | ≤ {target.limit:g} | {measured} | {verdict} |")
    lines += ["", "Rerun with `python -m bench --dataset text` (`--sizes`, `--repeat`, `--out`).",
              ""]
    return "\n".join(lines)


def _bars_figure(plt, raw: dict):
    """Grouped bars: one group per operation, one bar per cell."""
    keys = ("tovra:text", "tovra:ascii", "orjson:text", "orjson:ascii")
    labels = ("tovra, multilingual", "tovra, ASCII", "orjson, multilingual", "orjson, ASCII")
    operations = list(raw["results"])
    figure, axis = plt.subplots(figsize=(8, 4))
    width = 0.2
    for index, (key, label) in enumerate(zip(keys, labels)):
        values = [(_median(raw, op, key) or 0) * 1e3 for op in operations]
        xs = [i + (index - 1.5) * width for i in range(len(operations))]
        axis.bar(xs, values, width, label=label)
    axis.set_xticks(range(len(operations)))
    axis.set_xticklabels(operations)
    axis.set_ylabel("milliseconds (median)")
    axis.set_title(f"{raw['meta']['size']:,} text documents: multilingual and ASCII of equal bytes")
    axis.legend(frameon=False)
    axis.grid(True, axis="y", alpha=0.3)
    figure.tight_layout()
    return figure


def chart(raw: dict, path: str) -> bool:
    """The bar chart of every cell; False when matplotlib is missing."""
    return report.draw_chart(path, lambda plt: _bars_figure(plt, raw))


def write_all(raw: dict, directory: str) -> dict:
    """Write text.json, text.md and text.png; returns the paths written."""
    return report.write_all(raw, directory, stem="text", chart_stem="text", to_markdown=markdown,
                            to_chart=chart)
