#!/usr/bin/env bash
# Makes sure the system packages a task needs exist; installs the missing ones
# with apt when running as root.
#   scripts/system-deps.sh [test|fuzz|bench|wheel ...]   (default: test)
set -euo pipefail
need=()
want() { need+=("$1"); }
for task in "${@:-test}"; do
    case "$task" in
    test)
        [ -f /usr/include/gtest/gtest.h ] || want libgtest-dev
        command -v g++ >/dev/null 2>&1 || want g++
        command -v gcc >/dev/null 2>&1 || want gcc
        command -v clang-format >/dev/null 2>&1 || want clang-format
        # The web UI's tests drive Debian's Chromium (no browser is downloaded).
        [ -x /usr/bin/chromium ] || want chromium
        command -v chromedriver >/dev/null 2>&1 || want chromium-driver
        # The shared catalog's tests start their own PostgreSQL server (initdb, pg_ctl).
        ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1 || want postgresql
        ;;
    fuzz)
        command -v clang++ >/dev/null 2>&1 || want clang
        ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1 \
            || want libclang-rt-14-dev
        ;;
    wheel)
        # scripts/check-wheel.py reads the extension with readelf.
        command -v readelf >/dev/null 2>&1 || want binutils
        ;;
    bench)
        [ -f /usr/include/rapidjson/document.h ] || want rapidjson-dev
        command -v g++ >/dev/null 2>&1 || want g++
        command -v valgrind >/dev/null 2>&1 || want valgrind
        ;;
    *) echo "error: unknown task '$task' (test, fuzz, bench or wheel)" >&2; exit 2 ;;
    esac
done
[ ${#need[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "error: missing system packages: ${need[*]}; install them (apt-get install ${need[*]}) and rerun" >&2
    exit 1
fi
echo "installing system packages: ${need[*]}"
export DEBIAN_FRONTEND=noninteractive
{ apt-get update -qq >/dev/null && apt-get install -y -qq "${need[@]}" >/dev/null; } || {
    echo "error: apt-get could not install: ${need[*]}" >&2
    exit 1
}
