#!/usr/bin/env bash
# Speed and memory of txt2sheet on generated input, with two references
# timed on the same files in the same rounds, so that their ratios hold
# on a machine that others share.
#
# usage: bench/run.sh [MB] [RUNS]
#        bench/run.sh -h | --help
#   MB     size of each generated input, in 2^20 bytes (default 100)
#   RUNS   timed runs of each program after one warm-up (default 5)
#
# Environment:
#   SHARED     folder holding bench/gen.py (default: ../shared beside the repo)
#   GEN        the generator itself (default: $SHARED/bench/gen.py)
#   BUILD_DIR  build folder (default: build/bench-run in the repo)
#   BIN        a txt2sheet binary to time instead of building one
#   JOBS       parallel build jobs (default 2)
#   AWK_RUNS   timed runs of the awk reference (default 3, at most RUNS):
#              it is an order of magnitude slower, and three runs of it
#              already take most of the time
#   SCALE_MB   sizes of the scaling line (default "10 100 1000"); the
#              largest is piped from the generator, never stored
#   THREADS    thread counts of the threads table (default "1 2 4")
#
# txt2sheet is timed as it runs by default (TXT2SHEET_THREADS unset: as
# many threads as CPUs) and on one thread (TXT2SHEET_THREADS=1), in the
# same rounds, to /dev/null and to a file.
#
# The inputs live in a temporary folder that is removed at the end.
set -euo pipefail
export LC_ALL=C # EPOCHREALTIME and printf with a decimal point

# The usage text is the comment at the top, from its usage line up to its
# last paragraph.
if [[ ${1:-} == -h || ${1:-} == --help ]]; then
  sed -n '/^# usage:/,/^# The inputs/p' "${BASH_SOURCE[0]}" | head -n -2 | sed 's/^# \{0,1\}//'
  exit 0
fi

mb=${1:-100}
runs=${2:-5}
awkruns=${AWK_RUNS:-3}
if ((awkruns > runs)); then awkruns=$runs; fi
if ((awkruns < 1)); then awkruns=1; fi
scalemb=${SCALE_MB:-10 100 1000}

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
shared=${SHARED:-$repo/../shared}
gen=${GEN:-$shared/bench/gen.py}
build=${BUILD_DIR:-$repo/build/bench-run}

die() { echo "bench/run.sh: $*" >&2; exit 1; }

[[ -f $gen ]] || die "no generator at $gen (set SHARED or GEN)"
command -v python3 > /dev/null || die "python3 is needed to run $gen"

# GNU time gives the peak RSS; the shell's own time does not.
if ! /usr/bin/time --version 2>&1 | grep GNU >/dev/null; then
  if [[ $(id -u) == 0 ]] && command -v apt-get > /dev/null; then
    echo "GNU time is missing: installing the apt package time"
    apt-get install -y -q time > /dev/null 2>&1 ||
      { apt-get update -q > /dev/null && apt-get install -y -q time > /dev/null; } ||
      die "could not install GNU time"
  else
    die "GNU time (/usr/bin/time) is needed: install the package time"
  fi
fi

if command -v mawk > /dev/null; then
  awk=mawk
  awkversion=$(mawk -W version 2>&1 | sed -n 1p)
else
  awk="awk"
  awkversion=$(awk --version 2>&1 | sed -n 1p)
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
trap 'exit 130' INT TERM

if [[ -n ${BIN:-} ]]; then
  bin=$BIN
else
  bin=$build/txt2sheet
  echo "building txt2sheet (Release) in $build"
  if ! { cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DTXT2SHEET_TESTS=OFF -DTXT2SHEET_BENCH=OFF &&
    cmake --build "$build" --target txt2sheet -j "${JOBS:-2}"; } > "$tmp/build.log" 2>&1; then
    cat "$tmp/build.log" >&2
    die "build failed"
  fi
fi
[[ -x $bin ]] || die "no binary at $bin"

