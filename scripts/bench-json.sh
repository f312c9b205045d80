#!/usr/bin/env bash
# Builds json-bench in Release (build/bench) and runs it; extra arguments
# (--json, a corpus directory) are passed through.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DORVAN_BUILD_BENCH=ON -DORVAN_BUILD_EXTENSION=OFF >/dev/null
cmake --build build/bench -j2 --target json-bench >/dev/null
exec build/bench/bench/json/json-bench "$@"
