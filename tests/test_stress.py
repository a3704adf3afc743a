"""Stress from many threads at once, for the free-threaded interpreter first
(on a GIL build the same tests still interleave calls at every switch).

- every loads, dumps, interpolate and stream on inputs private to each thread
  and on inputs all threads share gives exactly the single-threaded result;
- one CsvStream shared by all threads hands out every record exactly once,
  and a clash is the stream's own RuntimeError;
- lists and dicts changed by one thread while the others dump or interpolate
  them give a result or an exception, never a crash, and everything works as
  before afterwards;
- the process-wide objects made on first use (the CsvStream class, the
  PanicException class, interned names) are made once when many threads ask
  for them at the same moment in a fresh interpreter.

Every test ends after a fixed amount of work (seconds at most); threads meet
at a barrier, never by sleeping."""

import gc
import math
import os
import re
import subprocess
import sys
import textwrap
import threading

import pytest

from tabrix._native import csv, ini, interpolate, jsonc, toml, tsv, yaml

THREADS = 8
ROUNDS = 3


def run_threads(work, count=THREADS):
    """Runs work(index) in `count` threads that start together; returns what
    each returned and re-raises the first exception of any thread."""
    start = threading.Barrier(count)
    results = [None] * count
    failures = []

    def body(index):
        try:
            start.wait()
            results[index] = work(index)
        except BaseException as error:  # noqa: BLE001 - handed to the main thread
            failures.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise failures[0]
    return results


def outcome(call, *args):
    """A comparable form of the result or the error (NaN made comparable)."""
    try:
        return "ok", repr(call(*args))
    except Exception as error:  # noqa: BLE001 - the error is the result here
        return type(error).__name__, str(error)


# ---------------------------------------------------------------- documents of each thread

def documents(seed):
    """A document per format, and values to dump, that differ from thread to
    thread (names, numbers, sizes), so that a result handed to the wrong
    thread or built from another thread's buffer shows."""
    n = 150 + 17 * seed
    # What every writer takes: YAML refuses integers beyond 64 bits and JSON
    # a NaN (the JSON value adds an integer beyond 64 bits).
    value = {f"k{seed}": [{"id": i, "name": f"n{seed}-{i}\u00e9", "f": i / (seed + 3), "big": 2 ** 63 - 1 - i,
                           "flags": [True, None, -i]} for i in range(n)],
             "inf": -math.inf, "seed": seed}
    records = [{"id": i, "name": f"r{seed},{i}", "r": i / (seed + 7), "big": 10 ** 21 + seed, "ok": None}
               for i in range(n * 3)]
    return {
        "yaml": "".join(f"s{seed}_{i}:\n  name: \"caf\\u00e9 {seed}/{i}\"\n  ports: [{i}, 0x{seed:x}, 1e{seed}, "
                        f"{10 ** 20 + i}, ~]\n  on: yes\n" for i in range(n)),
        "toml": "".join(f"[s{seed}_{i}]\nname = \"n{seed}-{i}\"\nports = [{i}, 0x1F]\nratio = {seed}.5\n"
                        f"when = 1979-05-27T07:32:{seed:02d}Z\n" for i in range(n)),
        "jsonc": "// thread %d\n[" % seed + ",".join(f"{{id: {i}, 'name': \"\u00e9{seed}-{i}\", hex: 0x{i:x}, "
                                                    f"f: {i}.25, big: {10 ** 22 + seed}, n: null,}}"
                                                    for i in range(n)) + "]",
        "ini": "".join(f"[s{seed}_{i}]\nname = n{i}\npath = \"a b {seed}\"\nmulti = x\\ny\n" for i in range(n)),
        "csv": f"id,name,ratio,flag,big,t{seed}\n" + "".join(
            f"{i},n{seed}-{i},{i}.5,{i % 2 == 0},{10 ** 20 + i},{'x' if i % 3 else ''}\n" for i in range(n * 4)),
        "value": value,
        "toml_value": {"t": {"seed": seed}, "items": [{"id": i, "name": f"n{seed}-{i}", "f": i / 7} for i in range(n)]},
        "ini_value": {f"s{seed}_{i}": {"a": f"x\ny{i}", "b": i, "c": i / 3, "d": i % 2 == 0} for i in range(n)},
        "records": records,
        "tree": {"a": "$HOME/x", "b": ["${USER:-nobody}", "$$", seed, None],
                 "c": [{"d": f"${{HOME}}/{seed}/{i}", "e": "${NOPE:-$USER}"} for i in range(n)]},
        "env": {"HOME": f"/home/u{seed}", "USER": f"me{seed}"},
    }


