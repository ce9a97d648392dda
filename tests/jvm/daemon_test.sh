#!/bin/bash
# daemon_test.sh - runs the daemon stand-in on the real library under
# -Xcheck:jni, with group networking off (so nothing is ever sent), and checks
# the import of the settings, the console's answers, and that the JVM sees no
# misuse of JNI. A second run uses a settings class with fields missing.
# usage: daemon_test.sh <java> <zvauthd.jar> <libzvgm.so> <zvauthd_sparse.jar>
set -u

# The library resolves the host name at start-up. So that the test depends
# on neither the machine's name nor its hosts file, it runs (where it can) in
# mount and UTS namespaces of its own, with a name and hosts file of its own.
if [ -z "${ZVGM_JVM_OWN_HOST-}" ] && [ "$(id -u)" = 0 ] && [ -e /etc/hosts ] &&
   [ -e /etc/nsswitch.conf ] && unshare --mount --uts --propagation private true 2>/dev/null; then
  etc=$(mktemp -d) || exit 1
  printf '127.0.0.1 localhost\n127.0.1.1 zvjvm\n' >"$etc/hosts"
  echo 'hosts: files' >"$etc/nsswitch.conf"
  ZVGM_JVM_OWN_HOST=1 unshare --mount --uts --propagation private /bin/sh -c '
    hostname zvjvm && mount --bind "$1/hosts" /etc/hosts &&
    mount --bind "$1/nsswitch.conf" /etc/nsswitch.conf && shift && exec "$@"' \
    sh "$etc" "$0" "$@"
  rc=$?
  rm -rf "$etc"
  exit $rc
fi

java=$1 jar=$2 lib=$3 sparse=$4 nl=$'\n' fail=0 pid=
name=$(hostname)
entry=$(getent hosts "$name") ||
  { echo "SKIP: the host name $name does not resolve (run as root for a hosts file of its own)"; exit 77; }
echo "host name $name, address ${entry%% *}"
IFS=. read -r a b c d <<<"${entry%% *}"
addr=$(printf '%x' $(((a << 24) | (b << 16) | (c << 8) | d)))
tmp=$(mktemp -d) || exit 1
trap 'kill $pid 2>/dev/null; rm -rf "$tmp"' EXIT

is() { # what regex actual: the whole of actual must match
  if [[ $3 =~ ^($2)$ ]]; then echo "ok: $1"; else echo "FAIL: $1: expected '$2', got '$3'"; fail=1; fi
}

# ask <command>: the reply's lines, up to its "." line, in $reply.
ask() {
  reply=
  echo "$1" >&4
  while IFS= read -r -t 30 line <&3 && [[ $line != . ]]; do reply+=${reply:+$nl}$line; done
  seen+=$reply$nl
}

# daemon <run> <classpath> <settings...>, then lines "command|reply regex" on
# standard input: starts the daemon with its console on descriptors 3 and 4
# and its log in <run>.err, waits for the local host, which the manager sets
# up shortly after its thread starts, asks each command and quits.
daemon() {
  local run=$1 cp=$2 cmd want
  shift 2
  printf '%s\n' "library=$lib" "$@" >"$tmp/$run.properties"
  coproc D { exec "$java" -Xcheck:jni -cp "$cp" auth.zvauthd.Daemon "$tmp/$run.properties" 2>"$tmp/$run.err"; }
  pid=$D_PID seen=
  exec 3<&"${D[0]}" 4>&"${D[1]}"
  read -r -t 20 line <&3
  [[ ${line-} == ready ]] || { echo "FAIL: $run: no ready"; cat "$tmp/$run.err"; exit 1; }
  for ((j = 0; j < 50; j++)); do ask "host 0"; [[ $reply == "host "* ]] && break; sleep 0.1; done
  while IFS='|' read -r cmd want; do ask "$cmd"; is "$run: $cmd" "$want" "$reply"; done
  echo quit >&4
  seen+=$(timeout 10 cat <&3)
  wait "$pid"
  is "$run: quit exits 0" 0 $?
  pid=
  exec 3<&- 4>&-
  ! grep -E 'in native method|JNI local refs|groupManager failed' - "$tmp/$run.err" <<<"$seen"
  is "$run: no complaint from the JVM or the daemon" 0 $?
}

logged() { # run lines...: each a whole log line, after the time stamp
  local run=$1 l
  for l in "${@:2}"; do
    cut -c21- "$tmp/$run.err" | grep -qxF -- "$l"
    is "$run logs '$l'" 0 $?
  done
}

# ---- every setting given; allowed waits out the start grace of 20 s --------
daemon full "$jar" enableGroupManager=false gmport=7019 gmKeepAliveInterval=17 \
  allowLANConnections=true enableMulticast=true multicastAddress=239.1.2.3 \
  multicastTTL=3 enableLoadBalancing=false gmDebug=1 gmSignatureFile="$tmp/secret" <<EOF
host 0|host $name lastseen -?[0-9]+ timeoff 0 addr $addr numifs [0-9]+ period 17 starttime [0-9]+( ROUTER)? LAN_OK TRUSTED
claim x|claim true
disclaim -|disclaim true
frobnicate|error unknown command
host zero|error .*
intf 0|error .*
status|host $name [[:print:]]*.sessions .*
allowed 203.0.113.5|allowed false
which - - 127.0.0.1 -|which 
numhosts|numhosts 1
EOF
logged full "gmport = 7019" "keepAliveInterval = 17" "LANallowed = 1" "use_multicast = 1" \
  "mcaddr = 239.1.2.3" "mcTTL = 3" "use_load_balance = 0" "gmSignatureFile = $tmp/secret"

# ---- an older settings class: defaults fill the gaps -----------------------
daemon sparse "$sparse:$jar" <<<"host 0|host $name .* period 20 starttime [0-9]+( ROUTER)? TRUSTED"
logged sparse "gmport = 7009" "keepAliveInterval = 20" "LANallowed = 0" \
  "mcaddr = 224.101.101.101" "mcTTL = 1" "gmSignatureFile = "

exit $fail
