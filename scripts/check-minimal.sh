#!/bin/bash
# check-minimal.sh - runs both commands of the README, scripts/demo.sh and then
# scripts/test.sh, to their end on a minimal Debian 12 as a fresh machine has
# it: debootstrap --variant=minbase into a scratch folder, this tree copied in
# (as a fresh checkout has it), each command run as root in a chroot with
# /proc, /sys and /dev, in a mount namespace of its own. Before them, the
# Debian packages are built there as a build machine builds them, with
# build-essential and the build dependencies of debian/control alone (in an
# overlay of the fresh system, dropped afterwards). It reports each step's
# last lines, exit status and time; the whole output of each goes to
# check-minimal-<step>.log in the scratch parent folder. Everything else is
# torn down on exit. It downloads Debian packages, from the mirror this
# machine's own apt sources name; takes long (about 540 MB of packages, the
# builds and every test). As root. The testbed's namespaces take the prefix
# $ZVTB_PREFIX (default zvtb), passed on to the commands.
# With --first-steps, each command stops after its first steps (install what
# is missing, check the testbed), as ZVGM_FIRST_STEPS_ONLY=1 does.
# usage: check-minimal.sh [--first-steps] [scratch parent folder (default /var/tmp)]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
[ "$(id -u)" = 0 ] || { echo "check-minimal: needs root (debootstrap, chroot)" >&2; exit 2; }
command -v debootstrap >/dev/null ||
  { echo "check-minimal: debootstrap is missing (apt-get install debootstrap)" >&2; exit 2; }

# The first Debian mirror of this machine's apt sources that serves bookworm,
# one-line (sources.list) or deb822 (*.sources) style.
mirror() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk '$1 == "deb" { for (i = 2; i < NF; i++) if ($i !~ /^\[/ && $i ~ /:\/\//) {
           if ($(i + 1) == "bookworm") { print $i; exit } break } }' "$f"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk 'function flush() { if (uris != "" && (" " suites " ") ~ / bookworm /) {
                              split(uris, u, " "); print u[1]; found = 1; exit }
                            uris = suites = "" }
         /^[ \t]*$/ { flush(); next }
         tolower($1) == "uris:" { $1 = ""; uris = $0 }
         tolower($1) == "suites:" { $1 = ""; suites = $0 }
         END { if (!found) flush() }' "$f"
  done
}
url=$(mirror | head -n 1)
[ -n "$url" ] || { echo "check-minimal: no bookworm mirror in /etc/apt/sources*" >&2; exit 2; }

