#!/bin/sh
# Fuzzes one target for a while, starting from its seed corpus, and reports in one line.
# Usage: run.sh TARGET SECONDS SEEDS WORK REPORT [DICTIONARY]
#   WORK keeps the corpus grown so far (new inputs never go into the seed corpus), the log,
#   and any failing input, under WORK/artifacts/. REPORT receives the one line.
set -u
target=$1
seconds=$2
seeds=$3
work=$4
report=$5
dictionary=${6:-}
name=$(basename "$target")

mkdir -p "$work/corpus" "$work/artifacts" || exit 1
rm -f "$work/artifacts/"*
set -- -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/"
if [ -n "$dictionary" ]; then
    set -- "$@" -dict="$dictionary"
fi
"$target" "$@" "$work/corpus" "$seeds" >"$work/log" 2>&1
status=$?

runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
inputs=$(find "$work/corpus" -type f | wc -l)
if [ "$status" -eq 0 ] && [ -n "$runs" ]; then
    echo "$name: $runs runs in $seconds s, $inputs inputs in the working corpus, no failure" |
        tee "$report"
    exit 0
fi
artifact=$(find "$work/artifacts" -type f | head -1)
echo "FAIL: $name (status $status); failing input: ${artifact:-none}" | tee "$report"
grep -E -A30 '^==[0-9]+==ERROR|runtime error|ALARM|Invariant' "$work/log" | head -60
tail -5 "$work/log"
exit 1
