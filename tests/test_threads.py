"""Many threads at once: every loads, dumps and interpolate from 8 threads on
shared inputs gives exactly the single-threaded result (or the same error),
and a CsvStream shared by 8 threads hands out each record exactly once,
failing only with its two borrow errors."""

import builtins
import math
import os
import random
import threading
import time

import pytest

from tabrix._native import csv, ini, interpolate, jsonc, toml, tsv, yaml

THREADS = 8

YAML_DOC = "defaults: &d {retries: 3, ratio: 0.5}\n" + "".join(
    f"s{i}:\n  <<: *d\n  name: \"caf\\u00e9 {i}\"\n  ports: [{i}, 0x1F, 1e3, .inf, ~]\n  on: yes\n" for i in range(300))
TOML_DOC = "".join(f"[s{i}]\nname = \"n{i}\"\nports = [{i}, 0x1F]\nratio = 0.5\nwhen = 1979-05-27T07:32:00Z\n"
                   for i in range(300))
JSONC_DOC = "// many\n[" + ",".join(f"{{id: {i}, 'name': \"é{i}\", hex: 0x{i:x}, f: {i}.25, n: null,}}"
                                    for i in range(1000)) + "]"
INI_DOC = "".join(f"[s{i}]\nname = n{i}\npath = \"a b {i}\"\nmulti = x\\ny\n" for i in range(500))
CSV_DOC = "id,name,ratio,flag,big\n" + "".join(f"{i},n{i},{i}.5,{i % 2 == 0},{10 ** 20 + i}\n" for i in range(2000))
VALUE = {"s": "é", "n": [1, 2.5, None, True, 2 ** 62], "inf": math.inf,
         "items": [{"id": i, "name": f"n{i}", "f": i / 7} for i in range(500)]}
TOML_VALUE = {"t": {"a": [1, 2]}, "items": [{"id": i, "name": f"n{i}", "f": i / 7} for i in range(500)]}
INI_VALUE = {f"s{i}": {"a": f"x\ny{i}", "b": i, "c": i / 3, "d": i % 2 == 0} for i in range(300)}
RECORDS = [{"id": i, "name": f"n,{i}", "r": i / 3, "ok": None} for i in range(1000)]
TREE = {"a": "$HOME/x", "b": ["${USER:-nobody}", "$$", 1, None],
        "c": [{"d": f"${{HOME}}/{i}", "e": "${NOPE:-$USER}"} for i in range(1000)]}
ENV = {"HOME": "/home/u", "USER": "me"}

CALLS = {
    "yaml.loads": lambda: yaml.loads(YAML_DOC),
    "yaml.dumps": lambda: yaml.dumps(VALUE),
    "toml.loads": lambda: toml.loads(TOML_DOC),
    "toml.dumps": lambda: toml.dumps(TOML_VALUE),
    "jsonc.loads": lambda: jsonc.loads(JSONC_DOC),
    "jsonc.dumps": lambda: jsonc.dumps(VALUE),
    "ini.loads": lambda: ini.loads(INI_DOC),
    "ini.dumps": lambda: ini.dumps(INI_VALUE),
    "csv.loads": lambda: csv.loads(CSV_DOC),
    "tsv.loads": lambda: tsv.loads(CSV_DOC.replace(",", "\t")),
    "csv.dumps": lambda: csv.dumps(RECORDS),
    "tsv.dumps_row": lambda: tsv.dumps_row(["id", "name", "r", "ok"], 7, RECORDS[7]),
    "csv.dumps_header": lambda: csv.dumps_header(["a", "b,c"]),
    "csv.stream": lambda: list(csv.stream(CSV_DOC.encode())),
    "interpolate": lambda: interpolate(TREE, ENV),
    # Failures: the same error from every thread.
    "yaml.loads error": lambda: yaml.loads(YAML_DOC + "x: [\n"),
    "toml.loads error": lambda: toml.loads(TOML_DOC + "[s1]\n"),
    "jsonc.loads error": lambda: jsonc.loads(JSONC_DOC + ","),
    "csv.loads error": lambda: csv.loads(CSV_DOC + "1,2\n"),
    "yaml.dumps error": lambda: yaml.dumps([VALUE, object()]),
    "interpolate error": lambda: interpolate([TREE, "${NOPE?unset}"], ENV),
}


def outcome(call):
    """A comparable form of the result or the error (NaN made comparable)."""
    try:
        return "ok", repr(call())
    except Exception as error:  # noqa: BLE001 - the error is the result here
        return type(error).__name__, str(error)


def test_every_function_from_eight_threads_matches_one_thread():
    expected = {name: outcome(call) for name, call in CALLS.items()}
    assert sum(kind != "ok" for kind, _ in expected.values()) == 6
    start = threading.Barrier(THREADS)
    mismatches = []

    def work(seed):
        order = list(CALLS) * 3
        random.Random(seed).shuffle(order)
        start.wait()
        for name in order:
            got = outcome(CALLS[name])
            if got != expected[name]:
                mismatches.append((name, got[0], got[1][:200]))

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert mismatches == []


def test_short_lived_threads_match_one_thread():
    # Each thread makes one call of each function and ends, eight at a time:
    # every call starts with no storage kept from an earlier one, and every
    # thread ends holding what its calls kept.
    expected = {name: outcome(call) for name, call in CALLS.items()}
    mismatches = []

    def work(seed):
        order = list(CALLS)
        random.Random(seed).shuffle(order)
        for name in order:
            got = outcome(CALLS[name])
            if got != expected[name]:
                mismatches.append((name, got[0], got[1][:200]))

    for wave in range(4):
        threads = [threading.Thread(target=work, args=(wave * THREADS + i,)) for i in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    assert mismatches == []


def test_results_are_not_shared_between_threads():
    # Each call builds its own objects: a result changed by one thread is
    # not seen by another.
    start = threading.Barrier(THREADS)
    results = [None] * THREADS

    def work(index):
        start.wait()
        value = jsonc.loads(JSONC_DOC)
        value[0]["id"] = index
        results[index] = value

    threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert [value[0]["id"] for value in results] == list(range(THREADS))
    assert len({id(value[1]) for value in results}) == THREADS


BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}


