#!/bin/bash
# test.sh - builds and runs every test: the unit tests under ASan+UBSan, under
# ThreadSanitizer and with clang (with the fuzz targets), then the exports
# check, the install and package tests, the JVM test and the group tests in
# the network testbed (a plain tree with Java). Ends with one closing line
# "N passed, N failed, N skipped" over all trees; exits non-zero on any
# failure. A test that cannot run here is skipped with its reason shown; as
# root or in CI (CI=true) a skipped group or JVM test counts as failed, since
# there they must run, and a machine where the testbed cannot start is named
# as such before anything is built.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc)
# Even a run that cannot start ends with the closing line.
give_up() { echo; echo "0 passed, 1 failed, 0 skipped"; exit 1; }
"$root/scripts/prereqs.sh" || give_up

total=0 failed=0 skipped=0 status=0
must_run=()  # the skipped group and JVM tests
# Whether skipped group and JVM tests fail the run.
strict=0
[ "$(id -u)" != 0 ] && [ "${CI:-}" != true ] || strict=1

# Where the group tests must run but the testbed cannot, say so at once
# rather than after every other tree; elsewhere they are skipped, and why.
# shellcheck source=testbed/preflight.sh
. "$root/testbed/preflight.sh"
if ! tb_preflight; then
  [ "$strict" = 0 ] || give_up
  echo "(The group tests will be skipped.)"
fi
# (ZVGM_FIRST_STEPS_ONLY=1 stops here: tests of these first steps.)
[ "${ZVGM_FIRST_STEPS_ONLY:-}" != 1 ] || { echo "test: first steps done"; exit 0; }

# skip_reasons <dir> <names...>: "name: reason" for each skipped test, the
# reason taken from its output in the tree's last test log (a gtest skip
# message, or a script's "SKIP: " line).
skip_reasons() {
  local dir=$1
  shift
  awk -v names=" $* " '
    /^[0-9]+\/[0-9]+ Testing: / { name = $3; out = 0; grab = 0; next }
    /^Output:$/ { out = 1; getline; next }
    /^<end of output>$/ { out = 0; next }
    !out || index(names, " " name " ") == 0 { next }
    /: Skipped$/ { grab = 1; next }
    /^\[  SKIPPED \]/ { grab = 0; next }
    grab || /^SKIP: / { sub(/^SKIP: /, ""); why[name] = why[name] (why[name] == "" ? "" : " ") $0 }
    END { for (n in why) print n ": " why[n] }
  ' "$dir/Testing/Temporary/LastTest.log" 2>/dev/null
}

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
  local line names=() strong=() n s why
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  # ctest lists what did not run as "  NN - name (Skipped)" (or Disabled).
  mapfile -t names < <(sed -n 's/^[[:space:]]*[0-9]\+ - \(.*\) (\(Skipped\|Disabled\))$/\1/p' "$log")
  rm -f "$log"
  if [ -z "$line" ]; then
    status=1
    return
  fi
  [[ $line =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]
  failed=$((failed + BASH_REMATCH[1]))
  total=$((total + BASH_REMATCH[2]))
  [ ${#names[@]} -gt 0 ] || return
  skipped=$((skipped + ${#names[@]}))
  echo "--- skipped in $(basename "$dir"):"
  while IFS= read -r why; do echo "  $why"; done < <(skip_reasons "$dir" "${names[@]}")
  # (Listing the tests rewrites the test log: the reasons are read first.)
  # shellcheck disable=SC2086
  mapfile -t strong < <(ctest --test-dir "$dir" -N -L 'group|jvm' $labels |
                        sed -n 's/^ *Test *#[0-9]*: //p')
  for n in "${names[@]}"; do
    for s in "${strong[@]}"; do [ "$s" != "$n" ] || must_run+=("$n"); done
  done
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
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZVGM_WERROR=ON -DZVGM_JAVA=ON -DCMAKE_INSTALL_PREFIX=/usr

# Leftovers of an aborted group test would be removed by the next one anyway.
[ "$(id -u)" != 0 ] || "$root/testbed/tb" down >/dev/null 2>&1 || true

# Where group and JVM tests must run, one that did not is a failure, and so
# is a plain tree that has none of them to run.
if [ "$strict" = 1 ] && [ "$(ctest --test-dir "$root/build-test" -N -L 'group|jvm' 2>/dev/null |
                              grep -c '^ *Test *#')" = 0 ]; then
  echo
  echo "The plain tree has no group or JVM test to run: as root or in CI that counts as a failure."
  failed=$((failed + 1)) total=$((total + 1))
fi
if [ "$strict" = 1 ] && [ ${#must_run[@]} -gt 0 ]; then
  echo
  echo "${#must_run[@]} group or JVM tests did not run (${must_run[*]}): as root or in CI they" \
       "must, so they count as failed; the reasons are listed above."
  failed=$((failed + ${#must_run[@]})) skipped=$((skipped - ${#must_run[@]}))
fi

# The closing line over all trees.
[ "$failed" = 0 ] || status=1
[ "$total" != 0 ] || status=1
echo
echo "$((total - failed - skipped)) passed, $failed failed, $skipped skipped"
exit $status
