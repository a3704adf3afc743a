"""Runs every benchmark and prints one table: our time, MB/s, our multiple of
the object-construction floor where it applies, and each peer's time with its
ratio to ours, all measured in this one run.

    python bench/run.py [SUBSTRING ...] [--markdown FILE]

Each bench_<format>.py offers cases(); a case runs when its name contains one
of the substrings (all cases without any).
"""

from __future__ import annotations

import argparse
import importlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from harness import format_markdown, format_table, run  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("filters", nargs="*", help="run only cases whose name contains one of these")
    parser.add_argument("--markdown", type=pathlib.Path, help="also write the table as Markdown to this file")
    args = parser.parse_args()

    rows = []
    for path in sorted(HERE.glob("bench_*.py")):
        module = importlib.import_module(path.stem)
        for case in module.cases():
            if args.filters and not any(f in case.name for f in args.filters):
                continue
            try:
                rows.append(run(case))
            except NotImplementedError as error:
                print(f"skipped {case.name}: {error}", file=sys.stderr)
                continue
            print(format_table(rows[-1:]).splitlines()[-1], flush=True)
    print()
    print(format_table(rows))
    if args.markdown:
        args.markdown.write_text(format_markdown(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
