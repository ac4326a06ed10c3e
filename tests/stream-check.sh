#!/bin/sh
# Streams a large generated input through the converter and checks that
# its peak memory stays flat: memory must not grow with the input. Too slow
# for the test suite; run it by hand or before a release.
#
# usage: tests/stream-check.sh [binary]
#   binary   the converter to check (default: build/default/txt2sheet,
#            built with the default preset if missing)
#   SHARED   environment: the folder holding bench/gen.py
#            (default: the repository's sibling folder "shared")
#   MB       environment: megabytes of input (default 1024)
#   LIMITKB  environment: the peak RSS allowed, in KiB (default 4096)
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
shared=${SHARED:-$root/../shared}
mb=${MB:-1024}
limit=${LIMITKB:-4096}
gen=$shared/bench/gen.py

if [ ! -x /usr/bin/time ]; then
  echo "stream-check: needs /usr/bin/time (Debian package: time)" >&2
  exit 2
fi
if [ ! -f "$gen" ]; then
  echo "stream-check: no generator at $gen; set SHARED" >&2
  exit 2
fi
if [ $# -ge 1 ]; then
  bin=$1
else
  bin=$root/build/default/txt2sheet
  if [ ! -x "$bin" ]; then
    (cd "$root" && cmake --preset default >/dev/null &&
      cmake --build --preset default --target txt2sheet --parallel 2 >/dev/null)
  fi
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/txt2sheet-stream.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The generator's status is kept apart, since a pipeline reports only the
# last command's.
status=0
{ python3 "$gen" mixed "$mb" || echo "generator failed: $?" >"$work/generr"; } |
  /usr/bin/time -v -o "$work/time" "$bin" >/dev/null 2>"$work/err" || status=$?
if [ -s "$work/generr" ]; then
  cat "$work/generr" >&2
  exit 1
fi

peak=$(sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): *//p' "$work/time")
wall=$(sed -n "s/^[[:space:]]*Elapsed (wall clock) time (h:mm:ss or m:ss): *//p" "$work/time")
echo "stream-check: $mb MB of mixed input, exit status $status, peak RSS $peak KiB" \
  "(limit $limit), wall $wall"
if [ "$status" -ne 0 ]; then
  head -c 2000 "$work/err" >&2
  exit 1
fi
if [ -s "$work/err" ]; then
  echo "stream-check: unexpected messages:" >&2
  head -c 2000 "$work/err" >&2
  exit 1
fi
if [ -z "$peak" ] || [ "$peak" -ge "$limit" ]; then
  echo "stream-check: peak RSS over the limit" >&2
  exit 1
fi
