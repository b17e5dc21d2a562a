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
# Server root and program folders in memory when there is room: the disk's
# write-back would otherwise decide the figures more than the window does.
if [ -d /dev/shm ] && [ "$(df -Pk /dev/shm | awk 'NR==2 {print $4}')" -gt $((3 * 1024 * 1024)) ]; then
    export TMPDIR=/dev/shm
fi
exec ./build-bench/bench/gui_bench "$@"
