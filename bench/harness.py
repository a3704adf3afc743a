"""Timing and reporting for the benchmarks: every figure of a table comes from
one run, so ratios compare like with like."""

from __future__ import annotations

import gc
import time
from dataclasses import dataclass, field
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
    floor: Callable[[], Any] | None = None  # marshal.loads of the same value
    target: str = ""  # what the issue asks, printed beside the figures
    rounds: int = 7  # fewer when a peer takes many seconds per call


@dataclass
class Row:
    case: Case
    ours: float
    peers: dict[str, float]
    floor: float | None

    def cells(self) -> list[str]:
        mb_s = f"{self.case.size_bytes / self.ours / 1e6:.0f}" if self.case.size_bytes else "-"
        ratios = ", ".join(f"{name} {t * 1e3:.2f} ms = {t / self.ours:.1f}x" for name, t in self.peers.items())
        floor = f"{self.ours / self.floor:.2f}x" if self.floor else "-"
        return [self.case.name, f"{self.ours * 1e3:.3f}", mb_s, floor, ratios or "-", self.case.target or ""]


HEADERS = ["case", "ours (ms)", "MB/s", "of floor", "peers (time = how many times slower than ours)", "target"]


def run(case: Case) -> Row:
    fns = {"\0ours": case.ours, **case.peers}
    if case.floor:
        fns["\0floor"] = case.floor
    times = best_times(fns, rounds=case.rounds)
    peers = {name: t for name, t in times.items() if not name.startswith("\0")}
    return Row(case, times["\0ours"], peers, times.get("\0floor"))


def format_table(rows: list[Row]) -> str:
    table = [HEADERS] + [row.cells() for row in rows]
    widths = [max(len(r[i]) for r in table) for i in range(len(HEADERS))]
    lines = ["  ".join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip() for r in table]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)


def format_markdown(rows: list[Row]) -> str:
    lines = ["| " + " | ".join(HEADERS) + " |", "|" + "---|" * len(HEADERS)]
    lines += ["| " + " | ".join(row.cells()) + " |" for row in rows]
    return "\n".join(lines) + "\n"
