#!/bin/bash
# flood.sh - what a flood of bad datagrams costs a server and its group:
# brings up N light servers in the testbed (keep-alive 2 s, a shared secret)
# for each N given, floods s1's group port from the observer at each rate,
# and prints per rate: the rate reached, members lost or turned not alive,
# lookups from s1 that found a session on s2 and their p50/p99 against no
# flood, the manager thread's CPU, resident memory before and after, log
# lines written per second and per keep-alive interval (all, and per kind of
# line) and datagrams the kernel dropped. Then 99 forged names fill every
# table and one more real server starts: the seconds until every table holds
# it. Last, unless --no-trust, the trust phases (see trust_phases): claims
# on a live member's name, a replayed dead member, a rotation of the secret;
# --trust-only runs these alone.
#
#   sudo bench/flood.sh [--build DIR] [--rates "R..."] [--kind KIND]
#                       [--secs S] [--no-trust | --trust-only] [N...]
#                                                        (default N: 3 30)
#
# Rates in datagrams per second, "max" for as fast as the generator sends
# (default "5000 20000 max"); KIND one of zvtb-flood's kinds (default mix).
# Runs only inside the testbed's namespaces (testbed/tb, prefix ZVTB_PREFIX,
# default zvflood); the flood starts in the observer's namespace and stops by
# itself; the testbed is taken down at the end, also on failure or interrupt.
set -Eeuo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
TBS=$HERE/../testbed/tb
export ZVTB_PREFIX=${ZVTB_PREFIX:-zvflood}
BUILD=$HERE/../build
PERIOD=2
RATES="5000 20000 max"
KIND=mix
SECS=16
LOOKUPS=100
TRUST=1

while [ $# -gt 0 ]; do
  case "$1" in
    --build) BUILD=$2; shift 2 ;;
    --rates) RATES=$2; shift 2 ;;
    --kind) KIND=$2; shift 2 ;;
    --secs) SECS=$2; shift 2 ;;
    --no-trust) TRUST=0; shift ;;
    --trust-only) TRUST=2; shift ;;
    -h|--help) sed -n '2,22p' "$0"; exit 0 ;;
    -*) echo "flood: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
