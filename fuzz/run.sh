#!/bin/sh
# Builds the fuzz targets and runs each over a copy of the committed corpus
# (fuzz/corpus), with the dictionary, so a run leaves the tree as it was:
# first the scanner's vector path, then its portable path. Fails on any
# finding and leaves the input that caused it in the folder it names.
#
# usage: fuzz/run.sh [-n runs] [seconds]
#   seconds  per target (default 60); with -n, the bound on a run that has
#            not yet made its executions
#   -n runs  stop each target after this many executions
set -eu

runs=-1
if [ "${1:-}" = -n ]; then
  runs=${2:-}
  shift 2 || true
  case $runs in
  '' | *[!0-9]*) echo "usage: $0 [-n runs] [seconds]" >&2; exit 2 ;;
  esac
fi
secs=${1:-60}
case $secs in
'' | *[!0-9]*) echo "usage: $0 [-n runs] [seconds]" >&2; exit 2 ;;
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
  # a 4 KB input needs. The length leaves room for the header and the
  # fault scripts beside a 4096-byte input, so one fills a 4 KiB block.
  status=0
  (cd "$work" && "$root/build/fuzz/fuzz/$target" -max_total_time="$secs" -runs="$runs" \
      -timeout=10 -rss_limit_mb=2048 -max_len=4160 -dict="$root/fuzz/txt2sheet.dict" \
      -print_final_stats=1 -artifact_prefix="$work/" corpus) \
      >"$work/log" 2>&1 || status=$?
  done_=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log")
  took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$work/log")
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$work/log" >&2
    echo "$target: FAILED (status $status) after ${done_:-?} executions;" \
      "the input and the log are in $work" >&2
    exit 1
  fi
  echo "$target: ${done_} executions in ${took:-$secs} s, ${rate} exec/s;" \
    "seed corpus ${seeds} files, ${seedbytes} bytes;" \
    "grown to $(ls "$work/corpus" | wc -l) files in the run (discarded)"
  if [ "$runs" -ge 0 ] && [ "${done_:-0}" -lt "$runs" ]; then
    echo "$target: stopped by the ${secs} s bound short of the ${runs} executions asked for"
  fi
  rm -rf "$work"
done
