"""Helpers shared by the test modules."""

import json
import pathlib
import sys

# The YAML project's test suite, kept beside the project.
YAML_SUITE = pathlib.Path(__file__).resolve().parent.parent.parent / "shared" / "conformance" / "yaml-test-suite"


def yaml_suite_cases():
    """Every case folder of the YAML test suite (numbered sub-cases included)."""
    if not YAML_SUITE.is_dir():
        return []
    cases = []
    for folder in sorted(YAML_SUITE.iterdir()):
        if (folder / "in.yaml").exists():
            cases.append(folder)
        elif folder.is_dir():
            cases.extend(sub for sub in sorted(folder.iterdir()) if (sub / "in.yaml").exists())
    return cases


def json_documents(text):
    """The JSON values of an `in.json`, one per document, in order."""
    decoder, at, documents = json.JSONDecoder(), 0, []
    while True:
        while at < len(text) and text[at].isspace():
            at += 1
        if at == len(text):
            return documents
        value, at = decoder.raw_decode(text, at)
        documents.append(value)



def _sanitized() -> bool:
    try:
        with open("/proc/self/maps") as maps:
            return "libasan" in maps.read()
    except OSError:
        return False


# Whether the extension runs under AddressSanitizer (`make sanitize`): then
# everything is several times slower, freed memory sits in a quarantine (the
# resident size says little) and the heap is the sanitizer's.
SANITIZED = _sanitized()

# How many threads run each test at once: more than 1 under
# pytest-run-parallel (`make test-parallel`), set by conftest.py.
PARALLEL_THREADS = 1


def native_driver(name):
    """The C++ test driver tests/native/`name` of the build that made the
    imported tabrix._native, or None when that build did not make it."""
    bench = pathlib.Path(__file__).resolve().parent.parent / "bench"
    sys.path.insert(0, str(bench))
    try:
        from harness import native_tool
    finally:
        sys.path.remove(str(bench))
    return native_tool(f"tests/native/{name}")
