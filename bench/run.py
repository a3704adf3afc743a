"""Runs every benchmark and prints one table: our time, MB/s, our multiple of
the floor (marshal.loads of the same value for a loader, marshal.dumps for a
writer), the fastest peer for the same job and every peer's time with how
many times ours it is, all measured in one run. Each figure is a median over
rounds that alternate between ours, the peers and the floor; each ratio is
the median of the ratios of the rounds.

    python bench/run.py [SUBSTRING ...] [--json FILE]

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

from harness import Row, format_table, run  # noqa: E402
from targets import evaluate, format_markdown  # noqa: E402


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


def machine() -> dict[str, Any]:
    """The interpreter and the machine a run was made on."""
    import os
    import platform
    import sysconfig

    cpu = platform.processor() or platform.machine()
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    return {
        "python": f"{platform.python_implementation()} {platform.python_version()}"
                  + (" free-threaded" if free_threaded else ""),
        "machine": f"{cpu}, {os.cpu_count()} cores, {platform.system()} {platform.machine()}",
        "load": os.getloadavg()[0],
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("filters", nargs="*", help="run only cases whose name contains one of these")
    parser.add_argument("--json", type=pathlib.Path, help="also write the rows and the machine as JSON to this file "
                        "(bench/report.py makes the docs from such files)")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker(args.worker, args.filters)

    meta = machine()
    print(f"{meta['python']} on {meta['machine']}; load average {meta['load']:.2f} at the start", flush=True)
    rows: list[Row] = []
    failed = False
    for path in sorted(HERE.glob("bench_*.py")):
        process = subprocess.Popen([sys.executable, *_interpreter_flags(), __file__, "--worker", path.stem,
                                    *args.filters], stdout=subprocess.PIPE, text=True)
        assert process.stdout is not None
        for line in process.stdout:
            row = Row(**json.loads(line))
            rows.append(row)
            print(format_table([row]).splitlines()[-1], flush=True)
        if process.wait() != 0:
            print(f"{path.stem} failed (exit status {process.returncode})", file=sys.stderr)
            failed = True
    meta["load_end"] = machine()["load"]
    print()
    print(format_table(rows))
    print(f"\n{meta['python']} on {meta['machine']}; load average {meta['load']:.2f} at the start, "
          f"{meta['load_end']:.2f} at the end")
    verdicts = evaluate([(meta, rows)])
    if verdicts:
        print("\nThe targets, from this run alone (bench/targets.py takes the median of several):\n")
        print(format_markdown(verdicts), end="")
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps({"machine": meta, "rows": [row.to_json() for row in rows]}, indent=1))
    return 1 if failed else 0


def _interpreter_flags() -> list[str]:
    """The -X options this interpreter runs with (gil=0 on a free-threaded
    build), handed on to each module's interpreter."""
    return [f"-X{name}" if value is True else f"-X{name}={value}" for name, value in sys._xoptions.items()]


if __name__ == "__main__":
    sys.exit(main())
