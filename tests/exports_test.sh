#!/bin/sh
# exports_test.sh - the library exports exactly the names of its version
# script: every listed name is defined, and nothing else leaks out.
# usage: exports_test.sh <libzvgm.so> <exports.map>
lib=$1
map=$2
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT

# The names between "global:" and "local:", comments dropped.
tr '\n' ' ' <"$map" | sed -e 's,/\*[^*]*\*/,,g' -e 's/.*global:\(.*\)local:.*/\1/' |
  tr '; \t' '\n\n\n' | grep -v '^$' | sort -u >"$tmp/expected"
nm -D --defined-only "$lib" | awk '{print $NF}' | sort -u >"$tmp/actual" || exit 1

if [ "$(wc -l <"$tmp/expected")" -lt 40 ]; then
  echo "FAIL: could not read the exported names from $map"
  exit 1
fi
missing=$(comm -23 "$tmp/expected" "$tmp/actual")
extra=$(comm -13 "$tmp/expected" "$tmp/actual")
[ -n "$missing" ] && echo "FAIL: not exported:" $missing
[ -n "$extra" ] && echo "FAIL: exported but not listed:" $extra
[ -z "$missing$extra" ] || exit 1
echo "OK: $(wc -l <"$tmp/actual") names exported"
