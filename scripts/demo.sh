#!/bin/bash
# demo.sh - the main job: builds zvgm and the daemon stand-in, brings up a
# group of three servers in the network testbed (multicast mode), waits until
# each server sees the other two, and prints each server's view of the group
# (its console's "status" reply). Everything is torn down at the end.
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
"$tb" up --build "$build" "${servers[@]}"
for s in "${servers[@]}"; do
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

for s in "${servers[@]}"; do
  echo "=== $s ($("$tb" ip "$s")): its view of the group"
  "$tb" cmd "$s" status
done
[ "$formed" = 1 ] || { echo "demo: the group did not form within a minute" >&2; exit 1; }
