"""Turns raw results into results.md, results.json and the scaling chart."""

from __future__ import annotations

import json
import math
import os
from dataclasses import dataclass
from typing import Callable, Optional

from . import peers

TARGET_SIZE = 100_000
HUGE_SIZE = 1_000_000
CACHE_SMALL_SIZE = 1_000
# Operations whose cost should grow in proportion to N (single inserts are a fixed batch
# and a cache hit a fixed result, so they are left out).
LINEAR_OPERATIONS = (
    "open", "insert_many", "find_all", "find_1pct", "find_50pct", "update_all",
    "update_filtered", "write", "memory", "memory_cached",
)
LINEAR_LIMIT = 1.15


@dataclass(frozen=True)
class Target:
    operation: str
    # A system key; "tovra@1000" for the cache-hit scaling check; "tovra:<operation>" for
    # tovra's own median of another operation at the same size.
    peer: str
    limit: float
    text: str
    # The sizes it is judged at (a size that was not run shows as not measured).
    sizes: tuple = (TARGET_SIZE,)


TARGETS = (
    Target("find_1pct", "stdlib", 0.5, "filtered find 1%, cache miss, vs list comprehension"),
    Target("find_1pct", "tinydb", 0.02, "filtered find 1%, cache miss, vs TinyDB (JSON file)"),
    Target("find_1pct", "tinydb_mem", 0.02,
           "filtered find 1%, cache miss, vs TinyDB (memory storage; stricter than asked)"),
    Target("find_1pct", "sqlite", 0.1, "filtered find 1%, cache miss, vs sqlite3 json_extract"),
    Target("find_cached", "tovra@1000", 1.2, "cache hit at 100,000 vs at 1,000 documents"),
    Target("find_all", "orjson", 0.5, "find of all vs orjson.loads of the collection file"),
    Target("insert_many", "orjson", 1.2, "insert_many vs orjson.dumps of the list",
           sizes=(TARGET_SIZE, HUGE_SIZE)),
    Target("insert_many", "tinydb", 0.05, "insert_many vs TinyDB insert_multiple (JSON file)"),
    Target("insert_many", "tinydb_mem", 0.05,
           "insert_many vs TinyDB insert_multiple (memory storage; stricter than asked)"),
    Target("write", "orjson", 1.0, "write vs orjson.dumps + writing and syncing the bytes"),
    Target("write", "stdlib", 0.3, "write vs json.dump"),
    Target("open", "orjson", 0.15, "open vs orjson.loads of the file"),
    Target("update_all", "stdlib", 0.33, "update $inc over all vs a Python loop over dicts"),
    Target("memory", "stdlib", 0.3, "memory of a loaded collection vs Python dicts"),
    Target("memory_cached", "tovra:memory", 0.1,
           "memory of 100 cached 50% results vs the loaded collection"),
)


# ------------------------------------------------------------------------ accessors


def _cell(raw: dict, operation: str, size: int, system: str) -> Optional[dict]:
    return raw["results"].get(operation, {}).get(str(size), {}).get(system)


def median(raw: dict, operation: str, size: int, system: str) -> Optional[float]:
    cell = _cell(raw, operation, size, system)
    return None if cell is None else cell.get("median")


def _systems(raw: dict) -> list:
    """The system keys of a run: all on made documents first, then those on each other source."""
    keys = list(raw["meta"]["systems"])
    order = {source: index for index, source in enumerate(peers.SOURCES)}
    return sorted(keys, key=lambda key: order.get(_source(key), len(order)))


def _source(key: str) -> str:
    return key.split("@", 1)[1] if "@" in key else "made"


def _tovra_median(raw: dict, operation: str, size: int, source: str) -> Optional[float]:
    """tovra's median on ``source``, or on its own made documents for an operation that does
    not take Python documents in (a find, an update)."""
    if source != "made":
        value = median(raw, operation, size, f"tovra@{source}")
        if value is not None or _cell(raw, operation, size, f"tovra@{source}") is not None:
            return value
    return median(raw, operation, size, "tovra")


def _label(raw: dict, key: str) -> str:
    return raw["meta"]["systems"][key]["label"]


# ----------------------------------------------------------------------- formatting


def machine_line(machine: dict) -> str:
    """The "Machine: ..." line of a dataset's report."""
    return (f"Machine: {machine['cpu']}, {machine['cores']} cores, {machine['os']}, "
            f"{machine['implementation']} {machine['python']}.")


def verdict(ratio: Optional[float], limit: float) -> str:
    """PASS or MISS of a ratio against its limit; "not measured" without a ratio."""
    if ratio is None:
        return "not measured"
    return "PASS" if ratio <= limit else "MISS"


