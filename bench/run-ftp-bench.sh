#!/usr/bin/env bash
# Builds and runs the FTP benchmark (see bench/README.md). Needs root: it
# starts vsftpd. Extra arguments go to ftp_bench (--mib N, --rounds R).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_BENCH=ON >/dev/null
cmake --build build-bench -j2 --target ftp_bench
exec ./build-bench/bench/ftp_bench "$@"
