#!/bin/bash
# package_test.sh - builds the Debian packages as a packager does
# (scripts/package.sh: dpkg-buildpackage on a clean copy of the tree) and
# checks them: names, versions, contents and dependencies; the symbols file
# against the exported set; manual pages;
# lintian --pedantic on the .changes (no tag but overridden ones);
# hardening-check on every shipped ELF. Then,
# as root, in private mount namespaces whose /usr, /etc and /var (and any
# top folder that is no link into /usr) are throw-away overlays, so that the
# machine stays as it was:
#   - install, upgrade from the previous build, remove and purge, as piuparts
#     does: after the purge nothing is left that was not there before;
#   - the service unit as systemd reads it, installed and not enabled;
#   - the autopkgtest suite of debian/tests on the installed packages
#     (autopkgtest's null runner; its light group in namespaces $ZVTB_PREFIX-*).
# usage: package_test.sh <source dir> <project version>
set -u
src=$1 version=$2 fail=0
P=${ZVTB_PREFIX:-zvtb}
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
arch=$(dpkg --print-architecture)
ma=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
L=./usr/lib/$ma

is() { # what command...: passes when the command succeeds
  if "${@:2}"; then echo "ok: $1"; else echo "FAIL: $1"; fail=1; fi
}

# ---- built as a packager builds them ------------------------------------------
# (What the build needs comes with prereqs.sh, which installs it as root.)
if ! out=$("$src/scripts/prereqs.sh" 2>&1); then
  echo "$out"
  echo "SKIP: the packaging tools are missing (scripts/prereqs.sh as root installs them)"
  exit 77
fi
ZVGM_PKG_BUILD=$tmp/build "$src/scripts/package.sh" "$tmp/pkg" >"$tmp/package.out" 2>&1 ||
  { cat "$tmp/package.out"; echo "FAIL: scripts/package.sh"; exit 1; }
is "debian/changelog's version is the project's ($version)" \
  test "$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)" = "$version"
changes=$tmp/pkg/zvgm_${version}_$arch.changes
deb() { echo "$tmp/pkg/$1_${version}_$arch.deb"; }
files() { dpkg-deb -c "$(deb "$1")" | awk '$1 !~ /^d/ {print $6}' | sort; }
pkgs=(libzvgm1 libzvgm-dev zvgm-tools zvgm-testrig)
dbgsym=(libzvgm1-dbgsym zvgm-tools-dbgsym zvgm-testrig-dbgsym)
for p in "${pkgs[@]}" "${dbgsym[@]}"; do
  [ -f "$(deb "$p")" ] || { ls "$tmp/pkg"; echo "FAIL: no package $p $version"; exit 1; }
done
is "the .changes lists source and binaries" \
  test "$(dcmd --dsc --deb "$changes" | wc -l)" = 8

got=$(files libzvgm1 | tr '\n' ' ')
is "libzvgm1 holds the libraries in $L, the daemon's link and its papers alone (got: $got)" \
  test "$got" = "./usr/lib/jni/libzvgm.so $L/libzvgm.so.1 $L/libzvgm.so.$version \
$L/libzvoscompat.so.1 ./usr/share/doc/libzvgm1/changelog.gz ./usr/share/doc/libzvgm1/copyright \
./usr/share/lintian/overrides/libzvgm1 "
holds() { # package file...
  local p=$1 f
  for f in "${@:2}"; do is "$p holds $f" grep -qxF "$f" <(files "$p"); done
}
# (What the autopkgtest suite uses is not listed: the daemon's link in
# /usr/lib/jni, which jvm-load loads through; gm.h, libzvgm.so, zvgm.pc and
# the CMake package, which build-consumer builds with; zvgm and zvgm-light,
# which command and light-group run.)
holds libzvgm-dev ./usr/include/zvgm/zvoscompat.h
holds zvgm-tools ./usr/share/man/man1/zvgm.1.gz ./usr/share/bash-completion/completions/zvgm ./lib/systemd/system/zvgm-serve.service \
  ./etc/default/zvgm-serve "$L/wireshark/plugins/zvgm.lua" ./usr/share/zvgm/prometheus/zvgm-rules.yml
