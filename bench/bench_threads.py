"""Parallel loading: distinct ~1 MB documents loaded by 2 threads at once
against the same documents loaded by 1 thread. The loaders parse with the
interpreter lock released; building the Python objects needs the lock (on
an interpreter with a GIL), so that part stays serial there."""

from __future__ import annotations

import json
import threading
from typing import Any, Callable

import tomli_w
from bench_csv import table_text
from documents import config_document
from harness import Case
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
            target="1.6x 1 thread",
        ))
    return cases
