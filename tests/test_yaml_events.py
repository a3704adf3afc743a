"""The YAML parser against the YAML test suite, event by event.

The test driver yaml_events (tests/native, built with the module) prints the
parser's events in the suite's test.event form. Every valid case must give
its events exactly; every error case must end in an error.
"""

import subprocess
import time

import pytest
from support import YAML_SUITE, native_driver, yaml_suite_cases


def reports(texts, *flags):
    """The driver's report on each text (bytes in, str out)."""
    driver = native_driver("yaml_events")
    if driver is None:
        pytest.fail("yaml_events was not built with the imported tabrix._native")
    data = b"".join(b"%d\n%s" % (len(t), t) for t in texts)
    out = subprocess.run([str(driver), *flags], input=data, capture_output=True, check=True, timeout=600).stdout
    results, at = [], 0
    while at < len(out):
        newline = out.index(b"\n", at)
        size = int(out[at:newline])
        results.append(out[newline + 1 : newline + 1 + size].decode("utf-8", "replace"))
        at = newline + 1 + size
    assert len(results) == len(texts)
    return results


CASES = yaml_suite_cases()


@pytest.fixture(scope="module")
def suite_reports():
    return dict(zip(CASES, reports([(case / "in.yaml").read_bytes() for case in CASES])))


@pytest.mark.parametrize("case", CASES, ids=[c.relative_to(YAML_SUITE).as_posix() for c in CASES])
def test_suite_events(case, suite_reports, conformance_dir):
    got = suite_reports[case]
    if (case / "error").exists():
        assert "ERROR" in got.splitlines()[-1], got
    else:
        expected = (case / "test.event").read_text(encoding="utf-8")
        assert got == expected


# Hostile texts: each parses in time linear in its size (the bound is
# generous, for a loaded machine), with the events or the error expected.
N = 10**6
HOSTILE = [
    ("[" * N, None, "ERROR"),
    ("[" * N + "]" * N, 2 * N + 4, None),
    ("{" * N + "}" * N, 3 * N + 3, None),  # each map but the innermost the key of the next
    ("[a: " * N + "]" * N, 5 * N + 5, None),
    ("- " * N + "x", 2 * N + 5, None),
    ("a" * (10 * N), 5, None),
    ("a" + " b" * (2 * N), 5, None),
    ('"' + "\\n" * N + '"', 5, None),
    ("|\n" + " x\n" * N, 5, None),
    ("".join(f"- &a{i} x\n" for i in range(N // 10)) + "- *a1\n" * (N // 10), 2 * (N // 10) + 6, None),
    ("[" + "a, " * N + "]", N + 6, None),
    ("{" + "a: b, " * N + "}", 2 * N + 6, None),
    (" " * (10 * N), 2, None),
    ("   \n" * N, 2, None),
    ("\t" * N, 2, None),
    ("#" + "x" * (10 * N), 2, None),
    ("a:\n" + "  " * N + "b", 8, None),
    ("? " * N, None, None),
    ("'" + "''" * N + "'", 5, None),
    ("!" * N, None, "ERROR"),
    ("%TAG !a! x\n" * (N // 10) + "---\n", None, "ERROR"),
    ("".join(f"%TAG !a{i}! x{i}\n" for i in range(N // 10)) + "--- !a7!y z\n", 5, None),
]


@pytest.mark.parametrize("text, events, error", HOSTILE, ids=[f"hostile-{i}" for i in range(len(HOSTILE))])
def test_hostile_texts_parse_in_linear_time(text, events, error):
    start = time.perf_counter()
    (got,) = reports([text.encode()], "--summary")
    elapsed = time.perf_counter() - start
    assert elapsed < 20, elapsed
    if events is not None:
        assert got == f"{events} events, StreamEnd last\n"
    if error is not None:
        assert "\nERROR " in got
