# vastrel: `make test` builds and runs every suite; `make demo` runs the
# quick-start example; `make bench` measures against the established simulators.
SHELL := /bin/bash
BUILD ?= build
VENV ?= .venv
CMAKE_FLAGS ?=

.PHONY: test cpp-test py-test demo venv

test: cpp-test py-test

# The core and its GoogleTest suite, without Python.
cpp-test:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD)
	ctest --test-dir $(BUILD) --output-on-failure

# The module installed (not editable) into $(VENV), made with the interpreter
# tools/find-python picks; reinstalled whenever a source it is built from changes.
MODULE_SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml README.md

$(VENV)/bin/python:
	py="$$(tools/find-python)" && "$$py" -m venv --clear $(VENV)

$(VENV)/.installed: $(VENV)/bin/python $(MODULE_SOURCES)
	$(VENV)/bin/python -m pip install --quiet --disable-pip-version-check \
	    --config-settings=build-dir=$(BUILD)-python ".[test]"
	touch $@

venv: $(VENV)/.installed

# The module's pytest suite, against the installed module.
py-test: $(VENV)/.installed
	$(VENV)/bin/python -m pytest

# The quick-start example: a Bell state, a GHZ state and a 20-qubit QFT.
demo: $(VENV)/.installed
	$(VENV)/bin/python examples/quickstart.py

# Benchmarks against the established simulators and the memory roofline, in
# their own environment; BENCH_ARGS=--quick for a smoke pass under a minute.
.PHONY: bench
bench:
	bash bench/make-bench.sh $(BENCH_ARGS)
