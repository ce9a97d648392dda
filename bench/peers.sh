#!/bin/bash
# peers.sh - the token lookup against live peers: brings up N servers in the
# testbed, each running the library's manager loop (gm_peer serve) and a bare
# responder doing the same file and socket work (gm_bare_peer), and asks them
# from the observer, alternately with the library's lookup and with the bare
# lookup (gm_peer lookup), each lookup on a socket of its own. For each group size and with the secret off and
# on it prints both medians, their ratio, the CPU time of a lookup with its
# answers, and the cost per member asked.
#
#   sudo bench/peers.sh [--build DIR] [--count N] [--reps R] [--resp-cpus LIST]
#                       [--client-cpus LIST] [--nice N] [--light|--respond] [SIZE...]
#                                                          (default 8 30 100)
#
# The library's responders run the manager loop itself as a server does
# (gm_peer serve: groupManager with its refresh, announcements to the group
# and table, group port LIBPORT). With --light they are whole light servers
# instead (tb run: the same loop behind the light server's console, whose
# clock reads the time with a system call); with --respond, the receive path
# alone (gm_peer respond: handleGroupMessage on a blocking socket).
#
# Each size is asked R times (default 3) with N lookups of each kind (default
# 1000), the sizes taking turns run by run; the figures are the medians of the
# R runs: of each run's median lookup, and of its mean ("all rounds": the time
# of all its lookups of that kind over their number). Responders run pinned
# to --resp-cpus (default 1), clients to --client-cpus (default 0), all at
# niceness N (default 0; a negative N keeps other work on a shared machine
# from stretching the wall times), the library's and the bare ones alike.
# Runs only inside the testbed's namespaces (testbed/tb, prefix ZVTB_PREFIX,
# default zvpeers); the testbed and every process started here are gone at
# the end, also on failure or interrupt.
set -Eeuo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
TBS=$HERE/../testbed/tb
export ZVTB_PREFIX=${ZVTB_PREFIX:-zvpeers}
BUILD=$HERE/../build
COUNT=1000
RESP_CPUS=1
CLIENT_CPUS=0
NICE=0
REPS=3
PEERS=serve
LIBPORT=7009
BAREPORT=7010
NET0=198.51.100

while [ $# -gt 0 ]; do
  case "$1" in
    --build) BUILD=$2; shift 2 ;;
    --count) COUNT=$2; shift 2 ;;
    --reps) REPS=$2; shift 2 ;;
    --resp-cpus) RESP_CPUS=$2; shift 2 ;;
    --client-cpus) CLIENT_CPUS=$2; shift 2 ;;
    --nice) NICE=$2; shift 2 ;;
    --light) PEERS=light; shift ;;
    --respond) PEERS=respond; shift ;;
    -h|--help) sed -n '2,30p' "$0"; exit 0 ;;
    -*) echo "peers: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