def format_seconds(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def format_bytes(count: float) -> str:
    return f"{count / 2**20:.1f} MiB"


def format_value(operation: str, value: float) -> str:
    return format_bytes(value) if operation in peers.MEMORY_OPERATIONS else format_seconds(value)


def _format_cell(operation: str, cell: Optional[dict]) -> str:
    if cell is None:
        return "—"
    if cell.get("error"):
        return "error"
    if cell.get("median") is None:
        return "—"
    text = format_value(operation, cell["median"])
    if cell.get("extrapolated"):
        text = "~" + text
    if cell.get("capped"):
        text += f" † (n={len(cell['runs'])})"
    return text


def _ratio(numerator: Optional[float], denominator: Optional[float]) -> Optional[float]:
    if numerator is None or denominator is None or denominator <= 0:
        return None
    return numerator / denominator


def _format_ratio(ratio: Optional[float]) -> str:
    if ratio is None:
        return "—"
    if ratio >= 100:
        return f"{ratio:.0f}×"
    if ratio >= 10:
        return f"{ratio:.1f}×"
    return f"{ratio:.2f}×"


def _table(header: list, rows: list) -> list:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return lines


# ------------------------------------------------------------------------- analysis


def scaling_exponents(raw: dict, system: str = "tovra") -> tuple:
    """Fitted exponent k in time ~ N^k between 10,000 and 100,000 (or the two largest
    sizes measured), per operation; returns (small, large, {operation: k})."""
    sizes = sorted(raw["meta"]["sizes"])
    if 10_000 in sizes and 100_000 in sizes:
        small, large = 10_000, 100_000
    elif len(sizes) >= 2:
        small, large = sizes[-2], sizes[-1]
    else:
        return None, None, {}
    exponents = {}
    for operation in raw["results"]:
        low = median(raw, operation, small, system)
        high = median(raw, operation, large, system)
        if low and high and low > 0 and high > 0:
            exponents[operation] = math.log(high / low) / math.log(large / small)
    return small, large, exponents


def source_ratios(raw: dict, operation: str, size: int, peer: str) -> dict:
    """tovra / ``peer`` on each source the peer ran on: {source: ratio}, ratios that could not
    be taken left out."""
    ratios = {}
    for key in _systems(raw):
        if key != peer and not key.startswith(peer + "@"):
            continue
        source = _source(key)
        ratio = _ratio(_tovra_median(raw, operation, size, source),
                       median(raw, operation, size, key))
        if ratio is not None:
            ratios[source] = ratio
    return ratios


def evaluate_targets(raw: dict) -> list:
    """One row per target and size: (target, size, measured ratio or None, verdict, ratios by
    source). Against a peer that ran on several sources, the worse ratio for tovra counts."""
    rows = []
    for target in TARGETS:
        for size in target.sizes:
            by_source = {}
            tovra = median(raw, target.operation, size, "tovra")
            if target.peer == "tovra@1000":
                ratio = _ratio(tovra, median(raw, target.operation, CACHE_SMALL_SIZE, "tovra"))
            elif target.peer.startswith("tovra:"):
                other = median(raw, target.peer.split(":", 1)[1], size, "tovra")
                ratio = _ratio(tovra, other)
            else:
                by_source = source_ratios(raw, target.operation, size, target.peer)
                ratio = max(by_source.values()) if by_source else None
            rows.append((target, size, ratio, verdict(ratio, target.limit), by_source))
    return rows


# -------------------------------------------------------------------------- outputs


def markdown(raw: dict) -> str:
    meta = raw["meta"]
    machine = meta["machine"]
    systems = _systems(raw)
    sizes = meta["sizes"]
    operations = list(raw["results"])
    lines = ["# tovra benchmark results", ""]
    lines.append(
        f"Machine: {machine['cpu']}, {machine['cores']} cores, "
        f"{machine['memory_gib']} GiB, {machine['os']}, "
        f"{machine['implementation']} {machine['python']}."
    )
    versions = ", ".join(
        f"{_label(raw, key)} {meta['systems'][key]['version']}".strip() for key in systems
    )
    lines.append(f"Systems: {versions}.")
    if meta["skipped"]:
        skipped = "; ".join(f"{key}: {why}" for key, why in meta["skipped"].items())
        lines.append(f"Skipped: {skipped}.")
    lines.append(
        f"Run {meta['started']}, {meta['seconds']} s. Median of {meta['repeat']} timed runs "
        f"after {meta['warmup']} warm-up run(s), systems interleaved run by run; memory: "
        f"median of {meta['memory_repeat']} fresh processes. Time cap "
        f"{meta['cap_seconds']:g} s per system, operation and size. Seed {meta['seed']}."
    )
    lines.append("")
    lines.append(
        "`†`: the time cap stopped the runs early (n = timed runs kept). `~`: the batch of "
        "single inserts was cut at its share of the cap and the time scaled up to the whole "
        "batch. `—`: the system has no such operation or was not run."
    )

    lines += ["", "## Operations", ""]
    lines += [f"- `{name}`: {text}" for name, text in meta["operations"].items()
              if name in operations]
    if len(meta.get("sources", {})) > 1:
        lines += ["", "## Sources of the Python documents", ""]
        lines += [f"- `{name}`: {text}" for name, text in meta["sources"].items()]
        lines.append("")
        lines.append("A column marked (loaded) or (loop) is that system on that source; the "
                     "others are on the made documents.")

    for size in sizes:
        lines += ["", f"## N = {size:,}: medians", ""]
        header = ["operation"] + [_label(raw, key) for key in systems]
        rows = []
        for operation in operations:
            row = [operation]
            for key in systems:
                row.append(_format_cell(operation, _cell(raw, operation, size, key)))
            rows.append(row)
        lines += _table(header, rows)

        if "tovra" in systems and len(systems) > 1:
            lines += ["", f"## N = {size:,}: peer / tovra (above 1: tovra is faster)", ""]
            lines.append("Each peer on a source against tovra on the same source where tovra "
                         "takes Python documents in (inserts), else against tovra.")
            lines.append("")
            others = [key for key in systems if not key.startswith("tovra")]
            header = ["operation"] + [_label(raw, key) for key in others]
            rows = []
            for operation in operations:
                row = [operation]
                for key in others:
                    tovra = _tovra_median(raw, operation, size, _source(key))
                    row.append(_format_ratio(_ratio(median(raw, operation, size, key), tovra)))
                rows.append(row)
            lines += _table(header, rows)

    errors = [
        f"- {operation} N={size} {key}: {cell['error']}"
        for operation, by_size in raw["results"].items()
        for size, by_system in by_size.items()
        for key, cell in by_system.items()
        if cell.get("error")
    ]
    if errors:
        lines += ["", "## Errors", ""] + errors

    if "tovra" in systems:
        small, large, exponents = scaling_exponents(raw)
        peer_exponents = {key: scaling_exponents(raw, key)[2] for key in systems}
        if exponents:
            lines += ["", f"## Scaling between {small:,} and {large:,} documents", ""]
            lines.append(
                "Fitted exponent k in time ∝ N^k (1 is linear), tovra first and the peers for "
                "comparison: an exponent that all systems share comes from the machine (the "
                "data outgrowing the processor caches), not from one system. Single inserts "
                "are a fixed batch and a cache hit a fixed result, so k ≈ 0 is expected "
                "there for tovra."
            )
            lines.append("")
            rows = []
            for operation in exponents:
                row = [operation]
                for key in systems:
                    k = peer_exponents[key].get(operation)
                    row.append("—" if k is None else f"{k:.2f}")
                rows.append(row)
            lines += _table(["operation"] + [_label(raw, key) for key in systems], rows)

        lines += ["", f"## Targets (N = {TARGET_SIZE:,}, tovra / other)", ""]
        lines.append(
            "Against a peer run on several sources of documents, the worse ratio for tovra "
            "counts; the ratio on each source follows it."
        )
        lines.append("")
        rows = []
        for target, size, ratio, verdict, by_source in evaluate_targets(raw):
            measured = "—" if ratio is None else f"{ratio:.3f}"
            if len(by_source) > 1:
                measured += " (" + ", ".join(
                    f"{source} {value:.2f}" for source, value in by_source.items()) + ")"
            text = target.text if size == TARGET_SIZE else f"{target.text}, N = {size:,}"
            rows.append([text, f"≤ {target.limit:g}", measured, verdict])
        if exponents and small == 10_000 and large == TARGET_SIZE:
            for operation in LINEAR_OPERATIONS:
                if operation not in exponents:
                    continue
                k = exponents[operation]
                measured = f"{k:.2f}"
                verdict = "PASS" if k <= LINEAR_LIMIT else "MISS"
                peer_ks = sorted(
                    ks[operation] for key, ks in peer_exponents.items()
                    if key != "tovra" and operation in ks
                )
                if peer_ks:
                    peer_k = peer_ks[len(peer_ks) // 2]
                    measured += f" (peers' median {peer_k:.2f})"
                    if verdict == "MISS" and peer_k >= k - 0.05:
                        verdict = "MISS (peers alike)"
                rows.append([f"{operation} grows linearly (exponent 10k→100k)",
                             f"≤ {LINEAR_LIMIT:g}", measured, verdict])
        lines += _table(["target", "limit", "measured", "verdict"], rows)

    lines += ["", "## How each peer does each operation", ""]
    lines.append(
        "The tovra column calls the `Tovra` methods: `Tovra(dir)` on a directory holding the "
        "collection file, `insert_many`, `insert`, `find` (after `clear_cache()` for cache "
        "misses), `update` (its diagnostic lines sent to /dev/null) and `write`."
    )
    lines.append("")
    lines += [f"- {_label(raw, key)}: {peers.METHODS[key]}." for key in systems
              if key in peers.METHODS]
    lines += [
        "",
        "Every filtered result is checked against the expected count in the warm-up run. "
        "Memory is the resident set size added by loading the collection file in a fresh "
        "interpreter, after `gc.collect()`, for tovra (`Tovra(dir)`) and for the same "
        "documents as Python dicts (`json.load`, and `orjson.loads`).",
        "",
        "Rerun with `python -m bench` (options: `--sizes`, `--huge`, `--repeat`, `--only`, "
        "`--systems`, `--cap`, `--out`).",
        "",
    ]
    return "\n".join(lines)


def draw_chart(path: str, draw: Callable) -> bool:
    """Saves the figure that ``draw(plt)`` makes with matplotlib.pyplot as a PNG at ``path``;
    False when matplotlib is missing."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    figure = draw(plt)
    figure.savefig(path, dpi=100)
    plt.close(figure)
    return True


def _scaling_figure(plt, raw: dict):
    """Log-log time against N, one panel per operation."""
    operations = list(raw["results"])
    systems = _systems(raw)
    sizes = sorted(raw["meta"]["sizes"])
    columns = 4 if len(operations) > 4 else len(operations)
    rows = math.ceil(len(operations) / columns)
    figure, axes = plt.subplots(rows, columns, figsize=(4.2 * columns, 3.4 * rows),
                                squeeze=False)
    colours = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    for index, operation in enumerate(operations):
        axis = axes[index // columns][index % columns]
        for number, key in enumerate(systems):
            points = [(n, median(raw, operation, n, key)) for n in sizes]
            points = [(n, v) for n, v in points if v]
            if not points:
                continue
            xs = [n for n, _ in points]
            ys = [v / 2**20 if operation in peers.MEMORY_OPERATIONS else v for _, v in points]
            axis.plot(xs, ys, marker="o", label=_label(raw, key),
                      color=colours[number % len(colours)],
                      linewidth=2.5 if key == "tovra" else 1.2)
        axis.set_xscale("log")
        axis.set_yscale("log")
        axis.set_title(operation)
        axis.set_xlabel("documents (N)")
        axis.set_ylabel("MiB" if operation in peers.MEMORY_OPERATIONS else "seconds")
        axis.grid(True, which="both", alpha=0.3)
    for index in range(len(operations), rows * columns):
        axes[index // columns][index % columns].axis("off")
    handles, labels = [], []
    for axis in axes.flat:
        for handle, label in zip(*axis.get_legend_handles_labels()):
            if label not in labels:
                handles.append(handle)
                labels.append(label)
    if len(operations) < rows * columns:
        spare = axes[rows - 1][columns - 1]
        spare.legend(handles, labels, loc="center", frameon=False, title="system")
    else:
        figure.legend(handles, labels, loc="lower right", ncol=2, frameon=False)
    figure.suptitle("tovra and its peers: median time against collection size (log-log)")
    figure.tight_layout(rect=(0, 0, 1, 0.97))
    return figure


def chart(raw: dict, path: str) -> bool:
    """The scaling chart; False when matplotlib is missing."""
    return draw_chart(path, lambda plt: _scaling_figure(plt, raw))


def write_all(raw: dict, directory: str, stem: str = "results", chart_stem: str = "scaling",
              to_markdown: Callable = markdown, to_chart: Callable = chart) -> dict:
    """Write <stem>.json, <stem>.md (``to_markdown(raw)``) and <chart_stem>.png
    (``to_chart(raw, path)``, when matplotlib is there); returns the paths written."""
    os.makedirs(directory, exist_ok=True)
    paths = {}
    paths["json"] = os.path.join(directory, f"{stem}.json")
    with open(paths["json"], "w", encoding="utf-8") as out:
        json.dump(raw, out, indent=1)
    paths["markdown"] = os.path.join(directory, f"{stem}.md")
    with open(paths["markdown"], "w", encoding="utf-8") as out:
        out.write(to_markdown(raw))
    png = os.path.join(directory, f"{chart_stem}.png")
    if to_chart(raw, png):
        paths["chart"] = png
    return paths