def calls(doc):
    """Every function of the module over one set of documents."""
    return {
        "yaml.loads": lambda: yaml.loads(doc["yaml"]),
        "yaml.dumps": lambda: yaml.dumps(doc["value"]),
        "toml.loads": lambda: toml.loads(doc["toml"]),
        "toml.dumps": lambda: toml.dumps(doc["toml_value"]),
        "jsonc.loads": lambda: jsonc.loads(doc["jsonc"]),
        "jsonc.dumps": lambda: jsonc.dumps({**doc["value"], "huge": [10 ** 25 + doc["value"]["seed"]]}),
        "ini.loads": lambda: ini.loads(doc["ini"]),
        "ini.dumps": lambda: ini.dumps(doc["ini_value"]),
        "csv.loads": lambda: csv.loads(doc["csv"]),
        "tsv.loads": lambda: tsv.loads(doc["csv"].replace(",", "\t")),
        "csv.dumps": lambda: csv.dumps(doc["records"]),
        "tsv.dumps": lambda: tsv.dumps(doc["records"]),
        "csv.dumps_header": lambda: csv.dumps_header(list(doc["records"][0])),
        "csv.dumps_row": lambda: [csv.dumps_row(list(doc["records"][0]), i, row)
                                  for i, row in enumerate(doc["records"][:50])],
        "csv.stream": lambda: list(csv.stream(doc["csv"].encode())),
        "tsv.stream": lambda: list(tsv.stream(bytearray(doc["csv"].replace(",", "\t").encode()))),
        "interpolate": lambda: interpolate(doc["tree"], doc["env"]),
        # Failures, late in the document: the same error every time.
        "yaml.loads error": lambda: yaml.loads(doc["yaml"] + "x: [\n"),
        "toml.loads error": lambda: toml.loads(doc["toml"] + "[s0_0]\n[s0_0]\n"),
        "jsonc.loads error": lambda: jsonc.loads(doc["jsonc"] + ","),
        "csv.loads error": lambda: csv.loads(doc["csv"] + "1,2\n"),
        "csv.stream error": lambda: list(csv.stream(doc["csv"].encode() + b"1,2\n")),
        "jsonc.dumps error": lambda: jsonc.dumps([doc["value"], object()]),
        "interpolate error": lambda: interpolate([doc["tree"], "${NOPE?unset}"], doc["env"]),
    }


ERRORS = 7  # how many of the calls above fail


@pytest.fixture(scope="module")
def private_docs():
    """One set of documents per thread, and their results computed by one
    thread alone."""
    docs = [documents(seed) for seed in range(THREADS)]
    expected = [{name: outcome(call) for name, call in calls(doc).items()} for doc in docs]
    for results in expected:
        assert sum(kind != "ok" for kind, _ in results.values()) == ERRORS
    return docs, expected


def mismatches_of(work_calls, expected, seed):
    order = list(work_calls) * ROUNDS
    # Each thread its own order, so that different functions overlap.
    order = order[seed % len(order):] + order[:seed % len(order)]
    return [(name, got[0], got[1][:200]) for name in order
            if (got := outcome(work_calls[name])) != expected[name]]


def test_every_function_on_private_inputs_matches_the_serial_result(private_docs):
    docs, expected = private_docs
    found = run_threads(lambda seed: mismatches_of(calls(docs[seed]), expected[seed], seed))
    assert found == [[]] * THREADS


def test_every_function_on_shared_inputs_matches_the_serial_result(private_docs):
    # All threads read the same str, bytes, lists and dicts at once.
    docs, expected = private_docs
    shared = calls(docs[3])
    found = run_threads(lambda seed: mismatches_of(shared, expected[3], seed))
    assert found == [[]] * THREADS