SIZES=("$@")
[ ${#SIZES[@]} -gt 0 ] || SIZES=(3 30)
[ "$TRUST" != 2 ] || SIZES=()
[ "$(id -u)" = 0 ] || { echo "flood: must run as root (network namespaces)" >&2; exit 1; }
[ -x "$BUILD/testbed/light/zvgm-light" ] ||
  { echo "flood: no light server in $BUILD (build target gmlight)" >&2; exit 1; }
FLOOD=$BUILD/tests/zvtb-flood
[ -x "$FLOOD" ] || { echo "flood: no $FLOOD (build target zvtb-flood)" >&2; exit 1; }
TB=$("$TBS" dir)
trap '"$TBS" down' EXIT
trap 'echo "flood: interrupted" >&2; exit 130' INT TERM

now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

send() {
  local line=$1 n; shift
  for n in "$@"; do echo "$line" >"$TB/$n/console.in"; done
}
size_of() { stat -c %s "$TB/$1/console.out"; }
# The reply of NAME after byte OFF of its console, once complete (SECS at most).
reply_after() {
  local name=$1 off=$2 secs=$3 t=0 out
  while [ "$t" -lt $((secs * 20)) ]; do
    out=$(tail -c +"$((off + 1))" "$TB/$name/console.out")
    if grep -qx '\.' <<<"$out"; then sed -e '/^\.$/q' <<<"$out" | grep -vx '\.'; return 0; fi
    sleep 0.05; t=$((t + 1))
  done
}
ask() { local off; off=$(size_of "$1"); send "$2" "$1"; reply_after "$1" "$off" "${3:-20}"; }

pid_of() { cat "$TB/$1/daemon.pid"; }
# The light server's process (the testbed's pid file names its launcher).
proc_of() {
  local p; p=$(pid_of "$1")
  pgrep -P "$p" -x zvgm-light 2>/dev/null || echo "$p"
}
# The manager thread: the first thread the light server creates.
manager_tid() { ls "/proc/$1/task" | sort -n | sed -n 2p; }
rss_kb() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }
# "received dropped": datagrams that NAME's namespace took in, and those the
# kernel dropped for want of room in a receive buffer.
udp_counts() {
  "$TBS" exec "$1" awk '/^Udp:/ { if (h) { print $2, $6; exit } h = 1 }' /proc/net/snmp
}
sw() { "$TBS" exec sw "$@"; }
# Counts datagrams from the group port to the group port of ADDR: the
# first-time replies that ADDR's peers send when they take it in.
count_first() {
  printf '%s\n' "table bridge zvflood {" " counter first {}" " chain pre {" \
    "  type filter hook prerouting priority 0;" \
    "  ip daddr $1 udp sport 7009 udp dport 7009 counter name first" " }" "}" | sw nft -f -
}
first_count() { sw nft list counter bridge zvflood first | awk '/packets/ { print $2 }'; }

# Members (of the names given) that SERVER lists as alive: heard within 3
# periods. Reads its status reply.
alive_in() {
  local server=$1; shift
  ask "$server" status | awk -v lim=$((3 * PERIOD)) -v want=" $* " '
    $1 == "host" { h = (index(want, " " $2 " ") ? $2 : ""); next }
    $1 == "interface" && h != "" { for (i = 2; i < NF; i++) if ($i == "lastpkt" && $(i + 1) <= lim) ok[h] = 1; h = "" }
    END { n = 0; for (k in ok) n++; print n }'
}

# How many "which ..." lines on stdin found WANT, and their p50 and p99 (ms).
lookup_figures() {
  local all n found
  all=$(grep '^which ' || true)
  n=$(grep -c . <<<"$all" || true)
  [ "$n" -gt 0 ] || { echo "no lookups answered"; return 0; }
  found=$(grep -c "^which $1:" <<<"$all" || true)
  awk '{ print $NF / 1000 }' <<<"$all" | sort -n | awk -v n="$n" -v f="$found" '
    { v[NR] = $1 }
    END { a = int(n * 0.5 + 0.5); b = int(n * 0.99 + 0.5); if (a < 1) a = 1; if (b < 1) b = 1
          printf "%d of %d found the session on s2, p50 %.1f ms, p99 %.1f ms", f, n, v[a], v[b] }'
}

# The log lines of s1 after line FROM, by kind: a kind that went past its
# burst has count lines ("<label>: N more like this in the last S s"), one
# per interval, and its lines start with its label; the lines of a kind per
# interval are its lines, count lines included, over its count lines. The
# goal is the burst and one count line: 11. Then what all kinds together
# would write a second at the default keep-alive interval (20 s).
log_per_interval() {
  tail -n +"$(($1 + 1))" "$TB/s1/daemon.err" | cut -c21- | awk '
    { line[NR] = $0
      if (match($0, /: [0-9]+ more like this in the last [0-9]+ s$/)) counts[substr($0, 1, RSTART - 1)]++ }
    END {
      for (i = 1; i <= NR; i++) {
        k = ""
        for (l in counts) if (index(line[i], l) == 1 && length(l) > length(k)) k = l
        if (k != "") n[k]++; else other++
      }
      printf "   log lines per interval, by kind (goal: at most 11):"
      for (k in n) { printf " \"%s\" %.1f (%d in %d);", k, n[k] / counts[k], n[k], counts[k]; all += n[k] / counts[k] }
      printf " other lines %d\n", other
      printf "   at the default 20-s interval: %.1f lines/s (goal: at most 5)\n", all / 20 }'
}

flood_step() {
  local n=$1 rate=$2 proc tid c0 c1 r0 r1 l0 l1 u0 u1 t0 t1 worst=$1 lost=0 lk arg a
  shift 2
  local names=("$@")
  proc=$(proc_of s1); tid=$(manager_tid "$proc")
  arg=$rate; [ "$rate" = max ] && arg=0
  c0=$(cat "/proc/$proc/task/$tid/schedstat"); r0=$(rss_kb "$proc"); l0=$(wc -l <"$TB/s1/daemon.err")
  u0=$(udp_counts s1); t0=$(now)
  "$TBS" exec obs "$FLOOD" "$KIND" 198.51.100.11 7009 "$arg" 100000000 "$SECS" >"$TB/flood.out" 2>&1 &
  local fpid=$!
  sleep 1
  lk=$(ask s1 "series $LOOKUPS which c-flood - - -" 120 | lookup_figures "$WANT")
  # Members alive in s1's table, and s1 alive in s2's, until the flood ends.
  while kill -0 "$fpid" 2>/dev/null; do
    a=$(alive_in s1 "${names[@]}"); [ "$a" -lt "$worst" ] && worst=$a
    [ "$(alive_in s2 s1)" = 1 ] || lost=1
    sleep 1
  done
  wait "$fpid" || true
  t1=$(now); c1=$(cat "/proc/$proc/task/$tid/schedstat"); r1=$(rss_kb "$proc"); u1=$(udp_counts s1)
  sleep $((PERIOD + 1))  # the count lines of the last interval
  l1=$(wc -l <"$TB/s1/daemon.err")
  echo "-- flood $KIND at $rate/s for ${SECS} s: $(head -1 "$TB/flood.out")"
  echo "   members alive in s1's table (fewest seen): $worst of $n (goal $n);" \
       "s1 $([ "$lost" = 0 ] && echo "alive in s2's table throughout" || echo "turned NOT alive in s2's table")"
  echo "   lookups from s1 during the flood: $lk"
  log_per_interval "$l0"
  awk -v c0="$c0" -v c1="$c1" -v u0="$u0" -v u1="$u1" -v t="$(secs "$t0" "$t1")" -v r0="$r0" \
      -v r1="$r1" -v l=$((l1 - l0)) 'BEGIN {
    split(c0, a, " "); split(c1, b, " "); split(u0, x, " "); split(u1, y, " ")
    cpu = (b[1] - a[1]) / 1e9; wait = (b[2] - a[2]) / 1e9; got = y[1] - x[1]; drop = y[2] - x[2]
    printf "   s1 took in %d datagrams (%.0f/s); the kernel dropped %d for want of buffer room\n", got, got / t, drop
    printf "   manager thread: CPU %.0f %% of a core (%.1f us per datagram taken in), waiting for a processor %.0f %% of the time\n",
           cpu / t * 100, (got > 0 ? cpu * 1e6 / got : 0), wait / t * 100
    printf "   RSS %d kB before, %d kB after; log lines written %.1f/s\n", r0, r1, l / t }'
}