SIZES=("$@")
[ ${#SIZES[@]} -gt 0 ] || SIZES=(8 30 100)
MAX=0
for n in "${SIZES[@]}"; do
  [[ $n =~ ^[0-9]+$ ]] && [ "$n" -ge 1 ] && [ "$n" -le 100 ] ||
    { echo "peers: a size lies between 1 and 100 (got $n)" >&2; exit 2; }
  [ "$n" -le "$MAX" ] || MAX=$n
done
[ "$(id -u)" = 0 ] || { echo "peers: must run as root (network namespaces)" >&2; exit 1; }
for p in testbed/light/zvgm-light bench/gm_peer bench/gm_bare_peer; do
  [ -x "$BUILD/$p" ] || { echo "peers: $BUILD lacks $p (build it first)" >&2; exit 1; }
done
BUILD=$(cd "$BUILD" && pwd)
TB=$("$TBS" dir)
PIDS=()

stop_responders() {
  local p
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
  PIDS=()
}
trap 'stop_responders; "$TBS" down' EXIT
trap 'echo "peers: interrupted" >&2; exit 130' INT TERM

# Nanoseconds on a processor of the processes PID... so far.
cpu_ns() { local p; for p in "$@"; do cat "/proc/$p"/task/*/schedstat; done | awk '{ t += $1 } END { printf "%.0f", t }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b > 0 ? a / b : 0 }'; }

names=()
for ((i = 1; i <= MAX; i++)); do names+=("s$i"); done
echo "peers: bringing up $MAX servers (prefix $ZVTB_PREFIX)"
"$TBS" up --light --build "$BUILD" "${names[@]}" >/dev/null
install -m 0600 /dev/null "$TB/secret"
echo "a group secret of the peers benchmark, 48 bytes." >"$TB/secret"
for ((i = 1; i <= MAX; i++)); do
  d=$TB/s$i/var-opt/KORVzv
  printf 'USER=u%d\nDISPLAY=%d\n' "$i" "$i" >"$d/ctokens/c-bench"
  : >"$d/displays/$i"
done
cp "$BUILD/bench/gm_peer" "$BUILD/bench/gm_bare_peer" "$TB/bin/"

commit=$(git -C "$HERE" rev-parse --short HEAD 2>/dev/null || echo none)
git -C "$HERE" diff --quiet HEAD 2>/dev/null || commit="$commit with changes"
echo "date $(date -u '+%Y-%m-%d %H:%M UTC'), commit $commit," \
     "$(nproc) processors, load $(cut -d' ' -f1-3 /proc/loadavg)"
case $PEERS in
  serve) kind="gm_peer serve (the manager loop)" ;;
  light) kind="light servers" ;;
  respond) kind="gm_peer respond (the receive path alone)" ;;
esac
echo "library responders: $kind; responders on CPUs $RESP_CPUS, clients on CPUs $CLIENT_CPUS, niceness $NICE, $REPS runs of $COUNT lookups of each kind per line"
for secret in off on; do
  sarg=()
  [ "$secret" = off ] || sarg=("$TB/secret")
  LIB=() BARE=()
  for ((i = 1; i <= MAX; i++)); do
    if [ "$PEERS" = light ]; then
      props=(gmport=$LIBPORT)
      [ "$secret" = off ] || props+=(gmSignatureFile="$TB/secret")
      "$TBS" run "s$i" "${props[@]}" >/dev/null
      p=$(cat "$TB/s$i/daemon.pid")
      taskset -a -cp "$RESP_CPUS" "$p" >/dev/null
      renice -n "$NICE" -p $(ls "/proc/$p/task") >/dev/null
      LIB+=("$p")
    else
      "$TBS" exec "s$i" nice -n "$NICE" taskset -c "$RESP_CPUS" "$TB/bin/gm_peer" "$PEERS" "$LIBPORT" "${sarg[@]}" \
        2>>"$TB/responders.err" &
      LIB+=($!)
    fi
    "$TBS" exec "s$i" nice -n "$NICE" taskset -c "$RESP_CPUS" "$TB/bin/gm_bare_peer" "$BAREPORT" "${sarg[@]}" \
      2>>"$TB/responders.err" &
    BARE+=($!)
  done
  PIDS=("${LIB[@]}" "${BARE[@]}")
  # Each is measured from when it runs as itself, its start-up done.
  for p in "${PIDS[@]}"; do
    for ((t = 0; t < 300; t++)); do
      c=$(cat "/proc/$p/comm" 2>/dev/null) || { echo "peers: a responder ended (see $TB/responders.err)" >&2; exit 1; }
      [ "$c" != gm_peer ] && [ "$c" != gm_bare_peer ] && [ "$c" != zvgm-light ] || break
      sleep 0.1
    done
  done
  sleep 1
  # The sizes take turns, run by run, so that each meets the same moods of
  # a shared machine.
  declare -A OUT=() LR=() BR=()
  for ((r = 0; r < REPS; r++)); do
    for n in "${SIZES[@]}"; do
      lib0=$(cpu_ns "${LIB[@]:0:n}") bare0=$(cpu_ns "${BARE[@]:0:n}")
      out=$("$TBS" exec obs nice -n "$NICE" taskset -c "$CLIENT_CPUS" "$TB/bin/gm_peer" lookup \
              "$LIBPORT" "$BAREPORT" "$NET0.11" "$n" "$COUNT" "${sarg[@]}" 2>>"$TB/client.err")
      lib1=$(cpu_ns "${LIB[@]:0:n}") bare1=$(cpu_ns "${BARE[@]:0:n}")
      OUT[$n]+="$out"$'\n'
      LR[$n]=$((${LR[$n]:-0} + lib1 - lib0)) BR[$n]=$((${BR[$n]:-0} + bare1 - bare0))
    done
  done
  for n in "${SIZES[@]}"; do
    # Warm-up lookups (5 of each per run) count in the responders' time too.
    printf '%s' "${OUT[$n]}" | awk -v n="$n" -v s="$secret" -v c=$(((COUNT + 5) * REPS)) \
        -v lr="${LR[$n]}" -v br="${BR[$n]}" '
      function med(name,   k, i, j, t, a) {
        k = 0
        for (i = 1; i <= NR; i++) a[++k] = v[name, i]
        for (i = 2; i <= k; i++) for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
        return a[int((k + 1) / 2)]
      }
      { for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1], NR] = kv[2] }
        v["ratio", NR] = v["lib_us", NR] / v["bare_us", NR]
        v["mratio", NR] = v["lib_mean_us", NR] / v["bare_mean_us", NR]
        ls += v["lib_short", NR]; bs += v["bare_short", NR] }
      END {
        lu = med("lib_us"); bu = med("bare_us"); lc = med("lib_client_cpu_us"); bc = med("bare_client_cpu_us")
        lcpu = lc + lr / 1000 / c; bcpu = bc + br / 1000 / c
        printf "secret %-3s members %3d  lookup %8.1f us  bare %8.1f us  ratio %.2f (goal <= 1.1; runs:", s, n, lu, bu, med("ratio")
        for (i = 1; i <= NR; i++) printf " %.2f", v["ratio", i]
        printf ")\n"
        printf "                     all rounds: lookup %8.1f us  bare %8.1f us  ratio %.2f (runs:", med("lib_mean_us"), med("bare_mean_us"), med("mratio")
        for (i = 1; i <= NR; i++) printf " %.2f", v["mratio", i]
        printf ")\n"
        printf "                     CPU: lookup %8.1f us  bare %8.1f us  ratio %.2f  (client %.1f / %.1f us, responders %.1f / %.1f us)\n", lcpu, bcpu, lcpu / bcpu, lc, bc, lr / 1000 / c, br / 1000 / c
        printf "                     per member: lookup %.1f us wall, %.1f us CPU; bare %.1f us wall, %.1f us CPU\n", lu / n, lcpu / n, bu / n, bcpu / n
        if (ls + bs > 0) printf "                     lookups short of an answer: lookup %d, bare %d\n", ls, bs
        printf "PERMEMBER %s %d %.3f %.3f %.3f %.3f\n", s, n, lu / n, lcpu / n, bu / n, bcpu / n > "/dev/stderr"
      }' 2>>"$TB/permember"
  done
  stop_responders
done
echo "per-member cost against the smallest size, wall / CPU (goal <= 1.2 for the lookup):"
awk -v first="${SIZES[0]}" '$1 == "PERMEMBER" {
    if ($3 == first) { w[$2] = $4; c[$2] = $5; bw[$2] = $6; bc[$2] = $7 }
    else printf "  secret %-3s members %3d: lookup %.2fx / %.2fx, bare %.2fx / %.2fx of %d members\n", $2, $3, $4 / w[$2], $5 / c[$2], $6 / bw[$2], $7 / bc[$2], first
  }' "$TB/permember"
if [ -s "$TB/responders.err" ] || [ -s "$TB/client.err" ]; then
  echo "peers: the responders or the client reported errors:"; cat "$TB/responders.err" "$TB/client.err" | sort | uniq -c | head
fi