def test_results_of_the_same_input_are_distinct_objects():
    doc = documents(1)
    loaders = [lambda: yaml.loads(doc["yaml"]), lambda: toml.loads(doc["toml"]), lambda: jsonc.loads(doc["jsonc"]),
               lambda: ini.loads(doc["ini"]), lambda: csv.loads(doc["csv"]),
               lambda: list(csv.stream(doc["csv"].encode())),
               lambda: interpolate(doc["tree"], doc["env"])]
    results = run_threads(lambda seed: [load() for load in loaders])
    for per_loader in zip(*results):
        assert all(value == per_loader[0] for value in per_loader)
        assert len({id(value) for value in per_loader}) == THREADS


# ---------------------------------------------------------------- one CsvStream, many threads

BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}


@pytest.mark.parametrize("make", ["csv.stream", "csv.stream_at", "tsv.stream"])
def test_one_stream_shared_by_all_threads_gives_each_record_once(tmp_path, make):
    count = 4000
    # Long records with big integers keep each next() busy for a while, so
    # that on a free-threaded interpreter other threads meet it running.
    lines = ["id,big,name,r,bad"] + [f"{i},{10 ** 20 + i},n{i},{i}.25,{'oops' if i % 500 == 7 else ''}"
                                     for i in range(count)]
    delimiter = "\t" if make.startswith("tsv") else ","
    # Every 500th record has a field too many: a ValueError, and the stream goes on.
    data = "\n".join(line.replace(",", delimiter) + (delimiter + "x" if line.endswith("oops") else "")
                     for line in lines).encode() + b"\n"
    if make == "csv.stream_at":
        path = tmp_path / "shared.csv"
        path.write_bytes(data)
        stream = csv.stream_at(str(path))
    else:
        stream = (tsv if make.startswith("tsv") else csv).stream(data)

    def work(index):
        records, clashes, bad_rows = [], [], []
        while True:
            try:
                record = next(stream)
            except StopIteration:
                return records, clashes, bad_rows
            except RuntimeError as error:
                clashes.append(str(error))
            except ValueError as error:
                bad_rows.append(str(error))
            else:
                records.append(record)
            if index % 2:  # shared uses meet a running next() as well
                try:
                    assert stream.header == ["id", "big", "name", "r", "bad"]
                    assert iter(stream) is stream
                except RuntimeError as error:
                    clashes.append(str(error))

    results = run_threads(work)
    records = [record for part, _, _ in results for record in part]
    bad = sorted(message for _, _, part in results for message in part)
    clashes = {message for _, part, _ in results for message in part}
    good = [i for i in range(count) if i % 500 != 7]
    assert sorted(record["id"] for record in records) == good
    assert all(record == {"id": record["id"], "big": 10 ** 20 + record["id"], "name": f"n{record['id']}",
                          "r": record["id"] + 0.25, "bad": None} for record in records)
    assert bad == sorted(f"row {i + 2} has 6 fields, the header declares 5" for i in range(count) if i % 500 == 7)
    assert clashes <= BORROW_ERRORS
    if not getattr(sys, "_is_gil_enabled", lambda: True)() and (os.cpu_count() or 1) > 1:
        # Threads running at once do meet (thousands of times per run).
        assert "Already borrowed" in clashes
    with pytest.raises(StopIteration):
        next(stream)


def test_many_streams_at_once_share_nothing(tmp_path):
    # Each thread iterates its own streams over its own data, interleaved.
    def work(seed):
        data = documents(seed)["csv"].encode()
        path = tmp_path / f"t{seed}.csv"
        path.write_bytes(data)
        streams = [csv.stream(data), csv.stream_at(str(path)), tsv.stream(data.replace(b",", b"\t"))]
        rows = [[] for _ in streams]
        live = list(range(len(streams)))
        while live:
            for k in list(live):
                try:
                    rows[k].append(next(streams[k]))
                except StopIteration:
                    live.remove(k)
        return rows

    results = run_threads(work)
    for seed, rows in enumerate(results):
        expected = list(csv.stream(documents(seed)["csv"].encode()))
        assert rows == [expected] * 3


# ---------------------------------------------------------------- containers changed while they are read

PanicException = BaseException  # the binding's class for broken invariants, derived from BaseException


