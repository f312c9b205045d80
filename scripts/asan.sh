#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer into
# its own virtual environment and runs the whole pytest suite under them.
# Any sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${ASAN_VENV:-.venv-asan}
scripts/setup-venv.sh "$venv"
PATH="$PWD/$venv/bin:$PATH" "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps \
    -C cmake.define.ORVAN_SANITIZE=address,undefined \
    -C cmake.build-type=Debug \
    -C build-dir=build/asan . \
    || { echo "error: the sanitizer build failed" >&2; exit 1; }
libasan=$(gcc -print-file-name=libasan.so)
[ -f "$libasan" ] || { echo "error: libasan.so not found (gcc's sanitizer runtime is missing)" >&2; exit 1; }
# libstdc++ must be loaded before the extension: ASan's interceptor for C++
# throws binds to it at start-up, and the interpreter itself is plain C.
libstdcxx=$(gcc -print-file-name=libstdc++.so)
# The interpreter itself is not instrumented: leak reports about its own
# allocations would be noise, so leak checking stays with the leak tests.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1:detect_stack_use_after_return=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYTHONMALLOC=malloc
export ORVAN_SANITIZED=1
LD_PRELOAD="$libasan $libstdcxx" "$venv/bin/python" -P -m pytest -q -p no:cacheprovider tests "$@"
