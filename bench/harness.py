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


def _median(values: list[float]) -> float:
    ordered = sorted(values)
    middle = len(ordered) // 2
    return ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2


def timed_rounds(fns: dict[str, Callable[[], Any]], rounds: int = 9,
                 round_seconds: float = 0.05) -> dict[str, list[float]]:
    """Mean seconds per call of each function in each round. The rounds of
    all the functions alternate (ours, a peer, another, the floor, ours
    again...), so that a change in the machine's load touches a round of
    each alike: a ratio is taken round by round and its median kept."""
    calls = {name: _calibrate(fn, round_seconds) for name, fn in fns.items()}
    times: dict[str, list[float]] = {name: [] for name in fns}
    # The garbage collector stays on, as in the programs that call these
    # functions: what a loader's allocations cost in collections is part of
    # its price.
    for index in range(rounds):
        for name, fn in fns.items():
            # A peer that takes seconds a call (a pure-Python loader) is timed
            # in the first rounds only: its ratios come from those.
            if index >= SLOW_ROUNDS and times[name] and times[name][0] > SLOW_SECONDS:
                continue
            gc.collect()
            times[name].append(_round(fn, calls[name]))
    return times


SLOW_SECONDS = 1.0
SLOW_ROUNDS = 3


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
    rounds: int = 9  # fewer for peers that take many seconds a call
    # Writes the target column from the measured row, for a target that
    # follows from the figures themselves.
    describe: Callable[[Row], str] | None = None


@dataclass
class Row:
    name: str
    ours: float  # median seconds per call
    peers: dict[str, float]  # median seconds per call of each peer
    floor: float | None
    size_bytes: int
    target: str
    # Median over the rounds of each peer's time / ours: how many times
    # faster we are (below 1: slower).
    ratios: dict[str, float] = field(default_factory=dict)
    floor_ratio: float | None = None  # median of ours / floor over the rounds

    def fastest(self) -> tuple[str, float] | None:
        """The fastest peer and its ratio, if the case has peers."""
        # A control (the interpreter's own work in a thread row) is no peer.
        ratios = {name: ratio for name, ratio in self.ratios.items() if not name.startswith("control:")}
        if not ratios:
            return None
        name = min(ratios, key=ratios.__getitem__)
        return name, ratios[name]

    def cells(self) -> list[str]:
        mb_s = f"{self.size_bytes / self.ours / 1e6:.0f}" if self.size_bytes else "-"
        floor = f"{self.floor_ratio:.2f}x" if self.floor_ratio else "-"
        fastest = self.fastest()
        best = f"{fastest[0]} = {_ratio(fastest[1])}" if fastest else "-"
        others = ", ".join(f"{name} {_ms(self.peers[name])} = {_ratio(ratio)}"
                           for name, ratio in sorted(self.ratios.items(), key=lambda item: item[1]))
        return [self.name, _ms(self.ours), mb_s, floor, best, others or "-", self.target]

    def to_json(self) -> dict[str, Any]:
        return asdict(self)


def _ms(seconds: float) -> str:
    ms = seconds * 1e3
    if ms < 0.1:
        return f"{ms * 1e3:.2f} us"
    return f"{ms:.3f} ms" if ms < 10 else f"{ms:.1f} ms"


def _ratio(value: float) -> str:
    return f"{value:.2f}x" if value < 10 else f"{value:.1f}x"


HEADERS = ["case", "ours", "MB/s", "of floor", "fastest peer: its time / ours",
           "every peer: time = its time / ours", "target"]


def run(case: Case) -> Row:
    fns = {"\0ours": case.ours, **case.peers}
    if case.floor:
        fns["\0floor"] = case.floor
    times = timed_rounds(fns, rounds=case.rounds)
    ours = times["\0ours"]
    peers = {name: _median(t) for name, t in times.items() if not name.startswith("\0")}
    ratios = {name: _median([p / o for p, o in zip(times[name], ours)]) for name in peers}
    floor = times.get("\0floor")
    row = Row(case.name, _median(ours), peers, _median(floor) if floor else None, case.size_bytes, case.target,
              ratios, _median([o / f for o, f in zip(ours, floor)]) if floor else None)
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


def optional_peers(**peers: Callable[[], Callable[[], Any]]) -> dict[str, Callable[[], Any]]:
    """The peers whose module imports here: each argument makes its timed
    function (importing what it needs), and one whose import fails (not
    installed for this interpreter) is left out."""
    made = {}
    for name, make in peers.items():
        try:
            made[name] = make()
        except ImportError:
            continue
    return made


TINY_JSON = '{"a": 1}'


def tiny_case(name: str, loads: Callable[[str], Any], text: str,
              peers: dict[str, Callable[[], Any]] | None = None) -> Case:
    """The fixed cost of one call: a one-entry document, against json.loads
    of {"a": 1}."""
    import json

    peers = dict(peers or {})
    peers.setdefault("json.loads", lambda: json.loads(TINY_JSON))
    return Case(
        f"{name} tiny: {text!r}",
        lambda: loads(text),
        peers,
        target="<= json.loads {\"a\": 1}",
    )


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
