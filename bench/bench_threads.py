"""Threads: distinct ~1 MB documents loaded (or values dumped) by 2 threads
at once against the same work done by 1 thread, for every format, with a
control in the same rounds: marshal.loads of the same values (marshal.dumps
for a writer) in 2 threads and in 1, which shows what the interpreter itself
allows (on a free-threaded build, how far its allocator and reference counts
scale on this machine). The loaders parse with the
interpreter lock released; building the Python objects needs the lock (on
an interpreter with a GIL), so that part stays serial there.

The target column also gives the parse alone, timed with the native tool
bench/native/parse_time (no Python object made), against the whole load on
one thread. When a load spends P seconds without the lock and S with it,
two threads can overlap one's parse with the other's objects but never two
S, so they reach at most (P + S) / S times one thread's throughput (and 2):
that limit is printed there too."""

from __future__ import annotations

import gc
import json
import marshal
import pathlib
import subprocess
import sys
import tempfile
import threading
from typing import Any, Callable

import tomli_w
from bench_csv import table_text
from bench_ini import ini_document
from documents import config_document
from harness import Case, Row, native_tool
from tabrix._native import csv, ini, jsonc, toml, yaml

DOCUMENTS = 8  # per run, split evenly between the threads


def _in_threads(call: Callable[[Any], Any], inputs: list[Any], threads: int) -> Callable[[], None]:
    def work(part: list[Any]) -> None:
        for item in part:
            call(item)

    def run() -> None:
        workers = [threading.Thread(target=work, args=(inputs[i::threads],)) for i in range(threads)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()

    return run


def _parse_seconds(fmt: str, texts: list[str], rounds: int = 5) -> Callable[[], float]:
    """Seconds the native parse of all the texts takes (best of `rounds` for
    each), measured by bench/native/parse_time."""
    def measure() -> float:
        tool = native_tool("bench/native/parse_time")
        if tool is None:
            raise NotImplementedError("bench/native/parse_time was not built with the imported tabrix._native")
        with tempfile.TemporaryDirectory() as folder:
            paths = []
            for i, text in enumerate(texts):
                path = pathlib.Path(folder) / f"{i}.{fmt}"
                path.write_text(text, encoding="utf-8")
                paths.append(str(path))
            done = subprocess.run([str(tool), fmt, str(rounds), *paths], capture_output=True, text=True, check=True)
        return sum(float(line) for line in done.stdout.split())
    return measure


def _scaling(parse_seconds: Callable[[], float] | None) -> Callable[[Row], str]:
    """The target column of a thread row: the throughput of 2 threads over 1,
    the same for the marshal control, and (on a GIL build, for a loader) the
    limit the lock sets, from the parse alone and the whole load on one
    thread."""
    def describe(row: Row) -> str:
        ours = row.ratios["1 thread"]
        control = row.peers[CONTROL_1] / row.peers[CONTROL_2]
        text = f"2 threads = {ours:.2f}x 1 thread; control {control:.2f}x"
        if parse_seconds is not None:
            whole = row.peers["1 thread"]
            parse = parse_seconds()
            limit = min(2.0, whole / max(whole - parse, 1e-12))
            text += f" (parse alone {parse * 1e3:.1f} ms: lock allows {limit:.2f}x)"
        return text
    return describe


CONTROL_2 = "control: marshal 2 threads"
CONTROL_1 = "control: marshal 1 thread"


def _case(name: str, work: Callable[[Any], Any], inputs: list[Any], control: Callable[[Any], Any],
          control_inputs: list[Any], size_bytes: int, parse_format: str | None) -> Case:
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    parse = _parse_seconds(parse_format, inputs) if parse_format and gil else None
    return Case(
        f"threads: {name} of {len(inputs)} docs ({size_bytes / 1e6:.0f} MB), 2 threads",
        _in_threads(work, inputs, 2),
        {"1 thread": _in_threads(work, inputs, 1),
         CONTROL_2: _in_threads(control, control_inputs, 2),
         CONTROL_1: _in_threads(control, control_inputs, 1)},
        size_bytes=size_bytes,
        rounds=7,
        describe=_scaling(parse),
    )


def cases() -> list[Case]:
    docs = [config_document(target_bytes=1_000_000, seed=100 + i) for i in range(DOCUMENTS)]
    tables = [table_text(rows=16_000, seed=i) for i in range(DOCUMENTS)]
    inis = [ini_document(seed=i) for i in range(DOCUMENTS)]
    formats: dict[str, tuple[Any, list[str]]] = {
        "yaml": (yaml, [yaml.dumps(d) for d in docs]),
        "toml": (toml, [tomli_w.dumps(d) for d in docs]),
        "jsonc": (jsonc, [json.dumps(d, indent=2) for d in docs]),
        "csv": (csv, tables),
        "ini": (ini, inis),
    }
    made = []
    for fmt, (module, texts) in formats.items():
        values = [module.loads(t) for t in texts]
        blobs = [marshal.dumps(v) for v in values]
        size = sum(len(t.encode()) for t in texts)
        made.append(_case(f"{fmt}.loads", module.loads, texts, marshal.loads, blobs, size, fmt))
        made.append(_case(f"{fmt}.dumps", module.dumps, values, marshal.dumps, values, size, None))
    # The inputs of every row (40 documents and their values, millions of
    # objects) stay alive for the whole run: left to the collector, each
    # full collection the rows' own allocations set off would walk them all,
    # a pause of about 40 ms on 3.11 that lands in a round at random and
    # stalls one thread or both. Frozen, they are out of its sight, and what
    # a row's collections cost is what the objects it makes cost.
    gc.freeze()
    return made
