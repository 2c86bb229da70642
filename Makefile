# vastrel: `make test` builds and runs every suite; `make demo` runs the
# quick-start example; `make bench` measures against the established simulators
# (`make bench-large`: on states of 27-31 qubits);
# `make dist` builds the sdist and wheels, `make dist-check` tests them installed.
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
	ctest --test-dir $(BUILD) --output-on-failure --parallel $$(nproc)

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

# Distribution: the sdist and, built from it, a wheel for each supported
# CPython, repaired to the most portable manylinux tag this machine can
# produce (tools/make-dist); `make dist-check` installs them as users would
# and tests what is shipped (tools/dist-check). The frontend and the repair
# tools live in one environment per interpreter, .venv-dist-X.Y.
.PHONY: dist dist-check
DIST_PYTHONS := 3.12 3.13
DIST_STAMP := build-dist/.done

.venv-dist-%/.installed: tools/dist-requirements.txt
	py="$$(tools/find-cpython $*)" && "$$py" -m venv --clear .venv-dist-$*
	.venv-dist-$*/bin/python -m pip install --quiet --disable-pip-version-check -r $<
	touch $@

$(DIST_STAMP): $(DIST_PYTHONS:%=.venv-dist-%/.installed) $(MODULE_SOURCES) LICENSE tools/make-dist
	tools/make-dist $(DIST_PYTHONS)
	touch $@

dist: $(DIST_STAMP)
	@ls -l dist
	@for wheel in dist/*.whl; do \
	    echo "$$wheel: tag $$(unzip -p "$$wheel" '*.dist-info/WHEEL' | sed -n 's/^Tag: //p')"; done

dist-check: $(DIST_STAMP)
	tools/dist-check $(DIST_PYTHONS)

# Benchmarks against the established simulators and the memory roofline, in
# their own environment; BENCH_ARGS=--quick for a smoke pass under a minute.
# `make bench-large`: the large-state table (27-31 qubits, qsim and
# Lightning, about 15 minutes; bench/large.py), BENCH_ARGS=--quick for a
# smoke pass on 22 and 24 qubits.
.PHONY: bench bench-large
bench:
	bash bench/make-bench.sh $(BENCH_ARGS)

bench-large:
	bash bench/make-bench.sh --large $(BENCH_ARGS)

# Sanitizers, leak and compatibility checks, run by CI after `make test`:
# the core and the module under AddressSanitizer + UBSan (both suites), the
# pool tests under ThreadSanitizer, the module built with -march=native
# against the default build, the Python suite on the oldest supported
# pair, CPython 3.12 with NumPy 1.26, and the built wheels and sdist as
# users install them (dist-check).
.PHONY: check check-asan-cpp check-asan-py check-tsan-cpp check-native compat
SAN_FLAGS := -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined -g
SAN_ENV := ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ASAN_VENV ?= .venv-asan
COMPAT_VENV ?= .venv-compat
# Pool, fork and default-size cases of the C++ suite.
POOL_TESTS := ^(ThreadPool|GlobalPool|ForkSafety|Determinism|Split|DefaultSize)\.

check: check-asan-cpp check-tsan-cpp check-asan-py check-native compat dist-check

check-asan-cpp:
	cmake -S . -B build-check-asan -G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS=$(SAN_FLAGS)"
	cmake --build build-check-asan
	$(SAN_ENV) ctest --test-dir build-check-asan --output-on-failure --parallel $$(nproc)

check-tsan-cpp:
	cmake -S . -B build-check-tsan -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    "-DCMAKE_CXX_FLAGS=-fsanitize=thread -fno-omit-frame-pointer -g"
	cmake --build build-check-tsan --target vastrel_pool_tests vastrel_global_pool_tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	    ctest --test-dir build-check-tsan --output-on-failure -R '$(POOL_TESTS)'

# The interpreter is not instrumented, so the sanitizer runtimes are preloaded;
# PYTHONMALLOC=malloc puts Python's own objects under AddressSanitizer too.
$(ASAN_VENV)/bin/python:
	py="$$(tools/find-python)" && "$$py" -m venv --clear $(ASAN_VENV)

$(ASAN_VENV)/.installed: $(ASAN_VENV)/bin/python $(MODULE_SOURCES)
	$(ASAN_VENV)/bin/python -m pip install --quiet --disable-pip-version-check \
	    --config-settings=build-dir=build-check-asan-python --config-settings=install.strip=false \
	    "--config-settings=cmake.define.CMAKE_CXX_FLAGS=$(SAN_FLAGS)" ".[test]"
	touch $@

# Reports go to files: pytest holds a test's stderr, and a process the
# sanitizer stops never gets to show it. Any error report fails the run (the
# warnings about refused huge allocations are what the MemoryError tests ask for).
SAN_LOG := $(CURDIR)/build-check-asan-python/sanitizer
check-asan-py: $(ASAN_VENV)/.installed
	rm -f $(SAN_LOG).*
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:log_path=$(SAN_LOG) \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(SAN_LOG) \
	    PYTHONMALLOC=malloc VASTREL_SANITIZER=address PYTHONPATH=tests/python \
	    $(ASAN_VENV)/bin/python -m pytest -p sanitizer_skips; status=$$?; \
	reports=$$(grep -l -E 'ERROR: |runtime error' $(SAN_LOG).* 2>/dev/null); \
	if [ -n "$$reports" ]; then cat $$reports; exit 1; fi; exit $$status

# No flag a user adds may change a bit: the module built once more with
# CXXFLAGS=-march=native (the module alone, with the test environment's
# interpreter) has no FMA instruction and gives the installed default
# build's amplitudes.
NATIVE_BUILD := build-check-native
check-native: $(VENV)/.installed
	CXXFLAGS=-march=native cmake -S . -B $(NATIVE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DVASTREL_BUILD_PYTHON=ON -DVASTREL_BUILD_TESTS=OFF -DPython_EXECUTABLE=$(CURDIR)/$(VENV)/bin/python
	cmake --build $(NATIVE_BUILD) --target vastrel
	! objdump -d $(NATIVE_BUILD)/src/lib/vastrel.*.so | grep -E -m 5 'vf(n)?m(add|sub)'
	$(VENV)/bin/python tests/native_build.py $(NATIVE_BUILD)/src/lib

$(COMPAT_VENV)/bin/python:
	py="$$(tools/find-python-min)" && "$$py" -m venv --clear $(COMPAT_VENV)

$(COMPAT_VENV)/.installed: $(COMPAT_VENV)/bin/python $(MODULE_SOURCES)
	$(COMPAT_VENV)/bin/python -m pip install --quiet --disable-pip-version-check \
	    --config-settings=build-dir=build-check-compat ".[test]" "numpy==1.26.*"
	touch $@

compat: $(COMPAT_VENV)/.installed
	$(COMPAT_VENV)/bin/python -c 'import sys, numpy; print("compat: CPython", sys.version.split()[0], "NumPy", numpy.__version__)'
	$(COMPAT_VENV)/bin/python -m pytest
