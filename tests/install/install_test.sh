#!/bin/bash
# install_test.sh - installs a built tree into a scratch root (as if into
# /usr) and checks what lands where; then builds the consumer against it with
# pkg-config and with find_package, and runs both.
# usage: install_test.sh <build dir> <libdir> <this folder> <stand-ins over suite paths: ON|OFF>
set -u
build=$1 libdir=$2 here=$3 suite=$4 fail=0
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
root=$tmp/root usr=$tmp/root/usr lib=$tmp/root/usr/$libdir

is() { # what command...: passes when the command succeeds
  if "${@:2}"; then echo "ok: $1"; else echo "FAIL: $1"; fail=1; fi
}

DESTDIR=$root cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1 ||
  { cat "$tmp/install.log"; echo "FAIL: cmake --install"; exit 1; }

soname=$(readelf -d "$lib/libzvgm.so.1" 2>/dev/null | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
is "libzvgm.so.1 is the library's soname" test "$soname" = libzvgm.so.1
is "libzvgm.so.1 links to the versioned file" test -L "$lib/libzvgm.so.1" -a -f "$lib/libzvgm.so.1"
is "development link libzvgm.so" test -L "$lib/libzvgm.so"
# (gm.h, zv_thread.h, zvgm.pc, the CMake package and libzvoscompat.so.1: the
# consumers below are built with them.)
is "header zvoscompat.h" test -f "$usr/include/zvgm/zvoscompat.h"
is "the daemon's lib/jni/libzvgm.so leads to the library" \
  test "$(readlink -f "$usr/lib/jni/libzvgm.so")" = "$(readlink -f "$lib/libzvgm.so.1")"
# Outside the prefix: the service and its options file alone (the prefix is
# /usr, so they go where Debian has them).
outside=$(cd "$root" && find . ! -type d ! -path './usr/*' ! -path ./lib/systemd/system/zvgm-serve.service \
            ! -path ./etc/default/zvgm-serve)
if [ "$suite" = ON ]; then
  is "stand-in at the suite's path, as asked" test -x "$root/opt/KORVzv/sbin/zvadm"
else
  is "admin tool stand-in kept apart" test -x "$usr/libexec/zvgm/zvadm"
  is "nothing else installed outside the prefix (got: ${outside//$'\n'/ })" test -z "$outside"
fi

# A consumer built with pkg-config, which sees only this tree's file.
flags=$(PKG_CONFIG_LIBDIR=$lib/pkgconfig pkg-config --cflags --libs zvgm) ||
  { echo "FAIL: pkg-config zvgm"; exit 1; }
# (The loader path lets the linker find libzvoscompat beside libzvgm.)
# shellcheck disable=SC2086  # the flags are words
is "pkg-config consumer builds ($flags)" env LD_LIBRARY_PATH="$lib" cc -std=c11 -Wall -Wextra -Werror \
  "$here/consumer.c" $flags -o "$tmp/pc-consumer"
is "pkg-config consumer runs" test "$(LD_LIBRARY_PATH=$lib timeout 20 "$tmp/pc-consumer" 2>&1)" = ok

# The same with find_package, which must take the package of this tree.
if cmake -S "$here/consumer-cmake" -B "$tmp/cm" -DCMAKE_PREFIX_PATH="$usr" \
     -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >"$tmp/cm.log" 2>&1 &&
   cmake --build "$tmp/cm" >>"$tmp/cm.log" 2>&1; then
  found=$(sed -n 's/^zvgm_DIR:PATH=//p' "$tmp/cm/CMakeCache.txt")
  is "find_package took $lib/cmake/zvgm (took $found)" test "$found" = "$lib/cmake/zvgm"
  is "find_package consumer runs" test "$(LD_LIBRARY_PATH=$lib timeout 20 "$tmp/cm/consumer" 2>&1)" = ok
else
  cat "$tmp/cm.log"
  echo "FAIL: find_package consumer does not build"
  fail=1
fi
exit $fail
