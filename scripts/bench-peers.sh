#!/usr/bin/env bash
# `make bench-peers`: orvan against Hamilton, Luigi and Kedro on the same two
# workloads (bench/peers/bench_peers.py). The peers are installed from PyPI,
# once, into a virtual environment of their own (ORVAN_PEERS_VENV).
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=${VENV:-.venv}
make -s install VENV="$VENV"
exec "$VENV/bin/python" bench/peers/bench_peers.py "$@"
