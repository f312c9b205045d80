#!/usr/bin/env bash
# Prints the path of a working CPython 3.13 interpreter, or explains why there is none.
set -u
try() { "$@" -c 'import sys; assert sys.version_info[:2] == (3, 13); print(getattr(sys, "_base_executable", sys.executable))' 2>/dev/null; }
if [ -n "${PYTHON:-}" ] && try "$PYTHON"; then exit 0; fi
try python3.13 && exit 0
PYENV_VERSION=3.13.0 try python3.13 && exit 0
if command -v pyenv >/dev/null 2>&1; then
    for p in "$(pyenv root)"/versions/3.13.*/bin/python3.13; do
        [ -x "$p" ] && try "$p" && exit 0
    done
fi
for p in /usr/bin/python3.13 /usr/local/bin/python3.13 "$HOME"/.pyenv/versions/3.13.*/bin/python3.13; do
    [ -x "$p" ] && try "$p" && exit 0
done
echo "error: CPython 3.13 not found. Install python3.13 (with venv and headers), or set PYTHON=/path/to/python3.13." >&2
exit 1
