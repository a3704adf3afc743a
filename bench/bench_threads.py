"""Parallel loading: distinct ~1 MB documents loaded by 2 threads at once
against the same documents loaded by 1 thread. The loaders parse with the
interpreter lock released; building the Python objects needs the lock (on
an interpreter with a GIL), so that part stays serial there.

The target column also gives the parse alone, timed with the native tool
bench/native/parse_time (no Python object made), against the whole load on
one thread. When a load spends P seconds without the lock and S with it,
two threads can overlap one's parse with the other's objects but never two
S, so they reach at most (P + S) / S times one thread's throughput (and 2):
that limit is printed there too."""

from __future__ import annotations

import json
import pathlib
import subprocess
import tempfile
import threading
from typing import Any, Callable

import tomli_w
from bench_csv import table_text
from documents import config_document
from harness import Case, Row, native_tool
from tabrix._native import csv, jsonc, toml, yaml

DOCUMENTS = 8  # per run, split evenly between the threads


def _in_threads(load: Callable[[str], Any], texts: list[str], threads: int) -> Callable[[], None]:
    def work(part: list[str]) -> None:
        for text in part:
            load(text)

    def run() -> None:
        workers = [threading.Thread(target=work, args=(texts[i::threads],)) for i in range(threads)]
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


def _lock_bound(parse_seconds: Callable[[], float]) -> Callable[[Row], str]:
    """The target with the limit the lock sets, from the parse alone and the
    whole load on one thread."""
    def describe(row: Row) -> str:
        whole = row.peers["1 thread"]
        parse = parse_seconds()
        limit = min(2.0, whole / max(whole - parse, 1e-12))
        return f"1.6x 1 thread (parse alone {parse * 1e3:.1f} ms: lock allows {limit:.2f}x)"
    return describe


def cases() -> list[Case]:
    docs = [config_document(target_bytes=1_000_000, seed=100 + i) for i in range(DOCUMENTS)]
    texts = {
        "yaml.loads": (yaml.loads, [yaml.dumps(d) for d in docs]),
        "toml.loads": (toml.loads, [tomli_w.dumps(d) for d in docs]),
        "jsonc.loads": (jsonc.loads, [json.dumps(d, indent=2) for d in docs]),
        "csv.loads": (csv.loads, [table_text(rows=16_000, seed=i) for i in range(DOCUMENTS)]),
    }
    cases = []
    for name, (load, documents) in texts.items():
        megabytes = sum(len(t.encode()) for t in documents) / 1e6
        cases.append(Case(
            f"threads: {name} of {DOCUMENTS} docs ({megabytes:.0f} MB), 2 threads",
            _in_threads(load, documents, 2),
            {"1 thread": _in_threads(load, documents, 1)},
            size_bytes=int(megabytes * 1e6),
            rounds=5,
            describe=_lock_bound(_parse_seconds(name.split(".")[0], documents)),
        ))
    return cases
