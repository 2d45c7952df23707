"""Runs every operation for every size and system, interleaved, and collects the timings.

For one size and one operation the systems take turns: a warm-up round, then ``repeat``
timed rounds, each round running every system once (A B C, A B C, ...), so that drift in
the machine's state touches all of them alike. A system whose runs for one cell have used
up the time cap stops early (it keeps the runs it has, at least one); a system whose batch
of single inserts would take longer than its share of the cap inserts for that share of
time and has its time scaled up to the whole batch. Both are marked in the results.

The cyclic garbage collector is run before and paused during each timed call, as timeit
does, so that a collection triggered by one system's garbage is not billed to the next.
Calls too short to time one by one (cache hits) are timed in a loop sized in the warm-up
to take a few milliseconds, and the loop's time is divided by its length.
"""

from __future__ import annotations

import gc
import os
import platform
import statistics
import sys
import tempfile
import time
from dataclasses import dataclass, field
from typing import Optional

from . import data, memory, peers


@dataclass
class Cell:
    """The measurements of one system for one operation at one size."""

    values: list = field(default_factory=list)
    capped: bool = False  # fewer runs than asked for, because of the time cap
    extrapolated: bool = False  # the batch was cut short and the time scaled up
    error: Optional[str] = None

    @property
    def median(self) -> Optional[float]:
        return statistics.median(self.values) if self.values else None

    def as_json(self) -> dict:
        return {
            "median": self.median,
            "runs": self.values,
            "capped": self.capped,
            "extrapolated": self.extrapolated,
            "error": self.error,
        }


@dataclass
class Options:
    sizes: list
    repeat: int = 5
    warmup: int = 1
    operations: tuple = peers.OPERATION_NAMES
    systems: tuple = peers.SYSTEM_KEYS
    cap_seconds: float = 30.0
    sources: tuple = peers.SOURCES
    seed: int = data.DEFAULT_SEED
    progress: bool = True
    workdir: Optional[str] = None


class _Progress:
    """tqdm when it is installed, otherwise a one-line counter on stderr."""

    def __init__(self, total: int, enabled: bool) -> None:
        self.total = total
        self.done = 0
        self.enabled = enabled
        self.bar = None
        if enabled:
            try:
                from tqdm import tqdm

                self.bar = tqdm(total=total, unit="run", file=sys.stderr, leave=True)
            except ImportError:
                self.bar = None

    def describe(self, text: str) -> None:
        self.text = text
        if self.bar is not None:
            self.bar.set_description(text, refresh=True)
        elif self.enabled:
            self._draw()

    def step(self, count: int = 1) -> None:
        self.done += count
        if self.bar is not None:
            self.bar.update(count)
        elif self.enabled:
            self._draw()

    def _draw(self) -> None:
        text = getattr(self, "text", "")
        sys.stderr.write(f"\r[{self.done}/{self.total}] {text:<48}")
        sys.stderr.flush()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.enabled:
            sys.stderr.write("\n")


LOOP_TARGET_SECONDS = 0.005
LOOP_MAX_CALLS = 10_000


def _timed(bench: peers.Bench, limit_s: float, calls: int = 1):
    """Run one timed sample of ``calls`` calls; returns (seconds per call, result,
    extrapolated)."""
    if bench.before is not None:
        bench.before()
    # Cold, as in a program whose heap is not hot: the collector runs first, and stays on
    # during the call, as it is in a real program (a peer that builds many objects pays for
    # the collections it triggers; tovra pauses the collector itself while it converts).
    gc.collect()
    fraction = 1.0
    try:
        start = time.perf_counter()
        if bench.run_partial is not None:
            fraction = bench.run_partial(limit_s)
            result = None
        elif calls > 1:
            run = bench.run
            for _ in range(calls):
                result = run()
        else:
            result = bench.run()
        elapsed = (time.perf_counter() - start) / calls
    finally:
        if bench.after is not None:
            bench.after()
    if fraction <= 0:
        raise RuntimeError("made no progress within the time limit")
    return elapsed / fraction, result, fraction < 1.0


def _check_count(system: str, operation: str, bench: peers.Bench, result, expected) -> None:
    if bench.count is None or expected is None:
        return
    got = bench.count(result)
    if got != expected:
        raise AssertionError(
            f"{system} {operation}: result holds {got} documents, expected {expected}"
        )


def _expected_count(operation: str, size: int) -> Optional[int]:
    if operation in ("open", "find_all"):
        return size
    return data.expected_matches(size).get(operation)


def run_meta(started: float, **fields) -> dict:
    """The meta block of a dataset's raw results: the machine, when the run started and how long
    it took, then the dataset's own ``fields``."""
    return {
        "machine": machine_info(),
        "started": time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(started)),
        "seconds": round(time.time() - started, 1),
        **fields,
    }


def machine_info() -> dict:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory_gib = None
    try:
        memory_gib = round(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30, 1)
    except (ValueError, OSError, AttributeError):
        pass
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "memory_gib": memory_gib,
        "os": platform.platform(),
        "python": platform.python_version(),
        "implementation": platform.python_implementation(),
    }