holds zvgm-testrig ./usr/libexec/zvgm/zvadm ./usr/share/java/zvauthd.jar \
  ./usr/share/man/man1/zvgm-light.1.gz
all=$(for p in "${pkgs[@]}"; do files "$p"; done)
is "every file under /usr (but the service and its options), none in two packages" \
  test -z "$(grep -v -e '^\./usr/' -e '^\./lib/systemd/system/zvgm-serve\.service$' \
                  -e '^\./etc/default/zvgm-serve$' <<<"$all"; sort <<<"$all" | uniq -d)"
dep() { dpkg-deb -f "$(deb "$1")" Depends; }
# (libzvgm1's dependency on the C library: lintian's undeclared-elf-prerequisites.)
for p in libzvgm-dev zvgm-tools zvgm-testrig; do
  is "$p needs this very libzvgm1" grep -qF "libzvgm1 (= $version)" <<<"$(dep "$p")"
done
is "zvgm-testrig needs a Java 17 runtime" \
  grep -qF 'default-jre-headless | java17-runtime-headless' <<<"$(dep zvgm-testrig)"

# The symbols file: libzvgm's part names exactly the exported set (the
# build's own check passes a symbols file that lists a name too many).
dpkg-deb --ctrl-tarfile "$(deb libzvgm1)" | tar -xO ./symbols >"$tmp/symbols" 2>/dev/null
tr '\n' ' ' <"$src/src/exports.map" | sed -e 's,/\*[^*]*\*/,,g' -e 's/.*global:\(.*\)local:.*/\1/' |
  tr '; \t' '\n\n\n' | grep -v '^$' | sort >"$tmp/exported"
awk '/^[^ *]/ { lib = $1; next } lib == "libzvgm.so.1" && /^ / { sub(/@.*/, "", $1); print $1 }' \
  "$tmp/symbols" | sort >"$tmp/listed"
is "libzvgm1's symbols file lists exactly src/exports.map ($(wc -l <"$tmp/listed") names)" \
  cmp -s "$tmp/exported" "$tmp/listed"
is "and libzvoscompat.so.1 with it" grep -q '^libzvoscompat.so.1 libzvgm1 ' "$tmp/symbols"

for p in "${pkgs[@]}" "${dbgsym[@]}"; do
  dpkg-deb -x "$(deb "$p")" "$tmp/x"
done
# Every manual page as man and groff read it, without a warning.
for m in "$tmp"/x/usr/share/man/man1/*.1.gz; do
  w=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$m" 2>&1 >/dev/null;
      zcat "$m" | groff -ww -z -man 2>&1)
  is "manual page ${m##*/} reads without warnings${w:+ ($w)}" test -z "$w"
done

# ---- lintian and hardening-check --------------------------------------------------
# Every tag but the experimental ones is an error, a warning, or an info or
# pedantic tag without an override (debian/*lintian-overrides, each with
# its reason).
# (lintian leaves a cache file in TMPDIR: here, the scratch folder.)
TMPDIR="$tmp" lintian --pedantic -I -E --tag-display-limit 0 "$changes" >"$tmp/lintian.log" 2>&1
shown=$(grep -E '^[EWIP]: ' "$tmp/lintian.log")
grep -E '^X: ' "$tmp/lintian.log"
is "lintian --pedantic shows no tag ($(grep -c '^E: ' <<<"$shown") errors, $(grep -c '^W: ' <<<"$shown") warnings, $(grep -c '^[IP]: ' <<<"$shown") others)" \
  test -z "$shown"
[ -z "$shown" ] || echo "$shown"
is "no lintian override is left unused" \
  test -z "$(grep -i 'unused-override' "$tmp/lintian.log")"

