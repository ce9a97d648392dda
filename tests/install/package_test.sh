#!/bin/bash
# package_test.sh - makes the Debian packages of a built tree and checks their
# names, versions, dependencies and contents, their manual pages and lintian's
# verdict; then installs them in a private mount namespace whose /usr, /etc
# and /var are throw-away overlays (the machine stays as it was), loads the
# library as the daemon does, by name from /usr/lib/jni, builds the consumer
# with the system's pkg-config and runs it (loading the library by its
# soname), and checks the service unit with systemd-analyze.
# usage: package_test.sh <build dir> <libdir> <this folder> <version>
#                        <stand-ins over suite paths: ON|OFF> [java]
set -u
partial=
build=$1 libdir=$2 here=$3 version=$4 suite=$5 java=${6:-} fail=0
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
L=./usr/$libdir

is() { # what command...: passes when the command succeeds
  if "${@:2}"; then echo "ok: $1"; else echo "FAIL: $1"; fail=1; fi
}

cpack --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log"; echo "FAIL: cpack"; exit 1; }
deb() { echo "$tmp/pkg/$1_${version}_$(dpkg --print-architecture).deb"; }
files() { dpkg-deb -c "$(deb "$1")" | awk '$1 !~ /^d/ {print $6}' | sort; }
for p in libzvgm1 libzvgm-dev; do
  [ -f "$(deb "$p")" ] || { ls "$tmp/pkg"; echo "FAIL: no package $p $version"; exit 1; }
done

doc=./usr/share/doc/libzvgm1
is "runtime holds the libraries, the daemon's link and its papers alone" \
  test "$(files libzvgm1 | tr '\n' ' ')" = "./usr/lib/jni/libzvgm.so $L/libzvgm.so.1 \
$L/libzvgm.so.$version $L/libzvoscompat.so.1 $doc/changelog.gz $doc/copyright "
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
tools=()
if [ -f "$(deb zvgm-tools)" ]; then
  tools=("$(deb zvgm-tools)")
  unit=./lib/systemd/system/zvgm-serve.service
  holds zvgm-tools ./usr/bin/zvgm ./usr/share/man/man1/zvgm.1.gz \
    ./usr/share/bash-completion/completions/zvgm "$unit" ./etc/default/zvgm-serve
  is "/etc/default/zvgm-serve is a conffile" \
    test "$(dpkg-deb -I "$(deb zvgm-tools)" conffiles)" = /etc/default/zvgm-serve
fi
[ ! -f "$build/testbed/light/zvgm-light" ] || holds zvgm-testrig ./usr/share/man/man1/zvgm-light.1.gz
all=$(for d in "$tmp"/pkg/*.deb; do dpkg-deb -c "$d" | awk '$1 !~ /^d/ {print $6}'; done | sort)
is "every file under /usr (but a stand-in asked for and the service), none in two packages" \
  test -z "$(grep -v -e '^\./usr/' -e "^$zvadm\$" -e '^\./lib/systemd/system/zvgm-serve\.service$' \
                  -e '^\./etc/default/zvgm-serve$' <<<"$all"; uniq -d <<<"$all")"
# Every manual page as man and groff read it, without a warning.
for d in "$tmp"/pkg/*.deb; do dpkg-deb -x "$d" "$tmp/x"; done
for m in "$tmp"/x/usr/share/man/man1/*.1.gz; do
  [ -e "$m" ] || continue
  w=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$m" 2>&1 >/dev/null;
      zcat "$m" | groff -ww -z -man 2>&1)
  is "manual page ${m##*/} reads without warnings${w:+ ($w)}" test -z "$w"