def run(options: Options) -> dict:
    """Measure everything ``options`` asks for; returns the raw results as plain data."""
    systems = []
    skipped = {}
    for system_class in peers.ALL_SYSTEMS:
        if system_class.key not in options.systems:
            continue
        reason = system_class.availability()
        if reason is None:
            systems += [system_class(source) for source in system_class.sources
                        if source == "made" or source in options.sources]
        else:
            skipped[system_class.key] = reason

    operations = [op for op in peers.OPERATION_NAMES if op in options.operations]
    memory_repeat = min(options.repeat, 3)
    rounds = {
        op: (memory_repeat if op == "memory" else options.warmup + options.repeat)
        for op in operations
    }
    progress = _Progress(len(options.sizes) * sum(rounds.values()), options.progress)

    results = {op: {} for op in operations}
    own_workdir = options.workdir is None
    root = tempfile.mkdtemp(prefix="tovra-bench-") if own_workdir else options.workdir
    started = time.time()
    try:
        for size in options.sizes:
            progress.describe(f"N={size:,}: generating")
            workdir = os.path.join(root, f"n{size}")
            os.makedirs(workdir, exist_ok=True)
            ctx = peers.SizeContext.create(size, options.seed, workdir)
            for system in systems:
                progress.describe(f"N={size:,}: preparing {system.label}")
                system.prepare(ctx)
            for operation in operations:
                progress.describe(f"N={size:,} {operation}")
                if operation in peers.MEMORY_OPERATIONS:
                    cells = _measure_memory(systems, operation, ctx, memory_repeat, progress)
                else:
                    cells = _measure_times(systems, operation, ctx, options, progress)
                results[operation][str(size)] = {k: c.as_json() for k, c in cells.items()}
            for system in systems:
                system.cleanup()
            del ctx
            gc.collect()
    finally:
        progress.close()
        if own_workdir:
            import shutil

            shutil.rmtree(root, ignore_errors=True)

    return {
        "meta": {
            "machine": machine_info(),
            "started": time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(started)),
            "seconds": round(time.time() - started, 1),
            "sizes": options.sizes,
            "repeat": options.repeat,
            "warmup": options.warmup,
            "memory_repeat": memory_repeat,
            "cap_seconds": options.cap_seconds,
            "sources": {source: peers.SOURCE_TEXT[source] for source in peers.SOURCES
                        if source == "made" or source in options.sources},
            "seed": options.seed,
            "systems": {s.key: {"label": s.label, "version": s.version()} for s in systems},
            "skipped": skipped,
            "operations": dict(peers.OPERATIONS),
            "single_insert_count": data.SINGLE_INSERT_COUNT,
        },
        "results": results,
    }


def _measure_times(systems, operation, ctx, options, progress) -> dict:
    benches = {}
    cells = {}
    for system in systems:
        try:
            bench = system.bench(operation, ctx)
        except Exception as error:  # a peer that cannot set this up is reported, not fatal
            cells[system.key] = Cell(error=f"{error.__class__.__name__}: {error}")
            continue
        if bench is not None:
            benches[system.key] = bench
            cells[system.key] = Cell()
    spent = {key: 0.0 for key in benches}
    rounds = options.warmup + options.repeat
    # A batch that would overrun its share of the cap is cut short and scaled up.
    per_run_limit = options.cap_seconds / max(rounds, 1)
    expected = _expected_count(operation, ctx.size)
    calls = {key: 1 for key in benches}
    for round_index in range(rounds):
        for key, bench in benches.items():
            cell = cells[key]
            if cell.error is not None or cell.capped:
                continue
            try:
                seconds, result, extrapolated = _timed(bench, per_run_limit, calls[key])
                if round_index == 0:
                    _check_count(key, operation, bench, result, expected)
                    if bench.repeatable:
                        # Sized on a second call: the first may have filled a cache.
                        probe = _timed(bench, per_run_limit)[0]
                        calls[key] = max(1, min(LOOP_MAX_CALLS,
                                                int(LOOP_TARGET_SECONDS / max(probe, 1e-9))))
                del result
            except Exception as error:  # a wrong result count lands here too
                cell.error = f"{error.__class__.__name__}: {error}"
                continue
            cell.extrapolated |= extrapolated
            spent[key] += seconds if not extrapolated else per_run_limit
            if round_index >= options.warmup:
                cell.values.append(seconds)
                if spent[key] > options.cap_seconds and round_index < rounds - 1:
                    cell.capped = True
        progress.step()
    for bench in benches.values():
        if bench.close is not None:
            bench.close()
    return cells


def _memory_loader(system, operation: str):
    return system.memory_loader if operation == "memory" else system.cached_memory_loader


def _measure_memory(systems, operation, ctx, repeat, progress) -> dict:
    # Memory is that of the collection file loaded, whatever the source of the documents.
    loaders = [s for s in systems if s.source == "made" and _memory_loader(s, operation)]
    cells = {s.key: Cell() for s in loaders}
    for _ in range(repeat):
        for system in loaders:
            cell = cells[system.key]
            if cell.error is not None:
                continue
            try:
                loader = _memory_loader(system, operation)
                cell.values.append(memory.measure(loader, ctx.collection_path))
            except Exception as error:
                cell.error = str(error)
        progress.step()
    return cells
