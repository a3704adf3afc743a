"""Helpers shared by the test modules."""


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
