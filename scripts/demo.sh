#!/usr/bin/env bash
# The main job: discover the example pipeline's assets and materialise each
# one, upstream first, through the orvan.inspect and orvan.worker stubs.
#   scripts/demo.sh [PYTHON]    (make demo passes the venv's interpreter)
set -euo pipefail
python=${1:-python3}
root=$(cd "$(dirname "$0")/.." && pwd)
exec "$python" "$root/examples/run_demo.py" --project "$root/examples" --output "$root/build/demo"
