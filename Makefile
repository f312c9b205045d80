# Set-up and everyday commands. Every target creates what it needs.
SHELL := /bin/bash
VENV ?= .venv
PY := $(VENV)/bin/python
JOBS ?= 2
# Tools installed into the venv (cmake, ninja) come first.
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

.PHONY: demo test test-python test-cpp venv install deps asan valgrind fuzz bench bench-json bench-peers clean

demo: install  ## the main job: materialise the example pipeline
	@scripts/demo.sh "$(PY)"

test: test-cpp test-python  ## every test, C++ and Python

venv: $(VENV)/.ready
$(VENV)/.ready: pyproject.toml scripts/setup-venv.sh
	@scripts/setup-venv.sh "$(VENV)"
	@touch $@

# CI treats compiler warnings as errors.
BUILD_FLAGS := $(if $(CI),-C cmake.define.ORVAN_WERROR=ON)

install: venv  ## (re)build the extension into the venv, incrementally
	@$(PY) -m pip install --no-build-isolation --no-deps -q $(BUILD_FLAGS) . \
	    || { echo "error: building orvan failed (see above)" >&2; exit 1; }

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
	rm -rf build $(VENV)