now() { echo "$EPOCHREALTIME"; }
median() { sort -g "$1" | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
maxof() { sort -g "$1" | tail -n 1; }

# timed NAME INPUT CMD...: one run of CMD with INPUT on standard input and
# its output dropped; appends the wall seconds to $tmp/NAME.s, the peak
# RSS in KiB to NAME.rss and the CPU seconds to NAME.cpu.
timed() {
  local name=$1 in=$2
  shift 2
  local t0 t1
  t0=$(now)
  /usr/bin/time -f '%M %U %S' -o "$tmp/time.out" "$@" < "$in" > /dev/null 2>> "$tmp/said"
  t1=$(now)
  record "$name" "$t0" "$t1"
}

# Through a pipe: the time runs until cat has read everything.
# To a file, which the kernel copies the output into.
timedfile() {
  local name=$1 in=$2
  shift 2
  local t0 t1
  t0=$(now)
  /usr/bin/time -f '%M %U %S' -o "$tmp/time.out" "$@" < "$in" > "$tmp/out" 2>> "$tmp/said"
  t1=$(now)
  rm -f "$tmp/out"
  record "$name" "$t0" "$t1"
}

timedpipe() {
  local name=$1 in=$2
  shift 2
  local t0 t1
  t0=$(now)
  /usr/bin/time -f '%M %U %S' -o "$tmp/time.out" "$@" < "$in" 2>> "$tmp/said" | cat > /dev/null
  t1=$(now)
  record "$name" "$t0" "$t1"
}

record() {
  local rss user sys
  read -r rss user sys < <(tail -n 1 "$tmp/time.out")
  awk -v a="$2" -v b="$3" 'BEGIN { printf "%.4f\n", b - a }' >> "$tmp/$1.s"
  echo "$rss" >> "$tmp/$1.rsses"
  awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f\n", u + s }' >> "$tmp/$1.cpus"
  echo "$user" >> "$tmp/$1.users"
  echo "$sys" >> "$tmp/$1.syss"
}

shapeargs() { if [[ $1 == csv ]]; then echo "-d ,"; fi; }
awkargs() { if [[ $1 == csv ]]; then echo "-v d=,"; fi; }

echo "machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p' | sed -n 1p)," \
  "$(awk '/^MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)," \
  "$(uname -sr); $(date -u '+%Y-%m-%d %H:%M UTC')"
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
echo "compiler: $("${cxx:-c++}" --version 2>/dev/null | sed -n 1p)"
echo "load before the run: $(cut -d ' ' -f 1-3 /proc/loadavg)"
printf '%s\n' "references: tr ' ' '\\n', and bench/ref.awk under $awkversion"
echo "inputs: $gen, $mb MB each (MB = 2^20 bytes); $runs runs after a warm-up," \
  "$awkruns of the awk reference; medians"
echo

shapes=(mixed csv wide long)
for s in "${shapes[@]}"; do
  python3 "$gen" "$s" "$mb" > "$tmp/$s"
done

for s in "${shapes[@]}"; do
  f=$tmp/$s
  # shellcheck disable=SC2046 # the options are words
  set -- $(shapeargs "$s")
  echo "timing $s" >&2
  # The warm-up also brings the file into the page cache. The awk
  # reference runs for seconds, long enough to need none.
  "$bin" "$@" < "$f" > /dev/null 2>> "$tmp/said"
  tr ' ' '\n' < "$f" > /dev/null
  if [[ $s == mixed ]]; then "$bin" < "$f" 2>> "$tmp/said" | cat > /dev/null; fi
  for ((r = 1; r <= runs; r++)); do
    timed "$s.t2s" "$f" "$bin" "$@"
    timed "$s.one" "$f" env TXT2SHEET_THREADS=1 "$bin" "$@"
    timedfile "$s.t2sfile" "$f" "$bin" "$@"
    timedfile "$s.onefile" "$f" env TXT2SHEET_THREADS=1 "$bin" "$@"
    timed "$s.tr" "$f" tr ' ' '\n'
    if ((r <= awkruns)); then
      # shellcheck disable=SC2046
      timed "$s.awk" "$f" "$awk" $(awkargs "$s") -f "$repo/bench/ref.awk"
    fi
    if [[ $s == mixed ]]; then
      timedpipe "$s.pipe" "$f" "$bin"
      timedpipe "$s.onepipe" "$f" env TXT2SHEET_THREADS=1 "$bin"
    fi
  done
  "$bin" "$@" < "$f" 2>> "$tmp/said" | wc -c > "$tmp/$s.outbytes"
done

cpus=$(nproc)
echo "to /dev/null; txt2sheet as it runs ($cpus CPUs: as many threads), and on one thread"
printf '| shape | input MB | output MB | median s | MB/s | peak RSS | one thread s | one thread RSS | speed-up | t / tr | t / awk |\n'
printf '|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n'
for s in "${shapes[@]}"; do
  inb=$(wc -c < "$tmp/$s")
  t=$(median "$tmp/$s.t2s.s")
  one=$(median "$tmp/$s.one.s")
  awk -v s="$s" -v inb="$inb" -v outb="$(cat "$tmp/$s.outbytes")" -v t="$t" -v one="$one" \
    -v rss="$(maxof "$tmp/$s.t2s.rsses")" -v onerss="$(maxof "$tmp/$s.one.rsses")" \
    -v tr="$(median "$tmp/$s.tr.s")" -v aw="$(median "$tmp/$s.awk.s")" 'BEGIN {
      printf "| %s | %.0f | %.0f | %.3f | %.0f | %.1f MiB | %.3f | %.1f MiB | %.2f | %.2f | %.3f |\n",
        s, inb / 1048576, outb / 1048576, t, inb / 1048576 / t, rss / 1024, one, onerss / 1024,
        one / t, t / tr, t / aw
    }'
