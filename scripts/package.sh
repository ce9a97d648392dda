#!/bin/bash
# package.sh - builds zvgm for /usr in a tree of its own (Release, no tests)
# and makes its Debian packages: libzvgm1 (the libraries), libzvgm-dev
# (headers, pkg-config file, CMake package), zvgm-tools (operator tools) and
# zvgm-testrig (the stand-ins for test rigs).
# usage: package.sh [output folder (default build-pkg/packages)] [cmake options...]
# (ZVGM_PKG_BUILD names another build tree; its log is package.log there.)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZVGM_PKG_BUILD:-$root/build-pkg}
out=${1:-$build/packages}
[ $# -eq 0 ] || shift
"$root/scripts/prereqs.sh"
mkdir -p "$build"
log=$build/package.log

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZVGM_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr "$@" >"$log" 2>&1 || { cat "$log"; exit 1; }
cmake --build "$build" -j"$(nproc)" >>"$log" 2>&1 || { tail -n 40 "$log"; exit 1; }
mkdir -p "$out"
cpack --config "$build/CPackConfig.cmake" -B "$out" >>"$log" 2>&1 ||
  { tail -n 40 "$log"; exit 1; }
rm -rf "$out/_CPack_Packages"
ls -1 "$out"/*.deb
