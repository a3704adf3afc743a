"""CSV: loading with column inference and writing, on a generated table."""

from __future__ import annotations

import csv as stdcsv
import io
import marshal
import random
from typing import Any, Callable

from documents import WORDS
from harness import Case, optional_peers, small_loads_case, tiny_case
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


def csv_loaders(text: str | None = None, path: str | None = None) -> dict[str, Callable[[], Any]]:
    """The peers' ways from a CSV text (or file) to a list of Python rows."""
    def source() -> Any:
        return io.BytesIO(text.encode()) if text is not None else path

    def polars() -> Callable[[], Any]:
        import polars

        return lambda: polars.read_csv(source()).to_dicts()

    def pyarrow() -> Callable[[], Any]:
        import pyarrow.csv

        return lambda: pyarrow.csv.read_csv(source()).to_pylist()

    def pandas() -> Callable[[], Any]:
        import pandas

        return lambda: pandas.read_csv(source(), keep_default_na=False).to_dict("records")

    def dict_reader() -> list:
        if text is not None:
            return list(stdcsv.DictReader(io.StringIO(text)))
        with open(path, encoding="utf-8", newline="") as file:
            return list(stdcsv.DictReader(file))

    return optional_peers(**{"polars.read_csv().to_dicts()": polars,
                             "pyarrow.csv.read_csv().to_pylist()": pyarrow,
                             "pandas.read_csv().to_dict()": pandas, "csv.DictReader": lambda: dict_reader})


def csv_writers(records: list[dict[str, Any]]) -> dict[str, Callable[[], Any]]:
    fieldnames = list(records[0])

    def dict_writer() -> str:
        out = io.StringIO()
        writer = stdcsv.DictWriter(out, fieldnames=fieldnames, lineterminator="\n")
        writer.writeheader()
        writer.writerows(records)
        return out.getvalue()

    def polars() -> Callable[[], Any]:
        import polars

        return lambda: polars.DataFrame(records).write_csv()

    def pyarrow() -> Callable[[], Any]:
        import pyarrow
        import pyarrow.csv

        def write() -> str:
            out = io.BytesIO()
            pyarrow.csv.write_csv(pyarrow.Table.from_pylist(records), out)
            return out.getvalue().decode()
        return write

    return optional_peers(**{"polars.DataFrame().write_csv()": polars, "pyarrow.csv.write_csv": pyarrow,
                             "csv.DictWriter": lambda: dict_writer})


def cases() -> list[Case]:
    import os
    import tempfile

    text = table_text()
    folder = tempfile.mkdtemp(prefix="tabrix-bench-")
    path = os.path.join(folder, "table.csv")
    with open(path, "w", encoding="utf-8", newline="") as file:
        file.write(text)

    streamed = list(csv.stream_at(path))
    streamed_blob = marshal.dumps(streamed)
    small_text = table_text(rows=25)
    records = csv.loads(text)
    frozen = marshal.dumps(records)
    size = len(text.encode())
    return [
        Case(
            f"csv.loads {size / 1e6:.1f} MB, {len(records):,} rows",
            lambda: csv.loads(text),
            csv_loaders(text),
            size_bytes=size,
            floor=lambda: marshal.loads(frozen),
            target="> 1x polars, pyarrow; 1.0x floor",
        ),
        Case(
            f"csv.dumps {size / 1e6:.1f} MB, {len(records):,} rows",
            lambda: csv.dumps(records),
            csv_writers(records),
            size_bytes=size,
            floor=lambda: marshal.dumps(records),
        ),
        Case(
            f"csv.stream_at {size / 1e6:.1f} MB file, row by row",
            lambda: list(csv.stream_at(path)),
            csv_loaders(path=path),
            size_bytes=size,
            floor=lambda: marshal.loads(streamed_blob),
            target="1.2x floor",
        ),
        small_loads_case("csv.loads", csv.loads, small_text, csv.loads(small_text), csv_loaders(small_text)),
        tiny_case("csv.loads", csv.loads, "a\n1\n", csv_loaders("a\n1\n")),
    ]