one_size() {
  local n=$1 i names=() props proc
  for ((i = 1; i <= n; i++)); do names+=("s$i"); done
  echo "== N=$n servers (light, keep-alive ${PERIOD} s, shared secret), flood to s1 from the observer"
  if ! "$TBS" up --light --build "$BUILD" "${names[@]}" >"$TB.up.log" 2>&1; then
    echo "N=$n: the testbed did not come up:"; sed 's/^/  /' "$TB.up.log"; return 0
  fi
  for s in "${names[@]}"; do
    printf 'flood bench secret\n' >"$TB/$s/etc/zvgm.secret"; chmod 600 "$TB/$s/etc/zvgm.secret"
  done
  props=(gmKeepAliveInterval=$PERIOD allowLANConnections=true gmSignatureFile=/etc/zvgm.secret)
  printf 'USER=u3\nDISPLAY=3\n' >"$TB/s2/var-opt/KORVzv/ctokens/c-flood"
  : >"$TB/s2/var-opt/KORVzv/displays/3"
  WANT=$(printf '%x' $((0xc6336400 + 12)))
  # The last server waits for the forged fill at the end.
  for s in "${names[@]:0:n-1}"; do "$TBS" run "$s" "${props[@]}" >/dev/null & done
  wait
  local t=0
  until [ "$(ask s1 numhosts 40)" = "numhosts $((n - 1))" ]; do
    t=$((t + 1)); [ "$t" -lt 60 ] || { echo "N=$n: s1 never saw the group"; "$TBS" down; return 0; }
    sleep 1
  done
  ask s1 "which c-flood - - -" 60 >/dev/null   # waits out the start grace
  echo "-- no flood: lookups from s1: $(ask s1 "series $LOOKUPS which c-flood - - -" 120 | lookup_figures "$WANT")"
  proc=$(proc_of s1)
  echo "   s1 at rest: RSS $(rss_kb "$proc") kB"
  for rate in $RATES; do flood_step $((n - 1)) "$rate" "${names[@]:0:n-1}"; done

  # 99 forged names, repeated, fill every table; then the last server starts.
  local last=s$n full t1 took got=0 have
  "$TBS" exec obs "$FLOOD" unsigned 224.101.101.101 7009 200 100000 $((20 * PERIOD)) 99 forged \
    >"$TB/fill.out" 2>&1 &
  local fill=$!
  t=0
  while :; do
    full=0
    for s in "${names[@]:0:n-1}"; do
      [ "$(ask "$s" numhosts 40)" = "numhosts 100" ] && full=$((full + 1))
    done
    [ "$full" = $((n - 1)) ] && break
    t=$((t + 1)); [ "$t" -lt 20 ] || break
    sleep 0.5
  done
  echo "-- forged fill (99 names, unsigned, 200/s to the group): $full of $((n - 1)) tables full (100 hosts)"
  count_first "198.51.100.$((10 + n))"
  t1=$(now)
  "$TBS" run "$last" "${props[@]}" >/dev/null
  # Each peer sends the newcomer one first-time reply when it takes it in.
  while got=$(first_count); [ "$got" -lt $((n - 1)) ]; do
    awk -v a="$t1" -v b="$(now)" -v g=$((10 * PERIOD)) 'BEGIN { exit !(b - a > g) }' && break
    sleep 0.05
  done
  took=$(secs "$t1" "$(now)")
  have=0
  for s in "${names[@]:0:n-1}"; do
    ask "$s" status | grep -q "^host $last .* TRUSTED" && have=$((have + 1))
  done
  echo "   $last started: taken in by $got of $((n - 1)) peers after $took s" \
       "($(awk -v t="$took" -v p=$PERIOD 'BEGIN { printf "%.1f", t / p }') intervals, goal 2);" \
       "listed as trusted afterwards by $have of $((n - 1)); its own table lists" \
       "$(ask "$last" status | grep -c '^host s[0-9]') of $n servers"
  grep -h "gives way" "$TB"/s*/daemon.err | head -1 | sed 's/^[0-9/]* [0-9:]* /   e.g. /'
  kill "$fill" 2>/dev/null || true; wait "$fill" 2>/dev/null || true
  "$TBS" down
}

