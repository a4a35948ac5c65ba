#!/bin/sh
# Writes the catalogs' template (po/kestrune.pot, or FILE) from the texts the code marks with N_,
# Tr and TrN. The build's "pot" target runs it; a test checks that the template in po/ is current.
#
#   po/update-template.sh [FILE]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$top/po/kestrune.pot}
cd "$top"
# The marked texts live in the core, the window and the command-line tool; file names only (no
# line numbers), so that the template changes only when a text does. Line breaks are "\n" in the
# catalogs, also where the code breaks a message box's lines with "\r\n" (Tr looks those up so).
find common usbio upload window cli -name '*.h' -o -name '*.cpp' | LC_ALL=C sort |
    xgettext --files-from=- -k --keyword=N_ --keyword=Tr --keyword=TrN:1,2 --language=C++ --from-code=UTF-8 \
        --add-comments --add-location=file --package-name=kestrune --package-version=1 \
        --msgid-bugs-address=https://kestrune.example/issues --output=- 2>/dev/null |
    sed -e '/^"POT-Creation-Date:/d' -e 's/^"Project-Id-Version: kestrune 1\\n"/"Project-Id-Version: kestrune\\n"/' \
        -e 's/\\r\\n/\\n/g' >"$out"
