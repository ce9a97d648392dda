#!/bin/bash
# package.sh - builds zvgm's Debian source package and its binary packages
# with dpkg-buildpackage (debian/): libzvgm1 (the libraries), libzvgm-dev
# (headers, pkg-config file, CMake package), zvgm-tools (operator tools),
# zvgm-testrig (the stand-ins for test rigs) and their -dbgsym packages.
# It builds in a clean copy of this tree (the files git knows, committed or
# not; no build folders), so the tree itself stays as it is.
# usage: package.sh [output folder (default build-pkg/packages)]
# ZVGM_PKG_BUILD names the scratch folder (default build-pkg; its log is
# package.log there); ZVGM_PKG_JOBS the build's jobs (default: the cores).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZVGM_PKG_BUILD:-$root/build-pkg}
out=${1:-$build/packages}
"$root/scripts/prereqs.sh"
mkdir -p "$build"
build=$(cd "$build" && pwd)
log=$build/package.log
version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
arch=$(dpkg --print-architecture)
src=$build/zvgm-$version

# The clean copy: from git where this is a checkout, else every file but
# build folders.
rm -rf "$src"
mkdir -p "$src"
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$root" && git ls-files -z --cached --others --exclude-standard |
     while IFS= read -r -d '' f; do [ ! -e "$f" ] || printf '%s\0' "$f"; done |
     xargs -0 cp -P --parents -t "$src")
else
  tar -C "$root" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$src" -xf -
fi

rm -f "$build"/zvgm_"$version"* "$build"/*_"$version"_*.deb
echo "package: dpkg-buildpackage in $src (log: $log)"
(cd "$src" && dpkg-buildpackage -us -uc --jobs-try="${ZVGM_PKG_JOBS:-$(nproc)}") >"$log" 2>&1 ||
  { tail -n 60 "$log"; echo "package: dpkg-buildpackage failed (log: $log)" >&2; exit 1; }
mkdir -p "$out"
out=$(cd "$out" && pwd)
changes=$build/zvgm_${version}_$arch.changes
[ "$out" = "$build" ] || dcmd mv -f "$changes" "$out/"
rm -rf "$src"
dcmd ls -1 "$out/zvgm_${version}_$arch.changes"
