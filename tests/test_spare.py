"""The storage a load or dump keeps for the next call: handed back to the
same thread, the biggest up to a bound, one per kind, and never given to
another thread. spare_check (tests/native, built with
the module) runs each check on a kind of storage of its own."""

import subprocess

import pytest
from support import native_driver


@pytest.mark.parametrize("check", ["same_thread", "bounds", "kinds", "other_thread", "threads_at_once"])
def test_kept_storage(check):
    driver = native_driver("spare_check")
    if driver is None:
        pytest.fail("spare_check was not built with the imported tabrix._native")
    done = subprocess.run([str(driver), check], capture_output=True, text=True, timeout=300)
    assert (done.returncode, done.stdout) == (0, "ok\n")
