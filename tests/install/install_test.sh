#!/bin/bash
# install_test.sh - installs a built tree into a scratch root (as if into
# /usr), then builds the consumer against it where it lies, with pkg-config
# and with find_package, and runs both: an install finds itself wherever it
# was put. The consumer is built as the packages' autopkgtest builds it
# (debian/tests/build-consumer), with the search paths pointing at the
# scratch root. (What lands where: package_test.sh, whose packages install
# through the same rules.)
# usage: install_test.sh <build dir> <libdir> <this folder>
set -u
build=$1 libdir=$2 here=$3
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
usr=$tmp/root/usr lib=$tmp/root/usr/$libdir

DESTDIR=$tmp/root cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1 ||
  { cat "$tmp/install.log"; echo "FAIL: cmake --install"; exit 1; }
mkdir "$tmp/consumer"
# (The loader path also lets the linker find libzvoscompat beside libzvgm.)
cd "$here/../.." && PKG_CONFIG_LIBDIR=$lib/pkgconfig CMAKE_PREFIX_PATH=$usr LD_LIBRARY_PATH=$lib \
  ZVGM_CMAKE_DIR=$lib/cmake/zvgm AUTOPKGTEST_TMP=$tmp/consumer debian/tests/build-consumer ||
  { echo "FAIL: the consumer against the install in $tmp/root"; exit 1; }
