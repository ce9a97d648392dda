#!/bin/bash
# demo.sh - the main job: builds zvgm, its operator's command and the daemon
# stand-in, brings up a group of three servers in the network testbed
# (multicast mode), and shows the group as `zvgm members` sees it beside what
# a daemon's console says. Then it places a user's session (a token whose
# session lives on bravo, looked up from alpha), stops bravo, and shows the
# lookup falling back and bravo turning not alive. Everything is torn down at
# the end; the last line sums the run up.
# Needs root (network namespaces). ZVGM_DEMO_BUILD names another build
# directory; ZVTB_PREFIX another testbed prefix.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Install what is missing first: on a fresh machine the testbed's own tools
# (ip, unshare, ksh) come with it. Then check that the testbed can run here.
"$root/scripts/prereqs.sh"
. "$root/testbed/preflight.sh"
tb_preflight || exit 1
# (ZVGM_FIRST_STEPS_ONLY=1 stops here: tests of these first steps.)
[ "${ZVGM_FIRST_STEPS_ONLY:-}" != 1 ] || { echo "demo: first steps done"; exit 0; }
build=${ZVGM_DEMO_BUILD:-$root/build-demo}
servers=(alpha bravo charlie)
tb=$root/testbed/tb
period=5

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZVGM_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target zvgm zvauthd zvgm_cli >/dev/null
zvgm() { "$tb" exec obs "$build/cli/zvgm" "$@"; }

trap '"$tb" down' EXIT
trap 'exit 130' INT TERM
# Each server has a LAN interface (eth0) and a dedicated interconnect to its
# terminals (eth1), which the admin tool lists.
"$tb" up --eth1 --build "$build" "${servers[@]}"
d=$("$tb" dir)
for s in "${servers[@]}"; do
  echo eth1 >"$d/$s/opt/KORVzv/etc/nimbar.conf"
  "$tb" run "$s" gmKeepAliveInterval=$period
done

# A newcomer's first announcement makes every member answer it directly, so
# the group forms within a few seconds of the last start.
formed=1
for s in "${servers[@]}"; do
  for ((t = 0; ; t++)); do
    [ "$("$tb" cmd "$s" status | grep -c '^host ')" = "${#servers[@]}" ] && break
    [ "$t" -lt 60 ] || { formed=0; break; }
    sleep 1
  done
done
[ "$formed" = 1 ] || { echo "demo: the group did not form within a minute" >&2; exit 1; }

echo
echo "=== The group as zvgm sees it (the operator's command, listening in the"
echo "    testbed's observer beside the daemons until each member was heard twice)"
zvgm members
echo
echo "=== The same group as alpha's daemon console reports it (status: a host line,"
echo "    a load line and the interface lines per member; addresses in hex)"
"$tb" cmd alpha status
for s in bravo charlie; do
  echo "($s's console lists $("$tb" cmd "$s" status | grep -c '^host ') hosts as well)"
done

# zvgm watch follows the group from here on, one line per change (it writes
# plain lines when its output is no terminal).
watchlog=$d/watch.log
"$tb" exec obs "$build/cli/zvgm" watch >"$watchlog" &
watcher=$!

# ---- Placement and failover -------------------------------------------------
# A session of the user with ctoken demo-c runs on bravo, display 3.
printf 'DISPLAY=3\n' >"$d/bravo/var-opt/KORVzv/ctokens/demo-c"
touch "$d/bravo/var-opt/KORVzv/displays/3"
terminal=203.0.113.99  # the user's terminal, on the interconnect

# which asks alpha's daemon: "" (the session stays here) or
# "<server address in hex>:<forced server trusted>:<seconds since last heard>".
answer= secs=
which() {
  local t0 ms
  t0=$(date +%s%N)
  answer=$("$tb" cmd alpha "which demo-c demo-i $terminal -")
  answer=${answer#which}
  answer=${answer# }
  ms=$((($(date +%s%N) - t0) / 1000000))
  secs="$((ms / 1000)).$((ms % 1000 / 100))"
  printf '  "%s" (%s s)\n' "$answer" "$secs"
}
echo
echo "=== Placement: the session of token demo-c runs on bravo; the user's terminal"
echo "    is $terminal. zvgm asks every member as the daemon's lookup does:"
zvgm lookup demo-c demo-i --term $terminal
echo "alpha's daemon answers (once it has run 20 s; cb00710c is 203.0.113.12,"
echo "bravo's interconnect address, then whether a forced server is trusted and"
echo "how many seconds ago bravo was last heard):"
which
placed=$answer

echo
echo "=== Failover: bravo stops"
stopped=$(date +%s)
"$tb" stop bravo
echo "alpha asks again: bravo's silence costs the lookup its retries (about 5 s);"
echo "nobody else holds the session, so the answer is empty (start it here):"
which
first=$secs
echo "and once more: bravo's interface is marked timed out, so one try (about 1 s):"
which
second=$secs
echo "zvgm's lookup now hears only alpha and charlie and falls back on the load:"
zvgm lookup demo-c demo-i --term $terminal || true
# bravo counts as alive until 3 of its periods have passed unheard.
for ((t = 0; t < 6 * period; t++)); do
  grep -q ' bravo not alive' "$watchlog" && break
  sleep 1
done
kill "$watcher" 2>/dev/null || true
wait "$watcher" 2>/dev/null || true
echo "zvgm watch, all along:"
sed 's/^/  /' "$watchlog"
deadAt=$(grep -m1 ' bravo not alive' "$watchlog" | cut -d' ' -f1 || true)

echo
if [ -n "$deadAt" ] && [ -n "$placed" ]; then
  deadAfter=$(($(date -d "$deadAt" +%s) - stopped))
  echo "demo: OK - group of ${#servers[@]} formed; session of demo-c placed on bravo" \
       "($placed); with bravo stopped alpha answered in ${first} s, then ${second} s;" \
       "zvgm saw bravo not alive ${deadAfter} s after it stopped"
else
  echo "demo: FAILED - session placed: '${placed}'; bravo turned not alive: ${deadAt:-never}"
  exit 1
fi
