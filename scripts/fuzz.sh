#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
#   ./scripts/fuzz.sh [seconds per target, default 30]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
./scripts/install-deps.sh
CXX=clang++ CC=clang cmake -S . -B build-fuzz -DKORVANE_FUZZ=ON -DKORVANE_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)"
status=0
for target in build-fuzz/tests/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    corpus="build-fuzz/corpus/$name"
    mkdir -p "$corpus"
    echo "== $name ($seconds s)"
    if ! "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=0 \
        "$corpus" "tests/fuzz/seeds/$name" 2>"build-fuzz/$name.log"; then
        tail -n 40 "build-fuzz/$name.log"
        status=1
    fi
done
exit $status