done
echo
echo "to a file (> out), the same rounds"
printf '| shape | median s | MB/s | one thread s | speed-up |\n'
printf '|---|--:|--:|--:|--:|\n'
for s in "${shapes[@]}"; do
  inb=$(wc -c < "$tmp/$s")
  awk -v s="$s" -v inb="$inb" -v t="$(median "$tmp/$s.t2sfile.s")" \
    -v one="$(median "$tmp/$s.onefile.s")" 'BEGIN {
      printf "| %s | %.3f | %.0f | %.3f | %.2f |\n", s, t, inb / 1048576 / t, one, one / t
    }'
done
echo
echo "t / tr, t / awk: txt2sheet's median time over the reference's, same file, same rounds:"
for s in "${shapes[@]}"; do
  printf '  %-5s  tr %.3f s   %s %.2f s\n' "$s" "$(median "$tmp/$s.tr.s")" "$awk" \
    "$(median "$tmp/$s.awk.s")"
done
echo

inb=$(wc -c < "$tmp/mixed")
awk -v inb="$inb" -v t="$(median "$tmp/mixed.pipe.s")" -v d="$(median "$tmp/mixed.t2s.s")" \
  -v one="$(median "$tmp/mixed.onepipe.s")" -v rss="$(maxof "$tmp/mixed.pipe.rsses")" 'BEGIN {
    printf "through a pipe (txt2sheet < mixed | cat > /dev/null): median %.3f s, %.0f MB/s, peak RSS %.1f MiB (%.2f × the /dev/null time); on one thread %.3f s (speed-up %.2f)\n",
      t, inb / 1048576 / t, rss / 1024, t / d, one, one / t
  }'
echo

# Threads one by one on mixed, in the same rounds; more threads than CPUs
# share them.
read -r -a counts <<< "${THREADS:-1 2 4}"
for ((r = 1; r <= runs; r++)); do
  for n in "${counts[@]}"; do
    timed "threads$n" "$tmp/mixed" env TXT2SHEET_THREADS="$n" "$bin"
  done
done
echo "threads, mixed to /dev/null ($cpus CPUs)"
printf '| threads | median s | MB/s | CPU s | peak RSS | speed-up over 1 |\n'
printf '|--:|--:|--:|--:|--:|--:|\n'
base=$(median "$tmp/threads${counts[0]}.s")
for n in "${counts[@]}"; do
  awk -v n="$n" -v inb="$inb" -v t="$(median "$tmp/threads$n.s")" -v b="$base" \
    -v cpu="$(median "$tmp/threads$n.cpus")" -v rss="$(maxof "$tmp/threads$n.rsses")" 'BEGIN {
      printf "| %s | %.3f | %.0f | %.2f | %.1f MiB | %.2f |\n", n, t, inb / 1048576 / t, cpu,
        rss / 1024, b / t
    }'
