#!/bin/sh
# Writes the catalogs' template (po/kestrune.pot, or FILE) from the texts the code marks with N_,
# Tr and TrN. The build's "pot" target runs it; a test checks that the template in po/ is current.
#
#   po/update-template.sh [FILE]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$top/po/kestrune.pot}
cd "$top"
# The marked texts live in the core, the windows and the command-line tool (N_, Tr and TrN), and in
# the page's script (tr); file names only (no line numbers), so that the template changes only when
# a text does. Line breaks are "\n" in the catalogs, also where the code breaks a message box's
# lines with "\r\n" (Tr looks those up so).
code=$(mktemp)
trap 'rm -f "$code"' EXIT
options="--add-comments --add-location=file --from-code=UTF-8 --package-name=kestrune --package-version=1
         --msgid-bugs-address=https://kestrune.example/issues"
find common usbio upload window cli -name '*.h' -o -name '*.cpp' | LC_ALL=C sort |
    xgettext --files-from=- -k --keyword=N_ --keyword=Tr --keyword=TrN:1,2 --language=C++ $options --output=- 2>/dev/null |
    sed -e 's/\\r\\n/\\n/g' >"$code"
xgettext -k --keyword=tr --language=JavaScript $options --join-existing --output="$code" window/web/WebPage.js
sed -e '/^"POT-Creation-Date:/d' -e 's/^"Project-Id-Version: kestrune 1\\n"/"Project-Id-Version: kestrune\\n"/' "$code" >"$out"