# hardening-check on every ELF that ships. Not asked for: control flow
# protection, which no program linked on Debian 12 has (its C library's start
# files carry no IBT/SHSTK marks; the code is built with -fcf-protection).
# Where it finds no stack protector, the debug file must show every unit of
# the ELF built with -fstack-protector-strong: the ELF then holds no function
# with an array or a local whose address is taken, which is what that flag
# guards.
elfs=$(cd "$tmp/x" && find . -type f ! -path './usr/lib/debug/*' -exec sh -c \
         'head -c 4 "$1" | grep -q "^.ELF" && echo "$1"' sh {} \; | sort)
is "the ELF files: libzvgm, libzvoscompat, zvgm, zvgm-light ($(echo $elfs))" \
  test "$(wc -l <<<"$elfs")" = 4
for e in $elfs; do
  r=$(hardening-check --nocfprotection "$tmp/x/$e" 2>&1) && { echo "ok: hardening-check $e"; continue; }
  id=$(readelf -n "$tmp/x/$e" | sed -n 's/.*Build ID: \([0-9a-f]*\)/\1/p')
  dbg=$tmp/x/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
  units=$(readelf --debug-dump=info "$dbg" 2>/dev/null | grep -c 'DW_AT_producer')
  guarded=$(readelf --debug-dump=info "$dbg" 2>/dev/null | grep 'DW_AT_producer' |
            grep -c -- '-fstack-protector-strong')
  if [ "$(grep -c 'no, not found!$' <<<"$r")" = 1 ] && grep -q 'Stack protected: no, not found!' <<<"$r" &&
     [ "$units" -gt 0 ] && [ "$units" = "$guarded" ]; then
    echo "ok: hardening-check $e (no guard needed: all $units units built with -fstack-protector-strong)"
  else
    echo "$r"
    echo "FAIL: hardening-check $e"; fail=1
  fi
done

# ---- installed, in namespaces of their own ------------------------------------------
why=
if [ "$(id -u)" != 0 ]; then why="installing packages needs root"
elif ! unshare --mount --propagation private true 2>/dev/null; then why="no mount namespaces"
else
  mkdir -p "$tmp/probe"/{low,up,work,top}
  unshare --mount --propagation private mount -t overlay overlay \
    -o "lowerdir=$tmp/probe/low,upperdir=$tmp/probe/up,workdir=$tmp/probe/work" "$tmp/probe/top" ||
    why="no overlay mounts"
fi
if [ -n "$why" ]; then echo "SKIP: $why; the packages were built and checked, not installed"; exit $((fail ? 1 : 77)); fi

