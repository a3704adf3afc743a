"""csv.stream / csv.stream_at and the CsvStream iterator."""

import builtins
import os
import subprocess
import sys
import textwrap
import threading

import pytest

from tabrix._native import csv, tsv

BOM = b"\xef\xbb\xbf"


def utf8_message(record, line, field, byte, index):
    return (f"CSV parse error: record {record} (line {line}, field: {field}, byte: {byte}): "
            f"invalid utf-8: invalid UTF-8 in field {field} near byte index {index}")


# ---------------------------------------------------------------- typing and iteration

def test_each_cell_is_typed_on_its_own():
    stream = csv.stream(b"a,b\n1,x\n2.5,true\n")
    assert next(stream) == {"a": 1, "b": "x"}
    second = next(stream)
    assert second == {"a": 2.5, "b": True} and type(second["a"]) is float
    with pytest.raises(StopIteration):
        next(stream)
    with pytest.raises(StopIteration):  # and again once ended
        next(stream)


@pytest.mark.parametrize(
    "cell, expected",
    [(b"", None), (b'""', None), (b"true", True), (b"false", False), (b"True", "True"), (b"-7", -7),
     (b"9223372036854775808", 9223372036854775808), (b"1e3", 1000.0), (b"nan ", "nan "), (b"007", 7),
     (b'"a,b"', "a,b"), (b"\xc3\xa9", "é")],
)
def test_cell_typing(cell, expected):
    (record,) = csv.stream(b"c,d\n" + cell + b",1\n")
    assert record == {"c": expected, "d": 1}
    assert type(record["c"]) is type(expected)


def test_tsv_stream():
    assert list(tsv.stream(b"a\tb\n1,5\t\"x\ty\"\n")) == [{"a": "1,5", "b": "x\ty"}]


def test_header_only_and_iter():
    stream = csv.stream(b"a,b\n")
    assert iter(stream) is stream
    assert list(stream) == []


def test_header_is_a_fresh_list():
    stream = csv.stream(b"x,y\n1,2\n")
    header = stream.header
    assert header == ["x", "y"]
    header.append("z")
    assert stream.header == ["x", "y"]
    assert stream.header is not stream.header
    with pytest.raises(AttributeError):
        stream.header = ["q"]


# ---------------------------------------------------------------- inputs of stream

def test_stream_copies_its_input():
    data = bytearray(b"a\n1\n2\n")
    stream = csv.stream(data)
    data[2:] = b"9\n9\n"
    assert list(stream) == [{"a": 1}, {"a": 2}]


class BytesSub(bytes):
    pass


@pytest.mark.parametrize(
    "data, expected",
    [(b"a\n1", [{"a": 1}]), (bytearray(b"a\n1"), [{"a": 1}]), (BytesSub(b"a\n1"), [{"a": 1}]),
     ([97, 10, 50], [{"a": 2}]), ((97, 10, 51), [{"a": 3}]), (memoryview(b"a\n4"), [{"a": 4}]),
     ([97, 10, True], [{"a": "\x01"}])],
)
def test_stream_inputs(data, expected):
    assert list(csv.stream(data)) == expected


@pytest.mark.parametrize(
    "data, exc_type, message",
    [
        ("a\n1", TypeError, "Can't extract `str` to `Vec`"),
        (5, TypeError, "'int' object is not an instance of 'Sequence'"),
        (None, TypeError, "'None' is not an instance of 'Sequence'"),
        ({1: 2}, TypeError, "'dict' object is not an instance of 'Sequence'"),
        ([97, 256], OverflowError, "out of range integral type conversion attempted"),
        ([97, -1], OverflowError, "out of range integral type conversion attempted"),
        ([97, 1.0], TypeError, "'float' object cannot be interpreted as an integer"),
        ([97, "a"], TypeError, "'str' object cannot be interpreted as an integer"),
    ],
)
def test_stream_input_errors(data, exc_type, message):
    with pytest.raises(exc_type) as info:
        csv.stream(data)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'data'"]


# ---------------------------------------------------------------- header failures

@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "csv document carries no header row"),
        (b"\n\n", "csv document carries no header row"),
        (BOM, "csv document carries no header row"),
        (BOM * 2, "csv document carries no header row"),
        (b"a,b,a\n1,2,3\n", "duplicate column name a"),
        (b"a,\xff\n", utf8_message(0, 1, 1, 0, 0)),
        (b"ok,ab\xc3\n", utf8_message(0, 1, 1, 0, 2)),
        (b"\xc3\xa9\xed\xa0\x80\n", utf8_message(0, 1, 0, 0, 2)),  # a surrogate is not UTF-8
    ],
)
def test_header_errors_fail_inside_stream(data, message):
    with pytest.raises(ValueError) as info:
        csv.stream(data)
    assert str(info.value) == message


