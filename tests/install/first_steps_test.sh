#!/bin/bash
# first_steps_test.sh - the first steps of both commands on a machine without
# iproute2: scripts/demo.sh and scripts/test.sh must install what is missing
# before they check the testbed. Each runs on a copy of the scripts, with a
# PATH of its own where ip and unshare are missing, and where apt-get,
# dpkg-query, id, ip and unshare are stand-ins that record their calls
# (apt-get install makes ip and unshare appear). ZVGM_FIRST_STEPS_ONLY=1 stops
# each command after its check; nothing is built, installed or changed.
# usage: first_steps_test.sh <source dir>
set -u
src=$1 fail=0
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
[ -x /bin/ksh ] || { echo "SKIP: /bin/ksh is missing (the testbed check wants it)"; exit 77; }

mkdir -p "$tmp/tree/scripts" "$tmp/tree/testbed" "$tmp/bin"
cp "$src"/scripts/{demo,test,prereqs}.sh "$tmp/tree/scripts/"
cp "$src/testbed/preflight.sh" "$tmp/tree/testbed/"
# Every command of the machine but those stood in for.
for d in /usr/local/bin /usr/bin /bin /usr/sbin /sbin; do
  [ ! -L "$d" ] || continue  # /bin is /usr/bin on a merged /usr
  for f in "$d"/*; do
    n=${f##*/}
    case $n in ip|unshare|apt-get|dpkg-query|id) continue ;; esac
    [ -x "$f" ] && [ ! -e "$tmp/bin/$n" ] && ln -s "$f" "$tmp/bin/$n"
  done
done
stub() { # name body: a stand-in that logs its call to $tmp/calls, then runs body
  printf '#!/bin/bash\necho "%s $*" >>"%s/calls"\n%s\n' "$1" "$tmp" "$2" >"$tmp/bin/$1"
  chmod +x "$tmp/bin/$1"
}
stub id 'echo 0'
stub dpkg-query "[ \"\${@: -1}\" != iproute2 ] || [ -e $tmp/installed ] || exit 1; echo 'install ok installed'"
stub apt-get "[ \"\$1\" != install ] || { touch $tmp/installed
  for c in ip unshare; do printf '#!/bin/sh\\necho \"%s \$*\" >>$tmp/calls\\n' \$c >$tmp/bin/\$c; chmod +x $tmp/bin/\$c; done; }"

is() { # what command...: passes when the command succeeds
  if "${@:2}"; then echo "ok: $1"; else echo "FAIL: $1"; fail=$((fail + 1)); fi
}
for cmd in demo test; do
  failed=$fail
  rm -f "$tmp/calls" "$tmp/installed" "$tmp/bin/ip" "$tmp/bin/unshare"
  out=$(env -i PATH="$tmp/bin" HOME="$tmp" ZVGM_FIRST_STEPS_ONLY=1 \
        "$tmp/bin/bash" "$tmp/tree/scripts/$cmd.sh" 2>&1)
  rc=$?
  # Which program each call was, in order: apt-get, then ip and unshare.
  order=$(awk '$1 == "apt-get" || $1 == "ip" || $1 == "unshare" {print $1}' "$tmp/calls" 2>/dev/null |
          uniq | tr '\n' ' ')
  is "$cmd.sh: installs, then checks (calls: $order)" test "$order" = "apt-get ip unshare "
  is "$cmd.sh: asks apt-get for iproute2" grep -q '^apt-get install .* iproute2' "$tmp/calls"
  is "$cmd.sh: never says the testbed's commands are missing" \
    test -z "$(grep 'The ip or unshare command is missing' <<<"$out")"
  is "$cmd.sh: stops after its first steps, exit 0 (exit $rc)" test "$rc" = 0
  [ "$fail" = "$failed" ] || { echo "--- output"; echo "$out"; echo "--- calls"; cat "$tmp/calls"; }
done
[ "$fail" = 0 ]
