#!/bin/bash
# group_scale.sh - how the group behaves as it grows: brings up N light
# servers in the testbed (keep-alive 2 s) for each N given and prints the
# figures of that group: convergence, lookup cost, traffic on the bridge
# against the protocol's minimum, and one server's CPU time and memory.
#
#   sudo bench/group_scale.sh [--build DIR] [N...]      (default N: 3 30 100)
#
# Runs only inside the testbed's namespaces (testbed/tb, prefix ZVTB_PREFIX,
# default zvtbs); the testbed is taken down at the end, also on failure or
# interrupt. A group that cannot be brought up says how far it got and prints
# no figure that was not measured.
set -Eeuo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
TBS=$HERE/../testbed/tb
export ZVTB_PREFIX=${ZVTB_PREFIX:-zvtbs}
BUILD=$HERE/../build
PERIOD=2
LOOKUPS=200
QUIET=5        # intervals of the quiet window
GIVEUP=30      # intervals to wait for a group to converge

while [ $# -gt 0 ]; do
  case "$1" in
    --build) BUILD=$2; shift 2 ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    -*) echo "group_scale: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
SIZES=("$@")
[ ${#SIZES[@]} -gt 0 ] || SIZES=(3 30 100)
[ "$(id -u)" = 0 ] || { echo "group_scale: must run as root (network namespaces)" >&2; exit 1; }
[ -x "$BUILD/testbed/light/zvgm-light" ] ||
  { echo "group_scale: no light server in $BUILD (build target gmlight)" >&2; exit 1; }
TB=$("$TBS" dir)
trap '"$TBS" down; rm -f "$TB.ready" "$TB.up.log"' EXIT
trap 'echo "group_scale: interrupted" >&2; exit 130' INT TERM

now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
per() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
sw() { "$TBS" exec sw "$@"; }

# Sends LINE to the consoles of the named servers at once, without waiting.
send() {
  local line=$1 n; shift
  for n in "$@"; do echo "$line" >"$TB/$n/console.in"; done
}

# The reply of server NAME after byte offset OFF of its console, once its "."
# line is there (up to SECS seconds); nothing when it did not come.
reply_after() {
  local name=$1 off=$2 secs=$3 t=0 out
  while [ "$t" -lt $((secs * 20)) ]; do
    out=$(tail -c +"$((off + 1))" "$TB/$name/console.out")
    if grep -qx '\.' <<<"$out"; then sed -e '/^\.$/q' <<<"$out" | grep -vx '\.'; return 0; fi
    sleep 0.05; t=$((t + 1))
  done
}

size_of() { stat -c %s "$TB/$1/console.out"; }

# The servers among NAMES... whose table does not yet hold N hosts (asks
# each for its last slot, which answers without waiting out the start grace).
not_full() {
  local n=$1 s; shift
  declare -A off
  for s in "$@"; do off[$s]=$(size_of "$s"); done
  send "host $((n - 1))" "$@"
  for s in "$@"; do
    reply_after "$s" "${off[$s]}" 5 | grep -q '^host ' || echo "$s"
  done
}

# Seconds from START until counter NAME has counted TARGET datagrams, or
# "no COUNT" after GIVEUP intervals. Watching the wire leaves the servers
# alone while they converge.
converge() {
  local name=$1 target=$2 start=$3 deadline pk by
  deadline=$(awk -v s="$start" -v g=$((GIVEUP * PERIOD)) 'BEGIN { printf "%.3f", s + g }')
  while :; do
    read -r pk by < <(counter "$name")
    [ "$pk" -lt "$target" ] || break
    if awk -v t="$(now)" -v d="$deadline" 'BEGIN { exit !(t > d) }'; then
      echo "no $pk"; return 0
    fi
    sleep 0.1
  done
  secs "$start" "$(now)"
}

# Counters of the group's datagrams entering the bridge: multicast
# announcements, unicast datagrams (first-time replies, queries, answers),
# and the first-time replies alone (from the group port to the group port),
# of all servers and of the server at address $1. A server sends one
# first-time reply for each peer it takes into its table, so N(N-1) of them
# mean that every table holds all N.
count_rules() {
  sw nft -f - <<EOF
table bridge zvscale {
  counter mcast {}
  counter ucast {}
  counter first {}
  counter back {}
  chain pre {
    type filter hook prerouting priority 0;
    ip daddr 224.101.101.101 udp dport 7009 counter name mcast
    ip daddr != 224.101.101.101 udp dport 7009 counter name ucast
    ip daddr != 224.101.101.101 udp sport 7009 udp dport != 7009 counter name ucast
    ip daddr != 224.101.101.101 udp sport 7009 udp dport 7009 counter name first
    ip saddr $1 ip daddr != 224.101.101.101 udp sport 7009 udp dport 7009 counter name back
  }
}
EOF
}
# "PACKETS BYTES" of counter NAME (bytes of the IP datagrams).
counter() {
  sw nft list counter bridge zvscale "$1" | awk '/packets/ { print $2, $4 }'
}

# Nanoseconds on a processor of every thread of process PID so far.
cpu_ns() { cat /proc/"$1"/task/*/schedstat | awk '{ t += $1 } END { printf "%d", t }'; }
rss_kb() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }

one_size() {
  local n=$1 i names=() props started t0 t_all t_conv pid
  for ((i = 1; i <= n; i++)); do names+=("s$i"); done
  echo "== N=$n servers (light, keep-alive ${PERIOD} s)"
  if ! "$TBS" up --light --build "$BUILD" "${names[@]}" >"$TB.up.log" 2>&1; then
    echo "N=$n: the testbed did not come up:"; sed 's/^/  /' "$TB.up.log"; return 0
  fi
  props=(gmKeepAliveInterval=$PERIOD allowLANConnections=true)
  # A session that lives on s2, asked about from s1.
  printf 'USER=u3\nDISPLAY=3\n' >"$TB/s2/var-opt/KORVzv/ctokens/c-scale"
  : >"$TB/s2/var-opt/KORVzv/displays/3"
  count_rules "198.51.100.$((10 + n))"
  # All start at once; the wire is watched meanwhile.
  rm -f "$TB.ready"
  t0=$(now)
  for s in "${names[@]}"; do
    { "$TBS" run "$s" "${props[@]}" >/dev/null 2>&1 && now >>"$TB.ready"; } &
  done
  t_conv=$(converge first $((n * (n - 1))) "$t0")
  wait || true
  t_all=$(sort -n "$TB.ready" 2>/dev/null | tail -1); [ -n "$t_all" ] || t_all=$(now)
  started=0
  for s in "${names[@]}"; do
    [ -f "$TB/$s/daemon.pid" ] && kill -0 "$(cat "$TB/$s/daemon.pid")" 2>/dev/null &&
      started=$((started + 1))
  done
  echo "servers started: $started of $n in $(secs "$t0" "$t_all") s"
  if [ "$started" != "$n" ]; then
    echo "N=$n: only $started of $n servers came up; no figures for this size"
    "$TBS" down; return 0
  fi

  if [ "${t_conv%% *}" = no ]; then
    echo "N=$n: not converged within $GIVEUP intervals: ${t_conv#no } of $((n * (n - 1)))" \
         "first-time replies; servers short of $n hosts: $(not_full "$n" "${names[@]}" | wc -l)"
    "$TBS" down; return 0
  fi
  local short
  short=$(not_full "$n" "${names[@]}" | wc -l)
  read -r up_pk up_by < <(counter ucast)
  echo "convergence from the first start: ${t_conv} s = $(per "$t_conv" $PERIOD) intervals;" \
       "from the last start: $(per "$(secs "$t_all" "$(awk -v a="$t0" -v c="$t_conv" 'BEGIN { printf "%.2f", a + c }')")" $PERIOD) intervals (goal: 2 at N=100)"
  echo "first-time replies and other unicast until then: $up_pk datagrams (protocol minimum N(N-1) = $((n * (n - 1))));" \
       "tables asked afterwards: $((n - short)) of $n hold all $n"

  # A quiet window: announcements only.
  pid=$(cat "$TB/s1/daemon.pid")
  local c0 m0 mb0 u0 ub0 c1 m1 mb1 u1 ub1 w
  sleep "$PERIOD"
  read -r m0 mb0 < <(counter mcast); read -r u0 ub0 < <(counter ucast); c0=$(cpu_ns "$pid")
  sleep $((QUIET * PERIOD))
  read -r m1 mb1 < <(counter mcast); read -r u1 ub1 < <(counter ucast); c1=$(cpu_ns "$pid")
  w=$QUIET
  echo "bridge per interval (quiet): $(per $((m1 - m0)) $w) announcements," \
       "$(per $(((mb1 - mb0) - 28 * (m1 - m0))) $w) bytes of UDP payload," \
       "$(per $((u1 - u0)) $w) other datagrams (protocol minimum: $n announcements, 0 other)"
  echo "one server (s1): CPU $(awk -v t=$((c1 - c0)) -v w="$w" 'BEGIN { printf "%.2f", t / 1e6 / w }') ms per interval, resident memory $(rss_kb "$pid") kB"

  # Lookups of the session on s2, from s1.
  local off lines
  off=$(size_of s1)
  send "which c-scale - - -" s1          # waits out s1's start grace
  reply_after s1 "$off" 60 >/dev/null
  off=$(size_of s1)
  send "series $LOOKUPS which c-scale - - -" s1
  lines=$(reply_after s1 "$off" 600)
  local want found
  want=$(printf '%x' $((0xc6336400 + 12)))
  found=$(grep -c "^which $want:" <<<"$lines" || true)
  if [ "$(wc -l <<<"$lines")" != "$LOOKUPS" ]; then
    echo "lookups: no complete answer from s1; no lookup figures"
  else
    awk -v n="$n" -v found="$found" '{ print $NF }' <<<"$lines" | sort -n | awk -v n="$n" -v f="$found" '
      { v[NR] = $1 }
      END { p50 = v[int(NR * 0.50 + 0.5)]; p99 = v[int(NR * 0.99 + 0.5)]
            printf "whichServer over %d lookups (%d found the session on s2): p50 %.2f ms, p99 %.2f ms, p50 per member %.1f us\n",
                   NR, f, p50 / 1000, p99 / 1000, p50 / n }'
  fi
  read -r up_pk up_by < <(counter ucast)

  # One server restarts: the last one. Its table is full again when it has
  # sent a first-time reply to each of the others.
  local last=s$n t1 t_back b0 bb
  "$TBS" stop "$last"
  sleep "$PERIOD"
  read -r b0 bb < <(counter back)
  t1=$(now)
  if ! "$TBS" run "$last" "${props[@]}" >/dev/null 2>&1; then
    echo "N=$n: $last did not restart; no restart figure"
  else
    t_back=$(converge back $((b0 + n - 1)) "$t1")
    if [ "${t_back%% *}" = no ]; then
      echo "after a restart of $last: its table did not hold all $n within $GIVEUP intervals" \
           "($((${t_back#no } - b0)) of $((n - 1)) peers taken)"
    else
      echo "after a restart of $last: its table holds all $n in ${t_back} s = $(per "$t_back" $PERIOD) intervals" \
           "(asked afterwards: $([ -z "$(not_full "$n" "$last")" ] && echo full || echo 'not full'))"
    fi
  fi
  "$TBS" down
}

for n in "${SIZES[@]}"; do
  [[ $n =~ ^[0-9]+$ ]] && [ "$n" -ge 2 ] && [ "$n" -le 100 ] ||
    { echo "group_scale: N must lie between 2 and 100 (got $n)" >&2; continue; }
  one_size "$n"
done
