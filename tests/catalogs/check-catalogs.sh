#!/bin/sh
# The catalogs against the code: the template in po/ is the one the marked texts give today, and
# every catalog translates every text of it (none missing, empty or fuzzy) with the placeholders
# of the English (msgfmt --check).
#
#   tests/catalogs/check-catalogs.sh
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
fresh=$(mktemp)
trap 'rm -f "$fresh"' EXIT
failed=0
"$top/po/update-template.sh" "$fresh"
if ! cmp -s "$fresh" "$top/po/kestrune.pot"; then
    echo "FAIL po/kestrune.pot is stale: run po/update-template.sh (or the build's pot target)"
    diff -u "$top/po/kestrune.pot" "$fresh" | head -n 20
    failed=1
fi
for po in "$top"/po/*.po; do
    name=${po#"$top"/}
    if ! msgcmp "$po" "$top/po/kestrune.pot" 2>&1 || ! msgfmt --check -o /dev/null "$po" 2>&1; then
        echo "FAIL $name"
        failed=1
    elif msgattrib --only-fuzzy --no-obsolete "$po" | grep -q '^msgid'; then
        echo "FAIL $name has fuzzy texts"
        failed=1
    else
        echo "ok   $name"
    fi
done
exit $failed
