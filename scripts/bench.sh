#!/usr/bin/env bash
# `make bench`: builds the extension into the venv, then runs every benchmark
# (bench/run.py, which also builds json-bench through scripts/bench-json.sh)
# and prints one table; the figures also go to bench/results.json.
#   scripts/bench.sh [--quick] [--callgrind] [--only NAME ...]   (see bench/run.py -h)
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=${VENV:-.venv}
make -s install VENV="$VENV"
# cmake and ninja for json-bench may live in the venv only.
export PATH="$PWD/$VENV/bin:$PATH"
exec "$VENV/bin/python" bench/run.py "$@"
