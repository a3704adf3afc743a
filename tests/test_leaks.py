"""Memory, references and files over many calls.

Every function is called many times, succeeding and failing in each way it
can (also half way through building a large result), and nothing may stay
behind: no Python memory (tracemalloc), no native heap memory (the C
library's allocation counters), no resident memory, no references to the
arguments, no open files.
"""

import ctypes
import gc
import os
import sys
import tracemalloc

import sysconfig
import threading

import pytest

import tabrix
from tabrix._native import csv, ini, interpolate, jsonc, toml, tsv, yaml

from support import SANITIZED

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

# Memory, reference and file counts are the process's: copies of a test in
# other threads would change them.
pytestmark = pytest.mark.thread_unsafe(reason="counts the process's memory, references and open files")




class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _heap_counter():
    """A function giving the bytes in use on the C heap, or None: the
    sanitizer's allocator statistics, else glibc's mallinfo2."""
    try:
        process = ctypes.CDLL(None)
    except OSError:
        return None
    if SANITIZED:
        try:
            allocated = process.__sanitizer_get_current_allocated_bytes
        except AttributeError:
            return None
        allocated.restype = ctypes.c_size_t
        return allocated
    try:
        mallinfo2 = process.mallinfo2
    except AttributeError:
        return None
    mallinfo2.restype = _MallInfo2

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use


HEAP_IN_USE = _heap_counter()


# A free-threaded interpreter frees some memory late (memory that another
# thread might still be reading goes into a queue that is emptied a few
# hundred blocks at a time), so the memory in use after a call swings up and
# down by up to a queue's worth even when nothing leaks. A window of calls
# long enough to span an emptying, compared by its lowest level, sees past
# that; a GIL build frees at once and needs only a few calls.
WINDOW = 300 if FREE_THREADED else 25


def steady_growth(call):
    """Bytes of Python memory (tracemalloc) that WINDOW more calls of `call`
    leave in use once the process has reached its steady state: the lowest
    level over a window of calls against the lowest level over the window
    before it. A leak raises every level, the lowest included."""

    def lowest():
        levels = []
        for _ in range(WINDOW):
            call()
            levels.append(tracemalloc.get_traced_memory()[0])
        gc.collect()
        levels.append(tracemalloc.get_traced_memory()[0])
        return min(levels)

    for _ in range(5):  # caches, freelists and lazily made objects settle
        call()
    gc.collect()
    tracemalloc.start()
    try:
        lowest()  # tracemalloc's own bookkeeping settles
        first = lowest()
        return lowest() - first
    finally:
        tracemalloc.stop()


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# ---------------------------------------------------------------- inputs

N = 500  # records or entries of the "large" inputs

YAML_DOC = ("defaults: &d {retries: 3, ratio: 0.5, on: yes}\n"
            "service:\n  <<: *d\n  name: \"caf\\u00e9\"\n  tags: [a, b, !!str 1]\n"
            "list:\n" + "".join(f"  - {{id: {i}, name: item{i}, big: 99999999999999999999}}\n" for i in range(200)))
TOML_DOC = ("title = \"x\"\nwhen = 1979-05-27T07:32:00Z\n[server]\nports = [8000, 8001]\nratio = 0.5\n"
            + "".join(f"[[item]]\nid = {i}\nname = \"n{i}\"\n" for i in range(200)))
JSONC_DOC = ("// settings\n{\n  name: 'x', /* c */ hex: 0xFF, plus: +1, trailing: [1, 2,],\n  items: ["
             + ",".join(f'{{"id": {i}, "v": "é{i}"}}' for i in range(200)) + "]\n}")
INI_DOC = "[main]\nname = x\npath = \"a b\"\n" + "".join(f"[s{i}]\nk{i} = v\\n{i}\n" for i in range(200))
CSV_DOC = "id,name,ratio,flag,big\n" + "".join(f"{i},n{i},{i}.5,true,{10 ** 20 + i}\n" for i in range(N))
CSV_BYTES = CSV_DOC.encode()
VALUE = {"name": "é", "n": 1, "big": 2 ** 62, "f": 0.1, "inf": float("inf"), "t": (1, None, True),
         "items": [{"id": i, "s": f"s{i}"} for i in range(200)]}
TOML_VALUE = {"name": "é", "n": 1, "f": 0.1, "table": {"a": [1, 2]}, "items": [{"id": i} for i in range(200)]}
INI_VALUE = {f"s{i}": {"a": "x\ny", "b": i, "c": 0.5, "d": True} for i in range(200)}
RECORDS = [{"id": i, "name": f"n,{i}", "r": i / 3, "ok": None} for i in range(N)]
TREE = {"a": "$HOME/x", "b": ["${USER:-nobody}", "$$", 1, None], "c": [{"d": "${HOME}"} for _ in range(200)]}
ENV = {"HOME": "/home/u", "USER": "me"}