done
# lintian: no error; its warnings are shown (their reasons: README).
if command -v lintian >/dev/null; then
  lintian --tag-display-limit 0 "$tmp"/pkg/*.deb >"$tmp/lintian.log" 2>&1
  grep '^W: ' "$tmp/lintian.log"
  is "lintian finds no error ($(grep -c '^E: ' "$tmp/lintian.log") errors)" \
    test -z "$(grep '^E: ' "$tmp/lintian.log")"
  grep '^E: ' "$tmp/lintian.log"
else
  partial="lintian is not installed (package lintian)"
fi
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
why=${why:-${partial:-}}
if [ -n "$why" ]; then echo "SKIP: $why; package contents checked only"; exit $((fail ? 1 : 77)); fi

# As the daemon loads it: by name, from java.library.path (loading it starts
# nothing; the manager runs only once the daemon calls it).
cat >"$tmp/Load.java" <<'J'
public class Load {
  public static void main(String[] args) {
    System.loadLibrary("zvgm");
    System.out.println("ok");
  }
}
J

before=$(ls -l /usr/"$libdir"/libzvgm* 2>&1; dpkg-query -W libzvgm1 libzvgm-dev 2>&1)
# Everything the installation writes lands in the overlays' upper folders
# under $tmp, and the namespace's mounts vanish with it.
ZVGM_TOOLS_DEB=${tools[0]:-} unshare --mount --propagation private /bin/bash -s "$tmp" "$(deb libzvgm1)" "$(deb libzvgm-dev)" \
  "$here/consumer.c" "$java" <<'SH' >"$tmp/inside.log" 2>&1
set -eu
tmp=$1 rt=$2 dev=$3 consumer=$4 java=$5
for d in usr etc var; do
  mkdir -p "$tmp/ov/$d/up" "$tmp/ov/$d/work"
  mount -t overlay overlay -o "lowerdir=/$d,upperdir=$tmp/ov/$d/up,workdir=$tmp/ov/$d/work" "/$d"
done
dpkg -i "$rt" "$dev"
echo "installed: $(dpkg-query -W -f='${Package} ${Version} ${Status}\n' libzvgm1 libzvgm-dev | tr '\n' ';')"
if [ -n "$java" ]; then
  echo "by name from /usr/lib/jni: $(timeout 60 "$java" -Djava.library.path=/usr/lib/jni "$tmp/Load.java" 2>&1)"
  echo "by name, default path: $(timeout 60 "$java" "$tmp/Load.java" 2>&1)"
fi
cc -std=c11 "$consumer" $(pkg-config --cflags --libs zvgm) -o "$tmp/consumer"
echo "consumer: $(timeout 20 "$tmp/consumer")"
# The tools, and their service as systemd reads it.
if [ -n "${ZVGM_TOOLS_DEB:-}" ]; then
  dpkg -i "$ZVGM_TOOLS_DEB"
  unit=/lib/systemd/system/zvgm-serve.service
  echo "verify: $(systemd-analyze verify "$unit" 2>&1 && echo clean)"
  systemd-analyze security --offline=true "$unit" 2>&1 | tail -n 1 | sed 's/^/security: /'
fi
SH
rc=$?
for p in libzvgm1 libzvgm-dev; do
  is "$p installs (namespace exit $rc)" grep -qF "$p $version install ok installed;" "$tmp/inside.log"
done
is "a consumer builds and runs with the system's pkg-config" grep -qx "consumer: ok" "$tmp/inside.log"
if [ -n "$java" ]; then
  is "the JVM loads the library by name from /usr/lib/jni" \
    grep -qx "by name from /usr/lib/jni: ok" "$tmp/inside.log"
  is "the JVM loads it by name with its default library path" \
    grep -qx "by name, default path: ok" "$tmp/inside.log"
fi
if [ ${#tools[@]} -gt 0 ]; then
  is "systemd-analyze verify finds nothing in the service" grep -qx "verify: clean" "$tmp/inside.log"
  # Exposure 0.0 (locked down) to 10.0; systemd calls up to 2.0 "OK".
  score=$(sed -n 's/^security: .*exposure level for .*: \([0-9.]*\) .*/\1/p' "$tmp/inside.log")
  echo "systemd-analyze security: exposure ${score:-unknown}"
  is "the service's exposure is at most 2.0 (${score:-none})" \
    awk -v s="${score:-99}" 'BEGIN { exit !(s <= 2.0) }'
fi
[ "$fail" = 0 ] || cat "$tmp/inside.log"
is "the machine is unchanged" \
  test "$before" = "$(ls -l /usr/"$libdir"/libzvgm* 2>&1; dpkg-query -W libzvgm1 libzvgm-dev 2>&1)"
exit $fail
