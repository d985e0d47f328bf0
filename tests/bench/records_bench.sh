#!/bin/bash
# The benchmark of mivocheck --records against wc -l on the same files:
#
#   records_bench.sh MIVOCHECK GENERATOR WORK [COUNT]
#
# Writes COUNT records (default 10,000) of three-package runs with the
# generator (records_bench_gen: the writer's own lines), checks that the
# reader parses every line and finds every run, then times both commands on
# the same files in the same run, best of three each after the files are in
# the page cache. Fails when the reader takes more than 10 times as long as
# wc -l. Then compares the peak memory (/usr/bin/time -v) of a tenth of the
# files against all of them: it must not grow with the number of files.
# Last, a hostile record: 200,000 runs that never end, in one file, against a
# file of the same size of runs that end; the hostile one may take at most 3
# times as long. Both times and peak memories are printed.
# Build MIVOCHECK without sanitizers (the bench preset).
set -euo pipefail
mivocheck=$1 generator=$2 work=$3 count=${4:-10000}
export LC_ALL=C

rm -rf "$work"
mkdir -p "$work/records"
generated=$("$generator" "$work/records" "$count") || { echo "FAIL: the generator failed"; exit 1; }
runs=${generated%% runs*}
failed=${generated#* runs, }
failed=${failed%% failed}
files=("$work"/records/pc*.log)
tenth=("${files[@]:0:$((count / 10))}")
bytes=$(cat "${files[@]}" | wc -c)
lines=$(cat "${files[@]}" | wc -l)
printf '%d files, %d runs (%d with a failed installation), %d lines, %d bytes\n' \
  "${#files[@]}" "$runs" "$failed" "$lines" "$bytes"

status=0
fail() { printf 'FAIL: %s\n' "$*"; status=1; }

# Every line parses and every run is found: the generator is checked by the
# reader it feeds.
rc=0
"$mivocheck" --records "${files[@]}" >"$work/summary.txt" 2>"$work/errors.txt" || rc=$?
[ "$rc" = 1 ] || fail "exit code $rc, expected 1 (some runs fail)"
[ -s "$work/errors.txt" ] && fail "lines that do not parse: $(head -n 3 "$work/errors.txt")"
grep -q "^$runs runs: $((runs - failed)) ended with every call successful, $failed ended with a failed call, 0 did not finish$" \
  "$work/summary.txt" || fail "the summary does not count $runs runs: $(grep runs: "$work/summary.txt")"

# The best of three runs, in seconds.
best() {
  local best="" start end took
  for _ in 1 2 3; do
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true  # the reader exits 1: some runs fail
    end=$(date +%s.%N)
    took=$(echo "$end - $start" | bc -l)
    if [ -z "$best" ] || [ "$(echo "$took < $best" | bc -l)" = 1 ]; then best=$took; fi
  done
  printf '%.3f' "$best"
}

cat "${files[@]}" >/dev/null
wc_time=$(best wc -l "${files[@]}")
reader_time=$(best "$mivocheck" --records "${files[@]}")
csv_time=$(best "$mivocheck" --records --csv "${files[@]}")
ratio=$(echo "$reader_time / $wc_time" | bc -l)
csv_ratio=$(echo "$csv_time / $wc_time" | bc -l)
printf 'wc -l:                   %s s\n' "$wc_time"
printf 'mivocheck --records:     %s s  (%.1f times wc -l, %.0f MB/s)\n' "$reader_time" "$ratio" \
  "$(echo "$bytes / $reader_time / 1000000" | bc -l)"
printf 'mivocheck --records --csv: %s s  (%.1f times wc -l)\n' "$csv_time" "$csv_ratio"
[ "$(echo "$ratio <= 10" | bc -l)" = 1 ] || fail "the reader takes $ratio times as long as wc -l"

# Peak memory: a tenth of the files against all of them, each named by its
# folder, so that the command line is the same size.
mkdir -p "$work/tenth"
ln "${tenth[@]}" "$work/tenth/"
rss() {
  { /usr/bin/time -v "$mivocheck" --records "$@" 2>&1 >/dev/null || true; } |
    sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p'
}
rss_tenth=$(rss "$work/tenth")
rss_all=$(rss "$work/records")
rss_args=$(rss "${files[@]}")
printf 'peak RSS: %d KiB for %d files, %d KiB for %d files (%d KiB with every file named on the command line)\n' \
  "$rss_tenth" "${#tenth[@]}" "$rss_all" "${#files[@]}" "$rss_args"
# The names of the files with a failure are kept for the summary, one per
# failing file: a few KiB. Runs kept after their end would take MiB.
[ "$rss_all" -le $((rss_tenth + 512)) ] ||
  fail "memory grows with the number of files: $rss_tenth KiB, then $rss_all KiB"

# One file of runs that never end (each its own process id, all open at the
# end), and one of the same size whose runs end, in one run of the bench.
start_text='start: mivoboot 1.0.0.0, executable "C:\\Users\\u\\Downloads\\mivoboot.exe", arguments "1036", user default LCID 1031, temporary folder "C:\\Users\\u\\AppData\\Local\\Temp"'
end_text='end: 0 installed, 0 removed, 0 left alone, 7 ms'
awk -v n=200000 -v s="$start_text" 'BEGIN { for (i = 1; i <= n; i++) printf "2026-12-08 10:00:00Z [%d] %s\r\n", i, s }' \
  >"$work/unfinished.log"
hostile_bytes=$(wc -c <"$work/unfinished.log")
awk -v limit="$hostile_bytes" -v s="$start_text" -v e="$end_text" 'BEGIN {
  for (i = 1; total < limit; i++) {
    a = sprintf("2026-12-08 10:00:00Z [%d] %s\r\n", i, s); b = sprintf("2026-12-08 10:00:01Z [%d] %s\r\n", i, e)
    printf "%s%s", a, b; total += length(a) + length(b)
  } }' >"$work/finished.log"
finished_bytes=$(wc -c <"$work/finished.log")
"$mivocheck" --records "$work/unfinished.log" >"$work/unfinished.txt" 2>&1 || true
grep -q '^200000 runs: 0 ended with every call successful, 0 ended with a failed call, 200000 did not finish$' \
  "$work/unfinished.txt" || fail "the hostile record is not read as 200,000 runs that did not finish"
cat "$work/unfinished.log" "$work/finished.log" >/dev/null
hostile_time=$(best "$mivocheck" --records "$work/unfinished.log")
normal_time=$(best "$mivocheck" --records "$work/finished.log")
hostile_rss=$(rss "$work/unfinished.log")
normal_rss=$(rss "$work/finished.log")
hostile_ratio=$(echo "$hostile_time / $normal_time" | bc -l)
printf '200,000 runs that never end (%d bytes): %s s, peak RSS %d KiB\n' "$hostile_bytes" "$hostile_time" "$hostile_rss"
printf 'runs that end, same size (%d bytes):   %s s, peak RSS %d KiB (hostile: %.1f times as long)\n' \
  "$finished_bytes" "$normal_time" "$normal_rss" "$hostile_ratio"
[ "$(echo "$hostile_ratio <= 3" | bc -l)" = 1 ] ||
  fail "the hostile record takes $hostile_ratio times as long as the normal one"

[ "$status" = 0 ] && echo "PASS"
exit "$status"
