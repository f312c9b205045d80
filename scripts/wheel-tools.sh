#!/usr/bin/env bash
# Prints the directory of the cached wheel toolchain (a CPython 3.13 venv with
# zig, auditwheel and the build backend, plus compiler wrappers per target),
# creating it first when it is missing. zig is a large download and builds
# libc++ once per target (minutes): both are kept under the user's cache,
# the venv keyed by the pins in wheel-tools.txt, zig's own cache (which keys
# its entries by content) shared, and reused by every later build.
#   scripts/wheel-tools.sh     (ORVAN_TOOLCHAIN_CACHE overrides the location)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
pins="$here/wheel-tools.txt"
key=$(sha256sum "$pins" | cut -c1-12)
cache=${ORVAN_TOOLCHAIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/orvan/wheel-toolchain}
tools="$cache/$key"
if [ ! -f "$tools/.ready" ]; then
    python=$("$here/find-python.sh")
    echo "wheel toolchain: installing zig, auditwheel and the build backend into $tools (once)" >&2
    # Toolchains of earlier pins are of no further use; zig's cache stays.
    mkdir -p "$cache"
    find "$cache" -mindepth 1 -maxdepth 1 -type d ! -name zig-cache -exec rm -rf {} +
    "$python" -m venv "$tools" >&2
    "$tools/bin/python" -m pip install -q -r "$pins" >&2 \
        || { echo "error: could not install the wheel toolchain ($pins) from PyPI" >&2; exit 1; }
    touch "$tools/.ready"
fi
zig=$("$tools/bin/python" -c 'import ziglang, pathlib; print(pathlib.Path(ziglang.__file__).parent / "zig")')
mkdir -p "$tools/wrappers"
for arch in x86_64 aarch64; do
    # zig's linker has no --exclude-libs: the extension's version script
    # already keeps every symbol but its init function local.
    cat >"$tools/wrappers/c++-$arch" <<WRAPPER
#!/bin/sh
for arg do
    shift
    case "\$arg" in -Wl,--exclude-libs,*) continue ;; esac
    set -- "\$@" "\$arg"
done
export ZIG_GLOBAL_CACHE_DIR="$cache/zig-cache" ZIG_LOCAL_CACHE_DIR="$cache/zig-cache"
exec "$zig" c++ -target $arch-linux-gnu.2.17 "\$@"
WRAPPER
done
for tool in ar ranlib; do
    printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" >"$tools/wrappers/$tool"
done
chmod +x "$tools/wrappers/"*
echo "$tools"
