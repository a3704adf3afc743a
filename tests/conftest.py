import os
import pathlib

import pytest

import support

ROOT = pathlib.Path(__file__).resolve().parent.parent
# Official test suites of the formats, kept beside the repository.
CONFORMANCE = ROOT.parent / "shared" / "conformance"


def pytest_configure(config):
    # pytest-run-parallel's marker (`make test-parallel`), declared here too
    # so that it is known without the plugin.
    config.addinivalue_line(
        "markers", "thread_unsafe(reason): runs in one thread only under pytest-run-parallel, for the reason given")
    threads = getattr(config.option, "parallel_threads", 1)
    support.PARALLEL_THREADS = (os.cpu_count() or 1) if threads == "auto" else max(1, int(threads))


@pytest.fixture(scope="session")
def conformance_dir():
    if not CONFORMANCE.is_dir():
        pytest.skip(f"conformance data not found at {CONFORMANCE}")
    return CONFORMANCE