# ---- Trust: claims on a live name, a replayed dead member, a rotation --------
# Three light servers with the secret, s2 holding the session: unsigned
# announcements under s2's name from the observer (the fraction of samples in
# which s2 stays trusted and alive in every table), s2 stopped and its last
# announcement sent again from its own address to s1 only (how long it stays
# alive in s1's table against s3's, which gets no replays), and the secret
# rotated by the steps of docs/install.md while s1 looks the session up every
# second (lookups lost, samples with a member untrusted).

UDP=$BUILD/tests/zvtb-udp

# Whether every server lists every one of s1 s2 s3 as trusted and alive.
all_trusted() {
  local s
  for s in s1 s2 s3; do
    ask "$s" status | awk -v lim=$((3 * PERIOD)) '
      $1 == "host" { h = $2; t[h] = / TRUSTED/ }
      $1 == "interface" && h != "" { for (i = 2; i < NF; i++) if ($i == "lastpkt" && $(i + 1) <= lim) ok[h] = 1; h = "" }
      END { exit !(t["s1"] && t["s2"] && t["s3"] && ok["s1"] && ok["s2"] && ok["s3"]) }' || return 1
  done
}
# Seconds since T0 (date +%s.%N), one decimal.
since_t() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
# A datagram's hex as zvtb-udp ask takes its text (a newline written \n).
ask_text() {
  local hex=$1 out="" i b c
  for ((i = 0; i < ${#hex}; i += 2)); do
    b=${hex:i:2}
    if [ "$b" = 0a ]; then out+='\n'; else printf -v c "\\x$b"; out+=$c; fi
  done
  printf '%s' "$out"
}
# Puts TEXT into server S's file F (under /etc) the way docs/install.md says.
put_secret() {
  printf '%s' "$3" >"$TB/$1/etc/$2.tmp"; chmod 600 "$TB/$1/etc/$2.tmp"
  mv "$TB/$1/etc/$2.tmp" "$TB/$1/etc/$2"
}

trust_claims() {
  local secs=$((4 * PERIOD)) fpid samples=0 held=0 found=0 t0
  "$TBS" exec obs "$FLOOD" claim 224.101.101.101 7009 2000 $((2000 * secs)) "$secs" 1 s2 \
    >"$TB/claim.out" 2>&1 &
  fpid=$!
  t0=$(now)
  while kill -0 "$fpid" 2>/dev/null; do
    samples=$((samples + 1))
    all_trusted && held=$((held + 1))
    ask s1 "which c-flood - - -" | grep -q "^which $WANT:" && found=$((found + 1))
    sleep 0.3
  done
  wait "$fpid" || true
  echo "-- claims on s2's name (unsigned, to the group): $(head -1 "$TB/claim.out")"
  echo "   s2 trusted and alive in every table in $held of $samples samples" \
       "($(awk -v a=$held -v b=$samples 'BEGIN { printf "%.0f", 100 * a / b }') %, goal 100 %);" \
       "lookups from s1 that found its session: $found of $samples"
  grep -h "refused" "$TB"/s1/daemon.err | head -2 | sed 's/^[0-9/]* [0-9:]* /   e.g. /' || true
}

# Seconds since SERVER last heard NAME (its first interface), from its status.
age_in() {
  ask "$1" status | awk -v n="$2" '$1 == "host" { h = ($2 == n); next }
    $1 == "interface" && h { for (i = 2; i < NF; i++) if ($i == "lastpkt") { print $(i + 1); exit } }'
}
# When SERVER last heard NAME, in seconds after T0; PREV when that was later.
heard_after() {
  local a
  a=$(age_in "$1" "$2")
  awk -v t="$(since_t "$3")" -v a="$a" -v h="$4" 'BEGIN { v = t - a; print (v > h ? v : h) }'
}

trust_replay() {
  local rec last text t0 h1 h3 t
  "$TBS" exec obs "$UDP" recv 7009 $((2 * PERIOD + 2)) 224.101.101.101 198.51.100.250 >"$TB/rec.out" 2>/dev/null &
  rec=$!
  sleep $((PERIOD + 1))
  "$TBS" stop s2 >/dev/null
  t0=$(now)
  wait "$rec" || true
  last=$(awk -v h="$(printf 'host=s2 ' | od -An -tx1 | tr -d ' \n')" \
    '$1 == "198.51.100.12" && index($5, h) == 1 { x = $5 } END { print x }' "$TB/rec.out")
  [ -n "$last" ] || { echo "-- replay: no announcement of s2 recorded"; return 0; }
  text=$(ask_text "$last")
  # When each table last heard s2, in seconds after it stopped (the newest
  # seen over the samples): it looks alive until 3 periods after that.
  h1=-99 h3=-99
  while t=$(since_t "$t0"); awk -v t="$t" -v e=$((6 * PERIOD)) 'BEGIN { exit !(t < e) }'; do
    "$TBS" exec s2 "$UDP" ask 198.51.100.11 7009 "$text" 50 >/dev/null 2>&1 || true
    h1=$(heard_after s1 s2 "$t0" "$h1")
    h3=$(heard_after s3 s2 "$t0" "$h3")
    sleep 0.3
  done
  echo "-- s2 stopped, its last announcement sent again from its address to s1 every ~0.5 s for $((6 * PERIOD)) s:"
  awk -v a="$h1" -v b="$h3" -v p=$((3 * PERIOD)) 'BEGIN {
    printf "   s2 looks alive until %.0f s after it stopped in s1'"'"'s table (replayed), %.0f s in s3'"'"'s (no replays; goal: no longer)\n", a + p, b + p }'
  "$TBS" run s2 gmKeepAliveInterval=$PERIOD allowLANConnections=true gmSignatureFile=/etc/zvgm.secret >/dev/null
}

# How many of s1 s2 s3 sign their announcements with SECRET: their last
# announcement heard within an interval, its digest recomputed here.
signing_with() {
  local secret=$1 n=0 s hex m d
  "$TBS" exec obs "$UDP" recv 7009 $((PERIOD + 1)) 224.101.101.101 198.51.100.250 >"$TB/sig.out" 2>/dev/null || true
  for s in s1 s2 s3; do
    hex=$(awk -v h="$(printf 'host=%s ' "$s" | od -An -tx1 | tr -d ' \n')" \
      'index($5, h) == 1 { x = $5 } END { print x }' "$TB/sig.out")
    m=${hex%%237369673d*}                        # the text before "#sig="
    [ -n "$hex" ] && [ "$m" != "$hex" ] || continue
    d=$(printf '%b' "$(sed 's/../\\x&/g' <<<"${hex:${#m}+10:80}")")
    [ "$d" = "$({ printf '%s' "$secret"; printf '%b' "$(sed 's/../\\x&/g' <<<"$m")"; } | sha1sum | cut -c1-40)" ] &&
      n=$((n + 1))
  done
  echo "$n"
}

trust_rotation() {
  local new t0 steps=0 lost=0 untrusted=0 n=0 t s
  new="rotated bench secret"$'\n'
  local wait=$((PERIOD + 1))
  # Step times: 1 s, then each server's step 2 one second apart, then step 3.
  local at2=$((1 + wait)) at3=$((1 + wait + 3 + wait)) end=$((1 + wait + 3 + wait + 2 * wait))
  t0=$(now)
  while t=$(since_t "$t0"); awk -v t="$t" -v e="$end" 'BEGIN { exit !(t < e) }'; do
    local ts=${t%.*}
    if [ "$steps" = 0 ] && [ "$ts" -ge 1 ]; then
      for s in s1 s2 s3; do put_secret "$s" zvgm.secret.2 "$new"; done; steps=1
    fi
    if [ "$steps" -ge 1 ] && [ "$steps" -le 3 ] && [ "$ts" -ge $((at2 + steps - 1)) ]; then
      s=s$steps
      put_secret "$s" zvgm.secret.new "$new"
      cp -p "$TB/$s/etc/zvgm.secret" "$TB/$s/etc/zvgm.secret.2.tmp"
      mv "$TB/$s/etc/zvgm.secret.new" "$TB/$s/etc/zvgm.secret"
      mv "$TB/$s/etc/zvgm.secret.2.tmp" "$TB/$s/etc/zvgm.secret.2"
      steps=$((steps + 1))
    fi
    if [ "$steps" = 4 ] && [ "$ts" -ge "$at3" ]; then
      for s in s1 s2 s3; do rm -f "$TB/$s/etc/zvgm.secret.2"; done; steps=5
    fi
    n=$((n + 1))
    ask s1 "which c-flood - - -" | grep -q "^which $WANT:" || lost=$((lost + 1))
    all_trusted || untrusted=$((untrusted + 1))
    sleep 0.7
  done
  echo "-- the secret rotated by the documented steps over $(since_t "$t0") s, a lookup from s1 about every second:"
  echo "   lookups lost: $lost of $n (goal 0); samples with a member untrusted somewhere: $untrusted of $n;" \
       "members signing with the new secret afterwards: $(signing_with "$new") of 3 (goal 3)"
}

trust_phases() {
  echo "== Trust: 3 servers (light, keep-alive ${PERIOD} s, shared secret)"
  if ! "$TBS" up --light --build "$BUILD" s1 s2 s3 >"$TB.up.log" 2>&1; then
    echo "the testbed did not come up:"; sed 's/^/  /' "$TB.up.log"; return 0
  fi
  local s t=0
  for s in s1 s2 s3; do
    printf 'flood bench secret\n' >"$TB/$s/etc/zvgm.secret"; chmod 600 "$TB/$s/etc/zvgm.secret"
  done
  printf 'USER=u3\nDISPLAY=3\n' >"$TB/s2/var-opt/KORVzv/ctokens/c-flood"
  : >"$TB/s2/var-opt/KORVzv/displays/3"
  WANT=$(printf '%x' $((0xc6336400 + 12)))
  for s in s1 s2 s3; do
    "$TBS" run "$s" gmKeepAliveInterval=$PERIOD allowLANConnections=true gmSignatureFile=/etc/zvgm.secret >/dev/null &
  done
  wait
  until all_trusted; do
    t=$((t + 1)); [ "$t" -lt 30 ] || { echo "the group did not form"; "$TBS" down; return 0; }
    sleep 1
  done
  ask s1 "which c-flood - - -" 60 >/dev/null   # waits out the start grace
  trust_claims
  trust_replay
  t=0
  until all_trusted; do t=$((t + 1)); [ "$t" -lt 20 ] || break; sleep 1; done
  trust_rotation
  "$TBS" down
}

for n in "${SIZES[@]+"${SIZES[@]}"}"; do
  [[ $n =~ ^[0-9]+$ ]] && [ "$n" -ge 3 ] && [ "$n" -le 99 ] ||
    { echo "flood: N must lie between 3 and 99 (got $n)" >&2; continue; }
  one_size "$n"
done
[ "$TRUST" = 0 ] || trust_phases
