#!/usr/bin/env bash
# Builds the sdist and, from it, a manylinux_2_17 (manylinux2014) wheel per
# architecture, without Docker: zig's clang compiles against glibc 2.17's
# symbol versions and links its own libc++ statically, so the extension needs
# nothing of the system but glibc. Each wheel is checked before it is kept.
#   scripts/build-wheel.sh [ARCH ...]      (x86_64, aarch64; default: both)
# aarch64 is cross-compiled: this machine can check that wheel, not run it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
archs=("$@")
[ ${#archs[@]} -gt 0 ] || archs=(x86_64 aarch64)
for arch in "${archs[@]}"; do
    case "$arch" in x86_64 | aarch64) ;; *) echo "error: no wheel for architecture '$arch' (x86_64, aarch64)" >&2; exit 2 ;; esac
done
tools=$(scripts/wheel-tools.sh)
export PATH="$tools/bin:$PATH"
version=$(python -c 'import re, sys; print(re.search(r"__version__ = \"(.+)\"", open(sys.argv[1]).read())[1])' orvan/_version.py)

mkdir -p dist build
rm -f "dist/orvan-$version.tar.gz"
echo "wheel: building the sdist"
python -m build --sdist --no-isolation --outdir dist . >build/wheel-sdist.log 2>&1 \
    || { cat build/wheel-sdist.log >&2; echo "error: building the sdist failed" >&2; exit 1; }
sdist="dist/orvan-$version.tar.gz"

for arch in "${archs[@]}"; do
    work="$root/build/wheel/$arch"
    rm -rf "$work" dist/orvan-"$version"-*_"$arch".whl
    mkdir -p "$work"
    {
        [ "$arch" = x86_64 ] || printf 'set(CMAKE_SYSTEM_NAME Linux)\nset(CMAKE_SYSTEM_PROCESSOR %s)\n' "$arch"
        printf 'set(CMAKE_CXX_COMPILER "%s")\n' "$tools/wrappers/c++-$arch"
        printf 'set(CMAKE_AR "%s")\nset(CMAKE_RANLIB "%s")\n' "$tools/wrappers/ar" "$tools/wrappers/ranlib"
        # Stripped at link time: the host's strip may not know the target.
        printf 'set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s")\n'
    } >"$work/toolchain.cmake"
    echo "wheel: compiling the extension for $arch with zig (the first build of a target also builds libc++: minutes)"
    # The wheel's tag and the extension's suffix name the target, not this host.
    if ! SETUPTOOLS_EXT_SUFFIX=".cpython-313-$arch-linux-gnu.so" _PYTHON_HOST_PLATFORM="linux-$arch" \
        python -m pip wheel --no-deps --no-build-isolation --no-cache-dir -w "$work/raw" \
            -C cmake.define.CMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" -C cmake.define.ORVAN_WERROR=ON \
            -C build-dir="$work/cmake" -C install.strip=false "$sdist" >"$work/build.log" 2>&1; then
        tail -40 "$work/build.log" >&2
        echo "error: building the $arch wheel failed (log: $work/build.log)" >&2
        exit 1
    fi
    # auditwheel names only this host's architecture with --plat; for the
    # cross-built wheel it finds the tag itself, and check-wheel.py then
    # requires it to be manylinux_2_17.
    plat="manylinux_2_17_$arch"
    [ "$arch" = "$(uname -m)" ] || plat=auto
    auditwheel repair --plat "$plat" -w dist "$work"/raw/*.whl >"$work/repair.log" 2>&1 \
        || { cat "$work/repair.log" >&2; echo "error: auditwheel would not tag the $arch wheel manylinux_2_17" >&2; exit 1; }
    python scripts/check-wheel.py dist/orvan-"$version"-cp313-cp313-*manylinux_2_17_"$arch"*.whl
done
ls -l dist/orvan-"$version"*
