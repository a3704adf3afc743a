"""CSV: loading with column inference and writing, on a generated table."""

from __future__ import annotations

import csv as stdcsv
import io
import marshal
import random

from documents import WORDS
from harness import Case, small_loads_case
from tabrix._native import csv

HEADER = ["id", "score", "active", "city", "note", "quantity", "ratio", "code"]


def table_text(rows: int = 50_000, seed: int = 5) -> str:
    """A ~3 MB CSV table of mixed columns: ints, floats, bools, short text,
    quoted text holding commas and quotes, and columns with empty cells."""
    rng = random.Random(seed)
    out = io.StringIO()
    writer = stdcsv.writer(out, lineterminator="\n")
    writer.writerow(HEADER)
    for i in range(rows):
        note_words = " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 3)))
        note = f'{note_words}, "{rng.choice(WORDS)}"' if rng.random() < 0.5 else note_words
        writer.writerow([
            100_000 + i,
            f"{rng.uniform(0, 1000):.2f}",
            "true" if rng.random() < 0.5 else "false",
            rng.choice(WORDS),
            note,
            rng.randint(0, 500) if rng.random() < 0.7 else "",
            f"{rng.random():.3f}" if rng.random() < 0.8 else "",
            f"{rng.choice(WORDS)[:3].upper()}-{rng.randint(1, 99)}",
        ])
    return out.getvalue()


def cases() -> list[Case]:
    import os
    import tempfile

    import pandas

    text = table_text()
    folder = tempfile.mkdtemp(prefix="tabrix-bench-")
    path = os.path.join(folder, "table.csv")
    with open(path, "w", encoding="utf-8", newline="") as file:
        file.write(text)

    def dict_reader_file() -> list:
        with open(path, encoding="utf-8", newline="") as file:
            return list(stdcsv.DictReader(file))

    streamed = list(csv.stream_at(path))
    streamed_blob = marshal.dumps(streamed)
    small_text = table_text(rows=25)
    records = csv.loads(text)
    frozen = marshal.dumps(records)
    fieldnames = list(records[0])

    def dict_writer() -> str:
        out = io.StringIO()
        writer = stdcsv.DictWriter(out, fieldnames=fieldnames, lineterminator="\n")
        writer.writeheader()
        writer.writerows(records)
        return out.getvalue()

    size = len(text.encode())
    return [
        Case(
            f"csv.loads {size / 1e6:.1f} MB, {len(records):,} rows",
            lambda: csv.loads(text),
            {
                "pandas.read_csv().to_dict": lambda: pandas.read_csv(io.StringIO(text), keep_default_na=False)
                .to_dict("records"),
                "csv.DictReader": lambda: list(stdcsv.DictReader(io.StringIO(text))),
            },
            size_bytes=size,
            floor=lambda: marshal.loads(frozen),
            target="3x pandas, >1x DictReader; 2x floor",
        ),
        Case(
            f"csv.dumps {size / 1e6:.1f} MB, {len(records):,} rows",
            lambda: csv.dumps(records),
            {"csv.DictWriter": dict_writer},
            size_bytes=size,
            floor=lambda: marshal.dumps(records),
            target="10x DictWriter",
        ),
        Case(
            f"csv.stream_at {size / 1e6:.1f} MB file, row by row",
            lambda: list(csv.stream_at(path)),
            {"csv.DictReader over the file": dict_reader_file},
            size_bytes=size,
            floor=lambda: marshal.loads(streamed_blob),
        ),
        small_loads_case("csv.loads", csv.loads, small_text, csv.loads(small_text),
                         {"csv.DictReader": lambda: list(stdcsv.DictReader(io.StringIO(small_text)))}),
    ]