# Failures that come late, after much of the result has been built.
LATE_BAD_INT = "[" + "1," * N + "0x" + "f" * 4000 + "]"  # an int beyond the interpreter's digit limit
LATE_BAD_CSV = CSV_DOC + "1,2,3\n"
LATE_BAD_CSV_INT = "a,b\n" + "".join(f"{i},x\n" for i in range(N)) + "1" * 5000 + ",y\n"
LATE_BAD_VALUE = [{"id": i} for i in range(N)] + [object()]
LATE_BAD_RECORDS = RECORDS + [{"id": 1, "name": "x", "r": 1.0}]
LATE_BAD_TREE = [f"${{HOME}}/{i}" for i in range(N)] + ["${NOPE?is needed}"]


def self_referencing():
    value = [1, 2]
    value.append({"again": value})
    return value


class Shrinking:
    """An int-like INI value whose conversion empties the section it is in."""

    def __init__(self, section):
        self.section = section

    def __index__(self):
        self.section.clear()
        return 1


def shrinking_section():
    section = {"a": None, "b": 2}
    section["a"] = Shrinking(section)
    return {"s": section}


def stream_all(make):
    return list(make())


def stream_some(make):
    stream = make()
    next(stream)
    return stream.header


PanicException = BaseException  # the class the binding raises for broken invariants

