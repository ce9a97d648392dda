#!/bin/bash
# package_test.sh - makes the Debian packages of a built tree and checks their
# names, versions, dependencies and contents; then installs the runtime and
# development packages in a private mount namespace whose /usr, /etc and /var
# are throw-away overlays (the machine stays as it was), loads the library by
# its soname and builds the consumer with the system's pkg-config.
# usage: package_test.sh <build dir> <libdir> <this folder> <version> <natives: ON|OFF>
#                        <stand-ins over suite paths: ON|OFF>
set -u
build=$1 libdir=$2 here=$3 version=$4 natives=$5 suite=$6 fail=0
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
L=./usr/$libdir

is() { # what command...: passes when the command succeeds
  if "${@:2}"; then echo "ok: $1"; else echo "FAIL: $1"; fail=1; fi
}

if ! cpack --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1; then
  cat "$tmp/cpack.log"
  echo "FAIL: cpack"
  exit 1
fi
deb() { echo "$tmp/pkg/$1_${version}_$(dpkg --print-architecture).deb"; }
files() { dpkg-deb -c "$(deb "$1")" | awk '$1 !~ /^d/ {print $6}' | sort; }
for p in libzvgm1 libzvgm-dev; do
  [ -f "$(deb "$p")" ] || { ls "$tmp/pkg"; echo "FAIL: no package $p $version"; exit 1; }
done

is "runtime holds the libraries alone" test "$(files libzvgm1 | tr '\n' ' ')" = \
  "$L/libzvgm.so.1 $L/libzvgm.so.$version $L/libzvoscompat.so.1 "
holds() { # package file...
  local p=$1 f
  for f in "${@:2}"; do is "$p holds $f" grep -qxF "$f" <(files "$p"); done
}
holds libzvgm-dev ./usr/include/zvgm/gm.h ./usr/include/zvgm/zvoscompat.h "$L/libzvgm.so" \
  "$L/pkgconfig/zvgm.pc" "$L/cmake/zvgm/zvgmConfig.cmake"
jar=() zvadm=./usr/libexec/zvgm/zvadm
[ ! -f "$build/zvauthd.jar" ] || jar=(./usr/share/java/zvauthd.jar)
[ "$suite" != ON ] || zvadm=./opt/KORVzv/sbin/zvadm
holds zvgm-testrig "$zvadm" "${jar[@]}"
all=$(for d in "$tmp"/pkg/*.deb; do dpkg-deb -c "$d" | awk '$1 !~ /^d/ {print $6}'; done | sort)
is "every file under /usr (but a stand-in asked for), none in two packages" \
  test -z "$(grep -v -e '^\./usr/' -e "^$zvadm\$" <<<"$all"; uniq -d <<<"$all")"
is "runtime depends on the C library (shlibdeps)" \
  grep -q 'libc6 (>=' <<<"$(dpkg-deb -f "$(deb libzvgm1)" Depends)"
is "libzvgm-dev needs this very runtime" \
  grep -qF "libzvgm1 (= $version)" <<<"$(dpkg-deb -f "$(deb libzvgm-dev)" Depends)"

# ---- installed for real, in a namespace of its own ----------------------------
why=
if [ "$(id -u)" != 0 ]; then why="installing a package needs root"
elif ! unshare --mount --propagation private true 2>/dev/null; then why="no mount namespaces"
else
  mkdir -p "$tmp/probe"/{low,up,work,top}
  unshare --mount --propagation private mount -t overlay overlay \
    -o "lowerdir=$tmp/probe/low,upperdir=$tmp/probe/up,workdir=$tmp/probe/work" "$tmp/probe/top" ||
    why="no overlay mounts"
fi
if [ -n "$why" ]; then echo "SKIP: $why; package contents checked only"; exit $((fail ? 1 : 77)); fi

cat >"$tmp/load.c" <<'C'
#include <dlfcn.h>
#include <stdio.h>
int main(int argc, char **argv) {
  void *h = dlopen("libzvgm.so.1", RTLD_NOW);
  if (!h) { printf("%s\n", dlerror()); return 1; }
  for (int i = 1; i < argc; i++)
    if (!dlsym(h, argv[i])) { printf("no %s\n", argv[i]); return 1; }
  puts("ok");
  return 0;
}
C
cc "$tmp/load.c" -o "$tmp/load" -ldl || exit 1
names=(groupNumHosts whichServer)
[ "$natives" = ON ] && names+=(Java_auth_zvauthd_GroupManager_groupManager)

before=$(ls -l /usr/"$libdir"/libzvgm* 2>&1; dpkg-query -W libzvgm1 libzvgm-dev 2>&1)
# Everything the installation writes lands in the overlays' upper folders
# under $tmp, and the namespace's mounts vanish with it.
unshare --mount --propagation private /bin/bash -s "$tmp" "$(deb libzvgm1)" "$(deb libzvgm-dev)" \
  "$here/consumer.c" "${names[@]}" <<'SH' >"$tmp/inside.log" 2>&1
set -eu
tmp=$1 rt=$2 dev=$3 consumer=$4
shift 4
for d in usr etc var; do
  mkdir -p "$tmp/ov/$d/up" "$tmp/ov/$d/work"
  mount -t overlay overlay -o "lowerdir=/$d,upperdir=$tmp/ov/$d/up,workdir=$tmp/ov/$d/work" "/$d"
done
dpkg -i "$rt" "$dev"
echo "installed: $(dpkg-query -W -f='${Package} ${Version} ${Status}\n' libzvgm1 libzvgm-dev | tr '\n' ';')"
echo "load: $(timeout 20 "$tmp/load" "$@")"
cc -std=c11 "$consumer" $(pkg-config --cflags --libs zvgm) -o "$tmp/consumer"
echo "consumer: $(timeout 20 "$tmp/consumer")"
SH
rc=$?
for p in libzvgm1 libzvgm-dev; do
  is "$p installs (namespace exit $rc)" grep -qF "$p $version install ok installed;" "$tmp/inside.log"
done
is "the library loads by its soname" grep -qx "load: ok" "$tmp/inside.log"
is "a consumer builds and runs with the system's pkg-config" grep -qx "consumer: ok" "$tmp/inside.log"
[ "$fail" = 0 ] || cat "$tmp/inside.log"
is "the machine is unchanged" \
  test "$before" = "$(ls -l /usr/"$libdir"/libzvgm* 2>&1; dpkg-query -W libzvgm1 libzvgm-dev 2>&1)"
exit $fail
