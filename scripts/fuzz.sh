#!/bin/bash
# fuzz.sh - runs the fuzz targets (tests/fuzz) for as long as asked, one after
# the other, and prints per target the executions and the findings (crashes,
# leaks, time-outs, out-of-memory); exits non-zero on any finding.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]     default 60 s, all
#
# Builds with clang, ASan and UBSan in $ZVGM_FUZZ_BUILD (default build-fuzz).
# $ZVGM_FUZZ_RUNS, when set, also ends a target after that many executions.
# New inputs collect in BUILD/fuzz-corpus/TARGET (seeded from the committed
# corpus); findings land in BUILD/fuzz-findings/TARGET/TIME. A finding worth
# keeping goes to tests/fuzz/regressions/TARGET, which every smoke run replays.
set -Eeuo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SECS=${1:-60}
shift || true
BUILD=${ZVGM_FUZZ_BUILD:-$ROOT/build-fuzz}
ALL=(framing xfile signature reply admin cpuinfo receive)
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=("${ALL[@]}")
for t in "${TARGETS[@]}"; do
  [[ " ${ALL[*]} " == *" $t "* ]] || { echo "fuzz.sh: no target $t (${ALL[*]})" >&2; exit 2; }
done

CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Debug \
  -DZVGM_SANITIZE=ON -DZVGM_FUZZ=ON -DZVGM_JAVA=OFF -DZVGM_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target "${TARGETS[@]/%/_fuzz}" >/dev/null

found=0
for t in "${TARGETS[@]}"; do
  corpus=$BUILD/fuzz-corpus/$t
  findings=$BUILD/fuzz-findings/$t/$(date -u +%Y%m%d-%H%M%S)
  mkdir -p "$corpus" "$findings"
  log=$findings/fuzz.log
  dirs=("$corpus" "$ROOT/tests/fuzz/corpus/$t")
  [ -d "$ROOT/tests/fuzz/regressions/$t" ] && dirs+=("$ROOT/tests/fuzz/regressions/$t")
  extra=$(awk -v t="$t" '$1 == t { $1 = ""; print }' "$ROOT/tests/fuzz/options.txt")
  rc=0
  # shellcheck disable=SC2086
  nice "$BUILD/tests/fuzz/${t}_fuzz" $extra -max_total_time="$SECS" ${ZVGM_FUZZ_RUNS:+-runs=$ZVGM_FUZZ_RUNS} \
    -timeout=10 -close_fd_mask=2 -print_final_stats=1 -dict="$ROOT/tests/fuzz/group.dict" \
    -artifact_prefix="$findings/" "${dirs[@]}" >"$log" 2>&1 || rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  secs=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
  # libFuzzer names each finding by its kind: crash-, leak-, timeout-, oom-.
  new=$(find "$findings" -type f ! -name fuzz.log | wc -l)
  kinds=$(find "$findings" -type f ! -name fuzz.log -printf '%f\n' | sed 's/-.*//' | sort | uniq -c |
          awk '{printf "%s%s %s", sep, $1, $2; sep=", "}')
  if [ "$rc" -ne 0 ] || [ "$new" -gt 0 ]; then
    found=1
    echo "$t: ${execs:-?} executions, FINDINGS: ${new} (${kinds:-exit $rc}) in $findings"
  else
    echo "$t: ${execs:-?} executions in ${secs:-?} s, no finding"
  fi
done
exit "$found"