# (id, call, expected exception or None)
CASES = [
    ("yaml.loads", lambda: yaml.loads(YAML_DOC), None),
    ("yaml.loads syntax", lambda: yaml.loads(YAML_DOC + "- [unclosed\n"), ValueError),
    ("yaml.loads budget", lambda: yaml.loads("a: &a [" + "x," * 100 + "x]\n"
                                             + "".join(f"b{i}: &b{i} [*{'a' if i == 0 else f'b{i - 1}'}, "
                                                       f"*{'a' if i == 0 else f'b{i - 1}'}]\n" for i in range(20))),
     ValueError),
    ("yaml.loads bad value", lambda: yaml.loads("a: [1, 2, !!int abc]"), ValueError),
    ("yaml.loads too deep", lambda: yaml.loads("[" * 300 + "]" * 300), ValueError),
    ("yaml.loads surrogate", lambda: yaml.loads("a: \ud800"), UnicodeEncodeError),
    ("yaml.loads argument", lambda: yaml.loads(b"a: 1"), TypeError),
    ("yaml.dumps", lambda: yaml.dumps(VALUE), None),
    ("yaml.dumps late type", lambda: yaml.dumps(LATE_BAD_VALUE), TypeError),
    ("yaml.dumps cycle", lambda: yaml.dumps(self_referencing()), RecursionError),
    ("yaml.dumps key", lambda: yaml.dumps([{"a": 1}] * 100 + [{1: 2}]), TypeError),
    ("yaml.dumps big", lambda: yaml.dumps([{"a": 1}] * 100 + [10 ** 30]), ValueError),
    ("toml.loads", lambda: toml.loads(TOML_DOC), None),
    ("toml.loads syntax", lambda: toml.loads(TOML_DOC + "x = [1,\n"), ValueError),
    ("toml.loads duplicate", lambda: toml.loads(TOML_DOC + "[server]\n"), ValueError),
    ("toml.dumps", lambda: toml.dumps(TOML_VALUE), None),
    ("toml.dumps null", lambda: toml.dumps({"a": [{"b": i} for i in range(N)] + [None]}), ValueError),
    ("toml.dumps big", lambda: toml.dumps({"a": list(range(N)) + [2 ** 70]}), ValueError),
    ("toml.dumps root", lambda: toml.dumps([1, 2]), ValueError),
    ("jsonc.loads", lambda: jsonc.loads(JSONC_DOC), None),
    ("jsonc.loads syntax", lambda: jsonc.loads(JSONC_DOC + "}"), ValueError),
    ("jsonc.loads empty", lambda: jsonc.loads("// nothing"), ValueError),
    ("jsonc.loads late int", lambda: jsonc.loads(LATE_BAD_INT), ValueError),
    ("jsonc.dumps", lambda: jsonc.dumps(VALUE), None),
    ("jsonc.dumps late type", lambda: jsonc.dumps(LATE_BAD_VALUE), TypeError),
    ("jsonc.dumps nan", lambda: jsonc.dumps([{"a": 1}] * 100 + [float("nan")]), ValueError),
    ("ini.loads", lambda: ini.loads(INI_DOC), None),
    ("ini.loads syntax", lambda: ini.loads(INI_DOC + "\n[unclosed"), ValueError),
    ("ini.loads outside", lambda: ini.loads("k = v\n" + INI_DOC), ValueError),
    ("ini.dumps", lambda: ini.dumps(INI_VALUE), None),
    ("ini.dumps late value", lambda: ini.dumps({**INI_VALUE, "z": {"a": [1]}}), TypeError),
    ("ini.dumps late name", lambda: ini.dumps({**INI_VALUE, "z": {"a ": "1"}}), ValueError),
    ("ini.dumps changed", lambda: ini.dumps(shrinking_section()), PanicException),
    ("csv.loads", lambda: csv.loads(CSV_DOC), None),
    ("csv.loads late row", lambda: csv.loads(LATE_BAD_CSV), ValueError),
    ("csv.loads late int", lambda: csv.loads(LATE_BAD_CSV_INT), ValueError),
    ("csv.loads duplicate", lambda: csv.loads("a,a\n1,2\n"), ValueError),
    ("tsv.loads", lambda: tsv.loads(CSV_DOC.replace(",", "\t")), None),
    ("csv.dumps", lambda: csv.dumps(RECORDS), None),
    ("csv.dumps late missing", lambda: csv.dumps(LATE_BAD_RECORDS), ValueError),
    ("csv.dumps late type", lambda: csv.dumps(RECORDS + [{"id": 1, "name": [], "r": 1, "ok": 2}]), TypeError),
    ("csv.dumps_header", lambda: csv.dumps_header(["a", "b,c"]), None),
    ("csv.dumps_header type", lambda: csv.dumps_header(["a", 1]), TypeError),
    ("csv.dumps_row", lambda: tsv.dumps_row(["a", "b"], 3, {"a": 1, "b": "x\ty"}), None),
    ("csv.dumps_row missing", lambda: csv.dumps_row(["a", "b"], 3, {"a": 1, "c": 2}), ValueError),
    ("csv.dumps_row number", lambda: csv.dumps_row(["a"], -1, {"a": 1}), OverflowError),
    ("csv.stream", lambda: stream_all(lambda: csv.stream(CSV_BYTES)), None),
    ("csv.stream part", lambda: stream_some(lambda: csv.stream(CSV_BYTES)), None),
    ("csv.stream utf8", lambda: stream_all(lambda: csv.stream(CSV_BYTES + b"1,\xff,2,3,4\n")), ValueError),
    ("csv.stream row", lambda: stream_all(lambda: csv.stream(CSV_BYTES + b"1,2\n")), ValueError),
    ("csv.stream header", lambda: csv.stream(b"a,a\n"), ValueError),
    ("csv.stream argument", lambda: csv.stream("a\n1\n"), TypeError),
    ("interpolate", lambda: interpolate(TREE, ENV), None),
    ("interpolate late required", lambda: interpolate(LATE_BAD_TREE, ENV), ValueError),
    ("interpolate syntax", lambda: interpolate({"a": ["x"] * N + ["${"]}, ENV), ValueError),
    ("interpolate env type", lambda: interpolate(["$HOME"] * 10 + ["$N"], {**ENV, "N": 1}), TypeError),
    ("interpolate cycle", lambda: interpolate(self_referencing(), ENV), RecursionError),
    ("interpolate argument", lambda: interpolate(TREE, [("HOME", "x")]), TypeError),
    ("package loads", lambda: tabrix.loads(YAML_DOC, "yml"), None),
    ("package dumps", lambda: tabrix.dumps(VALUE, "json"), None),
    ("package format", lambda: tabrix.loads("", "xml"), ValueError),
]
IDS = [case[0] for case in CASES]


def run(call, expected, times):
    for _ in range(times):
        if expected is None:
            call()
            continue
        try:
            call()
        except expected:
            pass
        else:
            raise AssertionError("no exception")


def test_every_failure_case_fails_as_expected():
    for name, call, expected in CASES:
        if expected is None:
            continue
        with pytest.raises(expected):
            call()


@pytest.mark.parametrize("name, call, expected", CASES, ids=IDS)
def test_no_python_memory_stays_behind(name, call, expected):
    grown = steady_growth(lambda: run(call, expected, 1))
    # One leaked object per call would be at least WINDOW * 16 bytes.
    assert grown < WINDOW * 16, f"{grown} bytes more after {WINDOW} calls"


@pytest.mark.skipif(HEAP_IN_USE is None, reason="needs glibc's or the sanitizer's heap counters")
@pytest.mark.parametrize("name, call, expected", CASES, ids=IDS)
def test_no_native_memory_stays_behind(name, call, expected):
    run(call, expected, 10)
    gc.collect()
    before = HEAP_IN_USE()
    run(call, expected, 100)
    gc.collect()
    grown = HEAP_IN_USE() - before
    # A leak of one small allocation per call would be at least 100 * 16 bytes.
    assert grown < 1600, f"{grown} heap bytes more after 100 calls"


