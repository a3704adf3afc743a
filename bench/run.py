"""Runs every benchmark and prints one table: our time, MB/s, our multiple of
the floor (marshal.loads of the same value for a loader, marshal.dumps for a
writer), and each peer's time with how many times ours it is, all measured in
one run.

    python bench/run.py [SUBSTRING ...] [--markdown FILE] [--chart FILE.png]

Each bench_<name>.py offers cases(); a case runs when its name contains one
of the substrings (all cases without any). Each module runs in a fresh
interpreter of its own, so that the documents of one benchmark do not scatter
the memory another one walks.
"""

from __future__ import annotations

import argparse
import importlib
import json
import pathlib
import subprocess
import sys
from typing import Any

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from harness import Row, format_markdown, format_table, run  # noqa: E402


def worker(module_name: str, filters: list[str]) -> int:
    """Runs the cases of one module, printing each row as a JSON line."""
    module = importlib.import_module(module_name)
    for case in module.cases():
        if filters and not any(f in case.name for f in filters):
            continue
        try:
            row = run(case)
        except NotImplementedError as error:
            print(f"skipped {case.name}: {error}", file=sys.stderr)
            continue
        print(json.dumps(row.to_json()), flush=True)
    return 0


def _panel(axes: Any, names: list[str], values: list[float], color: str, label: str, text: str) -> None:
    """One bar chart: a bar per case, its value written beside it, 1 marked."""
    axes.barh(names, values, color=color)
    axes.axvline(1, color="black", linewidth=0.8)
    axes.set_xlabel(label)
    for y, value in enumerate(values):
        axes.text(value, y, " " + text.format(value), va="center", fontsize=8)
    axes.invert_yaxis()
    axes.tick_params(axis="y", labelsize=8)


def chart(rows: list[Row], path: pathlib.Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    compared = [r for r in rows if r.peers]
    floored = [r for r in rows if r.floor]
    fig, (left, right) = plt.subplots(1, 2, figsize=(14, 0.38 * max(len(compared), len(floored)) + 1.6),
                                      gridspec_kw={"width_ratios": [3, 2]})
    _panel(left, [r.name for r in compared], [max(r.peers.values()) / r.ours for r in compared], "#3b7dd8",
           "times faster than the slowest peer measured (log scale)", "{:.1f}x")
    left.set_xscale("log")
    _panel(right, [r.name for r in floored], [r.ours / r.floor for r in floored if r.floor], "#d8873b",
           "our time / floor (marshal of the same value)", "{:.2f}x")
    fig.suptitle("tabrix against its peers, one run")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("filters", nargs="*", help="run only cases whose name contains one of these")
    parser.add_argument("--markdown", type=pathlib.Path, help="also write the table as Markdown to this file")
    parser.add_argument("--chart", type=pathlib.Path, help="also draw the results as a PNG chart (matplotlib)")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker(args.worker, args.filters)

    rows: list[Row] = []
    failed = False
    for path in sorted(HERE.glob("bench_*.py")):
        process = subprocess.Popen([sys.executable, __file__, "--worker", path.stem, *args.filters],
                                   stdout=subprocess.PIPE, text=True)
        assert process.stdout is not None
        for line in process.stdout:
            row = Row(**json.loads(line))
            rows.append(row)
            print(format_table([row]).splitlines()[-1], flush=True)
        if process.wait() != 0:
            print(f"{path.stem} failed (exit status {process.returncode})", file=sys.stderr)
            failed = True
    print()
    print(format_table(rows))
    for target in (args.markdown, args.chart):
        if target:
            target.parent.mkdir(parents=True, exist_ok=True)
    if args.markdown:
        args.markdown.write_text(format_markdown(rows))
    if args.chart and rows:
        chart(rows, args.chart)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
