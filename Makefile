# tabrix: the two commands for a fresh Debian machine are `make demo` and
# `make test`. PYTHON=/path/to/python3.X builds and tests with another
# interpreter (3.11 or newer).
PYTHON ?= /usr/bin/python3

# Debian packages: to build, to test, to benchmark against the peers.
BUILD_DEPS := g++ make pkg-config meson ninja-build python3-dev python3-venv python3-mesonpy \
              libyaml-dev libutf8proc-dev
TEST_DEPS  := python3-pytest python3-hypothesis python3-mypy
# clang with its runtime libraries (libFuzzer, sanitizers), for `make fuzz`.
FUZZ_DEPS  := clang libclang-rt-dev
BENCH_DEPS := python3-yaml python3-tomli python3-tomli-w python3-pandas python3-json5 python3-matplotlib

RUN = $(shell scripts/build --where $(PYTHON))
SANITIZED = $(shell scripts/build --where --sanitize $(PYTHON))
# Seconds per fuzz target in `make fuzz`.
FUZZ_SECONDS ?= 60

.PHONY: all build test sanitize fuzz demo bench deps clean

all: build

deps:
	@scripts/install-deps $(BUILD_DEPS) $(TEST_DEPS)

build:
	@scripts/install-deps $(BUILD_DEPS)
	@scripts/build $(PYTHON)

test: deps
	@scripts/build $(PYTHON)
	@$(RUN) -c 'import pytest' 2>/dev/null || { echo "$(PYTHON) has no pytest: install it for that interpreter" >&2; exit 1; }
	$(RUN) -m pytest -q tests

# The whole suite against an AddressSanitizer + UndefinedBehaviorSanitizer
# build; any report aborts the run. --capture=sys leaves the sanitizers'
# stderr on the terminal.
sanitize: deps
	@scripts/build --sanitize $(PYTHON)
	$(SANITIZED) -m pytest -q --capture=sys tests

# Every libFuzzer target of fuzz/ for FUZZ_SECONDS each (two at a time).
fuzz:
	@scripts/install-deps $(BUILD_DEPS) $(FUZZ_DEPS)
	@scripts/fuzz $(FUZZ_SECONDS)

demo: build
	@$(RUN) examples/demo.py

bench: build
	@scripts/install-deps $(BENCH_DEPS)
	$(RUN) bench/run.py $(BENCH_ARGS)

clean:
	rm -rf build .venv .venv-* .mesonpy-native-file.ini
