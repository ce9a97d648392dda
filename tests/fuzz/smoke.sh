#!/bin/sh
# smoke.sh - one fuzz target's smoke run: every seed and every input that
# ever failed is replayed, then the target fuzzes for a few seconds. New
# inputs go to a scratch corpus in the build tree, never into the sources.
#   smoke.sh TARGET_BINARY FUZZ_SOURCE_DIR NAME SECONDS WORK_DIR
set -eu
bin=$1 src=$2 name=$3 secs=$4 work=$5
scratch=$work/$name
rm -rf "$scratch" && mkdir -p "$scratch/new" "$scratch/artifacts"
dirs=$(ls -d "$src/corpus/$name" "$src/regressions/$name" 2>/dev/null || true)
# Library log lines go nowhere (-close_fd_mask=2); libFuzzer's own output and
# the sanitizers' reports still show.
extra=$(awk -v t="$name" '$1 == t { $1 = ""; print }' "$src/options.txt")
# shellcheck disable=SC2086
exec "$bin" $extra -max_total_time="$secs" -timeout=10 -close_fd_mask=2 -print_final_stats=1 \
  -dict="$src/group.dict" -artifact_prefix="$scratch/artifacts/" "$scratch/new" $dirs