@pytest.mark.thread_unsafe(reason="replaces builtins.int, which every thread's big integers go through")
@pytest.mark.parametrize("source", ["memory", "file"])
def test_one_stream_shared_by_eight_threads(tmp_path, source):
    # Every record has a cell beyond 64 bits, which goes through builtins.int;
    # a Python stand-in for int that sleeps for no time lets the other threads
    # run in the middle of a next(), so that they meet the stream while it is
    # borrowed (a free-threaded interpreter needs no help).
    real_int = builtins.int
    count = 3000
    data = ("id,big,name\n" + "".join(f"{i},{10 ** 20 + i},n{i}\n" for i in range(count))).encode()
    if source == "memory":
        stream = csv.stream(data)
    else:
        path = tmp_path / "shared.csv"
        path.write_bytes(data)
        stream = csv.stream_at(str(path))
    start = threading.Barrier(THREADS)
    seen = [[] for _ in range(THREADS)]
    errors = [[] for _ in range(THREADS)]

    def work(index):
        start.wait()
        while True:
            try:
                record = next(stream)
            except StopIteration:
                return
            except RuntimeError as error:
                errors[index].append(str(error))
                time.sleep(0)  # let the thread inside next() go on
                # Shared uses meet a running next() too.
                try:
                    iter(stream)
                    stream.header
                except RuntimeError as again:
                    errors[index].append(str(again))
                continue
            seen[index].append(record)
            time.sleep(0)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    # The stand-in lets the other threads run; it is restored before anything
    # else needs the real int.
    builtins.int = lambda text: (time.sleep(0), real_int(text))[1]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        builtins.int = real_int
    records = [record for part in seen for record in part]
    assert sorted(record["id"] for record in records) == list(range(count))
    assert all(record == {"id": record["id"], "big": 10 ** 20 + record["id"], "name": f"n{record['id']}"}
               for record in records)
    messages = {message for part in errors for message in part}
    assert messages <= BORROW_ERRORS
    assert "Already borrowed" in messages  # the threads did meet
    assert sum(len(part) > 0 for part in seen) > 1
    with pytest.raises(StopIteration):
        next(stream)


# ---------------------------------------------------------------- turns at building objects

LOADERS = {
    "yaml": (yaml.loads, YAML_DOC, "a: [1, x]"),
    "toml": (toml.loads, TOML_DOC, "a = [1, 'x']"),
    "jsonc": (jsonc.loads, JSONC_DOC, '{"a": [1, "x"]}'),
    "ini": (ini.loads, INI_DOC, "[a]\nb = 1"),
    "csv": (csv.loads, CSV_DOC, "a,b\n1,x"),
}


@pytest.mark.thread_unsafe(reason="changes the collector's threshold and bounds the time of its loads")
@pytest.mark.parametrize("name", sorted(LOADERS))
def test_a_loader_called_by_a_finalizer_while_another_builds_its_objects(name):
    # Collections run while the objects of a load are built (on interpreters
    # that collect at allocation time); a finalizer that loads in turn must
    # neither wait for the turn its own thread holds nor change the outer
    # result. Waiting for it would cost a bounded wait per nested call, which
    # the time limit catches.
    import gc

    loads, document, small = LOADERS[name]
    expected, expected_small = loads(document), loads(small)
    nested = []

    class Cycle:
        def __init__(self):
            self.me = self

        def __del__(self):
            nested.append(loads(small))

    thresholds = gc.get_threshold()
    gc.set_threshold(50)
    try:
        start = time.monotonic()
        for _ in range(5):
            for _ in range(40):
                Cycle()
            assert loads(document) == expected
        elapsed = time.monotonic() - start
        gc.collect()
    finally:
        gc.set_threshold(*thresholds)
    assert len(nested) == 200 and all(value == expected_small for value in nested)
    assert elapsed < 3, f"{elapsed:.1f} s: nested loads waited"


@pytest.mark.thread_unsafe(reason="changes the switch interval, forks, and bounds the child's time")
@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork on this platform")
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_child_forked_while_another_thread_waits_to_build_objects_loads_at_once():
    # A worker parses a large document while this thread sleeps, then takes
    # its turn at building objects and waits for the interpreter lock, which
    # this thread keeps (a long switch interval, a busy loop) until it forks.
    # The child has no worker: it must not wait for a turn nobody can hand
    # back (each small load would wait the turn's whole bound).
    import sys

    document = yaml.dumps({"k": [{"a": i, "b": [f"x{i}", "y"]} for i in range(150_000)]})
    interval = sys.getswitchinterval()
    thread = threading.Thread(target=yaml.loads, args=(document,))
    try:
        sys.setswitchinterval(10)
        thread.start()
        time.sleep(0.02)  # the worker gets into its parse
        end = time.monotonic() + 1.0
        while time.monotonic() < end:  # holds the lock while the parse ends
            pass
        pid = os.fork()
        if pid == 0:  # the child: ten small loads, each far below the turn's wait
            start = time.monotonic()
            for _ in range(10):
                yaml.loads("a: 1")
            os._exit(0 if time.monotonic() - start < 0.25 else 1)
    finally:
        sys.setswitchinterval(interval)
    thread.join()
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, "the child waited for the turn"
