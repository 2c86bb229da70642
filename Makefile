# vastrel: `make test` builds and runs every suite; `make demo` runs the
# quick-start example; `make bench` measures against the established simulators.
SHELL := /bin/bash
BUILD ?= build
VENV ?= .venv
CMAKE_FLAGS ?=

.PHONY: test cpp-test

test: cpp-test

# The core and its GoogleTest suite, without Python.
cpp-test:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD)
	ctest --test-dir $(BUILD) --output-on-failure

# Benchmarks against the established simulators and the memory roofline, in
# their own environment; BENCH_ARGS=--quick for a smoke pass under a minute.
.PHONY: bench
bench:
	bash bench/make-bench.sh $(BENCH_ARGS)
