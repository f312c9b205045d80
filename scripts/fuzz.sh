#!/usr/bin/env bash
# Builds the libFuzzer target for the JSON core and runs it for SECONDS
# (default 60). The working corpus lives in fuzz/corpus-work (git-ignored)
# and starts from fuzz/seeds plus the JSON test suite; crashes are written
# to fuzz/crash-* and make this script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
suite="${ORVAN_JSON_SUITE:-$PWD/../shared/data/json-test-suite/test_parsing}"

have_fuzzer() {
    command -v clang++ >/dev/null 2>&1 &&
        ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1
}
if ! have_fuzzer; then
    if [ "$(id -u)" -eq 0 ]; then
        echo "installing clang and libFuzzer"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq >/dev/null && apt-get install -y -qq clang libclang-rt-14-dev >/dev/null
    fi
    have_fuzzer || {
        echo "error: clang++ with libFuzzer is required (apt-get install clang libclang-rt-14-dev)" >&2
        exit 1
    }
fi

CC=clang CXX=clang++ cmake -S . -B build/fuzz -DORVAN_BUILD_FUZZ=ON -DORVAN_BUILD_EXTENSION=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz -j2 --target json_fuzz

mkdir -p fuzz/corpus-work
cp -n fuzz/seeds/* fuzz/corpus-work/ 2>/dev/null || true
if [ -d "$suite" ]; then
    cp -n "$suite"/* fuzz/corpus-work/ 2>/dev/null || true
else
    echo "note: JSON test suite not found at $suite; seeding from fuzz/seeds only"
fi

log="build/fuzz/fuzz.log"
status_file="build/fuzz/fuzz.status"
{
    build/fuzz/fuzz/json_fuzz fuzz/corpus-work -dict=fuzz/json.dict -max_len=4096 \
        -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix=fuzz/ 2>&1
    echo $? >"$status_file"
} | tee "$log" | grep -E '^(#[0-9]+[[:space:]]+(INITED|DONE|pulse)|==[0-9]+==|SUMMARY|Done )' || true
status=$(cat "$status_file")
execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
echo "fuzzed for ${seconds}s: ${execs:-unknown} executions; corpus $(ls fuzz/corpus-work | wc -l) inputs"
if [ "$status" -ne 0 ]; then
    echo "error: the fuzzer found a failing input (see $log and fuzz/crash-*)" >&2
    exit 1
fi
