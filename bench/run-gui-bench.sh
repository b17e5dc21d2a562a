#!/usr/bin/env bash
# Builds and runs the window-against-headless download benchmark (see
# bench/README.md). Needs root: it starts vsftpd. Extra arguments go to
# gui_bench (--mib N, --rounds R).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_BENCH=ON >/dev/null
cmake --build build-bench -j2 --target gui_bench
export KORVANE_SOURCE_DIR=$PWD
exec ./build-bench/bench/gui_bench "$@"
