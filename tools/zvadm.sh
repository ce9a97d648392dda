#!/bin/sh
# zvadm - stand-in for the suite's interface administration tool. With -p it
# prints a header line and then the dedicated (nimbar) interfaces it is
# configured with, one name per line, read from /opt/KORVzv/etc/nimbar.conf
# (one name per line; blank lines and lines starting with # are skipped).
conf=/opt/KORVzv/etc/nimbar.conf
case "$1" in
  -p) ;;
  *) echo "usage: zvadm -p" >&2; exit 2 ;;
esac
echo "Interface        Type     Address"
[ -r "$conf" ] || exit 0
while IFS= read -r name rest; do
  case "$name" in ''|'#'*) continue ;; esac
  echo "$name nimbar"
done < "$conf"
exit 0