def test_byte_order_marks():
    # stream drops one mark and the reader another; a third stays in the name.
    assert csv.stream(BOM + b"a\n1\n").header == ["a"]
    assert csv.stream(BOM * 2 + b"a\n1\n").header == ["a"]
    assert csv.stream(BOM * 3 + b"a\n1\n").header == ["\ufeffa"]


def test_byte_order_marks_of_a_file(tmp_path):
    one, two = tmp_path / "one.csv", tmp_path / "two.csv"
    one.write_bytes(BOM + b"a\n1\n")
    two.write_bytes(BOM * 2 + b"a\n1\n")
    assert list(csv.stream_at(str(one))) == [{"a": 1}]
    assert csv.stream_at(str(two)).header == ["\ufeffa"]


# ---------------------------------------------------------------- record failures

def test_row_length_error_consumes_the_record():
    stream = csv.stream(b"a,b\n1\n3,4\n5,6,7\n8,9\n")
    with pytest.raises(ValueError, match="^row 2 has 1 fields, the header declares 2$"):
        next(stream)
    assert next(stream) == {"a": 3, "b": 4}
    with pytest.raises(ValueError, match="^row 4 has 3 fields, the header declares 2$"):
        next(stream)
    assert next(stream) == {"a": 8, "b": 9}
    assert list(stream) == []


@pytest.mark.parametrize(
    "data, row, message",
    [
        (b"a,b\n1,\xff\n3,4\n", 2, utf8_message(1, 2, 1, 4, 0)),
        (b"a,b\n1,2\nx,y\xe2\x82\n3,4\n", 3, utf8_message(2, 3, 1, 8, 1)),
        (b"a,b\r\n1,2\r\n\xc0\xaf,y\r\n3,4\r\n", 3, utf8_message(2, 3, 0, 10, 0)),  # an overlong form
        (b"a,b\n\n\n1,\xf4\x90\x80\x80\n3,4\n", 2, utf8_message(1, 4, 1, 6, 0)),  # beyond U+10FFFF
        (b'a,b\n"x\ny",1\n2,"\n\xff"\n3,4\n', 3, utf8_message(2, 4, 1, 12, 1)),
        (b"a,b\r1,2\r\r\xff,2\r3,4", 3, utf8_message(2, 4, 0, 9, 0)),
        (BOM + b"a,b\n1,\xff\n3,4\n", 2, utf8_message(1, 2, 1, 4, 0)),  # a mark dropped by stream
        (BOM * 2 + b"a,b\n1,\xff\n3,4\n", 2, utf8_message(1, 2, 1, 7, 0)),  # one skipped by the reader
    ],
)
def test_invalid_utf8_in_a_record_and_the_stream_goes_on(data, row, message):
    stream = csv.stream(data)
    records = []
    with pytest.raises(ValueError) as info:
        while True:
            records.append(next(stream))
    assert str(info.value) == f"row {row}: {message}"
    assert next(stream) == {"a": 3, "b": 4}
    assert list(stream) == []


# ---------------------------------------------------------------- files

def test_stream_at_reads_a_file_chunk_by_chunk(tmp_path):
    path = tmp_path / "table.csv"
    lines = ["id,name,score"] + [f'{i},"name, {i}",{i / 4}' for i in range(5000)]
    path.write_text("\r\n".join(lines) + "\r\n")
    stream = csv.stream_at(str(path))
    assert stream.header == ["id", "name", "score"]
    records = list(stream)
    assert len(records) == 5000
    assert records[4321] == {"id": 4321, "name": "name, 4321", "score": 4321 / 4}
    assert csv.loads(path.read_text()) == [dict(r, score=float(r["score"])) for r in records]


def test_stream_at_invalid_utf8_positions_in_a_file(tmp_path):
    path = tmp_path / "bad.csv"
    filler = b"".join(b"%d,x\n" % i for i in range(3000))  # pushes the bad record past the first chunk
    path.write_bytes(b"a,b\n" + filler + b"1,\xff\n2,y\n")
    stream = csv.stream_at(str(path))
    for _ in range(3000):
        next(stream)
    with pytest.raises(ValueError) as info:
        next(stream)
    assert str(info.value) == f"row 3002: {utf8_message(3001, 3002, 1, 4 + len(filler), 0)}"
    assert next(stream) == {"a": 2, "b": "y"}


