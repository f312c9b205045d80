# Set-up and everyday commands. Every target creates what it needs.
SHELL := /bin/bash
VENV ?= .venv
PY := $(VENV)/bin/python
JOBS ?= 2
# Tools installed into the venv (cmake, ninja) come first.
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

.PHONY: demo test test-python test-cpp venv install deps asan valgrind fuzz bench bench-json bench-peers wheel clean

# The demo's venv holds only what the demo needs; `make test` adds the test tools.
demo:  ## the main job: materialise the example pipeline
	@echo "make demo: sets up $(VENV), builds the extension, then runs the example pipeline"
	@$(MAKE) --no-print-directory $(VENV)/.ready-demo
	@echo "building the extension into $(VENV) (C++20; a minute or two the first time)"
	@$(INSTALL)
	@scripts/demo.sh "$(PY)"

test: test-cpp test-python  ## every test, C++ and Python

venv: $(VENV)/.ready
$(VENV)/.ready: pyproject.toml scripts/setup-venv.sh
	@scripts/setup-venv.sh "$(VENV)" test
	@touch $@ $(VENV)/.ready-demo
$(VENV)/.ready-demo: pyproject.toml scripts/setup-venv.sh
	@scripts/setup-venv.sh "$(VENV)" demo
	@touch $@

# CI treats compiler warnings as errors.
BUILD_FLAGS := $(if $(CI),-C cmake.define.ORVAN_WERROR=ON)

INSTALL = $(PY) -m pip install --no-build-isolation --no-deps -q $(BUILD_FLAGS) . \
	    || { echo "error: building orvan failed (see above)" >&2; exit 1; }

install: venv  ## (re)build the extension into the venv, incrementally
	@$(INSTALL)

# ARCHS=x86_64 builds one wheel only.
ARCHS ?= x86_64 aarch64
wheel:  ## the sdist and manylinux_2_17 wheels in dist/, built with zig (no Docker, no system compiler)
	@scripts/system-deps.sh wheel
	@scripts/build-wheel.sh $(ARCHS)

test-python: install
	$(PY) -X dev -P -m pytest -q tests

deps:
	@scripts/system-deps.sh

test-cpp: deps venv
	cmake -S . -B build/cpp -DORVAN_BUILD_TESTS=ON -DORVAN_WERROR=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build build/cpp -j$(JOBS)
	ctest --test-dir build/cpp --output-on-failure -j$(JOBS)

asan: deps  ## the pytest suite against an ASan/UBSan build of the extension
	scripts/asan.sh

valgrind: install  ## memcheck over every entry point of the extension
	@scripts/system-deps.sh bench
	scripts/valgrind.sh "$(PY)"

fuzz:  ## run the JSON fuzzer for FUZZ_SECONDS (default 60)
	@scripts/system-deps.sh fuzz
	scripts/fuzz.sh $(FUZZ_SECONDS)

bench:  ## every hot path against its baseline: one table, figures in bench/results.json
	@scripts/system-deps.sh bench
	scripts/bench.sh

bench-peers:  ## orvan against Hamilton, Luigi and Kedro (installs them into a venv of their own, once)
	scripts/bench-peers.sh

bench-json:
	@scripts/system-deps.sh bench
	scripts/bench-json.sh

clean:
	rm -rf build dist $(VENV)
