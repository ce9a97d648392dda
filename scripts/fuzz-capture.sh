#!/bin/bash
# fuzz-capture.sh - records real group datagrams in the testbed and turns them into
# the fuzz targets' seed corpora: announcements signed and unsigned (multicast
# and broadcast), token, terminal and server queries and their replies.
#
#   scripts/fuzz-capture.sh BUILD_DIR [CORPUS_DIR]  (root; BUILD_DIR has the
#                                                   daemon: ZVGM_JAVA=ON)
# Every datagram crossing the testbed's switch is recorded there with tshark;
# nothing is sent outside the testbed's namespaces.
set -Eeuo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD=$(cd "${1:?usage: fuzz-capture.sh BUILD_DIR [CORPUS_DIR]}" && pwd)
CORPUS=${2:-$HERE/../tests/fuzz/corpus}
export ZVTB_PREFIX=${ZVTB_PREFIX:-zvtbb}
TB=$HERE/../testbed/tb
SECRET='fuzz seed secret'   # the secret the fuzz targets load (fuzz_common.cc)
RAW=$(mktemp)
tshark_pid=
cleanup() {
  [ -n "$tshark_pid" ] && kill "$tshark_pid" 2>/dev/null
  "$TB" down >/dev/null 2>&1 || true
  rm -f "$RAW"
}
trap cleanup EXIT

"$TB" up --eth1 --build "$BUILD" alpha bravo charlie >/dev/null
dir=$("$TB" dir)
for n in alpha bravo charlie; do
  printf '%s\n' "$SECRET" >"$dir/$n/etc/zvgm.secret"
  chmod 600 "$dir/$n/etc/zvgm.secret"
  echo eth1 >"$dir/$n/opt/KORVzv/etc/nimbar.conf"
done
# A live session on bravo, an idle one on alpha.
v=$dir/bravo/var-opt/KORVzv
printf 'USER=u3\nDISPLAY=3\n' >"$v/ctokens/c-seed"
printf 'USER=u3\nDISPLAY=3\n' >"$v/itokens/i-seed"
: >"$v/displays/3"
v=$dir/alpha/var-opt/KORVzv
printf 'USER=u4\nDISPLAY=4\n' >"$v/ctokens/c-seed"
: >"$v/displays/4"
echo 1 >"$v/idle/4.pid"

ip netns exec "$ZVTB_PREFIX-sw" tshark -q -l -i br0 -i br1 -f udp -T fields \
  -e ip.src -e udp.payload >"$RAW" 2>/dev/null &
tshark_pid=$!
sleep 3
# alpha and bravo sign, charlie does not and broadcasts.
"$TB" run alpha gmKeepAliveInterval=2 gmSignatureFile=/etc/zvgm.secret enableLoadBalancing=true
"$TB" run bravo gmKeepAliveInterval=2 gmSignatureFile=/etc/zvgm.secret allowLANConnections=true
"$TB" run charlie gmKeepAliveInterval=2 enableMulticast=false
"$TB" cmd bravo "attach term-seed" >/dev/null
"$TB" cmd alpha "which c-seed i-seed 203.0.113.99 -"        # waits out the start delay
"$TB" cmd alpha "which - i-seed - -"
"$TB" cmd charlie "which c-seed - 198.51.100.99 -"
"$TB" cmd alpha "primary term-seed 203.0.113.99"
"$TB" cmd charlie "primary term-seed -"
for to in 198.51.100.11 203.0.113.12 198.51.100.13; do
  "$TB" exec obs "$BUILD/tests/zvtb-udp" ask "$to" 7009 'serverQ=7\n' 500 >/dev/null || true
done
sleep 3
kill "$tshark_pid"; wait "$tshark_pid" 2>/dev/null || true; tshark_pid=

# One file per datagram, named by its digest as libFuzzer names its own.
# put TARGET PREFIX_HEX DATAGRAM_HEX: the target's header bytes, then the text.
put() {
  mkdir -p "$CORPUS/$1"
  local f
  f=$(mktemp)
  echo "$2$3" | xxd -r -p >"$f"
  mv "$f" "$CORPUS/$1/$(sha1sum <"$f" | cut -c1-40).input"
}
n=0
while read -r _ hex; do
  [ -n "$hex" ] || continue
  text=$(echo "$hex" | xxd -r -p | head -c 8)
  signed=00; [[ $(echo "$hex" | xxd -r -p) == *"#sig="* ]] && signed=01
  put framing "" "$hex"; put signature "$signed" "$hex"
  put xfile 8000 "$hex"; put receive "${signed}00" "$hex"
  case "$text" in
    tokenR=*) put reply "${signed}00" "$hex" ;;
    termR=*) put reply "$(printf '%02x' $((0x$signed | 8)))00" "$hex" ;;
  esac
  n=$((n + 1))
done <"$RAW"
echo "fuzz-capture.sh: $n datagrams into $CORPUS"
