#!/usr/bin/env bash
# Classification against wc -l on the same files, in the same run:
#   (a) one 1 GiB line of binary noise without a header,
#   (b) a 1 GiB multi-line UN/EDIFACT interchange whose UNH+ is on the last line,
#   (c) 10,000 small files of every kind.
# Prints the best wall time of three runs each and the peak resident memory
# of the measured process alone.
#   bench/classify/run.sh            (KORVANE_BENCH_MIB=64 for a quick try)
set -euo pipefail
cd "$(dirname "$0")/../.."
mib=${KORVANE_BENCH_MIB:-1024}
runs=3
build=build-bench
# RelWithDebInfo (-O2), the build the project ships.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_BENCH=ON -DKORVANE_TESTS=ON >/dev/null
cmake --build "$build" -j2 --target classify_bench bench_measure >/dev/null
bin=$PWD/$build/bench/classify/classify_bench
measure=$PWD/$build/bench/bench_measure

work=$(mktemp -d /tmp/korvane-classify-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
echo "generating in $work ..."
"$bin" gen-noise "$work/a.bin" "$mib"
"$bin" gen-edifact "$work/b.edi" "$mib"
"$bin" gen-small "$work/small" 10000
find "$work/small" -type f -print0 | sort -z >"$work/small.list0"
printf '%s\0' "$work/a.bin" >"$work/a.list0"
printf '%s\0' "$work/b.edi" >"$work/b.list0"

# One measured run: "wall-ms peak-RSS-KiB exit-status" of the command alone.
measure() { "$measure" "$@"; }

printf '\n%-34s %10s %10s %7s %12s %12s\n' "case" "wc -l ms" "ours ms" "ratio" "wc RSS KiB" "ours RSS KiB"
for c in a b small; do
    list="$work/$c.list0"
    # Both read from the page cache: warm it first.
    xargs -0 cat <"$list" >/dev/null
    best_wc=999999999 best_us=999999999 rss_wc=0 rss_us=0
    for _ in $(seq $runs); do
        read -r t m rc < <(measure wc -l --files0-from="$list")
        [ "$rc" = 0 ] || { echo "wc -l failed on $c" >&2; exit 1; }
        ((t < best_wc)) && best_wc=$t
        ((m > rss_wc)) && rss_wc=$m
        read -r t m rc < <(measure "$bin" classify-list "$list")
        [ "$rc" = 0 ] || { echo "classification failed on $c" >&2; exit 1; }
        ((t < best_us)) && best_us=$t
        ((m > rss_us)) && rss_us=$m
    done
    case $c in
    a) name="(a) ${mib} MiB, no line break" ;;
    b) name="(b) ${mib} MiB EDIFACT, UNH+ last" ;;
    small) name="(c) 10,000 small files" ;;
    esac
    ratio=$(awk -v a="$best_us" -v b="$best_wc" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
    printf '%-34s %10s %10s %7s %12s %12s\n' "$name" "$best_wc" "$best_us" "$ratio" "$rss_wc" "$rss_us"
    if [ "$c" = small ]; then
        "$bin" classify-list "$list" | sed 's/^/    /'
    else
        "$bin" classify "$(tr -d '\0' <"$list")" | sed 's/^/    /'
    fi
done