first=0
[ "${1:-}" != --first-steps ] || { first=1; shift; }
base=${1:-/var/tmp}
dir=$(mktemp -d "$base/zvgm-minimal.XXXXXX")
chmod 755 "$dir"  # the root folder of the system: apt's own user and man-db read in it
mounted=()
cleanup() {
  local m i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    m=${mounted[i]}
    umount -l "$m" 2>/dev/null || true
  done
  rm -rf --one-file-system "$dir.pkg"
  # Only remove the scratch folder when nothing is mounted under it any more.
  if ! grep -qF " $dir/" /proc/self/mounts && ! grep -qF " $dir " /proc/self/mounts; then
    rm -rf --one-file-system "$dir"
  else
    echo "check-minimal: $dir still has mounts; left in place" >&2
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

t0=$(date +%s)
echo "check-minimal: debootstrap --variant=minbase bookworm from $url"
if ! debootstrap --variant=minbase bookworm "$dir" "$url" >"$dir.log" 2>&1; then
  tail -n 20 "$dir.log"
  rm -f "$dir.log"
  echo "check-minimal: debootstrap failed" >&2
  exit 1
fi
rm -f "$dir.log"
t1=$(date +%s)
echo "check-minimal: minimal system ready in $((t1 - t0)) s;" \
     "ip: $(chroot "$dir" /bin/sh -c 'command -v ip || echo missing')"

# The tree as a fresh checkout has it (no build folders).
mkdir -p "$dir/zvgm"
(cd "$root" && git ls-files -z --cached --others --exclude-standard |
   while IFS= read -r -d '' f; do [ ! -e "$f" ] || printf '%s\0' "$f"; done |
   xargs -0 cp -P --parents -t "$dir/zvgm")
# The root of the chroot a mount point of its own, as the root of a machine
# is (the testbed makes / a slave mount in its namespaces).
mount --bind "$dir" "$dir" && mounted+=("$dir")
mount -t proc proc "$dir/proc" && mounted+=("$dir/proc")
mount -t sysfs sys "$dir/sys" && mounted+=("$dir/sys")
# /dev with /dev/pts (apt logs through a terminal); a slave, so that nothing
# done to it here reaches the machine's own /dev.
mount --rbind /dev "$dir/dev" && mounted+=("$dir/dev") && mount --make-rslave "$dir/dev"
cp /etc/resolv.conf "$dir/etc/resolv.conf"
# Packages install, nothing starts: no service runs out of the chroot.
printf '#!/bin/sh\nexit 101\n' >"$dir/usr/sbin/policy-rc.d"
chmod 755 "$dir/usr/sbin/policy-rc.d"

status=0
# The packages as a distribution's build machine builds them: in a copy of
# the fresh system (an overlay, dropped afterwards) that has only
# build-essential and the build dependencies of debian/control.
if [ $first = 0 ]; then
  log=$base/check-minimal-packages.log
  echo "=== the packages, with their build dependencies alone (log: $log)"
  s=$(date +%s)
  set +e
  unshare --mount --propagation private /bin/bash -c '
    set -e
    dir=$1 ov=$2
    mkdir -p "$ov/up" "$ov/work" "$ov/root"
    mount -t overlay overlay -o "lowerdir=$dir,upperdir=$ov/up,workdir=$ov/work" "$ov/root"
    mount -t proc proc "$ov/root/proc"
    mount --rbind /dev "$ov/root/dev"
    chroot "$ov/root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
      DEBIAN_FRONTEND=noninteractive /bin/bash -ec "cd /zvgm
        apt-get update -q
        apt-get install -y -q --no-install-recommends build-essential
        apt-get build-dep -y -q --no-install-recommends ./
        dpkg-buildpackage -us -uc
        ls -1 ../*.deb ../*.dsc"' sh "$dir" "$dir.pkg" </dev/null >"$log" 2>&1
  rc=$?
  set -e
  rm -rf --one-file-system "$dir.pkg"
  secs=$(($(date +%s) - s))
  echo "--- packages: exit $rc after $secs s; built:"
  grep -E '^\.\./.*\.(deb|dsc)$' "$log" | sed 's,^\.\./,    ,'
  if [ "$rc" != 0 ]; then
    tail -n 20 "$log"
    echo "check-minimal: FAIL: dpkg-buildpackage with the build dependencies alone"; status=1
  else
    echo "check-minimal: ok: the packages build with their build dependencies alone ($secs s)"
  fi
fi

# The apt noise of installing, left out of what is shown (the logs keep it).
quiet='^(Get:|Unpacking|Selecting|Preparing|Setting up|Processing|Created symlink|  |The following|Suggested|Recommended|Adding|update-alternatives|Creating|\(Reading)'
for cmd in demo.sh test.sh; do
  log=$base/check-minimal-${cmd%.sh}.log
  echo "=== $cmd$([ $first = 1 ] && echo ", first steps"), on the minimal system (log: $log)"
  s=$(date +%s)
  set +e
  unshare --mount --propagation private chroot "$dir" /usr/bin/env -i \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    ${ZVTB_PREFIX:+ZVTB_PREFIX=$ZVTB_PREFIX} ZVGM_FIRST_STEPS_ONLY=$first \
    /bin/bash -c "cd /zvgm && ./scripts/$cmd" </dev/null 2>&1 | tee "$log" |
    if [ $first = 1 ]; then grep -v -E "$quiet"; else grep -E '^(===|prereqs:|demo:|[0-9]+ passed,)'; fi
  rc=${PIPESTATUS[0]}
  set -e
  secs=$(($(date +%s) - s))
  last=$(grep -v '^$' "$log" | tail -n 1)
  echo "--- $cmd: exit $rc after $secs s ($((secs / 60)) min $((secs % 60)) s); its last lines:"
  grep -v '^$' "$log" | tail -n 3 | sed 's/^/    /'
  if grep -q 'The ip or unshare command is missing' "$log"; then
    echo "check-minimal: FAIL: $cmd checked the testbed before installing"; status=1
  elif [ "$rc" != 0 ]; then
    echo "check-minimal: FAIL: $cmd exited $rc"; status=1
  elif [ $first = 0 ] && [ $cmd = demo.sh ] && [[ $last != "demo: OK"* ]]; then
    echo "check-minimal: FAIL: demo.sh did not end with its OK line"; status=1
  elif [ $first = 0 ] && [ $cmd = test.sh ] && ! [[ $last =~ ^[0-9]+\ passed,\ 0\ failed, ]]; then
    echo "check-minimal: FAIL: test.sh did not end with 0 failed"; status=1
  else
    echo "check-minimal: ok: $cmd ($secs s)"
  fi
done
echo "check-minimal: $([ $status = 0 ] && echo OK || echo FAILED) in $(($(date +%s) - t0)) s"
exit $status
