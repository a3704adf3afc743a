"""The native helper of the benchmarks (bench/native/parse_time): it must
parse each format as loads does, and refuse what loads refuses, or the
lock-free share it reports means nothing."""

import pathlib
import subprocess
import sys

import pytest

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench"
sys.path.insert(0, str(BENCH))
try:
    from harness import native_tool
finally:
    sys.path.remove(str(BENCH))

GOOD = {
    "yaml": "a: [1, 2.5, x]\nb: {c: null}\n",
    "toml": "a = [1, 2.5, 'x']\n[b]\nc = 1979-05-27\n",
    "jsonc": '{"a": [1, 2.5, "x"], /* note */ "b": {"c": null},}',
    "ini": "[s]\nk = v\n",
    "csv": "a,b\n1,x\n2,\"y,z\"\n",
    "tsv": "a\tb\n1\tx\n",
}
BAD = {
    "yaml": "a: [1,\n",
    "toml": "a = \n",
    "jsonc": '{"a": }',
    "ini": "k = v\n",  # an option before any section
    "csv": "a,b\n1\n",
    "tsv": "a\tb\n1\n",
}


@pytest.fixture(scope="module")
def tool():
    found = native_tool("bench/native/parse_time")
    if found is None:
        pytest.fail("bench/native/parse_time was not built with the imported tabrix._native")
    return found


@pytest.mark.parametrize("fmt", sorted(GOOD))
def test_parse_time_reads_what_loads_reads_and_refuses_the_rest(tool, tmp_path, fmt):
    good, bad = tmp_path / f"good.{fmt}", tmp_path / f"bad.{fmt}"
    good.write_text(GOOD[fmt])
    bad.write_text(BAD[fmt])
    done = subprocess.run([str(tool), fmt, "3", str(good), str(good)], capture_output=True, text=True, check=True)
    times = [float(line) for line in done.stdout.split()]
    assert len(times) == 2 and all(0 < t < 1 for t in times)
    refused = subprocess.run([str(tool), fmt, "1", str(bad)], capture_output=True, text=True)
    assert refused.returncode == 1 and f"does not load as {fmt}" in refused.stderr


def test_parse_time_refuses_an_unknown_format(tool):
    done = subprocess.run([str(tool), "xml", "1", "x"], capture_output=True, text=True)
    assert done.returncode == 2 and "usage" in done.stderr


# ---------------------------------------------------------------- the targets' verdicts

sys.path.insert(0, str(BENCH))
try:
    import targets
    from harness import Row
finally:
    sys.path.remove(str(BENCH))

GIL = {"python": "CPython 3.14.7", "machine": "m", "load": 1.0}
FREE = {"python": "CPython 3.14.7 free-threaded", "machine": "m", "load": 1.0}


def _row(name, floor_ratio=None, **ratios):
    peers = {peer: 1.0 for peer in ratios}
    return Row(name, 1.0, peers, None, 0, "", dict(ratios), floor_ratio)


def _verdict(runs, target_name, python="CPython 3.14.7"):
    found = [v for v in targets.evaluate(runs) if v.target.name == target_name and v.python == python]
    assert len(found) <= 1
    return found[0] if found else None


@pytest.mark.parametrize("name, row, met", [
    # A bound "at most" holds at the bound itself; "more than" does not.
    ("jsonc.loads: of floor", _row("jsonc.loads 1.5 MB, plain JSON", floor_ratio=1.0), True),
    ("jsonc.loads: of floor", _row("jsonc.loads 1.5 MB, plain JSON", floor_ratio=1.01), False),
    ("jsonc.loads: orjson.loads / ours", _row("jsonc.loads 1.5 MB, plain JSON", **{"orjson.loads": 1.0}), True),
    ("jsonc.loads: orjson.loads / ours", _row("jsonc.loads 1.5 MB, plain JSON", **{"orjson.loads": 0.99}), False),
    ("toml.loads: rtoml.loads / ours", _row("toml.loads 1.0 MB", **{"rtoml.loads": 1.0}), False),
    ("toml.loads: rtoml.loads / ours", _row("toml.loads 1.0 MB", **{"rtoml.loads": 1.01}), True),
    ("toml.loads: of floor", _row("toml.loads 1.0 MB", floor_ratio=1.29), True),
    ("yaml.loads: of floor", _row("yaml.loads 1 MB", floor_ratio=1.6), False),
    ("GIL: toml.loads 2 threads / 1", _row("threads: toml.loads of 8 docs (9 MB), 2 threads", **{"1 thread": 1.1}),
     False),
    ("GIL: csv.loads 2 threads / 1", _row("threads: csv.loads of 8 docs (8 MB), 2 threads", **{"1 thread": 1.0}),
     True),
])
def test_a_target_is_judged_by_its_bound(name, row, met):
    verdict = _verdict([(GIL, [row])], name)
    assert verdict is not None and verdict.met is met


def test_the_rows_of_one_size_are_not_taken_for_another():
    # The small and tiny rows of a loader are not its 1 MB row; the full
    # parser's row is not the fast path's.
    runs = [(GIL, [_row("toml.loads 2.1 KB", floor_ratio=2.0), _row("toml.loads tiny: 'a = 1'", floor_ratio=2.0),
                   _row("yaml.loads 1 MB, full parser", floor_ratio=2.6)])]
    assert _verdict(runs, "toml.loads: of floor") is None
    assert _verdict(runs, "yaml.loads: of floor") is None


def test_the_verdict_is_that_of_the_median_run():
    runs = [(GIL, [_row("csv.loads 3.1 MB, 50,000 rows", floor_ratio=value)]) for value in (0.97, 1.08, 0.99)]
    verdict = _verdict(runs, "csv.loads 50,000 rows: of floor")
    assert verdict.values == [0.97, 1.08, 0.99] and verdict.median == 0.99 and verdict.met


def test_a_run_without_the_peer_tells_nothing_of_it():
    # orjson does not install on every interpreter: that run is left out.
    runs = [(GIL, [_row("jsonc.loads 1.5 MB, plain JSON", floor_ratio=1.1)]),
            (GIL, [_row("jsonc.loads 1.5 MB, plain JSON", floor_ratio=1.1, **{"orjson.loads": 1.05})])]
    assert _verdict(runs, "jsonc.loads: orjson.loads / ours").values == [1.05]
    assert _verdict(runs[:1], "jsonc.loads: orjson.loads / ours") is None


def test_thread_targets_belong_to_their_kind_of_interpreter():
    row = Row("threads: ini.dumps of 8 docs (5 MB), 2 threads", 1.0,
              {"1 thread": 1.5, targets.CONTROL_1: 30.0, targets.CONTROL_2: 20.0}, None, 0, "",
              {"1 thread": 1.4}, None)
    gain = Row("threads: ini.loads of 8 docs (5 MB), 2 threads", 1.0, {"1 thread": 1.2}, None, 0, "",
               {"1 thread": 1.2}, None)
    runs = [(GIL, [row, gain]), (FREE, [row, gain])]
    # The free-threaded target: our gain 1.4 over the control's 30 / 20 = 1.5.
    free = _verdict(runs, "3.14t: ini.dumps 2-thread gain / control's", python=FREE["python"])
    assert free.median == pytest.approx(1.4 / 1.5) and not free.met
    assert _verdict(runs, "3.14t: ini.dumps 2-thread gain / control's") is None
    assert _verdict(runs, "GIL: ini.loads 2 threads / 1", python=FREE["python"]) is None
    assert _verdict(runs, "GIL: ini.loads 2 threads / 1").met
