#!/usr/bin/env bash
# Makes sure the system packages for the C++ tests, fuzzer and benchmark exist;
# installs the missing ones with apt when running as root.
set -euo pipefail
need=()
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/rapidjson/document.h ] || need+=(rapidjson-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
command -v clang++ >/dev/null 2>&1 || need+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 \
    || ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1 \
    || need+=(libclang-rt-14-dev)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
[ ${#need[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "error: missing system packages: ${need[*]}; install them (apt-get install ${need[*]}) and rerun" >&2
    exit 1
fi
echo "installing system packages: ${need[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >/dev/null && apt-get install -y -qq "${need[@]}" >/dev/null || {
    echo "error: apt-get could not install: ${need[*]}" >&2
    exit 1
}