def mutate(shared, done):
    """Changes the lists and dicts of `shared` until `done` is set: appends,
    pops, inserts and deletes keys, replaces values, clears and refills,
    takes a key out of a record and puts it back. Every value it puts in is
    one each writer can represent."""
    step = 0
    items, table, records, section = shared["items"], shared["table"], shared["records"], shared["ini"]["s"]
    while not done.is_set():
        step += 1
        k = step % 8
        if k == 0:
            items.append({"id": step, "name": f"m{step}"})
        elif k == 1 and len(items) > 10:
            items.pop()
        elif k == 2:
            table[f"x{step % 50}"] = [step, f"v{step}", None]
        elif k == 3:
            table.pop(f"x{(step - 1) % 50}", None)
        elif k == 4:
            records.append({"a": step, "b": f"r{step}", "c": None})
            if len(records) > 3000:
                del records[:1000]
        elif k == 5:
            section[f"k{step % 40}"] = step
            section.pop(f"k{(step + 20) % 40}", None)
        elif k == 6:
            # A record without its column for a moment, then with it last.
            record = records[step % len(records)]
            value = record.pop("b", None)
            record["b"] = value
        elif step % 800 == 7:
            items.clear()
            items.extend({"id": i, "name": f"n{i}"} for i in range(ITEMS))
        else:
            items[step % len(items)] = {"id": -step, "name": "swapped"}


ITEMS = 2000


def shared_containers():
    return {
        "items": [{"id": i, "name": f"n{i}"} for i in range(ITEMS)],
        "table": {f"x{i}": [i, f"v{i}", None] for i in range(50)},
        "records": [{"a": i, "b": f"r{i}", "c": None} for i in range(2000)],
        "ini": {"s": {f"k{i}": i for i in range(40)}, "t": {"a": "b"}},
    }


# The writer, what it is given, and the loader that must read its output back.
DUMPERS = {
    "yaml": (lambda s: yaml.dumps({"items": s["items"], "table": s["table"]}), yaml.loads),
    "toml": (lambda s: toml.dumps({"items": s["items"], "table": {k: [x for x in v if x is not None]
                                                                   for k, v in list(s["table"].items())}}),
             toml.loads),
    "toml direct": (lambda s: toml.dumps({"items": s["items"]}), toml.loads),
    "jsonc": (lambda s: jsonc.dumps(s), jsonc.loads),
    "ini": (lambda s: ini.dumps(s["ini"]), ini.loads),
    "csv": (lambda s: csv.dumps(s["records"]), csv.loads),
    "tsv": (lambda s: tsv.dumps(s["records"]), tsv.loads),
    "csv rows": (lambda s: "".join(csv.dumps_row(["a", "b", "c"], i, r) for i, r in enumerate(s["records"][:50])),
                 None),
    "interpolate": (lambda s: interpolate(s, {"HOME": "/h"}), None),
}


CAUGHT_WITHOUT_A_COLUMN = r"record \d+ (is missing column b|has [23] keys, the (first record|header) declares [23])"


def test_containers_changed_by_one_thread_while_others_dump_them():
    shared = shared_containers()
    done = threading.Event()
    names = sorted(DUMPERS)
    unexpected = []

    def work(index):
        if index == 0:
            mutate(shared, done)
            return None
        counts = {"ok": 0, "error": 0}
        for round_ in range(30):
            name = names[(index + round_) % len(names)]
            dump, load = DUMPERS[name]
            try:
                result = dump(shared)
            except ValueError as error:
                # A record caught without one of its columns.
                counts["error"] += 1
                if not re.fullmatch(CAUGHT_WITHOUT_A_COLUMN, str(error)):
                    unexpected.append((name, repr(error)))
                continue
            except RuntimeError as error:
                # The test's own list(dict.items()) of a dict being changed.
                counts["error"] += 1
                if "changed size" not in str(error):
                    unexpected.append((name, repr(error)))
                continue
            except PanicException as error:  # a dict that changed size during the walk
                counts["error"] += 1
                if type(error).__name__ != "PanicException" or "during iteration" not in str(error):
                    unexpected.append((name, repr(error)))
                continue
            counts["ok"] += 1
            # The text is a whole document: its loader reads it back.
            if load is not None:
                load(result)
            else:
                assert isinstance(result, (str, dict))
        return counts

    # The mutator stops when every dumper is done: the last one to finish
    # sets the event.
    finished = threading.Barrier(THREADS - 1, action=done.set)

    def body(index):
        try:
            return work(index)
        finally:
            if index != 0:
                finished.wait()

    counts = run_threads(body)
    assert unexpected == []
    assert sum(c["ok"] for c in counts[1:]) > 0
    # Healthy afterwards: the same containers, left alone, dump and read
    # back exactly, and a collection finds nothing broken.
    gc.collect()
    for name, (dump, load) in DUMPERS.items():
        first = dump(shared)
        assert dump(shared) == first, name
        if load is not None:
            load(first)
    assert jsonc.loads(jsonc.dumps(shared)) == shared


