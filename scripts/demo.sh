#!/usr/bin/env bash
# The main job: materialise the example pipeline with the orvan command, run it
# again to show that everything is fresh, and print the final value.
#   scripts/demo.sh [PYTHON]    (make demo passes the venv's interpreter)
set -euo pipefail
python=$(command -v "${1:-python3}" || true)
[ -n "$python" ] || { echo "error: no Python interpreter given" >&2; exit 1; }
case "$python" in /*) ;; *) python="$PWD/$python" ;; esac
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build/demo"
cd "$root/examples"   # its pyproject.toml names the pipeline's modules
echo "\$ orvan list"
"$python" -m orvan list
echo
echo "\$ orvan run --out $out"
"$python" -m orvan run --out "$out"
echo
echo "\$ orvan run --out $out    # again: nothing changed, so every job is fresh"
"$python" -m orvan run --out "$out"
echo
echo "\$ orvan show market_summary --out $out"
"$python" -m orvan show market_summary --out "$out"
echo
echo "values, results and logs are under $out (one folder per asset and partition)"
echo "to look at them in a browser: (cd examples && $python -m orvan ui --out $out --open)"
