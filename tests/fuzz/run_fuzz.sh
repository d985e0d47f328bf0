#!/bin/sh
# Runs the string fuzzer for a bounded time:
#   run_fuzz.sh BUILD_DIR SECONDS
# BUILD_DIR is a build of the fuzz preset. The corpus grows in
# BUILD_DIR/fuzz-corpus/text and is kept between runs; a crash leaves its input
# in BUILD_DIR/fuzz-artifacts/. The exit code is the fuzzer's (0: no failure).
set -eu
build_dir=$1
seconds=$2
corpus=$build_dir/fuzz-corpus/text
artifacts=$build_dir/fuzz-artifacts/
mkdir -p "$corpus" "$artifacts"
exec "$build_dir/tests/fuzz/text_fuzzer" -max_total_time="$seconds" -max_len=512 \
  -artifact_prefix="$artifacts" -print_final_stats=1 "$corpus"
