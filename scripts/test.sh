#!/bin/bash
# test.sh - builds and runs every test: the unit tests under ASan+UBSan (a
# tree without Java), then the exports check, the JVM test and the group tests
# in the network testbed (a normal tree with Java). Ends with one closing
# summary line over both runs; exits non-zero on any failure. The group tests
# need root; without it they are skipped.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc)
"$root/scripts/prereqs.sh" || exit 1

total=0 failed=0 status=0
# run_tree <dir> <ctest label options> <cmake options...>
run_tree() {
  local dir=$1 labels=$2 log
  shift 2
  echo "=== $(basename "$dir"): configure and build"
  mkdir -p "$dir"
  if ! cmake -S "$root" -B "$dir" "$@" >"$dir/build.log" 2>&1; then
    tail -n 60 "$dir/build.log"
    echo "configure failed in $dir"
    status=1 failed=$((failed + 1)) total=$((total + 1))
    return
  fi
  # A failed build goes on with the other targets and still runs ctest:
  # what was not built fails as such.
  local keep=()
  [ ! -f "$dir/Makefile" ] || keep=(-- -k)
  if ! cmake --build "$dir" -j"$jobs" "${keep[@]}" >>"$dir/build.log" 2>&1; then
    grep -E -A3 'error|Error [0-9]' "$dir/build.log" | head -n 60
    echo "build failed in $dir (full log: $dir/build.log)"
    status=1
  fi
  echo "=== $(basename "$dir"): ctest $labels"
  log=$(mktemp)
  # shellcheck disable=SC2086
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" $labels 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" = 0 ] || status=1
  local line
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  rm -f "$log"
  if [ -z "$line" ]; then
    status=1
    return
  fi
  [[ $line =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]
  failed=$((failed + BASH_REMATCH[1]))
  total=$((total + BASH_REMATCH[2]))
}

# Unit tests under ASan+UBSan (g++), under ThreadSanitizer (g++), and with
# clang under ASan+UBSan together with a short run of every fuzz target; then
# everything else on a plain build with Java.
run_tree "$root/build-test-asan" "-L unit" \
  -DCMAKE_BUILD_TYPE=Debug -DZVGM_WERROR=ON -DZVGM_SANITIZE=ON -DZVGM_JAVA=OFF
run_tree "$root/build-test-tsan" "-L unit" \
  -DCMAKE_BUILD_TYPE=Debug -DZVGM_WERROR=ON -DZVGM_TSAN=ON -DZVGM_JAVA=OFF
CC=clang CXX=clang++ run_tree "$root/build-test-clang" "-L unit|fuzz" \
  -DCMAKE_BUILD_TYPE=Debug -DZVGM_WERROR=ON -DZVGM_SANITIZE=ON -DZVGM_FUZZ=ON -DZVGM_JAVA=OFF
run_tree "$root/build-test" "-LE unit|fuzz" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZVGM_WERROR=ON -DZVGM_JAVA=ON

# Leftovers of an aborted group test would be removed by the next one anyway.
[ "$(id -u)" != 0 ] || "$root/testbed/tb" down >/dev/null 2>&1 || true

# The closing line, as CTest words it, over both runs.
percent=0
[ "$total" = 0 ] || percent=$(( ((total - failed) * 200 / total + 1) / 2 ))
[ "$failed" = 0 ] || [ "$percent" -lt 100 ] || percent=99
[ "$failed" = 0 ] || status=1
[ "$total" != 0 ] || status=1
echo
echo "$percent% tests passed, $failed tests failed out of $total"
exit $status
