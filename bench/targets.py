"""The speed and thread targets, judged from the rows of one or more runs of
bench/run.py: for each target and interpreter, the figure of every run, their
median, and whether the median meets the target. Single runs on a shared
machine move by 5 to 10%, so a verdict is only as good as the number of runs
behind it.

    python bench/targets.py RUN.json ...

A target whose row or peer a run lacks (a peer that does not install on a
free-threaded interpreter, a filtered run) is left out for that run.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import sys
from dataclasses import dataclass
from typing import Any, Callable

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from harness import Row, _median  # noqa: E402

CONTROL_2 = "control: marshal 2 threads"
CONTROL_1 = "control: marshal 1 thread"


@dataclass
class Target:
    """One figure of a row, and the bound it is held to."""

    name: str  # what is asked, as the table prints it
    row: Callable[[str], bool]  # picks the row by its name
    figure: Callable[[Row], float | None]  # None: the run cannot tell
    at_most: float | None = None
    at_least: float | None = None
    strictly: bool = False  # at_least means "more than"
    # Judged on free-threaded interpreters (True) or on those with a GIL
    # (False): the speed targets are set for 3.11 and 3.14, the thread
    # targets for each kind.
    free_threaded: bool = False

    def met(self, value: float) -> bool:
        if self.at_most is not None and value > self.at_most:
            return False
        if self.at_least is not None:
            return value > self.at_least if self.strictly else value >= self.at_least
        return True

    def bound(self) -> str:
        if self.at_most is not None:
            return f"<= {self.at_most:g}"
        return f"{'>' if self.strictly else '>='} {self.at_least:g}"


def _named(start: str, *parts: str) -> Callable[[str], bool]:
    """The row whose name starts with `start` and holds every one of `parts`."""
    return lambda name: name.startswith(start) and all(part in name for part in parts)


def _floor(row: Row) -> float | None:
    return row.floor_ratio


def _peer(name: str) -> Callable[[Row], float | None]:
    return lambda row: row.ratios.get(name)


def _gain(row: Row) -> float | None:
    """Throughput of 2 threads over 1 thread."""
    return row.ratios.get("1 thread")


def _over_control(row: Row) -> float | None:
    """Our 2-thread gain over the marshal control's, in the same rounds."""
    ours = row.ratios.get("1 thread")
    if ours is None or CONTROL_1 not in row.peers or CONTROL_2 not in row.peers:
        return None
    return ours / (row.peers[CONTROL_1] / row.peers[CONTROL_2])


FORMATS = ("yaml", "toml", "jsonc", "csv", "ini")

JSON_LOADS = _named("jsonc.loads", "MB, plain JSON")
TOML_LOADS = _named("toml.loads", " MB")
CSV_LOADS = _named("csv.loads", " rows")

TARGETS: list[Target] = [
    Target("jsonc.loads: of floor", JSON_LOADS, _floor, at_most=1.0),
    Target("jsonc.loads: orjson.loads / ours", JSON_LOADS, _peer("orjson.loads"), at_least=1.0),
    Target("jsonc.dumps: orjson.dumps().decode() / ours", _named("jsonc.dumps", " MB"),
           _peer("orjson.dumps().decode()"), at_least=1.0),
    Target("toml.loads: of floor", TOML_LOADS, _floor, at_most=1.3),
    Target("toml.loads: rtoml.loads / ours", TOML_LOADS, _peer("rtoml.loads"), at_least=1.0, strictly=True),
    Target("toml.dumps: rtoml.dumps / ours", _named("toml.dumps", " MB"), _peer("rtoml.dumps"), at_least=1.0,
           strictly=True),
    Target("csv.loads 50,000 rows: of floor", CSV_LOADS, _floor, at_most=1.0),
    Target("csv.loads: polars / ours", CSV_LOADS, _peer("polars.read_csv().to_dicts()"), at_least=1.0,
           strictly=True),
    Target("csv.loads: pyarrow / ours", CSV_LOADS, _peer("pyarrow.csv.read_csv().to_pylist()"), at_least=1.0,
           strictly=True),
    Target("csv.stream_at: of floor", _named("csv.stream_at"), _floor, at_most=1.2),
    Target("yaml.loads: of floor", lambda name: name == "yaml.loads 1 MB", _floor, at_most=1.5),
    *[Target(f"{fmt}.loads tiny: json.loads / ours", _named(f"{fmt}.loads tiny:"), _peer("json.loads"),
             at_least=1.0) for fmt in ("jsonc", "toml", "yaml", "ini", "csv")],
    # GIL builds: two threads loading never below one; the formats whose
    # parse dominates gain clearly (taken as 15% or more).
    *[Target(f"GIL: {fmt}.loads 2 threads / 1", _named(f"threads: {fmt}.loads "), _gain,
             at_least=1.15 if fmt in ("yaml", "toml") else 1.0) for fmt in FORMATS],
    # Free-threaded builds: every loads and dumps scales at least as well as
    # the marshal control of the same values.
    *[Target(f"3.14t: {fmt}.{op} 2-thread gain / control's", _named(f"threads: {fmt}.{op} "), _over_control,
             at_least=1.0, free_threaded=True) for fmt in FORMATS for op in ("loads", "dumps")],
]


@dataclass
class Verdict:
    target: Target
    python: str
    values: list[float]

    @property
    def median(self) -> float:
        return _median(self.values)

    @property
    def met(self) -> bool:
        return self.target.met(self.median)


def load(path: pathlib.Path) -> tuple[dict[str, Any], list[Row]]:
    data = json.loads(path.read_text())
    return data["machine"], [Row(**row) for row in data["rows"]]


def evaluate(runs: list[tuple[dict[str, Any], list[Row]]]) -> list[Verdict]:
    """The verdicts of every target on every interpreter the runs were made
    with, in the order of TARGETS, then of the interpreters' first runs."""
    pythons = dict.fromkeys(meta["python"] for meta, _ in runs)
    verdicts = []
    for target in TARGETS:
        for python in pythons:
            free_threaded = python.endswith("free-threaded")
            if target.free_threaded != free_threaded:
                continue
            values = []
            for meta, rows in runs:
                if meta["python"] != python:
                    continue
                row = next((r for r in rows if target.row(r.name)), None)
                value = target.figure(row) if row is not None else None
                if value is not None:
                    values.append(value)
            if values:
                verdicts.append(Verdict(target, python, values))
    return verdicts


def format_markdown(verdicts: list[Verdict]) -> str:
    lines = ["| target | interpreter | runs | median | met |", "|---|---|---|---|---|"]
    for v in verdicts:
        runs = ", ".join(f"{value:.2f}" for value in v.values)
        lines.append(f"| {v.target.name} {v.target.bound()} | {v.python} | {runs} | {v.median:.2f} | "
                     f"{'yes' if v.met else '**no**'} |")
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("runs", nargs="+", type=pathlib.Path, help="JSON files written by bench/run.py --json")
    args = parser.parse_args()
    print(format_markdown(evaluate([load(path) for path in args.runs])), end="")
    return 0


if __name__ == "__main__":
    sys.exit(main())
