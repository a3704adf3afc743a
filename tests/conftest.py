import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
# Official test suites of the formats, kept beside the repository.
CONFORMANCE = ROOT.parent / "shared" / "conformance"


@pytest.fixture(scope="session")
def conformance_dir():
    if not CONFORMANCE.is_dir():
        pytest.skip(f"conformance data not found at {CONFORMANCE}")
    return CONFORMANCE
