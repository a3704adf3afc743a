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
