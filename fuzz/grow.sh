#!/bin/sh
# Grows the committed corpus: fuzzes each target for the given time from
# fuzz/corpus, then replaces fuzz/corpus with the smallest set of inputs
# (libFuzzer's -merge=1) that reaches every edge the old corpus and the run
# reached, for both targets. Review and commit the result.
#
# usage: fuzz/grow.sh [seconds]     (per target; default 1800)
set -eu

secs=${1:-1800}
case $secs in
'' | *[!0-9]*) echo "usage: $0 [seconds]" >&2; exit 2 ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_convert fuzz_convert_portable --parallel 2 >/dev/null
bin=$root/build/fuzz/fuzz
work=$(mktemp -d "${TMPDIR:-/tmp}/txt2sheet-grow.XXXXXX")
mkdir "$work/found" "$work/min"
opts="-timeout=10 -rss_limit_mb=2048 -max_len=4160 -dict=$root/fuzz/txt2sheet.dict"

# New inputs go to the first folder; the committed corpus is only read.
for target in fuzz_convert fuzz_convert_portable; do
  (cd "$work" && "$bin/$target" $opts -max_total_time="$secs" -artifact_prefix="$work/" \
      found "$root/fuzz/corpus") >"$work/$target.log" 2>&1 ||
    { tail -n 40 "$work/$target.log" >&2; echo "$target found a fault; see $work" >&2; exit 1; }
done
# The first merge keeps what the vector path needs, the second adds what
# only the portable path reaches. Without the counters a merge keeps an
# input per edge, not per edge and hit count: a few hundred small files
# rather than thousands, and a run finds the counts again in seconds.
for target in fuzz_convert fuzz_convert_portable; do
  (cd "$work" && "$bin/$target" $opts -merge=1 -use_counters=0 min "$root/fuzz/corpus" found) \
    >>"$work/merge.log" 2>&1
done
rm -f fuzz/corpus/*
cp "$work/min/"* fuzz/corpus/
echo "fuzz/corpus: $(ls fuzz/corpus | wc -l) files, $(cat fuzz/corpus/* | wc -c) bytes"
rm -rf "$work"
