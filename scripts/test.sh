#!/usr/bin/env bash
# Installs what is needed, builds and runs every test.
#   ./scripts/test.sh             normal build (build/)
#   ./scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

build=build
# The benchmarks are built too (not run), so they keep up with the code.
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_BENCH=ON)
if [ "${1:-}" = "--sanitize" ]; then
    build=build-asan
    flags=(-DCMAKE_BUILD_TYPE=Debug -DKORVANE_SANITIZE=ON)
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi

cmake -S . -B "$build" "${flags[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 900
