#!/bin/sh
# Builds the fuzz targets and runs each for a bounded time over a copy of
# the seed corpus, so the committed corpus stays the small hand-made one:
# first the scanner's vector path, then its portable path. Fails on any
# finding and leaves the input that caused it in the folder it names.
#
# usage: fuzz/run.sh [seconds]     (per target; default 60)
set -eu

secs=${1:-60}
case $secs in
'' | *[!0-9]*) echo "usage: $0 [seconds]" >&2; exit 2 ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_convert fuzz_convert_portable --parallel 2 >/dev/null
seeds=$(ls fuzz/corpus | wc -l)
seedbytes=$(cat fuzz/corpus/* | wc -c)

for target in fuzz_convert fuzz_convert_portable; do
  work=$(mktemp -d "${TMPDIR:-/tmp}/txt2sheet-$target.XXXXXX")
  mkdir "$work/corpus"
  cp fuzz/corpus/* "$work/corpus/"
  # A slow or swollen run is a finding too; the bounds are far beyond what
  # a 4 KB input needs.
  status=0
  (cd "$work" && "$root/build/fuzz/fuzz/$target" -max_total_time="$secs" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/" corpus) \
      >"$work/log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log")
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$work/log" >&2
    echo "$target: FAILED (status $status) after ${runs:-?} executions;" \
      "the input and the log are in $work" >&2
    exit 1
  fi
  echo "$target: ${runs} executions in ${secs} s, ${rate} exec/s;" \
    "seed corpus ${seeds} files, ${seedbytes} bytes;" \
    "grown to $(ls "$work/corpus" | wc -l) files in the run (discarded)"
  rm -rf "$work"
done
