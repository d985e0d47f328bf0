#!/bin/sh
# Runs the fuzz targets for a bounded time, half of it each:
#   run_fuzz.sh BUILD_DIR SECONDS
# BUILD_DIR is a build of the fuzz preset. The string fuzzer's corpus grows in
# BUILD_DIR/fuzz-corpus/text, the record reader's in BUILD_DIR/fuzz-corpus/records
# (seeded with records_seed.log, lines of every kind); both are kept between
# runs. A crash leaves its input in BUILD_DIR/fuzz-artifacts/. The exit code is
# 0 when neither fuzzer failed. The record reader reads each input again as a
# record of 2 MiB with thousands of runs open (records_fuzzer.cc), under a time
# limit per input (RECORDS_TIMEOUT seconds, 10 by default): a linear reader
# takes well under a second for it, one whose time grows with the square of
# its open runs takes minutes.
set -eu
build_dir=$1
seconds=$2
half=$(((seconds + 1) / 2))
artifacts=$build_dir/fuzz-artifacts/
mkdir -p "$build_dir/fuzz-corpus/text" "$build_dir/fuzz-corpus/records" "$artifacts"
cp "$(dirname "$0")/records_seed.log" "$build_dir/fuzz-corpus/records/seed"
"$build_dir/tests/fuzz/text_fuzzer" -max_total_time="$half" -max_len=512 \
  -artifact_prefix="$artifacts" -print_final_stats=1 "$build_dir/fuzz-corpus/text"
exec "$build_dir/tests/fuzz/records_fuzzer" -max_total_time="$half" -max_len=16384 \
  -timeout="${RECORDS_TIMEOUT:-10}" \
  -artifact_prefix="$artifacts" -print_final_stats=1 "$build_dir/fuzz-corpus/records"
