"""Timing and reporting for the benchmarks: every figure of a row comes from
one run, so ratios compare like with like."""

from __future__ import annotations

import filecmp
import functools
import gc
import pathlib
import time
from dataclasses import asdict, dataclass, field
from typing import Any, Callable


def _calibrate(fn: Callable[[], Any], round_seconds: float) -> int:
    """How many calls make one timed round of about `round_seconds`."""
    fn()  # warm up
    calls = 1
    while True:
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        if time.perf_counter() - start >= round_seconds or calls >= 1 << 20:
            return calls
        calls *= 2


def _round(fn: Callable[[], Any], calls: int) -> float:
    start = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - start) / calls


def best_times(fns: dict[str, Callable[[], Any]], rounds: int = 7, round_seconds: float = 0.05) -> dict[str, float]:
    """Best mean seconds per call of each function. The rounds of all the
    functions are interleaved, so a change in the machine's load between
    rounds touches them alike and the ratios stay honest."""
    calls = {name: _calibrate(fn, round_seconds) for name, fn in fns.items()}
    best = {name: float("inf") for name in fns}
    # The garbage collector stays on, as in the programs that call these
    # functions: what a loader's allocations cost in collections is part of
    # its price.
    for _ in range(rounds):
        for name, fn in fns.items():
            gc.collect()
            best[name] = min(best[name], _round(fn, calls[name]))
    return best


@dataclass
class Case:
    """One operation of ours against its peers, on one input."""

    name: str
    ours: Callable[[], Any]
    peers: dict[str, Callable[[], Any]] = field(default_factory=dict)
    size_bytes: int = 0  # text size, for MB/s
    # The floor: marshal.loads of the same value for a loader (the cost of
    # building the very objects), marshal.dumps of it for a writer.
    floor: Callable[[], Any] | None = None
    target: str = ""  # what is asked, printed beside the figures
    rounds: int = 7  # fewer for peers that take many seconds a call
    # Writes the target column from the measured row, for a target that
    # follows from the figures themselves.
    describe: Callable[[Row], str] | None = None


@dataclass
class Row:
    name: str
    ours: float
    peers: dict[str, float]
    floor: float | None
    size_bytes: int
    target: str

    def cells(self) -> list[str]:
        mb_s = f"{self.size_bytes / self.ours / 1e6:.0f}" if self.size_bytes else "-"
        ratios = ", ".join(f"{name} {_ms(t)} = {_ratio(t / self.ours)}" for name, t in self.peers.items())
        floor = f"{self.ours / self.floor:.2f}x" if self.floor else "-"
        return [self.name, _ms(self.ours), mb_s, floor, ratios or "-", self.target]

    def to_json(self) -> dict[str, Any]:
        return asdict(self)


def _ms(seconds: float) -> str:
    ms = seconds * 1e3
    if ms < 0.1:
        return f"{ms * 1e3:.2f} us"
    return f"{ms:.3f} ms" if ms < 10 else f"{ms:.1f} ms"


def _ratio(value: float) -> str:
    return f"{value:.2f}x" if value < 10 else f"{value:.1f}x"


HEADERS = ["case", "ours", "MB/s", "of floor", "peers: time = how many times ours", "target"]


def run(case: Case) -> Row:
    fns = {"\0ours": case.ours, **case.peers}
    if case.floor:
        fns["\0floor"] = case.floor
    times = best_times(fns, rounds=case.rounds)
    peers = {name: t for name, t in times.items() if not name.startswith("\0")}
    row = Row(case.name, times["\0ours"], peers, times.get("\0floor"), case.size_bytes, case.target)
    if case.describe:
        row.target = case.describe(row)
    return row


def format_table(rows: list[Row]) -> str:
    table = [HEADERS] + [row.cells() for row in rows]
    widths = [max(len(r[i]) for r in table) for i in range(len(HEADERS))]
    lines = ["  ".join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip() for r in table]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)


def format_markdown(rows: list[Row]) -> str:
    lines = ["| " + " | ".join(HEADERS) + " |", "|" + "---|" * len(HEADERS)]
    lines += ["| " + " | ".join(cell.replace("|", "\\|") for cell in row.cells()) + " |" for row in rows]
    return "\n".join(lines) + "\n"


def small_loads_case(name: str, loads: Callable[[str], Any], text: str, value: Any,
                     peers: dict[str, Callable[[], Any]] | None = None) -> Case:
    """A loader on a document of about 2 KB, where call overhead dominates,
    against json.loads of the same data written as JSON."""
    import json
    import marshal

    json_text = json.dumps(value)
    blob = marshal.dumps(value)
    return Case(
        f"{name} {len(text.encode()) / 1e3:.1f} KB",
        lambda: loads(text),
        {"json.loads (same data)": lambda: json.loads(json_text), **(peers or {})},
        size_bytes=len(text.encode()),
        floor=lambda: marshal.loads(blob),
        target="within 1.5x json.loads",
    )


@functools.cache
def native_tool(path: str) -> pathlib.Path | None:
    """The helper program at `path` in the build tree (bench/native/parse_time,
    tests/native/yaml_fast_check) of the build that made the imported
    tabrix._native, if that build made it."""
    import tabrix._native

    root = pathlib.Path(__file__).resolve().parent.parent
    native = pathlib.Path(tabrix._native.__file__).resolve()
    builds = []
    if native.parent.name == "src":  # a meson build whose module is linked in place
        builds.append(native.parent.parent)
    for build in sorted((root / "build").glob("*/*")):  # a pip install copies the module
        built = build / "src" / native.name
        if built.is_file() and filecmp.cmp(built, native, shallow=False):
            builds.append(build)
    for build in builds:
        tool = build / path
        if tool.is_file():
            return tool
    return None
