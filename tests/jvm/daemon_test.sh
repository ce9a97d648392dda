#!/bin/bash
# daemon_test.sh - runs the daemon stand-in on the real library under
# -Xcheck:jni, with group networking off (so nothing is ever sent), and checks
# the import of the settings, the console's answers, and that the JVM sees no
# misuse of JNI. A second run uses a settings class with fields missing.
# usage: daemon_test.sh <java> <zvauthd.jar> <libzvgm.so> <zvauthd_sparse.jar>
set -u
java=$1 jar=$2 lib=$3 sparse=$4

name=$(hostname)
entry=$(getent hosts "$name") || { echo "SKIP: $name does not resolve"; exit 77; }
IFS=. read -r a b c d <<<"${entry%% *}"
addr=$(printf '%x' $(((a << 24) | (b << 16) | (c << 8) | d)))

tmp=$(mktemp -d) || exit 1
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
fail=0

expect() { # what expected actual
  if [[ "$3" == "$2" ]]; then echo "ok: $1"; else
    echo "FAIL: $1: expected '$2', got '$3'"
    fail=1
  fi
}

# start <run> <classpath> <settings...>: the daemon reads its console from
# descriptor 3; its output goes to $tmp/<run>.out and .err.
start() {
  run=$1 cp=$2
  shift 2
  printf '%s\n' "library=$lib" "$@" >"$tmp/$run.properties"
  mkfifo "$tmp/$run.in"
  "$java" -Xcheck:jni -cp "$cp" auth.zvauthd.Daemon "$tmp/$run.properties" \
    <"$tmp/$run.in" >"$tmp/$run.out" 2>"$tmp/$run.err" &
  pid=$!
  exec 3>"$tmp/$run.in"
  replies=0
  for ((i = 0; i < 100; i++)); do
    grep -qx ready "$tmp/$run.out" && return 0
    sleep 0.1
  done
  echo "FAIL: $run: no ready"
  cat "$tmp/$run.err"
  exit 1
}

# ask <command> <timeout seconds>: the reply's lines in $reply.
ask() {
  echo "$1" >&3
  replies=$((replies + 1))
  for ((i = 0; i < $2 * 10; i++)); do
    (($(grep -cx '\.' "$tmp/$run.out") >= replies)) && break
    sleep 0.1
  done
  reply=$(awk -v n=$replies '$0 == "." { k++; next } k == n - 1 && $0 != "ready"' "$tmp/$run.out")
}

# The manager sets up the local host shortly after the thread starts.
waitHost() {
  for ((j = 0; j < 50; j++)); do
    ask "host 0" 5
    [[ "$reply" == "host "* ]] && return
    sleep 0.1
  done
}

stop() {
  echo quit >&3
  wait "$pid"
  expect "$run: quit exits 0" 0 $?
  pid=
  exec 3>&-
  if grep -E 'in native method|JNI local refs|groupManager failed' "$tmp/$run.out" "$tmp/$run.err"; then
    echo "FAIL: $run: the JVM or the daemon complained"
    fail=1
  fi
}

logged() { # run line
  if awk -v want=" $2" 'substr($0, length($0) - length(want) + 1) == want { f = 1 }
      END { exit !f }' "$tmp/$1.err"; then echo "ok: $1 logs '$2'"; else
    echo "FAIL: $1: no log line '$2'"
    fail=1
  fi
}

# ---- every setting given ---------------------------------------------------
start full "$jar" enableGroupManager=false gmport=7019 gmKeepAliveInterval=17 \
  allowLANConnections=true enableMulticast=true multicastAddress=239.1.2.3 \
  multicastTTL=3 enableLoadBalancing=false gmDebug=1 gmSignatureFile="$tmp/secret"
waitHost
[[ "$reply" =~ ^host\ $name\ lastseen\ -?[0-9]+\ timeoff\ 0\ addr\ $addr\ numifs\ [0-9]+\ period\ 17\ starttime\ [0-9]+(\ ROUTER)?\ LAN_OK\ TRUSTED$ ]]
expect "host 0 names this host with the settings" 0 $?
ask "host 1" 5
expect "host 1" "Hostnum out of range" "$reply"
ask "load 1" 5
expect "load 1" "Hostnum out of range" "$reply"
ask "intf 0 99" 5
expect "intf 0 99" "Arguments out of range" "$reply"
ask "numifs 1" 5
expect "numifs 1" "numifs 0" "$reply"
ask "claim x" 5
expect "claim x" "claim true" "$reply"
ask "disclaim -" 5
expect "disclaim -" "disclaim true" "$reply"
ask "frobnicate" 5
expect "unknown command" "error unknown command" "$reply"
ask "host zero" 5
[[ "$reply" == "error "* ]]
expect "bad number is an error" 0 $?
ask "intf 0" 5
[[ "$reply" == "error "* ]]
expect "missing argument is an error" 0 $?
ask "status" 5
[[ "$(head -n 1 <<<"$reply")" == "host $name "* && "$(sed -n 2p <<<"$reply")" == "sessions "* ]]
expect "status starts with the local host" 0 $?
# These wait out the start grace of 20 s.
ask "allowed 203.0.113.5" 30
expect "allowed 203.0.113.5" "allowed false" "$reply"
ask "which - - 127.0.0.1 -" 10
expect "which without token or force" "which " "$reply"
ask "numhosts" 10
expect "numhosts" "numhosts 1" "$reply"
stop
for line in "gmport = 7019" "keepAliveInterval = 17" "LANallowed = 1" \
  "use_multicast = 1" "mcaddr = 239.1.2.3" "mcTTL = 3" "use_load_balance = 0" \
  "gmSignatureFile = $tmp/secret"; do
  logged full "$line"
done

# ---- an older settings class: defaults fill the gaps -----------------------
start sparse "$sparse:$jar"
waitHost
[[ "$reply" =~ ^host\ $name\ .*\ period\ 20\ starttime\ [0-9]+(\ ROUTER)?\ TRUSTED$ ]]
expect "sparse: host 0 with default period and flags" 0 $?
stop
for line in "gmport = 7009" "keepAliveInterval = 20" "LANallowed = 0" \
  "mcaddr = 224.101.101.101" "mcTTL = 1" "gmSignatureFile = "; do
  logged sparse "$line"
done

exit $fail
