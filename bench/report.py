"""Makes docs/benchmarks.md and its chart from the JSON files of runs of
bench/run.py: the targets judged over every run given (the median of each
interpreter's runs), then for each interpreter a table of every row as the
last run given that has it measured it, under the interpreter and machine.

    python bench/report.py RUN.json ... --markdown FILE.md --chart FILE.png
"""

from __future__ import annotations

import argparse
import pathlib
import sys
from collections import Counter
from typing import Any

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from harness import Row, format_markdown  # noqa: E402
from targets import evaluate, load  # noqa: E402
from targets import format_markdown as format_targets  # noqa: E402


def title(meta: dict[str, Any]) -> str:
    load_end = meta.get("load_end")
    end = f", {load_end:.2f} at the end" if load_end is not None else ""
    return f"{meta['python']} on {meta['machine']} (load average {meta['load']:.2f} at the start{end})"


INTRO = """# Benchmarks

Made by `make bench` (`scripts/bench`, one run per interpreter) and
`bench/report.py`. Every figure is the median of rounds that alternate
between tabrix, each peer and the floor; each ratio is the median of the
ratios of those rounds. **of floor**: our time over `marshal`'s for the very
same value (`marshal.loads` for a loader, `marshal.dumps` for a writer).
**fastest peer**: the fastest library for the same job and its time over
ours (above 1: tabrix is faster). A *tiny* row is the fixed cost of one call
(`{"a": 1}` and its like in each format) against `json.loads('{"a": 1}')`.
A *threads* row runs 8 distinct documents in 2 threads against 1 thread, with
a control in the same rounds: `marshal` of the same values in 2 threads and
in 1. The machines are shared, so absolute times vary from run to run; the
ratios hold better.

![tabrix against the fastest peer for each job](benchmarks.png)

"""


def last_per_interpreter(runs: list[tuple[dict[str, Any], list[Row]]]) -> list[tuple[dict[str, Any], list[Row]]]:
    """For each interpreter (in the order of its first run), each row as the
    last run that has it measured it, under the machine of that last run: a
    run of a few rows (its filters) takes the place of those rows alone."""
    merged: dict[str, tuple[dict[str, Any], dict[str, Row]]] = {}
    for meta, rows in runs:
        _, by_name = merged.get(meta["python"], (meta, {}))
        for row in rows:
            by_name[row.name] = row
        merged[meta["python"]] = (meta, by_name)
    return [(meta, list(by_name.values())) for meta, by_name in merged.values()]


def markdown(runs: list[tuple[dict[str, Any], list[Row]]]) -> str:
    counts = Counter(meta["python"] for meta, _ in runs)
    parts = [INTRO, "## Targets\n\nEach target's figure in every run (" +
             ", ".join(f"{count} on {python}" for python, count in counts.items()) +
             "), their median, and whether the median meets it.\n\n" + format_targets(evaluate(runs)),
             "## The last figures on each interpreter\n\nEach row as the last run that has it measured it.\n"]
    for meta, rows in last_per_interpreter(runs):
        parts.append(f"### {title(meta)}\n\n{format_markdown(rows)}")
    return "\n".join(parts)


def _is_thread_row(row: Row) -> bool:
    return row.name.startswith("threads:")


def chart(runs: list[tuple[dict[str, Any], list[Row]]], path: pathlib.Path) -> None:
    """Left: for each job, the fastest peer's time over ours (above 1: we are
    faster), one bar per interpreter, the peer named beside it. Right: our
    time over the floor (marshal of the same value)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names: list[str] = []
    for _, rows in runs:
        for row in rows:
            if not _is_thread_row(row) and row.name not in names:
                names.append(row.name)
    height = 0.8 / len(runs)
    fig, (left, right) = plt.subplots(1, 2, figsize=(15, 0.42 * len(names) * max(1, len(runs) * 0.7) + 1.8),
                                      gridspec_kw={"width_ratios": [3, 2]})
    colors = ["#3b7dd8", "#d8873b", "#5aa05a", "#a05aa0"]
    for index, (meta, rows) in enumerate(runs):
        by_name = {row.name: row for row in rows}
        color = colors[index % len(colors)]
        for y, name in enumerate(names):
            row = by_name.get(name)
            if row is None:
                continue
            offset = y + (index - (len(runs) - 1) / 2) * height
            fastest = row.fastest()
            if fastest:
                labelled = meta["python"] in left.get_legend_handles_labels()[1]
                left.barh(offset, fastest[1], height=height, color=color, label=None if labelled else meta["python"])
                left.text(fastest[1], offset, f" {fastest[1]:.2f}x {fastest[0]}", va="center", fontsize=7)
            if row.floor_ratio:
                right.barh(offset, row.floor_ratio, height=height, color=color)
                right.text(row.floor_ratio, offset, f" {row.floor_ratio:.2f}x", va="center", fontsize=7)
    for axes, label in ((left, "fastest peer's time / ours (log scale; above 1: tabrix is faster)"),
                        (right, "our time / floor (marshal of the same value)")):
        axes.axvline(1, color="black", linewidth=0.8)
        axes.set_yticks(range(len(names)), names, fontsize=8)
        axes.set_xlabel(label)
        axes.invert_yaxis()
    left.set_xscale("log")
    left.legend(loc="lower right", fontsize=8)
    machines = sorted({meta["machine"] for meta, _ in runs})
    fig.suptitle("tabrix against the fastest peer for each job, the last figures on each interpreter ("
                 + ", ".join(meta["python"] for meta, _ in runs) + ")\non " + "; ".join(machines), fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("runs", nargs="+", type=pathlib.Path, help="JSON files written by bench/run.py --json")
    parser.add_argument("--markdown", type=pathlib.Path, help="write the tables as Markdown to this file")
    parser.add_argument("--chart", type=pathlib.Path, help="draw the chart as a PNG (matplotlib)")
    args = parser.parse_args()
    runs = [load(path) for path in args.runs]
    if args.markdown:
        args.markdown.write_text(markdown(runs))
    if args.chart:
        chart(last_per_interpreter(runs), args.chart)
    if not args.markdown and not args.chart:
        print(markdown(runs))
    return 0


if __name__ == "__main__":
    sys.exit(main())
