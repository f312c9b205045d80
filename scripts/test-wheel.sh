#!/usr/bin/env bash
# Runs a representative part of the pytest suite against the built x86_64
# wheel, installed into a fresh virtual environment with no compiler on PATH:
# the module's entry points, inspection, materialisation, the example
# pipeline, the command's runs and stored values. (The whole suite, the
# wheel's own checks in tests/test_wheel.py included, runs against the CMake
# build in `make test`, and again under the sanitizers; a third full pass
# would add a quarter of an hour.)
#   scripts/test-wheel.sh [PYTEST ARGS]    (after `make wheel`)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
version=$(sed -n 's/^__version__ = "\(.*\)"/\1/p' orvan/_version.py)
wheel=$(ls dist/orvan-"$version"-cp313-cp313-*manylinux_2_17_x86_64*.whl 2>/dev/null) \
    || { echo "error: no x86_64 wheel of orvan $version in dist/: run make wheel first" >&2; exit 1; }
venv=build/wheel/venv
rm -rf "$venv"
"$(scripts/find-python.sh)" -m venv "$venv"
echo "installing $wheel and the test tools into $venv"
"$venv/bin/python" -m pip install -q "$wheel[parquet,npy,postgres]" pytest hypothesis \
    || { echo "error: could not install the wheel and the test tools into $venv" >&2; exit 1; }
# Every program on PATH but the compilers and CMake.
bin="$root/build/wheel/no-compiler-bin"
rm -rf "$bin"
mkdir -p "$bin"
IFS=: read -ra dirs <<<"$PATH"
for dir in "${dirs[@]}"; do
    case "$dir" in *"/.venv"*) continue ;; esac
    [ -d "$dir" ] || continue
    for program in "$dir"/*; do
        name=${program##*/}
        case "$name" in cc | c++ | gcc | g++ | cmake | zig | *-gcc | *-g++ | *-gcc-* | *-g++-* | gcc-* | g++-* | clang*) continue ;; esac
        [ -x "$program" ] && [ ! -e "$bin/$name" ] && ln -s "$program" "$bin/$name"
    done
done
export PATH="$root/$venv/bin:$bin"
for compiler in cc c++ gcc g++ cmake; do
    if command -v "$compiler" >/dev/null; then echo "error: $compiler is still on PATH" >&2; exit 1; fi
done
unset CC CXX
"$venv/bin/python" -X dev -P -m pytest -q -p no:cacheprovider \
    tests/test_module.py tests/test_assets.py tests/test_materialize.py tests/test_inspect.py \
    tests/test_partitions.py tests/test_examples.py tests/test_cli_run.py tests/test_values.py "$@"
