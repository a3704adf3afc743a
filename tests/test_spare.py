"""The storage a load or dump keeps for the next call: handed back to the
same thread, the biggest up to a bound, one per kind, and never given to
another thread. spare_check (tests/native, built with
the module) runs each check on a kind of storage of its own."""

import subprocess
import sys
import pathlib

import pytest

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench"


def driver_path():
    sys.path.insert(0, str(BENCH))
    try:
        from harness import native_tool
    finally:
        sys.path.remove(str(BENCH))
    return native_tool("tests/native/spare_check")


@pytest.mark.parametrize("check", ["same_thread", "bounds", "kinds", "other_thread", "threads_at_once"])
def test_kept_storage(check):
    driver = driver_path()
    if driver is None:
        pytest.fail("spare_check was not built with the imported tabrix._native")
    done = subprocess.run([str(driver), check], capture_output=True, text=True, timeout=300)
    assert (done.returncode, done.stdout) == (0, "ok\n")
