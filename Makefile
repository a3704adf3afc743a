# tabrix: the two commands for a fresh Debian machine are `make demo` and
# `make test`. PYTHON=/path/to/python3.X builds and tests with another
# interpreter (CPython 3.11 or newer, free-threaded 3.14t included), each in a
# virtual environment of its own with the build and test tools from PyPI.
PYTHON ?= python3

# Debian packages, only for what PyPI does not give: the compiler, the C
# libraries and what a Debian interpreter needs to make a virtual environment.
BUILD_DEPS := g++ make pkg-config python3-dev python3-venv libutf8proc-dev
# clang with its runtime libraries (libFuzzer, sanitizers), for `make fuzz`.
FUZZ_DEPS  := clang libclang-rt-dev

RUN = $(shell scripts/build --where $(PYTHON))
SANITIZED = $(shell scripts/build --where --sanitize $(PYTHON))
# The suite runs with the GIL forced off on a free-threaded interpreter, so
# that an import that turned it back on could not hide a race.
GIL_FLAGS = $(shell $(PYTHON) -c 'import sysconfig; print("-X gil=0" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")')
# Seconds per fuzz target in `make fuzz`.
FUZZ_SECONDS ?= 60

.PHONY: all build test test-parallel sanitize tsan fuzz demo bench wheel deps clean

all: build

deps:
	@scripts/install-deps $(BUILD_DEPS)

build: deps
	@scripts/build $(PYTHON)

test: build
	$(RUN) $(GIL_FLAGS) -m pytest -q tests

# The whole suite under pytest-run-parallel: each test in PARALLEL_THREADS
# threads at once (default 4); meant for the free-threaded 3.14t.
test-parallel: deps
	@scripts/test-parallel $(PYTHON)

# The whole suite against an AddressSanitizer + UndefinedBehaviorSanitizer
# build; any report aborts the run. --capture=sys leaves the sanitizers'
# stderr on the terminal.
sanitize: deps
	@scripts/build --sanitize $(PYTHON)
	$(SANITIZED) $(GIL_FLAGS) -m pytest -q --capture=sys tests

# The extension built with ThreadSanitizer against the ThreadSanitizer build
# of 3.14t (../shared/cpython/build --tsan), then the tests that run many
# threads at once under it; any report from our code aborts the run.
tsan:
	@scripts/install-deps $(BUILD_DEPS) $(FUZZ_DEPS)
	@scripts/tsan

# Every libFuzzer target of fuzz/ for FUZZ_SECONDS each (two at a time);
# meson and ninja come from PYTHON's environment (the targets themselves
# hold no interpreter).
fuzz:
	@scripts/install-deps $(BUILD_DEPS) $(FUZZ_DEPS)
	@PATH="$$(scripts/build --venv $(PYTHON))/bin:$$PATH" scripts/fuzz $(FUZZ_SECONDS)

# A wheel and an sdist for PYTHON in dist/, built as pip builds them (build
# isolation, meson-python from PyPI), the wheel repaired by auditwheel into a
# manylinux wheel that carries the shared libraries it needs, then installed
# into a fresh virtual environment and imported.
wheel: deps
	@scripts/wheel $(PYTHON)

demo: build
	@$(RUN) examples/demo.py

# The benchmarks against the fastest peers, which scripts/bench installs from
# PyPI into an environment of the bench's own (.venv-bench-<tag>). Each run
# also writes bench/out/<tag>.json, from which bench/report.py makes
# docs/benchmarks.md and its chart.
bench: deps
	@scripts/bench $(PYTHON) $(BENCH_ARGS)

clean:
	rm -rf build dist .venv .venv-* .mesonpy-native-file.ini
