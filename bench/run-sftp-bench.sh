#!/usr/bin/env bash
# Builds and runs the SFTP benchmark (see bench/README.md). Needs root: it
# starts sshd. Extra arguments go to sftp_bench (--mib N, --rounds R, --small N).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_BENCH=ON >/dev/null
cmake --build build-bench -j2 --target sftp_bench korvaned
exec ./build-bench/bench/sftp_bench "$@"
