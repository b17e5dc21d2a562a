#!/usr/bin/env bash
# The transfer history with ten years of a busy mailbox: RECORDS records
# (default 1,000,000, about 130 MB of logs) in 120 monthly transfer logs.
# Each step runs in a process of its own, so each peak memory is its own:
#   open     the index made from the logs, then opened with nothing new
#   query    the filters a person uses (name, partner, month, type, sorts)
#   export   a partner's rows and all rows to CSV
#   window   the Transfer History window (offscreen): first rows, filter
#            changes, the longest stall of its event loop
#   bench/history/run.sh [RECORDS]
set -euo pipefail
cd "$(dirname "$0")/../.."
records=${1:-1000000}
build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_BENCH=ON -DKORVANE_TESTS=ON >/dev/null
cmake --build "$build" -j2 --target history_bench history_window_bench >/dev/null
bin=$PWD/$build/bench
work=$(mktemp -d /tmp/korvane-history-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
"$bin/history_bench" generate "$work/home" "$records"
sync
echo "== open"
"$bin/history_bench" open "$work/home"
echo "== query"
"$bin/history_bench" query "$work/home"
echo "== export"
"$bin/history_bench" export "$work/home" "$work/out.csv"
echo "== window"
"$bin/history_window_bench" "$work/home"
