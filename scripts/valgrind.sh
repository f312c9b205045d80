#!/usr/bin/env bash
# Runs tests/valgrind_driver.py, which exercises every entry point of the
# installed orvan._orvan, under valgrind memcheck, and fails when memcheck
# reports an invalid memory access or use of uninitialised memory anywhere,
# or a "definitely lost" block allocated by the extension's own code.
#
#   scripts/valgrind.sh [python]    (default: .venv/bin/python; build it with `make install`)
#
# PYTHONMALLOC=malloc puts every Python object on the C heap, where memcheck
# can see it. The interpreter does not free everything at exit (interned and
# immortal objects among them); those blocks are counted in the log's summary
# but do not fail the run.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-.venv/bin/python}
command -v valgrind >/dev/null || { echo "error: valgrind is not installed" >&2; exit 1; }
[ -x "$python" ] || { echo "error: $python not found (run make install first)" >&2; exit 1; }
extension=$("$python" -P -c 'import orvan._orvan as m; print(m.__file__)')
mkdir -p build/valgrind
log=build/valgrind/memcheck.log

echo "valgrind memcheck on $extension (full log: $log)"
PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full \
    --show-leak-kinds=definite,indirect --num-callers=50 --track-origins=yes \
    --log-file="$log" "$python" -P tests/valgrind_driver.py

exec "$python" -P tests/valgrind_driver.py --summarize "$log" "$(basename "$extension")"