# overlaid NAME SCRIPT ARGS...: runs the bash SCRIPT with ARGS in a mount
# namespace whose system folders are overlays with their upper folders in
# $tmp/ov-NAME (so that a second run goes on where the first ended); what
# it prints is added to $tmp/NAME.log.
overlaid() {
  local name=$1 script=$2
  shift 2
  unshare --mount --propagation private /bin/bash -c '
    set -e
    ov=$1; shift
    for d in usr etc var opt lib lib64 bin sbin; do
      [ -d "/$d" ] && [ ! -L "/$d" ] || continue
      mkdir -p "$ov/$d/up" "$ov/$d/work"
      mount -t overlay overlay -o "lowerdir=/$d,upperdir=$ov/$d/up,workdir=$ov/$d/work" "/$d"
    done
    exec /bin/bash "$@"' sh "$tmp/ov-$name" "$script" "$@" >>"$tmp/$name.log" 2>&1
}
# leftovers NAME: what the runs in overlays NAME changed in the system
# folders, one path a line, as this side (the machine as it was) tells it:
# whatever the upper folders hold but folders that were there already (taken
# up for what was made in them) and files taken up unchanged. dpkg's and
# apt's own records, caches, logs and the library cache that the ldconfig
# trigger rewrites are left out. Since only the overlays are looked at,
# whatever else happens on the machine meanwhile does not count.
leftovers() {
  local up d type p path
  for up in "$tmp/ov-$1"/*/up; do
    d=${up%/up}
    d=/${d##*/}
    while read -r type p; do
      path=$d/${p#./}
      case $path in
        /var/lib/dpkg | /var/lib/dpkg/* | /var/lib/apt/* | /var/cache/* | /var/log/* | /etc/ld.so.cache) continue ;;
      esac
      [ "$type" = d ] && [ -d "$path" ] && continue
      [ "$type" = f ] && [ -f "$path" ] && cmp -s "$up/$p" "$path" && continue
      echo "$path"
    done < <(cd "$up" && find . -mindepth 1 -printf '%y %p\n')
  done | sort
}
host_state() { ls -l /usr/lib/"$ma"/libzvgm* /usr/bin/zvgm* 2>&1; dpkg-query -W "${pkgs[@]}" 2>&1; }
before=$(host_state)

# The previous build: these packages as version ${version}~prev1, so that
# installing these ones is an upgrade. (The same tree built with a lower
# version gives the same files; only the control data differ.)
prev=${version}~prev1
mkdir -p "$tmp/prev"
for p in "${pkgs[@]}"; do
  dpkg-deb -R "$(deb "$p")" "$tmp/prev/$p"
  sed -i -e "s/^Version: .*/Version: $prev/" \
    -e "/^Depends:/s/libzvgm1 (\(>\?=\) $version)/libzvgm1 (\1 $prev)/g" "$tmp/prev/$p/DEBIAN/control"
  dpkg-deb -b "$tmp/prev/$p" "$tmp/prev/${p}_${prev}_$arch.deb" >/dev/null
done

# The steps of piuparts, in an overlay: install the previous build (a first
# install, where the service unit is read as systemd reads it), change the
# conffile, upgrade to this build and add the -dbgsym packages, remove; then
# purge. Each step line tells what dpkg knows of the packages.
cat >"$tmp/lifecycle.sh" <<'SH'
step=$1 pkgdir=$2 prevdir=$3
pkgs=(libzvgm1 libzvgm-dev zvgm-tools zvgm-testrig)
dbgsym=(libzvgm1-dbgsym zvgm-tools-dbgsym zvgm-testrig-dbgsym)
debs() { local d=$1 p; shift; for p in "$@"; do echo "$d/${p}_"*.deb; done; }
# What dpkg holds of the packages, "PACKAGE=VERSION STATUS;" each, sorted.
known() {
  dpkg-query -W -f='${Package}=${Version} ${Status}\n' "${pkgs[@]}" "${dbgsym[@]}" 2>/dev/null |
    grep -v ' not-installed$' | LC_ALL=C sort | tr '\n' ';'
}
export DEBIAN_FRONTEND=noninteractive
case $step in
  upgrade)
    # shellcheck disable=SC2046
    dpkg -i $(debs "$prevdir" "${pkgs[@]}") >/dev/null
    echo "previous: $(known)"
    # The unit as systemd reads it; installed, not enabled.
    unit=/lib/systemd/system/zvgm-serve.service
    echo "verify: $(systemd-analyze verify "$unit" 2>&1 && echo clean)"
    systemd-analyze security --offline=true "$unit" 2>&1 | tail -n 1 | sed 's/^/security: /'
    echo "enabled: $(find /etc/systemd/system -name 'zvgm-serve*' | tr '\n' ' ')"
    echo "# the administrator's own line" >>/etc/default/zvgm-serve
    # shellcheck disable=SC2046
    dpkg -i $(debs "$pkgdir" "${pkgs[@]}" "${dbgsym[@]}") </dev/null >/dev/null
    echo "upgraded: $(known)"
    echo "conffile: $(tail -n 1 /etc/default/zvgm-serve)"
    missing=0
    for p in "${pkgs[@]}" "${dbgsym[@]}"; do
      while read -r f; do [ -e "$f" ] || [ -L "$f" ] || { echo "missing: $f"; missing=1; }; done < <(dpkg -L "$p")
    done
    echo "all files there: $([ "$missing" = 0 ] && echo yes || echo no)"
    dpkg -r "${pkgs[@]}" "${dbgsym[@]}" >/dev/null
    echo "removed: $(known)" ;;
  purge)
    dpkg -P "${pkgs[@]}" >/dev/null
    echo "purged: $(known)" ;;