done
echo

# Time should grow with the input and memory should not. The largest size
# is piped straight from the generator, so its wall time is the
# generator's pace; txt2sheet's own CPU time is the figure to compare.
read -r -a sizes <<< "$scalemb"
largest=${sizes[${#sizes[@]} - 1]}
echo "scaling, mixed: wall time, txt2sheet's CPU time and peak RSS"
printf '| input MB | from | median s | user s | sys s | CPU s per 100 MB | peak RSS |\n'
printf '|--:|---|--:|--:|--:|--:|--:|\n'
for size in "${sizes[@]}"; do
  n=scale$size
  if [[ $size == "$largest" ]]; then
    t0=$(now)
    python3 "$gen" mixed "$size" |
      /usr/bin/time -f '%M %U %S' -o "$tmp/time.out" "$bin" > /dev/null 2>> "$tmp/said"
    t1=$(now)
    record "$n" "$t0" "$t1"
    how="gen.py, piped (1 run)"
  elif [[ $size == "$mb" ]]; then
    for x in s cpus users syss rsses; do cp "$tmp/mixed.t2s.$x" "$tmp/$n.$x"; done
    how="file (the runs above)"
  else
    f=$tmp/scale
    python3 "$gen" mixed "$size" > "$f"
    "$bin" < "$f" > /dev/null 2>> "$tmp/said"
    for ((r = 1; r <= runs; r++)); do
      timed "$n" "$f" "$bin"
    done
    rm -f "$f"
    how="file"
  fi
  awk -v size="$size" -v how="$how" -v t="$(median "$tmp/$n.s")" \
    -v cpu="$(median "$tmp/$n.cpus")" -v rss="$(maxof "$tmp/$n.rsses")" \
    -v user="$(median "$tmp/$n.users")" -v sys="$(median "$tmp/$n.syss")" 'BEGIN {
      printf "| %s | %s | %.3f | %.2f | %.2f | %.3f | %.1f MiB |\n", size, how, t, user, sys,
        cpu / size * 100, rss / 1024
    }'
  if [[ $size == "$largest" ]] && ((size > mb && size % mb == 0)); then
    # The same size from a writer that keeps up: the generator repeats
    # a pool of lines anyway, so copies of the mixed file are alike.
    k=$((size / mb))
    t0=$(now)
    for ((i = 0; i < k; i++)); do cat "$tmp/mixed"; done |
      /usr/bin/time -f '%M %U %S' -o "$tmp/time.out" "$bin" > /dev/null 2>> "$tmp/said"
    t1=$(now)
    record "$n.cat" "$t0" "$t1"
    awk -v size="$size" -v k="$k" -v t="$(median "$tmp/$n.cat.s")" \
      -v cpu="$(median "$tmp/$n.cat.cpus")" -v rss="$(maxof "$tmp/$n.cat.rsses")" \
      -v user="$(median "$tmp/$n.cat.users")" -v sys="$(median "$tmp/$n.cat.syss")" 'BEGIN {
        printf "| %s | %d copies of the mixed file, through cat (1 run) | %.3f | %.2f | %.2f | %.3f | %.1f MiB |\n",
          size, k, t, user, sys, cpu / size * 100, rss / 1024
      }'
  fi
done
# The inputs are longer than a block of 20000 lines, so the converter
# warns that its layout wraps onto written cells: said here once, not in
# the middle of the tables.
if [ -s "$tmp/said" ]; then
  sort -u "$tmp/said" | sed 's/^/the converter said (runs of every shape): /' >&2
fi
echo "A run piped from gen.py goes at the generator's pace, and its sys time is mostly"
echo "the many small reads that a slow writer hands over; the run through cat is the"
echo "converter's own pace at that size."