@pytest.mark.parametrize(
    "name, message",
    [
        ("missing.csv", "No such file or directory (os error 2)"),
        ("dir/missing.csv", "No such file or directory (os error 2)"),
        ("a\0b.csv", "file name contained an unexpected NUL byte"),
    ],
)
def test_stream_at_cannot_open(tmp_path, name, message):
    path = str(tmp_path / name)
    with pytest.raises(ValueError) as info:
        csv.stream_at(path)
    assert str(info.value) == f"cannot open {path}: {message}"


def test_stream_at_a_directory_fails_reading_the_header(tmp_path):
    with pytest.raises(ValueError) as info:
        csv.stream_at(str(tmp_path))
    assert str(info.value) == "Is a directory (os error 21)"


def test_stream_at_header_errors(tmp_path):
    path = tmp_path / "dup.csv"
    path.write_bytes(b"a,a\n")
    with pytest.raises(ValueError, match="^duplicate column name a$"):
        csv.stream_at(str(path))
    path.write_bytes(b"")
    with pytest.raises(ValueError, match="^csv document carries no header row$"):
        csv.stream_at(str(path))


def _open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.thread_unsafe(reason="counts the process's open descriptors, which other threads' streams change")
@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
def test_the_file_is_closed_when_the_stream_is_destroyed(tmp_path):
    path = tmp_path / "t.csv"
    path.write_bytes(b"a\n1\n2\n")
    before = _open_descriptors()
    stream = csv.stream_at(str(path))
    assert _open_descriptors() == before + 1
    assert list(stream) == [{"a": 1}, {"a": 2}]
    assert _open_descriptors() == before + 1  # still open once the iteration has ended
    del stream
    assert _open_descriptors() == before
    # Failing header checks close the file too.
    path.write_bytes(b"a,a\n")
    with pytest.raises(ValueError):
        csv.stream_at(str(path))
    assert _open_descriptors() == before


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
def test_streaming_a_large_file_keeps_memory_constant(tmp_path):
    # About 100 MB streamed with stream_at; the peak resident size of a fresh
    # interpreter may not grow by more than 20 MB.
    path = tmp_path / "large.csv"
    block = "".join(f'{i},"text, with a comma and ""quotes"" {i}",{i * 0.5},{"abcdefgh" * 24}\n'
                    for i in range(1000)).encode()
    with open(path, "wb") as f:
        f.write(b"id,note,half,padding\n")
        while f.tell() < 100_000_000:
            f.write(block)
    size = path.stat().st_size
    script = textwrap.dedent(f"""
        import resource
        from tabrix._native import csv
        stream = csv.stream_at({str(path)!r})
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        count = 0
        for record in stream:
            count += 1
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(count, after - before)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    count, growth_kb = map(int, result.stdout.split())
    assert count == size // len(block) * 1000
    assert growth_kb < 20 * 1024


# ---------------------------------------------------------------- concurrent use

@pytest.mark.thread_unsafe(reason="replaces builtins.int, which every thread's big integers go through")
def test_next_from_two_threads_fails_fast(monkeypatch):
    # The first next() reaches a cell beyond 64 bits, which goes through
    # builtins.int; a patched int holds that call while a second thread uses
    # the same stream.
    entered, release = threading.Event(), threading.Event()
    real_int = builtins.int

    def slow_int(text):
        entered.set()
        release.wait(10)
        return real_int(text)

    stream = csv.stream(b"a\n123456789012345678901234567890\n2\n")
    results = {}

    def first():
        results["first"] = next(stream)

    monkeypatch.setattr(builtins, "int", slow_int)
    worker = threading.Thread(target=first)
    worker.start()
    try:
        assert entered.wait(10)
        errors = []
        for use in (lambda: next(stream), lambda: stream.header, lambda: iter(stream)):
            try:
                use()
            except RuntimeError as error:
                errors.append(str(error))
    finally:
        release.set()
        worker.join()
        monkeypatch.undo()
    assert errors == ["Already borrowed", "Already mutably borrowed", "Already mutably borrowed"]
    assert results["first"] == {"a": 123456789012345678901234567890}
    # Usable again once the first call is done; the failed calls consumed nothing.
    assert stream.header == ["a"]
    assert list(stream) == [{"a": 2}]


def test_csv_stream_class():
    assert csv.CsvStream is tsv.CsvStream
    assert type(csv.stream(b"a\n")) is csv.CsvStream
    with pytest.raises(TypeError):
        csv.CsvStream()
    lines = csv.CsvStream.__doc__.split("\n")
    assert len(lines) == 4
    assert lines[0].startswith("Row-at-a-time CSV iterator.")
    assert lines[3].startswith("(") and lines[3].endswith(")") and "`loads`" in lines[3]