esac
SH
log=$tmp/lifecycle.log
# line WHAT: the rest of the log's line that begins "WHAT: ".
line() { sed -n "s/^$1: //p" "$log"; }
# each V PACKAGE...: "PACKAGE=V install ok installed;" for each, sorted.
each() { local v=$1; shift; printf "%s=$v install ok installed;\n" "$@" | LC_ALL=C sort | tr -d '\n'; }
overlaid lifecycle "$tmp/lifecycle.sh" upgrade "$tmp/pkg" "$tmp/prev"
is "the previous build installs ($(line previous))" test "$(line previous)" = "$(each "$prev" "${pkgs[@]}")"
is "systemd-analyze verify finds nothing in the service" test "$(line verify)" = clean
# Exposure 0.0 (locked down) to 10.0; systemd calls up to 2.0 "OK".
score=$(line security | sed -n 's/.*exposure level for .*: \([0-9.]*\) .*/\1/p')
is "the service's exposure is at most 2.0 (${score:-none})" awk -v s="${score:-99}" 'BEGIN { exit !(s <= 2.0) }'
is "the service is installed, not enabled" test -z "$(line enabled)"
is "it upgrades to this one, with the -dbgsym packages ($(line upgraded))" \
  test "$(line upgraded)" = "$(each "$version" "${pkgs[@]}" "${dbgsym[@]}")"
is "the upgrade keeps the administrator's change to the conffile" \
  test "$(line conffile)" = "# the administrator's own line"
is "after the upgrade every file of the packages is there" test "$(line 'all files there')" = yes
# (Debian's service helper keeps the unit's state until the purge.)
left=$(leftovers lifecycle)
is "removed, only the conffile is left (left: ${left//$'\n'/ }; $(line removed))" \
  test "$left;$(line removed)" = "/etc/default/zvgm-serve
/var/lib/systemd/deb-systemd-helper-enabled/zvgm-serve.service.dsh-also;zvgm-tools=$version deinstall ok config-files;"
overlaid lifecycle "$tmp/lifecycle.sh" purge
left=$(leftovers lifecycle)
is "purged, nothing is left (left: ${left//$'\n'/ })" test -z "$left$(line purged)"
[ "$fail" = 0 ] || cat "$log"

# The autopkgtest suite on the installed packages, in a namespace of its own.
cat >"$tmp/autopkgtest.sh" <<'SH'
tmp=$1 changes=$2 prefix=$3
# Only what is installed: apt sees no archive (autopkgtest adds the built
# packages as one of its own), so nothing is fetched, not even lists.
rm -f /etc/apt/sources.list.d/*
: >/etc/apt/sources.list
autopkgtest --env=ZVTB_PREFIX="$prefix" --output-dir "$tmp/apt-out" --summary-file "$tmp/summary" \
  "$changes" -- null
echo "autopkgtest exit $?"
SH
overlaid autopkgtest "$tmp/autopkgtest.sh" "$tmp" "$changes" "$P"
sed 's/^/  /' "$tmp/summary" 2>/dev/null
# (Exit 0: every test passed, none was skipped or failed.)
is "autopkgtest exits 0, every test passed" grep -qx "autopkgtest exit 0" "$tmp/autopkgtest.log"
[ "$fail" = 0 ] || tail -n 80 "$tmp/autopkgtest.log"

is "the machine is unchanged" test "$before" = "$(host_state)"
exit $fail
