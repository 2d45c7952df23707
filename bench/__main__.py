"""Command line: ``python -m bench [--sizes ...] [--huge] [--repeat N] [--only ops] ...``."""

from __future__ import annotations

import argparse
import json
import sys

from . import keyed, many, peers, report, runner, text


def _names(text: str, known: tuple, what: str) -> tuple:
    names = tuple(name.strip() for name in text.split(",") if name.strip())
    unknown = [name for name in names if name not in known]
    if unknown:
        raise argparse.ArgumentTypeError(
            f"unknown {what}: {', '.join(unknown)} (known: {', '.join(known)})"
        )
    return names


def _sizes(text: str) -> list:
    try:
        sizes = [int(part.replace("_", "")) for part in text.split(",") if part.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"sizes must be integers: {text!r}") from None
    if not sizes or any(size < 100 or size % 100 for size in sizes):
        raise argparse.ArgumentTypeError("sizes must be positive multiples of 100")
    return sizes


def parse_arguments(argv=None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m bench", description="Benchmark tovra against its peers."
    )
    parser.add_argument("--dataset", choices=("documents", "text", "keyed", "many_collections"), default="documents",
                        help="documents: the default benchmark against every peer; text: "
                        "multilingual and ASCII prose against orjson (see bench/text.py); "
                        "keyed: lookups and updates by a field's value (see bench/keyed.py); "
                        "many_collections: 5,000 small collections loaded from one document, "
                        "written and reopened (see bench/many.py)")
    parser.add_argument("--sizes", type=_sizes, default=None,
                        help="comma-separated collection sizes (default 1000,10000,100000; "
                        f"{text.DEFAULT_SIZE} for --dataset text, which takes the first)")
    parser.add_argument("--huge", action="store_true", help="add 1,000,000 documents")
    parser.add_argument("--repeat", type=int, default=5,
                        help="timed runs per cell; the median is reported (default 5)")
    parser.add_argument("--warmup", type=int, default=1, help="untimed runs first (default 1)")
    parser.add_argument("--only", type=lambda t: _names(t, peers.OPERATION_NAMES, "operation"),
                        default=peers.OPERATION_NAMES,
                        help="comma-separated operations: " + ",".join(peers.OPERATION_NAMES))
    parser.add_argument("--systems", type=lambda t: _names(t, peers.SYSTEM_KEYS, "system"),
                        default=peers.SYSTEM_KEYS,
                        help="comma-separated systems: " + ",".join(peers.SYSTEM_KEYS))
    parser.add_argument("--sources",
                        type=lambda t: _names(t, peers.SOURCES, "source"), default=peers.SOURCES,
                        help="sources of the Python documents, besides made: loaded (after "
                        "json.loads of their text), loop (made in one comprehension); "
                        "default all")
    parser.add_argument("--cap", type=float, default=30.0,
                        help="seconds one system may spend on one operation at one size "
                        "before it stops repeating (default 30)")
    parser.add_argument("--seed", type=int, default=runner.data.DEFAULT_SEED)
    parser.add_argument("--out", default="bench/results", help="output directory")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    parser.add_argument("--from-json", metavar="RESULTS_JSON",
                        help="measure nothing: rewrite the report and chart from a "
                        "results.json of an earlier run")
    arguments = parser.parse_args(argv)
    if arguments.repeat < 1 or arguments.warmup < 0:
        parser.error("--repeat must be at least 1 and --warmup at least 0")
    if arguments.sizes is None:
        arguments.sizes = ([text.DEFAULT_SIZE] if arguments.dataset == "text"
                           else list(keyed.DEFAULT_SIZES) if arguments.dataset == "keyed"
                           else [many.DEFAULT_SIZE] if arguments.dataset == "many_collections"
                           else [1_000, 10_000, 100_000])
    if arguments.huge and 1_000_000 not in arguments.sizes:
        arguments.sizes = arguments.sizes + [1_000_000]
    arguments.sizes = sorted(set(arguments.sizes))
    return arguments


def main(argv=None) -> int:
    arguments = parse_arguments(argv)
    if arguments.from_json:
        with open(arguments.from_json, encoding="utf-8") as source:
            raw = json.load(source)
        for kind, path in report.write_all(raw, arguments.out).items():
            print(f"{kind}: {path}", file=sys.stderr)
        return 0
    if arguments.dataset == "keyed":
        raw = keyed.run(arguments.sizes, arguments.repeat, arguments.warmup, arguments.seed,
                        progress=not arguments.no_progress)
        for kind, path in keyed.write_all(raw, arguments.out).items():
            print(f"{kind}: {path}", file=sys.stderr)
        return 0
    if arguments.dataset == "many_collections":
        raw = many.run(arguments.sizes[0], arguments.repeat, arguments.warmup,
                       progress=not arguments.no_progress)
        for kind, path in many.write_all(raw, arguments.out).items():
            print(f"{kind}: {path}", file=sys.stderr)
        return 0
    if arguments.dataset == "text":
        raw = text.run(arguments.sizes[0], arguments.repeat, arguments.warmup, arguments.seed,
                       progress=not arguments.no_progress)
        for kind, path in text.write_all(raw, arguments.out).items():
            print(f"{kind}: {path}", file=sys.stderr)
        return 0
    options = runner.Options(
        sizes=arguments.sizes,
        repeat=arguments.repeat,
        warmup=arguments.warmup,
        operations=arguments.only,
        systems=arguments.systems,
        cap_seconds=arguments.cap,
        sources=arguments.sources,
        seed=arguments.seed,
        progress=not arguments.no_progress,
    )
    raw = runner.run(options)
    for key, reason in raw["meta"]["skipped"].items():
        print(f"skipped {key}: {reason}", file=sys.stderr)
    paths = report.write_all(raw, arguments.out)
    for kind, path in paths.items():
        print(f"{kind}: {path}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