def test_resident_memory_stays_flat():
    # Large documents, whose buffers would show in the resident size if any
    # were kept: about 1 MB of text per round.
    docs = [
        (yaml.loads, "a: [" + ", ".join(f"{{x: {i}}}" for i in range(20000)) + "]\n"),
        (toml.loads, "a = [" + ", ".join(f"{{x = {i}}}" for i in range(20000)) + "]\n"),
        (jsonc.loads, "[" + ",".join(f'{{"x":{i}}}' for i in range(20000)) + "]"),
        (ini.loads, "".join(f"[s{i}]\nx = {i}\n" for i in range(20000))),
        (csv.loads, "x,y\n" + "".join(f"{i},é{i}\n" for i in range(20000))),
    ]
    bad = [(load, text + "\u0000[") for load, text in docs]

    def round_trip():
        for load, text in docs:
            load(text)
        for load, text in bad:
            try:
                load(text)
            except ValueError:
                pass

    for _ in range(3):
        round_trip()
    gc.collect()
    before = resident_bytes()
    for _ in range(10):
        round_trip()
    gc.collect()
    grown = resident_bytes() - before
    if not SANITIZED:  # the sanitizer's quarantine keeps freed memory resident
        assert grown < 8 * 2 ** 20, f"resident size grew by {grown} bytes"


def test_arguments_keep_no_references():
    text = "".join(["a: [1, 2]\n", "b: x\n"])  # a fresh object, referenced only here
    value = {"k": ["v", 1.5, None]}
    items = value["k"]
    env = {"HOME": "".join(["/h", "ome"])}
    home = env["HOME"]
    records = [{"a": "".join(["x", "y"])}]
    cell = records[0]["a"]
    watched = [text, value, items, env, home, records, cell, None, True, False, csv.CsvStream]

    def exercise():
        yaml.loads(text)
        jsonc.dumps(value)
        yaml.dumps(value)
        interpolate([value, "$HOME", "${HOME:-x}"], env)
        csv.dumps(records)
        csv.dumps_row(["a"], 1, records[0])
        for stream in (csv.stream(b"a\n1\n"), tsv.stream(bytearray(b"a\n1\n"))):
            list(stream)
        for call in (lambda: yaml.dumps([value, object()]), lambda: interpolate([home, "$"], env),
                     lambda: csv.dumps(records + [1]), lambda: toml.dumps({"k": items})):
            try:
                call()
            except (TypeError, ValueError):
                pass

    for _ in range(3):
        exercise()
    gc.collect()
    # Counts of references balance within one thread on every build (see
    # test_streams_and_their_files_are_released).
    assert threading.active_count() == 1
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(50):
        exercise()
    gc.collect()
    after = [sys.getrefcount(obj) for obj in watched]
    assert after == before


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
def test_streams_and_their_files_are_released(tmp_path):
    good = tmp_path / "good.csv"
    good.write_bytes(CSV_BYTES)
    bad = tmp_path / "bad.csv"
    bad.write_bytes(b"a,b\n1,2\n3\n")
    duplicate = tmp_path / "dup.csv"
    duplicate.write_bytes(b"a,a\n")

    def failing(call):
        try:
            call()
        except ValueError:
            return
        raise AssertionError("no ValueError")

    def uses():
        list(csv.stream_at(str(good)))                      # read to the end
        stream = tsv.stream_at(str(good))                   # read in part
        next(stream)
        stream.header
        csv.stream_at(str(good))                            # never read
        failing(lambda: list(csv.stream_at(str(bad))))      # a faulty record
        failing(lambda: csv.stream_at(str(duplicate)))      # a faulty header
        failing(lambda: csv.stream_at(str(tmp_path / "missing.csv")))  # no such file
        for record in tabrix.iter_rows(str(good)):          # the package's iterator, left early
            break

    uses()
    gc.collect()
    descriptors = len(os.listdir("/proc/self/fd"))
    # The type's count of references balances within one thread on every
    # build; on a free-threaded one a thread that ends hands back the counts
    # it kept for itself, so no other thread may end in between.
    assert threading.active_count() == 1
    type_references = sys.getrefcount(csv.CsvStream)
    grown = steady_growth(uses)
    after = sys.getrefcount(csv.CsvStream)  # (outside the assert, whose rewriting holds references)
    assert len(os.listdir("/proc/self/fd")) == descriptors
    assert after == type_references
    assert grown < WINDOW * 16
