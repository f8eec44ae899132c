#!/bin/bash
# Fuzzes each target for SECONDS from its kept corpus, fuzz/corpus/<target>/, on one core
# (nice), and prints per target the executions, executions per second and coverage
# (edges, features) at the end. The corpus is worked on in a copy; with --keep the inputs
# that add coverage are merged back into the kept corpus afterwards. Each run appends a line
# per target to BUILD_DIR/fuzz/campaigns.log (kept out of git); the executions there are
# summed per target at the end.
# usage: fuzz/run-campaign.sh [--keep] SECONDS [TARGET...]   (BUILD_DIR, default build/asan)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
keep=0
if [ "${1:-}" = --keep ]; then keep=1; shift; fi
seconds=${1:?usage: fuzz/run-campaign.sh [--keep] SECONDS [TARGET...]}
shift
. "$root/fuzz/targets.sh"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${fuzz_targets[@]}")
build=${BUILD_DIR:-$root/build/asan}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ZENTU_AUDIO=null
history=$build/fuzz/campaigns.log

printf '%-18s %12s %8s %6s %7s %7s\n' target executions exec/s cov ft corpus
for target in "${targets[@]}"; do
    corpus=$root/fuzz/corpus/$target
    mkdir "$work/$target"
    cp "$corpus"/* "$work/$target/" 2>/dev/null || true
    options=(-max_total_time="$seconds" -max_len="$(max_len $target)" -print_final_stats=1 -artifact_prefix="$work/")
    dict=$root/fuzz/${target%_fuzz}.dict
    [ -f "$dict" ] && options+=(-dict="$dict")
    status=0
    nice "$build/fuzz/$target" "${options[@]}" "$work/$target" > "$work/$target.log" 2>&1 || status=$?
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/$target.log")
    last=$(grep -E '^#[0-9]+' "$work/$target.log" | tail -1)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<< "$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<< "$last")
    printf '%-18s %12s %8s %6s %7s %7s\n' "$target" "${executions:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" \
        "$(ls "$work/$target" | wc -l)"
    echo "$(date -u +%FT%TZ) $target ${executions:-0} ${rate:-?} ${cov:-?} ${ft:-?} status=$status" >> "$history"
    if [ $status != 0 ]; then
        echo "$target failed (status $status); its log:" >&2
        grep -vE '^#[0-9]+ +(NEW|REDUCE|pulse)' "$work/$target.log" | tail -60 >&2
        ls "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-* 2>/dev/null | while read -r f; do
            cp "$f" "$root/fuzz/" && echo "kept $root/fuzz/$(basename "$f")" >&2
        done
        exit 1
    fi
    if [ $keep = 1 ]; then
        "$build/fuzz/$target" -merge=1 -max_len="$(max_len $target)" "$corpus" "$work/$target" 2>&1 |
            grep -E '^MERGE-OUTER: [0-9]+ new files' || true
    fi
done
echo "executions in all, from $history:"
awk '{ total[$2] += $3 } END { for (t in total) printf "%-18s %12d\n", t, total[t] }' "$history" | sort