def test_environment_and_tree_changed_while_interpolating():
    # interpolate reads env and the tree while another thread changes both:
    # every result holds, for each reference, a value the variable had, and
    # a required variable unset at that moment is its ValueError.
    env = {"A": "a0", "B": "b0"}
    tree = {"x": ["$A/${B?gone}"] * 50, "y": {"z": "${A:-none}"}}
    done = threading.Event()

    def work(index):
        if index == 0:
            step = 0
            while not done.is_set():
                step += 1
                env["A"] = f"a{step % 10}"
                if step % 3 == 0:
                    env.pop("B", None)
                else:
                    env["B"] = f"b{step % 10}"
                tree["x"].append("$A/${B?gone}")
                if len(tree["x"]) > 100:
                    del tree["x"][50:]
                tree[f"k{step % 20}"] = "$A"
                tree.pop(f"k{(step + 10) % 20}", None)
            return None
        results, errors = [], []
        for _ in range(200):
            try:
                results.append(interpolate(tree, env))
            except ValueError as error:
                errors.append(str(error))
            except PanicException as error:  # the tree's dict changed size under the walk
                errors.append(f"{type(error).__name__}: {error}")
        return results, errors

    finished = threading.Barrier(THREADS - 1, action=done.set)

    def body(index):
        try:
            return work(index)
        finally:
            if index != 0:
                finished.wait()

    outcomes = run_threads(body)
    values_a = {f"a{i}" for i in range(10)}
    values_b = {f"b{i}" for i in range(10)}
    for results, errors in outcomes[1:]:
        for message in errors:
            assert message in ("required variable B is missing a value: gone",
                               "PanicException: dictionary changed size during iteration"), message
        for result in results:
            assert len(result["x"]) >= 50
            for text in result["x"]:
                a, b = text.split("/")
                assert a in values_a and b in values_b, text
            assert result["y"]["z"] in values_a
    assert sum(len(results) for results, _ in outcomes[1:]) > 0
    # Healthy afterwards.
    env.update(A="a", B="b")
    assert interpolate(tree, env)["y"] == {"z": "a"}
    assert set(interpolate(tree, env)["x"]) == {"a/b"}


# ---------------------------------------------------------------- objects made once, on first use

FIRST_USE = textwrap.dedent("""
    import sys, threading
    from tabrix._native import csv, ini, jsonc, tsv, yaml

    THREADS = 8
    start = threading.Barrier(THREADS)
    seen = [None] * THREADS

    class Grows:
        # An int-like value that adds a key to the dict being written.
        def __init__(self, target):
            self.target = target

        def __index__(self):
            self.target[f"added{len(self.target)}"] = {}
            return 1

    def panic():
        section = {}
        section["a"] = Grows(section)
        section["b"] = 2
        try:
            ini.dumps({"s": section})
        except BaseException as error:
            return type(error)

    def work(index):
        start.wait()
        out = []
        try:
            jsonc.loads(b"{}")  # the argument error's note: add_note
        except TypeError as error:
            out.append(tuple(error.__notes__))
        out.append(yaml.loads("a: 123456789012345678901234567890"))  # builtins.int
        out.append(type(csv.stream(b"a\\n1\\n")))  # the CsvStream class
        out.append(panic())
        seen[index] = out

    threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(s == seen[0] for s in seen), seen
    assert seen[0][0] == ("while processing 'data'",), seen[0]
    assert seen[0][2] is csv.CsvStream is tsv.CsvStream
    assert seen[0][3].__name__ == "PanicException", seen[0][3]
    assert len({id(s[3]) for s in seen}) == 1
    print("ok")
""")


def test_objects_made_on_first_use_are_made_once_when_threads_race_for_them():
    # A fresh interpreter: nothing made yet when eight threads ask at once.
    flags = ["-X", "gil=0"] if getattr(sys, "_is_gil_enabled", lambda: True)() is False else []
    for _ in range(3):
        done = subprocess.run([sys.executable, *flags, "-c", FIRST_USE], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0 and done.stdout == "ok\n", done.stderr[-2000:]
