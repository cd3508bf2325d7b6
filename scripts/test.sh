#!/usr/bin/env bash
# Builds every target and runs every test: the plain build, AddressSanitizer + UndefinedBehaviorSanitizer,
# ThreadSanitizer on the streaming tests, the Windows cross-build and its checks under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
step() { printf '\n==== %s\n' "$*"; }

step "format check"
bash scripts/format.sh --check

step "Linux build and tests"
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$jobs"
ctest --preset linux -j "$jobs"

step "streaming benchmark, quick (times are reported, not checked)"
./build/linux/bin/bench_streaming --quick

step "AddressSanitizer + UndefinedBehaviorSanitizer"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --preset asan -j "$jobs"

step "ThreadSanitizer (streaming tests)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
if ctest --preset tsan -N | grep -q "Total Tests: 0"; then
    echo "no streaming tests yet"
else
    TSAN_OPTIONS=halt_on_error=1 ctest --preset tsan -j "$jobs"
fi

step "Fuzzing the device replies (60 s)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
fuzz_corpus=$(mktemp -d)
cp fuzz/corpus/* "$fuzz_corpus"/
build/fuzz/bin/fuzz_device_replies -max_total_time=60 -print_final_stats=1 -artifact_prefix=build/fuzz/ \
    "$fuzz_corpus" 2>&1 | tail -n 40
rm -rf "$fuzz_corpus"

step "Windows cross-build"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
bash scripts/check_dll.sh build/windows/lkasio64.dll

step "Windows installer"
bash scripts/build_installer.sh build/windows

if [ -x scripts/wine_checks.sh ] || [ -f scripts/wine_checks.sh ]; then
    step "Windows checks under Wine"
    bash scripts/wine_checks.sh build/windows
fi

step "all tests passed"
