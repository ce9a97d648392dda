#!/bin/bash
# demo.sh - the main job: builds zvgm and the daemon stand-in, brings up a
# group of three servers in the network testbed (multicast mode), waits until
# each server sees the other two, and prints each server's view of the group
# (its console's "status" reply). Then it places a user's session: a token
# whose session lives on bravo is looked up from alpha, bravo is stopped, and
# the same lookup shows what alpha answers while bravo is dead. Everything is
# torn down at the end.
# Needs root (network namespaces).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build-demo
servers=(alpha bravo charlie)
export ZVTB_PREFIX=zvdemo
tb=$root/testbed/tb

"$root/scripts/prereqs.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZVGM_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target zvgm zvauthd >/dev/null

trap '"$tb" down' EXIT
trap 'exit 130' INT TERM
# Each server has a LAN interface (eth0) and a dedicated interconnect to its
# terminals (eth1), which the admin tool lists.
"$tb" up --eth1 --build "$build" "${servers[@]}"
for s in "${servers[@]}"; do
  echo eth1 >"$("$tb" dir)/$s/opt/KORVzv/etc/nimbar.conf"
  "$tb" run "$s" gmKeepAliveInterval=5
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

# One more keep-alive interval: every interface of every peer has then been
# heard directly, not only the one that carried the first reply.
sleep 6
for s in "${servers[@]}"; do
  echo "=== $s ($("$tb" ip "$s")): its view of the group"
  "$tb" cmd "$s" status
done
[ "$formed" = 1 ] || { echo "demo: the group did not form within a minute" >&2; exit 1; }

# ---- Placement and failover -------------------------------------------------
# A session of the user with ctoken demo-c runs on bravo, display 3.
d=$("$tb" dir)
printf 'DISPLAY=3\n' >"$d/bravo/var-opt/KORVzv/ctokens/demo-c"
touch "$d/bravo/var-opt/KORVzv/displays/3"

# which C I IP F answers "" (the session stays here) or
# "<server address in hex>:<forced server trusted>:<seconds since last heard>".
which() {
  local t0 ms out
  t0=$(date +%s%N)
  out=$("$tb" cmd alpha "which demo-c demo-i $terminal -")
  ms=$((($(date +%s%N) - t0) / 1000000))
  printf '%-28s (%d.%d s)\n' "$out" $((ms / 1000)) $((ms % 1000 / 100))
}
# The user sits at a terminal on the interconnect.
terminal=203.0.113.99
echo
echo "=== placement: the session of token demo-c runs on bravo (interconnect address"
echo "    203.0.113.12 = cb00710c); the user's terminal is $terminal"
echo "alpha asks where it runs (the first query waits out the 20 s start grace):"
which
echo
echo "=== failover: bravo stops"
"$tb" stop bravo
echo "alpha asks again: bravo's silence costs the lookup its retries (about 5 s);"
echo "nobody else holds the session, so the answer is empty (start it here):"
which
echo "and once more: bravo's interface is marked timed out, so one try (about 1 s):"
which
